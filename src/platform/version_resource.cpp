#include "platform/version_resource.h"

#include <charconv>
#include <string_view>

#include "platform/byte_reader.h"
#include "platform/registry_strings.h"

namespace kalvenor::platform {
namespace {

constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr std::size_t kFixedInfoSize = 52;
constexpr std::size_t kBlockHeader = 6;  // length, value length, type: three 16-bit words

using Reader = platform::ByteReader;

std::size_t Align4(std::size_t offset) { return (offset + 3) & ~std::size_t{3}; }

// A NUL-ended UTF-16 text at `offset`, within `end`; sets `next` after its NUL.
std::optional<std::string> Utf16At(const Reader& in, std::size_t offset, std::size_t end,
                                   std::size_t& next) {
  std::string text;
  while (offset + 2 <= end) {
    char32_t unit = in.Word(offset);
    offset += 2;
    if (unit == 0) {
      next = offset;
      return text;
    }
    if (unit >= 0xD800 && unit <= 0xDBFF && offset + 2 <= end) {
      const char32_t low = in.Word(offset);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        offset += 2;
      }
    }
    AppendUtf8(text, unit);
  }
  return std::nullopt;
}

struct Block {
  std::size_t end = 0;  // first byte after the block
  std::string key;
  std::size_t value = 0;  // offset of the value
  std::size_t valueBytes = 0;
  std::size_t children = 0;  // offset of the first child
};

std::optional<Block> BlockAt(const Reader& in, std::size_t offset, std::size_t limit) {
  if (offset + kBlockHeader > limit || !in.Has(offset, kBlockHeader)) return std::nullopt;
  const std::size_t length = in.Word(offset);
  if (length < kBlockHeader || offset + length > limit) return std::nullopt;
  Block block;
  block.end = offset + length;
  const bool text = in.Word(offset + 4) == 1;
  std::size_t afterKey = 0;
  auto key = Utf16At(in, offset + kBlockHeader, block.end, afterKey);
  if (!key) return std::nullopt;
  block.key = std::move(*key);
  block.value = Align4(afterKey);
  block.valueBytes = in.Word(offset + 2) * (text ? 2u : 1u);
  if (block.value + block.valueBytes > block.end) block.valueBytes = 0;
  block.children = Align4(block.value + block.valueBytes);
  return block;
}

// Looks for the ProductName string anywhere below `parent`.
std::optional<std::string> FindTitle(const Reader& in, const Block& parent, int depth) {
  if (depth > 4) return std::nullopt;
  for (std::size_t at = parent.children; at < parent.end;) {
    auto child = BlockAt(in, at, parent.end);
    if (!child) return std::nullopt;
    if (child->key == "ProductName" && child->valueBytes > 0) {
      std::size_t ignored = 0;
      return Utf16At(in, child->value, child->value + child->valueBytes, ignored);
    }
    if (auto found = FindTitle(in, *child, depth + 1)) return found;
    at = Align4(child->end);
  }
  return std::nullopt;
}

// The root block, when it holds the fixed version information.
std::optional<Block> FixedRoot(const Reader& in) {
  auto root = BlockAt(in, 0, in.Size());
  if (!root || root->key != "VS_VERSION_INFO" || root->valueBytes < kFixedInfoSize ||
      in.Dword(root->value) != kFixedInfoSignature) {
    return std::nullopt;
  }
  return root;
}

}  // namespace

std::string FileVersion::Text() const {
  std::string text;
  for (int shift = 48; shift >= 0; shift -= 16) {
    text += std::to_string((value >> shift) & 0xFFFF) + (shift ? "." : "");
  }
  return text;
}

std::optional<FileVersion> FileVersionFromText(std::string_view text) {
  std::uint64_t value = 0;
  int parts = 0;
  for (const char* at = text.data(); parts < 4; ++parts) {
    unsigned part = 0;
    const auto [end, error] = std::from_chars(at, text.data() + text.size(), part);
    if (error != std::errc() || part > 0xFFFF || end == at) return std::nullopt;
    value |= std::uint64_t{part} << (48 - 16 * parts);
    at = end;
    if (at == text.data() + text.size()) return FileVersion{value};
    if (*at++ != '.') return std::nullopt;
  }
  return std::nullopt;
}

std::optional<FileVersion> ParseFileVersion(std::span<const std::byte> resource) {
  const Reader in(resource);
  const auto root = FixedRoot(in);
  if (!root) return std::nullopt;
  return FileVersion{std::uint64_t{in.Dword(root->value + 8)} << 32 | in.Dword(root->value + 12)};
}

std::optional<VersionRecords> ParseVersionResource(std::span<const std::byte> resource) {
  const Reader in(resource);
  auto root = FixedRoot(in);
  if (!root) return std::nullopt;
  VersionRecords records;
  const std::uint32_t versionMs = in.Dword(root->value + 8);
  const std::uint32_t versionLs = in.Dword(root->value + 12);
  records.major = static_cast<int>(versionMs >> 16);
  records.minor = static_cast<int>(versionMs & 0xFFFF);
  records.revision = static_cast<int>(versionLs & 0xFFFF);
  auto title = FindTitle(in, *root, 0);
  if (!title) return std::nullopt;
  records.title = std::move(*title);
  return records;
}

}  // namespace kalvenor::platform
