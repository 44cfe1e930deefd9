#include "cli/unattended.h"

#include <exception>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "capture/exports.h"
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
      plan.detect = arguments.detect;
      break;
  }
  plan.unattended = true;
  return plan;
}

// What a verification tells on the standard output it was given, or else the console that
// started it: its log; with /detect, one line a component once every one holds, and nothing
// otherwise, as the detection scripts of deployment tools are read. Their standard error stays
// empty for an answer: Configuration Manager reads a word there as a detection that failed.
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

// `text` to the console that started the program (its standard error for a detection, whose
// standard output is its answer) or, with none, in a message box unless the run is to be quiet.
bool TellConsole(platform::System& system, const std::string& text,
                 const std::vector<std::string>& args) {
  return DetectAsked(args) ? system.WriteErrorsToParentConsole(text)
                           : system.WriteToParentConsole(text);
}

void Tell(platform::Services& services, const std::string& text,
          const std::vector<std::string>& args) {
  if (TellConsole(services.system, text, args) || QuietAsked(args)) return;
  services.toolkit.OwnerlessMsgBox(text, services.system.App().title,
                                   platform::MsgBoxStyle::Critical);
}

int BadArguments(platform::Services& services, const std::string& why,
                 const std::vector<std::string>& args) {
  Tell(services, "Kalvenor: " + why + "\r\n\r\n" + kUsage, args);
  return kExitBadArguments;
}

}  // namespace

int RunCommandLine(platform::Services& services, engine::Engine& engine,
                   const std::vector<std::string>& args, RunWindow& window) {
  auto parsed = ParseArguments(args, services.system.CurDir());
  if (const auto* why = std::get_if<std::string>(&parsed)) {
    return BadArguments(services, *why, args);
  }
  const Arguments& arguments = std::get<Arguments>(parsed);
  const engine::Plan plan = PlanOf(arguments);
  struct Output {
    const char* option;
    std::string file;
    bool judgedHere;  // an export named; the reports are judged by the handles the run opens
  };
  std::vector<Output> outputs = {{"/log:", arguments.logFile, false},
                                 {"/json:", arguments.jsonFile, false},
                                 {"/wxs:", arguments.exports.wxs, true},
                                 {"/reg:", arguments.exports.reg, true},
                                 {"/manifest:", arguments.exports.manifest, true}};
  // A manifest has files of its own beside it, named after it, which no other output may name
  // either, one would replace the other, and which are judged as it is: a name may be refused
  // where the manifest's own is not (a report's name in the journal's store).
  if (const std::string& manifest = arguments.exports.manifest; !manifest.empty()) {
    for (std::string& file : capture::ManifestOwnFiles(manifest)) {
      outputs.push_back({"/manifest:", std::move(file), true});
    }
  }
  // The exports, written at the end, are judged here, the run's files listed once for them all.
  std::vector<std::string> exports;
  for (const Output& output : outputs) {
    if (!output.file.empty() && output.judgedHere) exports.push_back(output.file);
  }
  const std::vector<std::optional<std::string>> refused = engine.WhyNotReports(plan, exports);
  auto exportRefused = refused.begin();
  // Two writers of one file would mix their lines. Each opened once, as paths::SameFile opens
  // them.
  std::vector<std::optional<platform::FileId>> ids;
  for (const Output& output : outputs) {
    ids.push_back(output.file.empty() ? std::nullopt : services.system.IdentityOf(output.file));
  }
  const auto same = [&](std::size_t a, std::size_t b) {
    return ids[a] && ids[b] ? *ids[a] == *ids[b]
                            : paths::SamePath(services.system, outputs[a].file, outputs[b].file);
  };
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const Output& output = outputs[i];
    if (output.file.empty()) continue;
    for (std::size_t j = 0; j < i; ++j) {
      const Output& other = outputs[j];
      if (!other.file.empty() && std::string_view(other.option) != output.option && same(j, i)) {
        return BadArguments(services,
                            std::string(other.option) + " and " + output.option +
                                " name the same file, " + output.file,
                            args);
      }
    }
    if (!output.judgedHere) continue;
    if (const std::optional<std::string>& why = *exportRefused++) {
      return BadArguments(
          services, std::string(output.option) + " cannot name " + output.file + ": " + *why, args);
    }
  }
  // Judged and opened only once the run holds its lock: a run refused before leaves the reports
  // of the one that holds it whole.
  Report report(services.system, arguments.logFile, arguments.jsonFile,
                [&](const std::string& file, const platform::HeldFile* held) {
                  return held ? engine.WhyNotReport(plan, *held) : engine.WhyNotReport(plan, file);
                });
  if (!arguments.quiet) window.Open(engine, plan);
  engine.AddObserver(report);
  Told told(services.system, arguments.detect);
  const bool verifying = arguments.command == Command::Verify;
  if (verifying) engine.AddObserver(told);
  engine::Outcome outcome;
  try {
    outcome = engine.Run(plan);
  } catch (const std::exception& failure) {
    // Into a report that passed its checks, before the program stops on it.
    report.OnLogLine("|      failed: " + std::string(failure.what()));
    throw;
  }
  if (verifying) engine.RemoveObserver(told);
  engine.RemoveObserver(report);
  const bool withReports = !arguments.logFile.empty() || !arguments.jsonFile.empty();
  if (report.Refusal()) {
    if (!arguments.quiet) window.WaitUntilClosed();
    return BadArguments(services, *report.Refusal(), args);
  }
  if (withReports && !report.Opened() && !report.Failure()) {
    Tell(services,
         "Kalvenor: " + report.Untold() + "The run ended before it wrote its reports, " +
             "which are left as they were.\r\n",
         args);
  } else if (report.Failure()) {
    // A report that failed half-way is told after the run, which went on without it.
    Tell(services, "Kalvenor: " + *report.Failure() + "\r\n", args);
  }
  // Detection: whether it holds is told on standard output, once the check itself could run.
  // A run that could not open its reports checked nothing, detection too.
  const int exitCode = report.Failure() && !report.Opened() ? kExitLogFailed
                       : arguments.detect                   ? kExitDone
                       : outcome.refused                    ? kExitAnotherRun
                       : outcome.failed                     ? kExitFailed
                       : report.Failure()                   ? kExitLogFailed
                       : outcome.restartNeeded              ? kExitRestartNeeded
                                                            : kExitDone;
  if (!arguments.quiet) window.WaitUntilClosed();
  return exitCode;
}

int StopUnattended(platform::System& system, const std::vector<std::string>& args,
                   std::string_view why, const std::function<void(const std::string&)>& showBox) {
  const std::string text = "Kalvenor: " + std::string(why) + "\r\n";
  if (!TellConsole(system, text, args) && !QuietAsked(args)) {
    showBox(std::string(why));
  }
  return kExitFailed;
}

}  // namespace kalvenor::cli
