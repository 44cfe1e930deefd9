// Checks the .ico files in resources/icons: each holds the images its window or button
// expects, every directory entry describes the bitmap or PNG it points at, and the images shown
// at 96 DPI stay exactly as they were drawn.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include <zlib.h>

#ifndef KALVENOR_ICON_DIR
#error "KALVENOR_ICON_DIR must name the folder holding the .ico files"
#endif

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Image {
  unsigned size;
  unsigned bpp;
};

struct IconCase {
  const char* file;
  std::vector<Image> images;
  std::uint32_t palette_images_crc;  // CRC-32 of the 4 and 8 bpp images' bytes, in file order
};

void PrintTo(const IconCase& c, std::ostream* os) { *os << c.file; }

constexpr std::size_t kDirHeader = 6, kDirEntry = 16, kInfoHeader = 40;

Bytes ReadIcon(const char* file) {
  std::ifstream in(std::string(KALVENOR_ICON_DIR) + "/" + file, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Little-endian field; callers make sure the bytes exist.
std::uint32_t Le(const Bytes& b, std::size_t at, int width) {
  std::uint32_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = (v << 8) | b[at + i];
  return v;
}

std::size_t Stride(unsigned bits_per_row) { return (bits_per_row + 31) / 32 * 4; }

// 32 bpp images hold B, G, R, alpha per pixel and no colour table.
std::size_t ColourTable(unsigned bpp) { return bpp <= 8 ? 4 * (std::size_t{1} << bpp) : 0; }

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc) {
  crc = ~crc;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

std::uint32_t Be32(const Bytes& b, std::size_t at) {
  return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 |
         std::uint32_t{b[at + 2]} << 8 | b[at + 3];
}

// The rows of a 32 bpp image, which is stored as a PNG: n x n, 8-bit RGBA, every chunk's CRC
// right, the image data inflating to a filter byte of 0 (none) and 4n bytes a row. Empty, with
// the fault added to the test's, when any of that is wrong.
Bytes PngRows(const Bytes& b, std::size_t at, std::size_t size, unsigned n) {
  constexpr std::uint8_t kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (size < 8 || !std::equal(std::begin(kSignature), std::end(kSignature), b.begin() + at)) {
    ADD_FAILURE() << "no PNG signature";
    return {};
  }
  Bytes compressed;
  bool header = false;
  for (std::size_t chunk = at + 8; chunk + 12 <= at + size;) {
    const std::uint32_t length = Be32(b, chunk);
    if (length > at + size - chunk - 12) {
      ADD_FAILURE() << "a chunk runs past the image";
      return {};
    }
    const std::uint8_t* kind = &b[chunk + 4];
    if (crc32(0, kind, length + 4) != Be32(b, chunk + 8 + length)) {
      ADD_FAILURE() << "bad CRC in chunk " << std::string(kind, kind + 4);
      return {};
    }
    const std::string name(kind, kind + 4);
    if (name == "IHDR") {
      header = length == 13 && Be32(b, chunk + 8) == n && Be32(b, chunk + 12) == n &&
               b[chunk + 16] == 8 && b[chunk + 17] == 6;
    } else if (name == "IDAT") {
      compressed.insert(compressed.end(), kind + 4, kind + 4 + length);
    }
    chunk += 12 + length;
  }
  if (!header) {
    ADD_FAILURE() << "no IHDR of an " << n << " x " << n << " 8-bit RGBA image";
    return {};
  }
  Bytes rows(std::size_t{n} * (1 + 4 * n));
  uLongf length = rows.size();
  if (uncompress(rows.data(), &length, compressed.data(), compressed.size()) != Z_OK ||
      length != rows.size()) {
    ADD_FAILURE() << "the image data does not inflate to " << rows.size() << " bytes";
    return {};
  }
  for (unsigned y = 0; y < n; ++y) {
    if (rows[y * (1 + 4 * n)] != 0) {
      ADD_FAILURE() << "row " << y << " is filtered";
      return {};
    }
  }
  return rows;
}

class IconFile : public ::testing::TestWithParam<IconCase> {
 protected:
  void SetUp() override {
    bytes_ = ReadIcon(GetParam().file);
    ASSERT_GE(bytes_.size(), kDirHeader) << GetParam().file << " is missing or truncated";
    ASSERT_GE(bytes_.size(), kDirHeader + kDirEntry * Count());
  }
  std::size_t Count() const { return Le(bytes_, 4, 2); }
  std::size_t Entry(std::size_t i) const { return kDirHeader + kDirEntry * i; }
  Bytes bytes_;
};

TEST_P(IconFile, ListsTheExpectedImagesInOrder) {
  const auto& want = GetParam().images;
  EXPECT_EQ(Le(bytes_, 0, 2), 0u);  // reserved
  EXPECT_EQ(Le(bytes_, 2, 2), 1u);  // 1 = icon, 2 = cursor
  ASSERT_EQ(Count(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE("image " + std::to_string(i));
    const std::size_t e = Entry(i);
    EXPECT_EQ(bytes_[e], want[i].size);
    EXPECT_EQ(bytes_[e + 1], want[i].size);
    EXPECT_EQ(bytes_[e + 2], want[i].bpp == 4 ? 16u : 0u);  // palette size; 0 means 256
    EXPECT_EQ(bytes_[e + 3], 0u);
    EXPECT_EQ(Le(bytes_, e + 4, 2), 1u);
    EXPECT_EQ(Le(bytes_, e + 6, 2), want[i].bpp);
  }
}

TEST_P(IconFile, EntriesDescribeTheirBitmaps) {
  std::size_t end = kDirHeader + kDirEntry * Count();
  for (std::size_t i = 0; i < Count(); ++i) {
    SCOPED_TRACE("image " + std::to_string(i));
    const std::size_t e = Entry(i);
    const unsigned n = bytes_[e], bpp = Le(bytes_, e + 6, 2);
    const std::size_t size = Le(bytes_, e + 8, 4), at = Le(bytes_, e + 12, 4);
    ASSERT_TRUE(bpp == 4 || bpp == 8 || bpp == 32) << bpp << " bits per pixel";
    ASSERT_GE(at, end) << "overlaps the directory or the previous image";
    ASSERT_LE(at + kInfoHeader, bytes_.size());
    ASSERT_LE(at + size, bytes_.size());
    end = at + size;
    if (bpp == 32) {
      EXPECT_FALSE(PngRows(bytes_, at, size, n).empty());
      continue;
    }
    EXPECT_EQ(Le(bytes_, at, 4), kInfoHeader);
    EXPECT_EQ(Le(bytes_, at + 4, 4), n);
    EXPECT_EQ(Le(bytes_, at + 8, 4), 2 * n);  // colour rows plus mask rows
    EXPECT_EQ(Le(bytes_, at + 12, 2), 1u);
    EXPECT_EQ(Le(bytes_, at + 14, 2), bpp);
    EXPECT_EQ(Le(bytes_, at + 16, 4), 0u);  // uncompressed
    const std::size_t pixels = (Stride(n * bpp) + Stride(n)) * n;
    EXPECT_EQ(Le(bytes_, at + 20, 4), pixels);
    EXPECT_EQ(size, kInfoHeader + ColourTable(bpp) + pixels);
  }
  EXPECT_EQ(end, bytes_.size()) << "trailing bytes after the last image";
}

// Windows XORs the colour data onto the screen where the mask is set, so anything but index 0
// there shows up as noise around the picture. A 32 bpp image is drawn through its alpha channel.
TEST_P(IconFile, MaskedPixelsAreBlackAndSomethingIsDrawn) {
  for (std::size_t i = 0; i < Count(); ++i) {
    SCOPED_TRACE("image " + std::to_string(i));
    const std::size_t e = Entry(i), size = Le(bytes_, e + 8, 4), at = Le(bytes_, e + 12, 4);
    const unsigned n = bytes_[e], bpp = Le(bytes_, e + 6, 2);
    ASSERT_TRUE(bpp == 4 || bpp == 8 || bpp == 32) << bpp << " bits per pixel";
    ASSERT_LE(at + size, bytes_.size());
    std::size_t opaque = 0;
    if (bpp == 32) {
      const Bytes rows = PngRows(bytes_, at, size, n);
      ASSERT_FALSE(rows.empty());
      for (unsigned y = 0; y < n; ++y) {
        for (unsigned x = 0; x < n; ++x) opaque += rows[y * (1 + 4 * n) + 1 + 4 * x + 3] != 0;
      }
    } else {
      const std::size_t xor_at = at + kInfoHeader + ColourTable(bpp);
      const std::size_t and_at = xor_at + Stride(n * bpp) * n;
      ASSERT_LE(and_at + Stride(n) * n, bytes_.size());
      for (unsigned y = 0; y < n; ++y) {
        for (unsigned x = 0; x < n; ++x) {
          const std::uint8_t px = bytes_[xor_at + y * Stride(n * bpp) + x * bpp / 8];
          const unsigned value = bpp == 8 ? px : (x % 2 ? px & 0xF : px >> 4);
          if (bytes_[and_at + y * Stride(n) + x / 8] & (0x80 >> (x % 8))) {
            EXPECT_EQ(value, 0u) << "pixel " << x << " of row " << y << " from the bottom";
          } else {
            ++opaque;
          }
        }
      }
    }
    EXPECT_GT(opaque, 0u) << "image is empty";
    EXPECT_LT(opaque, std::size_t{n} * n) << "image has no transparent background";
  }
}

// The 4 and 8 bpp images are what 96 DPI displays show; adding larger images must not touch them.
TEST_P(IconFile, PaletteImagesAreUnchanged) {
  std::uint32_t crc = 0;
  for (std::size_t i = 0; i < Count(); ++i) {
    const std::size_t e = Entry(i), size = Le(bytes_, e + 8, 4), at = Le(bytes_, e + 12, 4);
    if (Le(bytes_, e + 6, 2) > 8) continue;
    ASSERT_LE(at + size, bytes_.size());
    crc = Crc32(bytes_.data() + at, size, crc);
  }
  EXPECT_EQ(crc, GetParam().palette_images_crc);
}

INSTANTIATE_TEST_SUITE_P(
    Resources, IconFile,
    ::testing::Values(
        IconCase{"setup.ico", {{16, 8}, {32, 8}, {48, 32}, {64, 32}}, 0xbcb0078f},
        IconCase{"install.ico", {{32, 4}, {48, 32}, {64, 32}}, 0x40292826},
        IconCase{"exit.ico", {{16, 4}, {24, 4}, {32, 4}, {48, 32}, {64, 32}}, 0x0654ee19},
        IconCase{"overwrite.ico", {{32, 4}, {48, 32}, {64, 32}}, 0xeefd172d},
        IconCase{"remove.ico", {{32, 4}, {48, 32}, {64, 32}}, 0xad50fde2},
        IconCase{"manual.ico", {{32, 4}, {48, 32}, {64, 32}}, 0x1e7f163b},
        IconCase{"automatic.ico", {{32, 8}, {48, 8}, {16, 8}, {48, 32}, {64, 32}}, 0xf5e438a5}),
    [](const ::testing::TestParamInfo<IconCase>& info) {
      const std::string name = info.param.file;
      return name.substr(0, name.find('.'));
    });

}  // namespace
