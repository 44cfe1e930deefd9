// The operations log: the running record of a run, shown in place of the file list. Its step
// lines and the run's step records are written by the same calls.

#include "lib/text.h"
#include "setup/frm_setup.h"

namespace kalvenor {

namespace {
constexpr std::string_view kDetail = "|      ";
}  // namespace

void frmSetup::txtOperationsAdd(std::string_view p_text) {
  std::string line(p_text);
  if (observer_) observer_->OnLogLine(line);
  line += "\r\n";
  txtOperations.Append(line);
}

void frmSetup::List_OperationsDone() {
  EndStep();
  txtOperationsAdd("");
  txtOperationsAdd("Done. Click on the form or hit any key.");
  m_done = true;
}

void frmSetup::BeginStep(std::string_view kind, std::string source, std::string target,
                         std::string_view line) {
  OpenStep(kind, std::move(source), std::move(target));
  txtOperationsAdd(line);
}

void frmSetup::OpenStep(std::string_view kind, std::string source, std::string target) {
  EndStep();
  const platform::DateTime now = services_.system.UtcNow();
  const std::string time = Padded(now.year, 4) + "-" + Padded(now.month, 2) + "-" +
                           Padded(now.day, 2) + "T" + Padded(now.hour, 2) + ":" +
                           Padded(now.minute, 2) + ":" + Padded(now.second, 2) + "Z";
  step_ = StepRecord{time, std::string(kind), std::move(source), std::move(target)};
}

void frmSetup::EndStep() {
  if (step_ && observer_) observer_->OnStep(*step_);
  step_.reset();
}

// Lines outside any step belong to the run as a whole.
StepRecord& frmSetup::Step() {
  if (!step_) OpenStep("run", {}, {});
  return *step_;
}

void frmSetup::LogNote(std::string_view note) {
  Step().notes.emplace_back(note);
  txtOperationsAdd(std::string(kDetail) + std::string(note));
}

void frmSetup::LogCause(std::string_view cause) {
  Step().causes.emplace_back(cause);
  txtOperationsAdd(std::string(kDetail) + "cause: " + std::string(cause));
}

void frmSetup::LogFailure(std::string_view why) {
  stepFailed_ = true;
  Step().failed.emplace_back(why);
  txtOperationsAdd(std::string(kDetail) + "failed: " + std::string(why));
}

}  // namespace kalvenor
