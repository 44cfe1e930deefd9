#pragma once
// The files an unattended run leaves for deployment tools, written as the run goes so that a run
// cut short leaves what it did: the operations log as the window shows it (UTF-8, CR LF), and
// one JSON object a line for each step (and, for a capture, for each value it registered).

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine/run_observer.h"
#include "platform/system.h"

namespace kalvenor::cli {

class Report final : public engine::RunObserver {
 public:
  // Why a file may not take a report, by what it opens (`held`), or by its name when it cannot
  // be opened; nothing when it may.
  using Judge = std::function<std::optional<std::string>(const std::string& file,
                                                         const platform::HeldFile* held)>;
  // Either file may be empty: none. Neither is touched until the run holds its lock.
  Report(platform::System& system, std::string logFile, std::string jsonFile, Judge judge);
  // Opens both files, judges them by what they open, and starts them empty, with the lines the
  // run gave before; why the run may not go on when it cannot, and then neither is changed.
  std::optional<std::string> OnAdmitted() override;
  void OnLogLine(std::string_view line) override;
  void OnStep(const engine::StepRecord& step) override;
  void OnCaptured(const capture::Captured& captured) override;
  void OnRunEnd(const engine::Outcome& outcome) override;
  // Why a file may not take its report ("/log: cannot name ...: ..."), when one may not.
  const std::optional<std::string>& Refusal() const { return refusal_; }
  // Why the first file that failed could not be written, naming it, when one failed.
  const std::optional<std::string>& Failure() const { return failure_; }
  // Whether the files were opened, the run having held its lock.
  bool Opened() const { return opened_; }
  // The failed lines' reasons of a run that ended before it opened the files, one a line.
  const std::string& Untold() const { return untold_; }

 private:
  // A failed write ends the reporting to its file alone: the other goes on.
  struct Outlet {
    std::string file;  // empty: none
    const char* option;
    std::unique_ptr<platform::HeldFile> held;
    std::string pending;  // what the run gave before the file was opened
    bool ended = false;
  };
  void Append(Outlet& outlet, std::string_view text);
  void Fail(Outlet& outlet, const platform::SystemError& error);

  platform::System& system_;
  Judge judge_;
  Outlet log_, json_;
  bool opened_ = false;
  std::string untold_;
  std::optional<std::string> refusal_, failure_;
};

// The step as one JSON object, without a line end.
std::string JsonObject(const engine::StepRecord& step);
// One check of a verification's step, the same way.
std::string JsonObject(const engine::StepRecord& step, const verify::Check& check);

}  // namespace kalvenor::cli
