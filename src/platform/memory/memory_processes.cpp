// The memory platform's processes: each does what the test's script says.
#include "platform/memory/memory_process.h"

namespace kalvenor::platform::memory {

Wake MemoryProcess::Wait(std::optional<std::uint32_t> timeoutMs) {
  if (platform_.EventsPending()) return Wake::Events;
  if (timeoutMs && *timeoutMs < remainingMs_) {
    platform_.AdvanceTicks(*timeoutMs);
    remainingMs_ -= *timeoutMs;
    return Wake::Timeout;
  }
  platform_.AdvanceTicks(remainingMs_);
  remainingMs_ = 0;
  return Wake::Ended;
}

Result<std::unique_ptr<Process>> MemoryPlatform::Start(std::string_view program,
                                                       std::string_view commandLine,
                                                       std::string_view folder, ShowWindow) {
  started.emplace_back(program, commandLine);
  startedIn.emplace_back(folder);
  ProcessScript script;
  if (onStart) script = onStart(std::string(program), std::string(commandLine));
  if (script.startError) return *script.startError;
  if (!HasFile(std::string(program))) return MemoryError(2);
  if (script.onStart) script.onStart();
  return std::unique_ptr<Process>(std::make_unique<MemoryProcess>(*this, script));
}

}  // namespace kalvenor::platform::memory
