#pragma once
// A process of the memory platform: it does what the test's script says.

#include <cstdint>

#include "platform/memory/memory_platform.h"

namespace kalvenor::platform::memory {

class MemoryProcess final : public Process {
 public:
  MemoryProcess(MemoryPlatform& platform, const ProcessScript& script)
      : platform_(platform), exitCode_(script.exitCode), remainingMs_(script.runsForMs) {}
  Result<std::uint32_t> ExitCode() const override { return exitCode_; }
  void FlashWindows() override { platform_.processFlashes.push_back(platform_.TickCount()); }
  // Ends it now with `exitCode`, as the system ends a process it is told to; one that has ended
  // keeps its own.
  void End(std::uint32_t exitCode) {
    if (remainingMs_ == 0) return;
    remainingMs_ = 0;
    exitCode_ = exitCode;
  }

 private:
  Wake Wait(std::optional<std::uint32_t> timeoutMs) override;

  MemoryPlatform& platform_;
  std::uint32_t exitCode_;
  std::uint32_t remainingMs_;
};

}  // namespace kalvenor::platform::memory
