#include "platform/version_resource.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kalvenor::testing {
namespace {

using Bytes = std::vector<std::byte>;

// Builds version resource blocks the way the resource compiler lays them out.
class Block {
 public:
  Block(std::u16string key, Bytes value, bool text, std::vector<Block> children = {})
      : key_(std::move(key)),
        value_(std::move(value)),
        text_(text),
        children_(std::move(children)) {}

  Bytes Serialize() const {
    Bytes out(6);
    for (char16_t c : key_ + u'\0') Put16(out, c);
    Align(out);
    out.insert(out.end(), value_.begin(), value_.end());
    Align(out);
    for (const Block& child : children_) {
      const Bytes bytes = child.Serialize();
      out.insert(out.end(), bytes.begin(), bytes.end());
      Align(out);
    }
    Set16(out, 0, out.size());
    Set16(out, 2, text_ ? value_.size() / 2 : value_.size());
    Set16(out, 4, text_ ? 1 : 0);
    return out;
  }

  static Bytes Text(std::u16string text) {
    Bytes out;
    for (char16_t c : text + u'\0') Put16(out, c);
    return out;
  }
  static Bytes FixedInfo(std::uint32_t versionMs, std::uint32_t versionLs) {
    Bytes out;
    for (std::uint32_t word : {0xFEEF04BDu, 0x00010000u, versionMs, versionLs, versionMs, versionLs,
                               0x3Fu, 0u, 4u, 1u, 0u, 0u, 0u}) {
      Put16(out, word & 0xFFFF);
      Put16(out, word >> 16);
    }
    return out;
  }

 private:
  static void Put16(Bytes& out, unsigned value) {
    out.push_back(std::byte(value & 0xFF));
    out.push_back(std::byte(value >> 8));
  }
  static void Set16(Bytes& out, std::size_t at, std::size_t value) {
    out[at] = std::byte(value & 0xFF);
    out[at + 1] = std::byte(value >> 8);
  }
  static void Align(Bytes& out) {
    while (out.size() % 4) out.push_back(std::byte{0});
  }

  std::u16string key_;
  Bytes value_;
  bool text_;
  std::vector<Block> children_;
};

Bytes Resource(std::u16string productName) {
  const Block strings(u"StringFileInfo", {}, true,
                      {Block(u"040904b0", {}, true,
                             {Block(u"CompanyName", Block::Text(u"Someone"), true),
                              Block(u"ProductName", Block::Text(productName), true)})});
  return Block(u"VS_VERSION_INFO", Block::FixedInfo(0x00010000, 0x00000004), false, {strings})
      .Serialize();
}

TEST(VersionResource, ReadsTitleAndVersion) {
  auto records = platform::ParseVersionResource(Resource(u"Kalvenor"));
  ASSERT_TRUE(records);
  EXPECT_EQ(records->title, "Kalvenor");
  EXPECT_EQ(records->major, 1);
  EXPECT_EQ(records->minor, 0);
  EXPECT_EQ(records->revision, 4);
}

TEST(VersionResource, TitleInAnyScriptComesBackAsUtf8) {
  auto records = platform::ParseVersionResource(Resource(u"Καλβ\U0001F600"));
  ASSERT_TRUE(records);
  EXPECT_EQ(records->title, "Καλβ\U0001F600");
}

// Every cut of a good resource, and bytes flipped in it, are refused or read within bounds.
TEST(VersionResource, DamagedInputIsRefusedNeverOverread) {
  const Bytes good = Resource(u"Kalvenor");
  for (std::size_t size = 0; size < good.size(); ++size) {
    const Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size));
    EXPECT_FALSE(platform::ParseVersionResource(cut)) << "cut at " << size;
  }
  for (std::size_t at = 0; at < good.size(); ++at) {
    Bytes flipped = good;
    flipped[at] ^= std::byte{0xFF};
    (void)platform::ParseVersionResource(flipped);  // must not crash; ASan checks the reads
  }
}

}  // namespace
}  // namespace kalvenor::testing
