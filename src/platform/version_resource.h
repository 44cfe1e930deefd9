#pragma once
// Reads the program's title and version out of the raw bytes of its version resource.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kalvenor::platform {

struct VersionRecords {
  std::string title;  // the ProductName string, UTF-8
  int major = 0;
  int minor = 0;
  int revision = 0;  // the fourth number of the file version
};

// Nothing when the bytes are not a well-formed version resource; never reads outside them.
std::optional<VersionRecords> ParseVersionResource(std::span<const std::byte> resource);

}  // namespace kalvenor::platform
