#include "lib/lib_sistema.h"

#include <algorithm>

namespace kalvenor {

namespace {

// The tool's own window (a message box, say) may come up behind others: once it has been
// waited for this long, its windows are flashed, once.
constexpr std::uint32_t kFlashAfterMs = 3000;

}  // namespace

// How the waits work: the thread sleeps in the platform until either the awaited thing happens
// or an event arrives for the program's windows. Events are dispatched right here, so handlers
// run nested inside the wait; callers disable what must not start meanwhile. The process is
// waited for through the handle its start returned, never re-opened by id, so a recycled id
// can never stand in for it.
platform::Result<std::uint32_t> ShellAndWait(platform::Services& services, std::string_view program,
                                             std::string_view commandLine, std::string_view folder,
                                             platform::ShowWindow show) {
  auto started = services.system.Start(program, commandLine, folder, show);
  if (!started.ok()) return started.error();
  platform::Process& process = *started.value();
  const std::uint32_t start = services.system.TickCount();
  bool flashed = false;
  for (;;) {
    const std::uint32_t waited = services.system.TickCount() - start;
    const platform::Wake woke =
        flashed ? process.WaitForExitOrEvents()
                : process.WaitForExitOrEvents(kFlashAfterMs - std::min(waited, kFlashAfterMs));
    if (woke == platform::Wake::Ended) break;
    if (woke == platform::Wake::Timeout) {
      process.FlashWindows();
      flashed = true;
    } else {
      services.toolkit.DoEvents();
    }
  }
  services.toolkit.DoEvents();
  return process.ExitCode();
}

// Elapsed ticks are compared, not deadlines, so the counter's wrap at 2^31 (signed) or 2^32
// neither ends the wait early nor stretches it.
void Pause(platform::Services& services, std::int32_t delay) {
  if (delay <= 0) return;
  const auto wanted = static_cast<std::uint32_t>(delay);
  const std::uint32_t start = services.system.TickCount();
  for (;;) {
    const std::uint32_t elapsed = services.system.TickCount() - start;
    if (elapsed >= wanted) return;
    services.toolkit.WaitForEvents(wanted - elapsed);
    services.toolkit.DoEvents();
  }
}

}  // namespace kalvenor
