#include "cli/unattended.h"

#include <optional>
#include <utility>
#include <variant>

#include "cli/command_line.h"
#include "cli/report.h"
#include "lib/lib_filesystem.h"
#include "paths/paths.h"

namespace kalvenor::cli {
namespace {

engine::Plan PlanOf(const Arguments& arguments) {
  engine::Plan plan{.items = arguments.items, .foldersAllowed = true};
  switch (arguments.command) {
    case Command::Install: plan.kind = engine::RunKind::Install; break;
    case Command::Remove: plan.kind = engine::RunKind::Remove, plan.deleteFiles = true; break;
    case Command::Unregister: plan.kind = engine::RunKind::Remove; break;
    case Command::Copy: plan.kind = engine::RunKind::OverwriteCopy; break;
    case Command::Undo: plan.kind = engine::RunKind::Undo, plan.undoFolder = arguments.run; break;
    case Command::Capture:
      plan.kind = engine::RunKind::Capture, plan.exports = arguments.exports;
      break;
    case Command::Verify:
      plan.kind = engine::RunKind::Verify, plan.activate = arguments.activate;
      break;
  }
  return plan;
}

// What a verification tells on the standard output it was given, or else the console that
// started it: its log; with /detect, one line a component once every one holds, and nothing
// otherwise, as the detection scripts of deployment tools are read.
class Told final : public engine::RunObserver {
 public:
  Told(platform::System& system, bool detect) : system_(system), detect_(detect) {}
  void OnLogLine(std::string_view line) override {
    if (!detect_) (void)system_.WriteToParentConsole(std::string(line) + "\r\n");
  }
  void OnStep(const engine::StepRecord& step) override {
    if (step.kind == "verify" && !step.target.empty()) verified_.push_back(step.target);
  }
  void OnRunEnd(const engine::Outcome& outcome) override {
    if (!detect_ || outcome.failed) return;
    for (const std::string& target : verified_) {
      (void)system_.WriteToParentConsole("Verified " + target + "\r\n");
    }
  }

 private:
  platform::System& system_;
  bool detect_;
  std::vector<std::string> verified_;
};

// `text` to the console that started the program or, with none, in a message box unless the run
// is to be quiet.
void Tell(platform::Services& services, const std::string& text, bool quiet) {
  if (services.system.WriteToParentConsole(text) || quiet) return;
  services.toolkit.OwnerlessMsgBox(text, services.system.App().title,
                                   platform::MsgBoxStyle::Critical);
}

int BadArguments(platform::Services& services, const std::string& why, bool quiet) {
  Tell(services, "Kalvenor: " + why + "\r\n\r\n" + kUsage, quiet);
  return kExitBadArguments;
}

// Each of the files is started empty, as the run's report starts them; the first that cannot
// be, with the system's reason.
std::optional<std::string> Unwritable(platform::System& system, const Arguments& arguments) {
  for (const std::string* file : {&arguments.logFile, &arguments.jsonFile}) {
    if (file->empty()) continue;
    if (const platform::Status started = File_WriteReplacing(system, *file, ""); !started.ok()) {
      return *file + " cannot be written: " + started.error().message;
    }
  }
  return std::nullopt;
}

}  // namespace

int RunCommandLine(platform::Services& services, engine::Engine& engine,
                   const std::vector<std::string>& args, RunWindow& window) {
  auto parsed = ParseArguments(args, services.system.CurDir());
  if (const auto* why = std::get_if<std::string>(&parsed)) {
    return BadArguments(services, *why, FailureOutletOf(args, services.system.CurDir()).quiet);
  }
  const Arguments& arguments = std::get<Arguments>(parsed);
  const engine::Plan plan = PlanOf(arguments);
  const std::pair<const char*, const std::string*> outputs[] = {
      {"/log:", &arguments.logFile},
      {"/json:", &arguments.jsonFile},
      {"/wxs:", &arguments.exports.wxs},
      {"/reg:", &arguments.exports.reg},
      {"/manifest:", &arguments.exports.manifest}};
  // Checked before any file is started, which empties it; two writers of one file would mix
  // their lines.
  for (auto output = std::begin(outputs); output != std::end(outputs); ++output) {
    const auto& [option, file] = *output;
    if (file->empty()) continue;
    for (auto other = std::begin(outputs); other != output; ++other) {
      if (!other->second->empty() && paths::SamePath(services.system, *other->second, *file)) {
        return BadArguments(services,
                            std::string(other->first) + " and " + option + " name the same file",
                            arguments.quiet);
      }
    }
    if (const std::optional<std::string> why = engine.WhyNotReport(plan, *file)) {
      return BadArguments(services, std::string(option) + " cannot name " + *file + ": " + *why,
                          arguments.quiet);
    }
  }
  Report report(services.system, arguments.logFile, arguments.jsonFile);
  std::optional<std::string> unwritable = Unwritable(services.system, arguments);
  if (platform::Status opened = report.Open(); !unwritable && !opened.ok()) {
    unwritable = "the log cannot be written: " + opened.error().message;
  }
  if (unwritable) {
    Tell(services, "Kalvenor: " + *unwritable + "\r\n", arguments.quiet);
    return kExitLogFailed;
  }
  if (!arguments.quiet) window.Open(engine, plan);
  engine.AddObserver(report);
  Told told(services.system, arguments.detect);
  const bool verifying = arguments.command == Command::Verify;
  if (verifying) engine.AddObserver(told);
  const engine::Outcome outcome = engine.Run(plan);
  if (verifying) engine.RemoveObserver(told);
  engine.RemoveObserver(report);
  // A report that failed half-way is told after the run, which went on without it.
  if (report.Failure()) Tell(services, "Kalvenor: " + *report.Failure() + "\r\n", arguments.quiet);
  // Detection: whether it holds is told on standard output; the check itself could run.
  const int exitCode = arguments.detect        ? kExitDone
                       : outcome.refused       ? kExitAnotherRun
                       : outcome.failed        ? kExitFailed
                       : report.Failure()      ? kExitLogFailed
                       : outcome.restartNeeded ? kExitRestartNeeded
                                               : kExitDone;
  if (!arguments.quiet) window.WaitUntilClosed();
  return exitCode;
}

int StopUnattended(platform::System& system, const std::vector<std::string>& args,
                   std::string_view why, bool logStarted,
                   const std::function<void(const std::string&)>& showBox) {
  const FailureOutlet outlet = FailureOutletOf(args, system.CurDir());
  if (!outlet.logFile.empty()) {
    const std::string line = "|      failed: " + std::string(why) + "\r\n";
    // Nothing more can be done when it fails: the console still says why.
    (void)(logStarted ? system.AppendDurably(outlet.logFile, line)
                      : File_WriteReplacing(system, outlet.logFile, line));
  }
  const std::string text = "Kalvenor: " + std::string(why) + "\r\n";
  if (!system.WriteToParentConsole(text) && !outlet.quiet) showBox(std::string(why));
  return kExitFailed;
}

}  // namespace kalvenor::cli
