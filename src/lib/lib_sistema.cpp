#include "lib/lib_sistema.h"

namespace kalvenor {

// How the waits work: the thread sleeps in the platform until either the awaited thing happens
// or an event arrives for the program's windows. Events are dispatched right here, so handlers
// run nested inside the wait; callers disable what must not start meanwhile. The process is
// waited for through the handle its start returned, never re-opened by id, so a recycled id
// can never stand in for it.
platform::Result<std::uint32_t> ShellAndWait(platform::Services& services, std::string_view program,
                                             std::string_view commandLine,
                                             platform::ShowWindow show) {
  auto started = services.system.Start(program, commandLine, show);
  if (!started.ok()) return started.error();
  platform::Process& process = *started.value();
  while (process.WaitForExitOrEvents() == platform::Wake::Events) {
    services.toolkit.DoEvents();
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
