#include "cli/report.h"

#include "base/text.h"
#include "capture/exports.h"

namespace kalvenor::cli {
namespace {

std::string Array(const std::vector<std::string>& items) {
  std::string json = "[";
  for (const std::string& item : items) json += (json.size() > 1 ? "," : "") + JsonString(item);
  return json + "]";
}

}  // namespace

Report::Report(platform::System& system, std::string logFile, std::string jsonFile, Judge judge)
    : system_(system),
      judge_(std::move(judge)),
      log_{std::move(logFile), "/log:"},
      json_{std::move(jsonFile), "/json:"} {}

std::optional<std::string> Report::OnAdmitted() {
  // Both judged before either is emptied: a refused one leaves the other as it was too.
  Outlet* const outlets[] = {&log_, &json_};
  for (Outlet* outlet : outlets) {
    if (outlet->file.empty()) continue;
    // By its name first, so that a refused file is never made, even for a moment; then by what
    // it opens. A file of the run's that it holds (the run lock) is refused as such.
    std::optional<std::string> why = judge_(outlet->file, nullptr);
    platform::Result<std::unique_ptr<platform::HeldFile>> opened =
        why ? platform::SystemError{} : system_.OpenToWrite(outlet->file);
    platform::HeldFile* held = opened.ok() ? opened.value().get() : nullptr;
    // The log, under another spelling, holds the file the JSON lines would go to.
    if (!why && outlet == &json_ && log_.held &&
        system_.IdentityOf(json_.file) == log_.held->Identity()) {
      refusal_ = "/log: and /json: name the same file";
      if (held) held->DiscardIfNew();
    } else if (why || (held && (why = judge_(outlet->file, held)))) {
      refusal_ = std::string(outlet->option) + " cannot name " + outlet->file + ": " + *why;
      if (held) held->DiscardIfNew();
    } else if (!held) {
      Fail(*outlet, opened.error());
    } else {
      outlet->held = std::move(opened.value());
      continue;
    }
    for (Outlet* other : outlets) {
      if (other->held) other->held->DiscardIfNew();
      other->held.reset();
    }
    return refusal_ ? refusal_ : failure_;
  }
  for (Outlet* outlet : outlets) {
    if (!outlet->held) continue;
    if (platform::Status emptied = outlet->held->Empty(); !emptied.ok()) {
      Fail(*outlet, emptied.error());
      return failure_;
    }
  }
  opened_ = true;
  for (Outlet* outlet : outlets) Append(*outlet, std::exchange(outlet->pending, {}));
  return std::nullopt;
}

void Report::Fail(Outlet& outlet, const platform::SystemError& error) {
  outlet.ended = true;
  if (!failure_) failure_ = outlet.file + " cannot be written: " + error.message;
}

void Report::Append(Outlet& outlet, std::string_view text) {
  if (outlet.file.empty() || outlet.ended || text.empty()) return;
  if (!opened_) {
    outlet.pending += text;
    return;
  }
  if (!outlet.held) return;  // closed with the run's end
  platform::Status written = outlet.held->Append(text);
  if (!written.ok()) Fail(outlet, written.error());
}

// Closed with the run lock, so that the next run, the window at its done prompt meanwhile, may
// take the same files.
void Report::OnRunEnd(const engine::Outcome&) {
  log_.held.reset();
  json_.held.reset();
}

void Report::OnLogLine(std::string_view line) {
  static constexpr std::string_view kFailed = "|      failed: ";
  if (!opened_ && line.starts_with(kFailed)) (untold_ += line.substr(kFailed.size())) += "\r\n";
  Append(log_, std::string(line) + "\r\n");
}

// A verification's step: one object a check.
void Report::OnStep(const engine::StepRecord& step) {
  if (step.checks.empty()) return Append(json_, JsonObject(step) + "\r\n");
  for (const verify::Check& check : step.checks) Append(json_, JsonObject(step, check) + "\r\n");
}

// After the component's step: one object a value it registered.
void Report::OnCaptured(const capture::Captured& captured) {
  Append(json_, capture::JsonLines({captured}));
}

std::string JsonObject(const engine::StepRecord& step) {
  auto number = [](const std::optional<std::uint32_t>& value) {
    return value ? std::to_string(*value) : std::string("null");
  };
  return "{\"time\":" + JsonString(step.time) + ",\"step\":" + JsonString(step.kind) +
         ",\"source\":" + JsonString(step.source) + ",\"target\":" + JsonString(step.target) +
         ",\"result\":" + JsonString(step.failed.empty() ? "ok" : "failed") +
         ",\"exitCode\":" + number(step.exitCode) + ",\"count\":" + number(step.count) +
         ",\"failed\":" + Array(step.failed) + ",\"causes\":" + Array(step.causes) +
         ",\"notes\":" + Array(step.notes) + "}";
}

std::string JsonObject(const engine::StepRecord& step, const verify::Check& check) {
  const auto one = [](const std::string& text) {
    return Array(text.empty() ? std::vector<std::string>{} : std::vector<std::string>{text});
  };
  return "{\"time\":" + JsonString(step.time) + ",\"step\":" + JsonString(step.kind) +
         ",\"source\":" + JsonString(step.source) + ",\"target\":" + JsonString(step.target) +
         ",\"check\":" + JsonString(check.kind) + ",\"subject\":" + JsonString(check.subject) +
         ",\"result\":" + JsonString(check.Held() ? "ok" : "failed") +
         ",\"failed\":" + one(check.failed) + ",\"causes\":" + Array(check.causes) +
         ",\"notes\":" + one(check.note) + "}";
}

}  // namespace kalvenor::cli
