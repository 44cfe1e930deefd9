#include "base/sha256.h"

#include <algorithm>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define KALVENOR_SHA_EXTENSIONS 1
#endif

namespace kalvenor {
namespace {

constexpr std::array<std::uint32_t, 64> kRounds = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t Rotate(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void CompressPortably(std::array<std::uint32_t, 8>& state, const std::uint8_t* block) {
  std::array<std::uint32_t, 64> w{};
  for (int i = 0; i < 16; ++i) {
    w[i] = std::uint32_t{block[4 * i]} << 24 | std::uint32_t{block[4 * i + 1]} << 16 |
           std::uint32_t{block[4 * i + 2]} << 8 | block[4 * i + 3];
  }
  for (int i = 16; i < 64; ++i) {
    const std::uint32_t s0 = Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const std::uint32_t s1 = Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  auto [a, b, c, d, e, f, g, h] = state;
  for (int i = 0; i < 64; ++i) {
    const std::uint32_t t1 = h + (Rotate(e, 6) ^ Rotate(e, 11) ^ Rotate(e, 25)) +
                             ((e & f) ^ (~e & g)) + kRounds[i] + w[i];
    const std::uint32_t t2 =
        (Rotate(a, 2) ^ Rotate(a, 13) ^ Rotate(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  const std::array<std::uint32_t, 8> add{a, b, c, d, e, f, g, h};
  for (int i = 0; i < 8; ++i) state[i] += add[i];
}

#ifdef KALVENOR_SHA_EXTENSIONS
// The processor's SHA extensions, several times as fast: the state held as ABEF and CDGH, two
// rounds an instruction, the message schedule four words an instruction.
bool HasShaExtensions() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_SSSE3) || !(c & bit_SSE4_1)) return false;
  return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_SHA);
}

__attribute__((target("sha,sse4.1"))) void CompressWithShaExtensions(
    std::array<std::uint32_t, 8>& state, const std::uint8_t* data, std::size_t blocks) {
  const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  auto* words = reinterpret_cast<__m128i*>(state.data());
  const __m128i dcba = _mm_shuffle_epi32(_mm_loadu_si128(words), 0xB1);
  const __m128i hgfe = _mm_shuffle_epi32(_mm_loadu_si128(words + 1), 0x1B);
  __m128i abef = _mm_alignr_epi8(dcba, hgfe, 8);
  __m128i cdgh = _mm_blend_epi16(hgfe, dcba, 0xF0);
  for (; blocks > 0; --blocks, data += 64) {
    const __m128i abefBefore = abef, cdghBefore = cdgh;
    __m128i message[4];
    for (int group = 0; group < 16; ++group) {
      __m128i& words4 = message[group % 4];
      if (group < 4) {
        words4 = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * group)), byteSwap);
      } else {
        const __m128i& last = message[(group + 3) % 4];
        const __m128i sum = _mm_add_epi32(_mm_sha256msg1_epu32(words4, message[(group + 1) % 4]),
                                          _mm_alignr_epi8(last, message[(group + 2) % 4], 4));
        words4 = _mm_sha256msg2_epu32(sum, last);
      }
      __m128i rounds = _mm_add_epi32(
          words4, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRounds.data() + 4 * group)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, rounds);
      rounds = _mm_shuffle_epi32(rounds, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, rounds);
    }
    abef = _mm_add_epi32(abef, abefBefore);
    cdgh = _mm_add_epi32(cdgh, cdghBefore);
  }
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(words, _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(words + 1, _mm_alignr_epi8(dchg, feba, 8));
}
#endif

}  // namespace

Sha256::Sha256(bool extensions) {
#ifdef KALVENOR_SHA_EXTENSIONS
  static const bool kAvailable = HasShaExtensions();
  extensions_ = extensions && kAvailable;
#else
  (void)extensions;
#endif
}

void Sha256::Compress(const std::uint8_t* data, std::size_t blocks) {
#ifdef KALVENOR_SHA_EXTENSIONS
  if (extensions_) return CompressWithShaExtensions(state_, data, blocks);
#endif
  for (; blocks > 0; --blocks, data += 64) CompressPortably(state_, data);
}

void Sha256::Add(std::span<const std::byte> bytes) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  std::size_t size = bytes.size();
  length_ += size;
  if (held_ > 0) {
    const std::size_t taken = std::min(size, block_.size() - held_);
    std::copy_n(data, taken, block_.data() + held_);
    held_ += taken;
    data += taken;
    size -= taken;
    if (held_ < block_.size()) return;
    Compress(block_.data(), 1);
    held_ = 0;
  }
  Compress(data, size / 64);
  data += size / 64 * 64;
  size %= 64;
  std::copy_n(data, size, block_.data());
  held_ = size;
}

std::string Sha256::Hex() {
  // The rest, a 1 bit, zeros, and the length in bits, big-endian, in one or two blocks.
  std::array<std::uint8_t, 128> tail{};
  std::copy_n(block_.data(), held_, tail.data());
  tail[held_] = 0x80;
  const std::size_t tailSize = held_ < 56 ? 64 : 128;
  const std::uint64_t bits = length_ * 8;
  for (int i = 0; i < 8; ++i) tail[tailSize - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
  Compress(tail.data(), tailSize / 64);

  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (std::uint32_t word : state_) {
    for (int shift = 28; shift >= 0; shift -= 4) hex += kDigits[(word >> shift) & 0xF];
  }
  return hex;
}

std::string Sha256Hex(std::span<const std::byte> bytes) {
  Sha256 hash;
  hash.Add(bytes);
  return hash.Hex();
}

}  // namespace kalvenor
