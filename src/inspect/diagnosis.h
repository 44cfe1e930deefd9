#pragma once
// Why the registration tool failed on a component, read from the component's file and what it
// needs, without running any of its code; and what the tool will do with it.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "inspect/pe_image.h"
#include "platform/system.h"

namespace kalvenor::inspect {

// One step of a run, as the tool was given it.
struct Component {
  std::string copy;       // the file the tool loads: the copy in the system directory
  std::string listed;     // the listed file it came from; empty when that is the copy itself
  std::string systemDir;  // of the tool's bitness, without a trailing backslash
  bool registering = true;
};

// What the tool will do, as far as the file tells: its exit code when it cannot go on.
enum class Outcome : std::uint32_t {
  RunsEntryPoint = 0,  // it loads the file and calls its entry point, which decides
  CannotLoad = 3,
  NoEntryPoint = 4,
  // Built for the other of x86 and x64: the tool cannot load it, and hands it to the tool of its
  // bitness where the system has one that runs (64-bit Windows), which then decides; where
  // there is none, it exits 3.
  OtherBitness = 0x100,
};

struct Diagnosis {
  Outcome outcome = Outcome::RunsEntryPoint;
  // What the log says after the failed line, most likely first; each names the file and
  // what to do.
  std::vector<std::string> causes;
};

inline constexpr std::size_t kMaxCauses = 5;

// How the log names a machine's bitness ("32-bit", "64-bit", "ARM64"), and what registers a
// DLL built for it ("the x64 build of Kalvenor").
const char* BitsOf(Machine machine);
const char* RegistrarFor(Machine machine);

// `exitCode` is the tool's, or nothing when it could not be started.
Diagnosis Diagnose(platform::System& system, const Component& component,
                   std::optional<std::uint32_t> exitCode);

}  // namespace kalvenor::inspect
