#pragma once
// The files made of captured registrations: each installs or describes the components as they
// registered, naming the installed copy the way the file's tool names it.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/captured.h"

namespace kalvenor::capture {

// A file an export writes, and what its step tells the log beneath "> Writing file": a note
// for each thing it changed or left out, and a failed line for each it cannot write as the
// format requires (the file is still written, without it).
struct ExportFile {
  std::string path, text;
  // A manifest, checked as Windows reads one for a program of this bitness before it is placed.
  std::optional<platform::RegistryView> manifest;
  std::vector<std::string> notes, failures;
};

// WiX source (the schema of WiX 4 and later): one Fragment with one ComponentGroup, a Component
// for each file in the system folder of its bitness, holding its File and every key and value it
// wrote. UTF-8.
ExportFile WixSource(const std::vector<Captured>& components, std::string_view path);

// The machine's system directories, as a registration of a copy in them writes them: on 64-bit
// Windows C:\Windows\System32 for 64-bit components and C:\Windows\SysWOW64 for 32-bit ones
// (never Sysnative, which exists for 32-bit programs only).
struct SystemDirectories {
  std::string bits32, bits64;
};

// A .reg file for the 64-bit reg.exe (or regedit), UTF-16LE with its byte order mark: each value
// in the view of its component's bitness, as regsvr32.exe of a copy in `system` would write it.
ExportFile RegFile(const std::vector<Captured>& components, const SystemDirectories& system,
                   std::string_view path);

// A registration-free application manifest for the programs of each bitness among the
// components, the components of that bitness in it (UTF-8) among the components, the components of
// that bitness in it, written to `path`; with both bitnesses, each to `path` with ".x86" or ".x64"
// before its extension (app.exe.x86.manifest).
std::vector<ExportFile> Manifests(const std::vector<Captured>& components, std::string_view path);

// One JSON object a line (CR LF) for each captured value, as captured: its component, its view
// (32 or 64), its key with the predefined key's name, its name, its type and its data.
std::string JsonLines(const std::vector<Captured>& components);

}  // namespace kalvenor::capture
