#include <gtest/gtest.h>

#include <limits>

#include "lib/lib_sistema.h"
#include "platform/memory/memory_platform.h"

namespace kalvenor::testing {
namespace {

using platform::memory::MemoryPlatform;
using platform::memory::ProcessScript;

class WaitTest : public ::testing::Test {
 protected:
  MemoryPlatform platform;
  platform::Services services{platform, platform};
};

TEST_F(WaitTest, PauseZeroProcessesNoEvents) {
  bool ran = false;
  platform.Post([&] { ran = true; });
  Pause(services, 0);
  EXPECT_FALSE(ran);
  EXPECT_EQ(platform.doEventsCalls, 0);
}

TEST_F(WaitTest, PauseProcessesEventsWhileItWaits) {
  bool ran = false;
  platform.Post([&] { ran = true; });
  Pause(services, 5);
  EXPECT_TRUE(ran);
}

// Across the signed wrap (2^31) and the unsigned one (2^32) the pause lasts its 5 ms: it neither
// ends at once nor waits for the counter to come round again.
TEST_F(WaitTest, PauseLastsItsDelayAcrossTheCounterWraps) {
  constexpr std::uint32_t kSignedMax = std::numeric_limits<std::int32_t>::max();
  for (std::uint32_t start : {kSignedMax - 2, kSignedMax, std::uint32_t{0xFFFFFFFE}, 0u}) {
    platform.SetTickCount(start);
    Pause(services, 5);
    EXPECT_EQ(platform.TickCount() - start, 5u) << "from " << start;
  }
}

TEST_F(WaitTest, ShellAndWaitReturnsTheExitCodeOnceTheProcessEnded) {
  platform.AddFile("C:\\tool.exe");
  bool handledWhileRunning = false;
  platform.onStart = [&](const std::string&, const std::string&) {
    ProcessScript script;
    script.exitCode = 5;
    script.runsForMs = 1000;
    script.onStart = [&] { platform.Post([&] { handledWhileRunning = true; }); };
    return script;
  };
  const std::uint32_t before = platform.TickCount();
  auto result = ShellAndWait(services, "C:\\tool.exe", "C:\\tool.exe /s \"x\"", "C:\\",
                             platform::ShowWindow::Normal);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.value(), 5u);
  EXPECT_TRUE(handledWhileRunning);
  EXPECT_EQ(platform.TickCount() - before, 1000u);
  ASSERT_EQ(platform.started.size(), 1u);
  EXPECT_EQ(platform.started[0].first, "C:\\tool.exe");
  EXPECT_EQ(platform.started[0].second, "C:\\tool.exe /s \"x\"");
}

// The tool's windows may be behind others: they flash once it has been waited for 3 s, once
// however long it runs, and never for a quick tool.
TEST_F(WaitTest, ShellAndWaitFlashesTheToolsWindowsOnceAfterThreeSeconds) {
  using Ticks = std::vector<std::uint32_t>;
  platform.AddFile("C:\\tool.exe");
  for (const auto& [runsForMs, flashedAt] : {std::pair{2999u, Ticks{}}, {60000u, Ticks{3000}}}) {
    platform.SetTickCount(0);
    platform.processFlashes.clear();
    platform.onStart = [runsFor = runsForMs](const std::string&, const std::string&) {
      return ProcessScript{.runsForMs = runsFor};
    };
    ASSERT_TRUE(
        ShellAndWait(services, "C:\\tool.exe", "C:\\tool.exe", "C:\\", platform::ShowWindow::Normal)
            .ok());
    EXPECT_EQ(platform.processFlashes, flashedAt) << "a tool that runs for " << runsForMs << " ms";
  }
}

TEST_F(WaitTest, ShellAndWaitReportsAStartFailureWithoutWaiting) {
  auto result = ShellAndWait(services, "C:\\missing.exe", "C:\\missing.exe", "C:\\",
                             platform::ShowWindow::Normal);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message, "The system cannot find the file specified.");
}

}  // namespace
}  // namespace kalvenor::testing
