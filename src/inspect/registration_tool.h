#pragma once
// The registration tool's contract: what a step gives it, the bitness and registry view it
// works in, and what its exit codes mean. The inspection and the run's log read it from here.

#include <cstddef>
#include <cstdint>
#include <string>

#include "inspect/pe_image.h"
#include "platform/system.h"

namespace kalvenor::inspect {

// One step of a run, as the tool was given it.
struct Component {
  std::string copy;       // the file the tool loads: the copy in the system directory
  std::string listed;     // the listed file it came from; empty when that is the copy itself
  std::string systemDir;  // of the tool's bitness, without a trailing backslash
  bool registering = true;
  Machine tool = Machine::Unknown;  // the tool's machine; Unknown for the program's own
};

// The most lines the inspection adds under one step.
inline constexpr std::size_t kMaxCauses = 5;

// The tool's exit codes with a meaning of their own; above 255, a code is the exception status
// of a crash.
enum class ToolExit : std::uint32_t {
  Success = 0,
  BadCommandLine = 1,
  OleFailed = 2,
  CannotLoad = 3,
  NoEntryPoint = 4,
  EntryPointFailed = 5,
};
inline bool IsCrash(std::uint32_t exitCode) { return exitCode > 255; }

// "regsvr32.exe exit code 3, the file could not be loaded"; a crash's code in hexadecimal.
std::string ToolExitText(std::uint32_t exitCode);
std::string Hex(std::uint32_t code);  // 0x0000ABCD

// The tool of the program's bitness.
Machine ToolMachine(const platform::System& system);
// The tool that registers the component.
Machine ToolOf(const platform::System& system, const Component& component);
// The system directory that the loader of a process of the tool's bitness searches, as the
// system names it whatever WINDIR says and this program reaches it; empty where this Windows has
// none of that bitness.
std::string LoaderSystemDir(const platform::System& system, Machine tool);
// Built for the other of x86 and x64: the tool hands such a DLL to the tool of its bitness,
// where the system runs one, which registers it in its own registry view.
bool IsOtherBitness(Machine component, Machine tool);
// The registry view a component of this machine reads and writes.
platform::RegistryView ViewOf(Machine machine);

// How the log names a machine's bitness ("32-bit", "64-bit", "ARM64"), and what registers a
// DLL built for it ("the x64 build of Kalvenor").
const char* BitsOf(Machine machine);
const char* RegistrarFor(Machine machine);

}  // namespace kalvenor::inspect
