#include "cli/unattended.h"

#include <variant>

#include "cli/command_line.h"
#include "cli/report.h"
#include "lib/text.h"
#include "setup/frm_setup.h"

namespace kalvenor::cli {
namespace {

frmSetup::Command SetupCommand(Command command) {
  switch (command) {
    case Command::Install: return frmSetup::Command::Install;
    case Command::Remove: return frmSetup::Command::Remove;
    case Command::Unregister: return frmSetup::Command::Unregister;
    case Command::Copy: return frmSetup::Command::Copy;
    case Command::Undo: break;
  }
  return frmSetup::Command::Undo;
}

bool AsksForQuiet(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (AsciiLower(arg) == "/quiet") return true;
  }
  return false;
}

// The usage text, to the console that started the program or, with none, in a message box
// unless the run is to be quiet.
int BadArguments(platform::Services& services, const std::string& why, bool quiet) {
  const std::string text = "Kalvenor: " + why + "\r\n\r\n" + kUsage;
  if (!services.system.WriteToParentConsole(text) && !quiet) {
    frmSetup setup(services, false);
    services.toolkit.MsgBox(setup.Window(), text, services.system.App().title,
                            platform::MsgBoxStyle::Critical);
  }
  return kExitBadArguments;
}

}  // namespace

int RunCommandLine(platform::Services& services, const std::vector<std::string>& args,
                   const std::function<void()>& waitForWindow) {
  auto parsed = ParseArguments(args, services.system.CurDir());
  if (const auto* why = std::get_if<std::string>(&parsed)) {
    return BadArguments(services, *why, AsksForQuiet(args));
  }
  const Arguments& arguments = std::get<Arguments>(parsed);
  Report report(services.system, arguments.logFile, arguments.jsonFile);
  if (platform::Status opened = report.Open(); !opened.ok()) {
    return BadArguments(services, "the log cannot be written: " + opened.error().message,
                        arguments.quiet);
  }
  frmSetup setup(services, !arguments.quiet);
  setup.SetRunObserver(&report);
  setup.RunUnattended(SetupCommand(arguments.command), arguments.items, arguments.quiet);
  report.Finish();
  setup.SetRunObserver(nullptr);
  const frmSetup::Outcome outcome = setup.LastOutcome();
  const int exitCode = outcome.refused                      ? kExitAnotherRun
                       : outcome.failed || report.Failure() ? kExitFailed
                       : outcome.restartNeeded              ? kExitRestartNeeded
                                                            : kExitDone;
  if (!arguments.quiet) waitForWindow();
  return exitCode;
}

}  // namespace kalvenor::cli
