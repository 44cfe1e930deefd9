// The memory platform's processes: each does what the test's script says.
#include "platform/memory/memory_platform.h"

namespace kalvenor::platform::memory {
namespace {

class MemoryProcess final : public Process {
 public:
  MemoryProcess(MemoryPlatform& platform, const ProcessScript& script)
      : platform_(platform), exitCode_(script.exitCode), remainingMs_(script.runsForMs) {}
  Result<std::uint32_t> ExitCode() const override { return exitCode_; }
  void FlashWindows() override { platform_.processFlashes.push_back(platform_.TickCount()); }

 private:
  Wake Wait(std::optional<std::uint32_t> timeoutMs) override {
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

  MemoryPlatform& platform_;
  std::uint32_t exitCode_;
  std::uint32_t remainingMs_;
};

}  // namespace

Result<std::unique_ptr<Process>> MemoryPlatform::Start(std::string_view program,
                                                       std::string_view commandLine, ShowWindow) {
  started.emplace_back(program, commandLine);
  ProcessScript script;
  if (onStart) script = onStart(std::string(program), std::string(commandLine));
  if (script.startError) return *script.startError;
  if (!HasFile(std::string(program))) return MemoryError(2);
  if (script.onStart) script.onStart();
  return std::unique_ptr<Process>(std::make_unique<MemoryProcess>(*this, script));
}

}  // namespace kalvenor::platform::memory
