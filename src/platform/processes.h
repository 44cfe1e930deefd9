#pragma once
// Starting programs and waiting for them; this program's own process.

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/types.h"

namespace kalvenor::platform {

enum class Wake { Ended, Events, Timeout };

class Process {
 public:
  virtual ~Process() = default;
  // Sleeps until the process has ended or events arrive for the program's windows.
  Wake WaitForExitOrEvents() { return Wait(std::nullopt); }
  // The same, or until `timeoutMs` have passed: then Wake::Timeout.
  Wake WaitForExitOrEvents(std::uint32_t timeoutMs) { return Wait(timeoutMs); }
  // Valid once WaitForExitOrEvents has reported Wake::Ended: the exit code, or the system's
  // reason why it cannot be known (the wait itself failed).
  virtual Result<std::uint32_t> ExitCode() const = 0;
  // Flashes the process's visible top-level windows until the user comes to them.
  virtual void FlashWindows() = 0;

 private:
  // Without a timeout, waits as long as it takes.
  virtual Wake Wait(std::optional<std::uint32_t> timeoutMs) = 0;
};

enum class ShowWindow { Normal = 1 };

class Processes {
 public:
  virtual ~Processes() = default;
  // Starts `program` with `commandLine` (which by convention begins with the program's path),
  // its current folder `folder`: a child never inherits this program's, where a DLL that
  // happens to lie there would load into it.
  virtual Result<std::unique_ptr<Process>> Start(std::string_view program,
                                                 std::string_view commandLine,
                                                 std::string_view folder, ShowWindow show) = 0;
  // The id of this program's own process, which no other running process has.
  virtual std::uint32_t ProcessId() const = 0;
};

}  // namespace kalvenor::platform
