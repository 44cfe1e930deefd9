// Checks the .ico files in resources/icons: each holds the images its window or button
// expects, and every directory entry describes the bitmap it points at.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

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
    ASSERT_TRUE(bpp == 4 || bpp == 8) << bpp << " bits per pixel";
    ASSERT_GE(at, end) << "overlaps the directory or the previous image";
    ASSERT_LE(at + kInfoHeader, bytes_.size());
    ASSERT_LE(at + size, bytes_.size());
    EXPECT_EQ(Le(bytes_, at, 4), kInfoHeader);
    EXPECT_EQ(Le(bytes_, at + 4, 4), n);
    EXPECT_EQ(Le(bytes_, at + 8, 4), 2 * n);  // colour rows plus mask rows
    EXPECT_EQ(Le(bytes_, at + 12, 2), 1u);
    EXPECT_EQ(Le(bytes_, at + 14, 2), bpp);
    EXPECT_EQ(Le(bytes_, at + 16, 4), 0u);  // uncompressed
    const std::size_t pixels = (Stride(n * bpp) + Stride(n)) * n;
    EXPECT_EQ(Le(bytes_, at + 20, 4), pixels);
    EXPECT_EQ(size, kInfoHeader + 4 * (std::size_t{1} << bpp) + pixels);
    end = at + size;
  }
  EXPECT_EQ(end, bytes_.size()) << "trailing bytes after the last image";
}

// Windows XORs the colour data onto the screen where the mask is set, so anything but
// index 0 there shows up as noise around the picture.
TEST_P(IconFile, MaskedPixelsAreBlackAndSomethingIsDrawn) {
  for (std::size_t i = 0; i < Count(); ++i) {
    SCOPED_TRACE("image " + std::to_string(i));
    const std::size_t e = Entry(i), at = Le(bytes_, e + 12, 4);
    const unsigned n = bytes_[e], bpp = Le(bytes_, e + 6, 2);
    ASSERT_TRUE(bpp == 4 || bpp == 8) << bpp << " bits per pixel";
    const std::size_t xor_at = at + kInfoHeader + 4 * (std::size_t{1} << bpp);
    const std::size_t and_at = xor_at + Stride(n * bpp) * n;
    ASSERT_LE(and_at + Stride(n) * n, bytes_.size());
    std::size_t opaque = 0;
    for (unsigned y = 0; y < n; ++y) {
      for (unsigned x = 0; x < n; ++x) {
        const std::uint8_t px = bytes_[xor_at + y * Stride(n * bpp) + x * bpp / 8];
        const unsigned index = bpp == 8 ? px : (x % 2 ? px & 0xF : px >> 4);
        if (bytes_[and_at + y * Stride(n) + x / 8] & (0x80 >> (x % 8))) {
          EXPECT_EQ(index, 0u) << "pixel " << x << " of row " << y << " from the bottom";
        } else {
          ++opaque;
        }
      }
    }
    EXPECT_GT(opaque, 0u) << "image is empty";
    EXPECT_LT(opaque, std::size_t{n} * n) << "image has no transparent background";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Resources, IconFile,
    ::testing::Values(IconCase{"setup.ico", {{16, 8}, {32, 8}}}, IconCase{"install.ico", {{32, 4}}},
                      IconCase{"exit.ico", {{16, 4}, {24, 4}, {32, 4}}},
                      IconCase{"overwrite.ico", {{32, 4}}}, IconCase{"remove.ico", {{32, 4}}},
                      IconCase{"manual.ico", {{32, 4}}},
                      IconCase{"automatic.ico",
                               {{32, 4}, {16, 4}, {48, 4}, {32, 8}, {48, 8}, {16, 8}}}),
    [](const ::testing::TestParamInfo<IconCase>& info) {
      const std::string name = info.param.file;
      return name.substr(0, name.find('.'));
    });

}  // namespace
