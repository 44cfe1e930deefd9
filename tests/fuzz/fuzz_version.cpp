// Fuzzes the reader of the program's version resource: any bytes, never a read outside them.
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/version_resource.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)kalvenor::platform::ParseVersionResource(
      std::span(reinterpret_cast<const std::byte*>(data), size));
  return 0;
}
