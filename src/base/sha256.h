#pragma once
// SHA-256 of a file's bytes, for the journal: a backup is put back, and a copy is taken for the
// run's own, only when its bytes are those the journal recorded.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kalvenor {

// The digest of bytes handed over in pieces of any size, so that a file of any size is hashed
// as it is read.
class Sha256 {
 public:
  // With `extensions`, the processor's SHA instructions where it has them.
  explicit Sha256(bool extensions = true);
  void Add(std::span<const std::byte> bytes);
  // The digest as 64 lower-case hexadecimal digits; the hash takes no more bytes after it.
  std::string Hex();

 private:
  std::array<std::uint32_t, 8> state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::array<std::uint8_t, 64> block_{};
  std::size_t held_ = 0;  // bytes of block_ that wait for the rest of their block
  std::uint64_t length_ = 0;
  bool extensions_ = false;
  void Compress(const std::uint8_t* data, std::size_t blocks);
};

// The digest of `bytes` as 64 lower-case hexadecimal digits.
std::string Sha256Hex(std::span<const std::byte> bytes);

}  // namespace kalvenor
