#pragma once
// The files an unattended run leaves for deployment tools, written as the run goes so that a run
// cut short leaves what it did: the operations log as the window shows it (UTF-8, CR LF), and
// one JSON object a line for each step (and, for a capture, for each value it registered).

#include <optional>
#include <string>

#include "engine/run_observer.h"
#include "platform/system.h"

namespace kalvenor::cli {

class Report final : public engine::RunObserver {
 public:
  // Either file may be empty: none.
  Report(platform::System& system, std::string logFile, std::string jsonFile);
  // Starts both files empty; the first failure to write them.
  platform::Status Open();
  void OnLogLine(std::string_view line) override;
  void OnStep(const engine::StepRecord& step) override;
  void OnCaptured(const capture::Captured& captured) override;
  // Why the first file that failed could not be written, naming it, when one failed.
  const std::optional<std::string>& Failure() const { return failure_; }

 private:
  // A failed write ends the reporting to its file alone: the other goes on.
  struct Outlet {
    std::string file;  // empty: none
    bool ended = false;
  };
  void Append(Outlet& outlet, std::string_view text);
  void Fail(Outlet& outlet, const platform::SystemError& error);

  platform::System& system_;
  Outlet log_, json_;
  std::optional<std::string> failure_;
};

// The step as one JSON object, without a line end.
std::string JsonObject(const engine::StepRecord& step);
// One check of a verification's step, the same way.
std::string JsonObject(const engine::StepRecord& step, const verify::Check& check);

}  // namespace kalvenor::cli
