#pragma once
// The files an unattended run leaves for deployment tools, written as the run goes so that a run
// cut short leaves what it did: the operations log as the window shows it (UTF-8, CR LF), and
// one JSON object a line for each step.

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
  // Why a file could not be written, when one could not.
  const std::optional<platform::SystemError>& Failure() const { return failure_; }

 private:
  void Append(const std::string& file, std::string_view text);

  platform::System& system_;
  std::string logFile_, jsonFile_;
  std::optional<platform::SystemError> failure_;
};

// `text` as a JSON string, quotes included.
std::string JsonString(std::string_view text);
// The step as one JSON object, without a line end.
std::string JsonObject(const engine::StepRecord& step);

}  // namespace kalvenor::cli
