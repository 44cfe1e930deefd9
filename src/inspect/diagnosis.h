#pragma once
// Why the registration tool failed on a component, read from the component's file and what it
// needs, without running any of its code; and what the tool will do with it.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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
};

struct Diagnosis {
  Outcome outcome = Outcome::RunsEntryPoint;
  // What the log says after the failed line, most likely first; each names the file and
  // what to do.
  std::vector<std::string> causes;
};

inline constexpr std::size_t kMaxCauses = 5;

// `exitCode` is the tool's, or nothing when it could not be started.
Diagnosis Diagnose(platform::System& system, const Component& component,
                   std::optional<std::uint32_t> exitCode);

}  // namespace kalvenor::inspect
