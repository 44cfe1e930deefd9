#include "inspect/registration_tool.h"
#include "base/text.h"

namespace kalvenor::inspect {
namespace {

const char* ReasonOf(std::uint32_t exitCode) {
  switch (static_cast<ToolExit>(exitCode)) {
    case ToolExit::BadCommandLine: return "invalid command line";
    case ToolExit::OleFailed: return "OLE could not be initialised";
    case ToolExit::CannotLoad: return "the file could not be loaded";
    case ToolExit::NoEntryPoint: return "the file has no registration entry point";
    case ToolExit::EntryPointFailed: return "the registration entry point reported an error";
    case ToolExit::Success: break;
  }
  return nullptr;
}

}  // namespace

std::string Hex(std::uint32_t code) { return "0x" + HexDigits(code, 8); }

std::string ToolExitText(std::uint32_t exitCode) {
  std::string text = "regsvr32.exe exit code ";
  if (IsCrash(exitCode)) return text + Hex(exitCode);
  text += std::to_string(exitCode);
  if (const char* reason = ReasonOf(exitCode)) text += std::string(", ") + reason;
  return text;
}

Machine ToolMachine(const platform::System& system) {
  return system.App().bits == 64 ? Machine::X64 : Machine::X86;
}

Machine ToolOf(const platform::System& system, const Component& component) {
  return component.tool == Machine::Unknown ? ToolMachine(system) : component.tool;
}

std::string LoaderSystemDir(const platform::System& system, Machine tool) {
  const platform::SystemFolders own = system.SystemFoldersOf();
  if (tool == ToolMachine(system)) return own.system;
  if (own.wow64.empty()) return {};
  return tool == Machine::X86 ? own.wow64 : own.windows + "\\Sysnative";
}

bool IsOtherBitness(Machine component, Machine tool) {
  return component != tool && (component == Machine::X86 || component == Machine::X64);
}

platform::RegistryView ViewOf(Machine machine) {
  return machine == Machine::X86 ? platform::RegistryView::Bits32 : platform::RegistryView::Bits64;
}

const char* BitsOf(Machine machine) {
  switch (machine) {
    case Machine::X86: return "32-bit";
    case Machine::X64: return "64-bit";
    case Machine::Arm64: return "ARM64";
    case Machine::Unknown: break;
  }
  return "unknown";
}

const char* RegistrarFor(Machine machine) {
  switch (machine) {
    case Machine::X86: return "the x86 build of Kalvenor";
    case Machine::X64: return "the x64 build of Kalvenor";
    case Machine::Arm64:
    case Machine::Unknown: break;
  }
  return "a registration tool of its own kind";
}

}  // namespace kalvenor::inspect
