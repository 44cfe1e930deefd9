// The type-library reader on arbitrary bytes: it must never read outside them.
#include <cstddef>
#include <cstdint>

#include "inspect/type_library.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)kalvenor::inspect::ReadTypeLibrary({reinterpret_cast<const std::byte*>(data), size});
  return 0;
}
