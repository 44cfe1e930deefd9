// The run's log and its step records, written by the same calls: each line goes to every
// observer as it is added, each record once its step is over.
#include "base/text.h"
#include "engine/engine.h"

namespace kalvenor::engine {
namespace {

constexpr std::string_view kDetail = "|      ";

}  // namespace

void Engine::AddLine(std::string_view line) {
  for (RunObserver* observer : observers_) observer->OnLogLine(line);
}

void Engine::BeginStep(std::string_view kind, std::string source, std::string target,
                       std::string_view line) {
  OpenStep(kind, std::move(source), std::move(target));
  AddLine(line);
}

void Engine::OpenStep(std::string_view kind, std::string source, std::string target) {
  EndStep();
  const platform::DateTime now = system_.UtcNow();
  const std::string time = Padded(now.year, 4) + "-" + Padded(now.month, 2) + "-" +
                           Padded(now.day, 2) + "T" + Padded(now.hour, 2) + ":" +
                           Padded(now.minute, 2) + ":" + Padded(now.second, 2) + "Z";
  step_ = StepRecord{time, std::string(kind), std::move(source), std::move(target)};
}

void Engine::EndStep() {
  if (!step_) return;
  for (RunObserver* observer : observers_) observer->OnStep(*step_);
  step_.reset();
}

// Lines outside any step belong to the run as a whole.
StepRecord& Engine::Step() {
  if (!step_) OpenStep("run", {}, {});
  return *step_;
}

void Engine::ReportCaptured(const capture::Captured& captured) {
  for (RunObserver* observer : observers_) observer->OnCaptured(captured);
}

void Engine::LogNote(std::string_view note) {
  Step().notes.emplace_back(note);
  AddLine(std::string(kDetail) + std::string(note));
}

void Engine::LogCause(std::string_view cause) {
  Step().causes.emplace_back(cause);
  AddLine(std::string(kDetail) + "cause: " + std::string(cause));
}

void Engine::LogFailure(std::string_view why) {
  outcome_.failed = true;
  Step().failed.emplace_back(why);
  AddLine(std::string(kDetail) + "failed: " + std::string(why));
}

}  // namespace kalvenor::engine
