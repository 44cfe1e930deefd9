#pragma once
// Reads the program's title and version out of the raw bytes of its version resource.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kalvenor::platform {

struct VersionRecords {
  std::string title;  // the ProductName string, UTF-8
  int major = 0;
  int minor = 0;
  int revision = 0;  // the fourth number of the file version
};

// Nothing when the bytes are not a well-formed version resource; never reads outside them.
std::optional<VersionRecords> ParseVersionResource(std::span<const std::byte> resource);

// A file's version, the four numbers of its fixed version information: higher is newer.
struct FileVersion {
  std::uint64_t value = 0;   // major, minor, build, revision: 16 bits each, major highest
  std::string Text() const;  // "6.1.98.39"
  auto operator<=>(const FileVersion&) const = default;
};
std::optional<FileVersion> ParseFileVersion(std::span<const std::byte> resource);
// "6.1.98.39", or fewer numbers ("6.1": 6.1.0.0), each at most 65535; nothing otherwise.
std::optional<FileVersion> FileVersionFromText(std::string_view text);

}  // namespace kalvenor::platform
