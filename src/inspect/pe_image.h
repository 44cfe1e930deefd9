#pragma once
// Reads what the program needs to know about a component from the bytes of its PE image: the
// bitness it was built for, whether it is a DLL or a .NET assembly, its exports and imports (to
// say why registration failed) and its embedded type library and manifest.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/version_resource.h"

namespace kalvenor::inspect {

enum class Machine { Unknown, X86, X64, Arm64 };

struct ImportedFunction {
  std::string name;           // empty when imported by ordinal
  std::uint16_t ordinal = 0;  // only when imported by ordinal
  bool byOrdinal = false;
};

struct ImportedDll {
  std::string name;
  bool delayLoaded = false;
  std::vector<ImportedFunction> functions;
};

struct PeImage {
  Machine machine = Machine::Unknown;
  std::uint16_t machineCode = 0;       // the raw IMAGE_FILE_HEADER.Machine
  bool pe32Plus = false;               // optional header magic 0x20B
  bool isDll = false;                  // IMAGE_FILE_DLL
  bool isDotNet = false;               // a CLR header (data directory 14) is present
  std::vector<std::string> exports;    // exported names, as in the image
  std::vector<ImportedDll> imports;    // the import directory, then the delay-import directory
  std::vector<std::byte> typeLibrary;  // the first resource of the named type "TYPELIB"
  std::string manifest;                // the first RT_MANIFEST resource
  std::optional<platform::FileVersion> version;  // of the first RT_VERSION resource
  // Some table (imports, exports, resources) ran outside the file or past a limit and was read
  // only up to there: what the lists hold is real, but they may be incomplete.
  bool damaged = false;

  bool Exports(std::string_view name) const;  // exact, case-sensitive
};

inline constexpr std::size_t kMaxImageBytes = 64u << 20;  // callers read no more than this

// The machine of a PE image from its headers alone (the first kilobytes of the file suffice);
// Unknown when the bytes are no PE image or of another machine.
Machine ReadMachine(std::span<const std::byte> bytes);

// Nothing when the bytes are not a PE image (no MZ, no PE\0\0, bad optional header or section
// table). Never reads outside `bytes`.
std::optional<PeImage> ReadPeImage(std::span<const std::byte> bytes);

}  // namespace kalvenor::inspect
