// The PE reader on damaged images: it must never read outside the bytes it is given. Raw bytes
// rarely get past the headers, so besides reading the input as it is, the input is laid over a
// well-formed image that has every table the reader follows; the reader must stay inside that
// image however its offsets and sizes were changed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "inspect/pe_image.h"
#include "pe_writer.h"

namespace {

using kalvenor::inspect::Machine;
using kalvenor::testing::PeWriter;

std::vector<std::byte> FullImage(Machine machine) {
  PeWriter writer(machine);
  writer.Dll(true)
      .Export("DllRegisterServer")
      .Export("DllUnregisterServer")
      .Import("kernel32.dll", {"LoadLibraryW", PeWriter::Function::Ordinal(7)})
      .DelayImport("oleaut32.dll", {"SysAllocString"}, machine == Machine::X86)
      .TypeLibrary(std::vector<std::byte>(64, std::byte{'T'}))
      .Manifest("<assembly/>");
  return writer.Build();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto* bytes = reinterpret_cast<const std::byte*>(data);
  (void)kalvenor::inspect::ReadPeImage({bytes, size});

  // The first byte picks the template and where the rest of the input lands in it.
  if (size < 2) return 0;
  static const std::vector<std::byte> templates[] = {FullImage(Machine::X86),
                                                     FullImage(Machine::X64)};
  const std::vector<std::byte>& base = templates[data[0] & 1];
  std::vector<std::byte> image = base;
  std::size_t at = (data[0] >> 1) * image.size() / 128;
  for (std::size_t i = 1; i < size && at < image.size(); ++i, ++at) image[at] ^= bytes[i];
  // Cut the copy short too, so that tables run off the end of the file. A fresh allocation of the
  // exact size lets the sanitizer catch a read one past it.
  std::size_t keep = std::max<std::size_t>(at, image.size() - (data[size - 1] % 64) * 8);
  std::vector<std::byte> cut(image.begin(), image.begin() + std::min(keep, image.size()));
  (void)kalvenor::inspect::ReadPeImage(cut);
  return 0;
}
