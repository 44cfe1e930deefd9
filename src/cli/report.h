#pragma once
// The files an unattended run leaves for deployment tools, written as the run goes so that a run
// cut short leaves what it did: the operations log as the window shows it (UTF-8, CR LF), and
// one JSON object a line for each step.

#include <optional>
#include <string>
#include <vector>

#include "platform/system.h"
#include "setup/run_observer.h"

namespace kalvenor::cli {

class Report final : public RunObserver {
 public:
  // Either file may be empty: none.
  Report(platform::System& system, std::string logFile, std::string jsonFile);
  // Starts both files empty; the first failure to write them.
  platform::Status Open();
  void OnLogLine(std::string_view line) override;
  void OnToolExit(std::uint32_t exitCode) override;
  // Writes the last step.
  void Finish();
  // Why a file could not be written, when one could not.
  const std::optional<platform::SystemError>& Failure() const { return failure_; }

 private:
  struct Step {
    std::string time, kind, source, target;
    std::optional<std::uint32_t> exitCode;
    std::vector<std::string> failed, causes, notes;
  };
  void Append(const std::string& file, std::string_view text);
  void StartStep(std::string_view line);
  void EndStep();

  platform::System& system_;
  std::string logFile_, jsonFile_;
  std::optional<Step> step_;
  std::optional<platform::SystemError> failure_;
};

// `text` as a JSON string, quotes included.
std::string JsonString(std::string_view text);

}  // namespace kalvenor::cli
