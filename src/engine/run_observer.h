#pragma once
// What a run tells those who follow it (the window, the command line's report files): each line
// of its log as it is added, and each step as a record once it is over, besides its start, its
// progress and its end. The log's lines and the records come from the same calls, so that
// neither is read back from the other.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/captured.h"
#include "verify/verify.h"

namespace kalvenor::engine {

// One step of a run: what it did, to which file, and how it ended. A failure of the run as a
// whole, outside any step, is a step of kind "run".
struct StepRecord {
  std::string time;  // when it began, in UTC: 2026-12-08T14:42:04Z
  std::string kind;  // copy, register, unregister, delete, keep, not-found, count, registry, ...
  std::string source, target;
  std::optional<std::uint32_t> exitCode;  // the registration tool's
  std::optional<std::uint32_t> count;     // the shared count the step set
  std::vector<std::string> failed, causes, notes;
  std::vector<verify::Check> checks;  // a verification's, from which its lines come
};

// How a run ended.
struct Outcome {
  bool refused = false;  // another run held the run lock: nothing was done
  bool failed = false;   // a step failed, or the run could not start
  bool restartNeeded = false;
};

class RunObserver {
 public:
  virtual void OnRunBegin() {}
  // Once the run may write (it holds the run lock; a verification, which takes none, at its
  // start), before its first change: why it must not go on, which ends it there.
  virtual std::optional<std::string> OnAdmitted() { return std::nullopt; }
  virtual void OnLogLine(std::string_view line) = 0;
  virtual void OnStep(const StepRecord& step) = 0;
  // What a capture's component registered, after its step.
  virtual void OnCaptured(const capture::Captured& /*captured*/) {}
  // Before each item and after the last; `failed` once a step has failed.
  virtual void OnProgress(std::size_t /*done*/, std::size_t /*total*/, bool /*failed*/) {}
  virtual void OnRunEnd(const Outcome& /*outcome*/) {}

 protected:
  ~RunObserver() = default;
};

}  // namespace kalvenor::engine
