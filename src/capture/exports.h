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

// Registration-free COM for the programs of each bitness among the components, three UTF-8
// files for each, in `path`'s folder, the name of its file without ".manifest" and ".exe" as
// the stem (app for app.exe.manifest):
// - a private assembly, <stem>.components, in <stem>.components.manifest (the file name is the
//   assembly's, as Windows probes the program's folder for it), holding the components' classes,
//   type libraries and the interfaces their own proxy/stubs marshal, each in its <file>, and
//   those the type library marshaller does; its step notes each thing left out, and fails a
//   class whose threading model Windows does not know (it is written without one) and each
//   thing holding a control character that XML cannot carry (it is left out);
// - the dependency a program with a manifest of its own gains to use it, alone in
//   <stem>.dependency.manifest, its step saying how mt.exe merges it;
// - for a program without a manifest of its own, at `path`, the application manifest holding
//   the same files inline, so that it works with nothing else beside the program.
// With both bitnesses each name carries ".x86" or ".x64": app.components.x64.manifest naming the
// assembly app.components.x64, app.dependency.x64.manifest, app.exe.x64.manifest.
std::vector<ExportFile> Manifests(const std::vector<Captured>& components, std::string_view path);

// The three files Manifests writes for `path` for one bitness, `bits` "" or ".x86" or ".x64", and
// the name of the assembly.
struct ManifestNames {
  std::string assembly, dependency, application, assemblyName;
};
ManifestNames ManifestNamesOf(std::string_view path, std::string_view bits);
// Every other file a manifest export at `path` may write beside it, for either bitness or both.
std::vector<std::string> ManifestOwnFiles(std::string_view path);

// One JSON object a line (CR LF) for each captured value, as captured: its component, its view
// (32 or 64), its key with the predefined key's name, its name, its type and its data.
std::string JsonLines(const std::vector<Captured>& components);

}  // namespace kalvenor::capture
