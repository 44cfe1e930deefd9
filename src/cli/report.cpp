#include "cli/report.h"

#include <cstdio>

#include "lib/lib_filesystem.h"

namespace kalvenor::cli {
namespace {

constexpr std::string_view kDetail = "|      ";

// The step lines of the log, and what each names.
constexpr struct {
  std::string_view prefix, kind;
  bool names_source;
} kSteps[] = {
    {"> Copying file ", "copy", true},
    {"> Registering file ", "register", false},
    {"> Unregistering file ", "unregister", false},
    {"> Deleting file ", "delete", false},
    {"> File not found ", "not-found", true},
    {"> Keeping file ", "keep", false},
    {"> Undoing the run of ", "undo", true},
    {"> Restoring shared count of ", "count", false},
    {"> Removing shared count of ", "count", false},
};

std::string Array(const std::vector<std::string>& items) {
  std::string json = "[";
  for (const std::string& item : items) json += (json.size() > 1 ? "," : "") + JsonString(item);
  return json + "]";
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string json = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      json += escaped;
    } else {
      json += c;
    }
  }
  return json + "\"";
}

Report::Report(platform::System& system, std::string logFile, std::string jsonFile)
    : system_(system), logFile_(std::move(logFile)), jsonFile_(std::move(jsonFile)) {}

platform::Status Report::Open() {
  for (const std::string* file : {&logFile_, &jsonFile_}) {
    if (file->empty()) continue;
    platform::Status started = File_WriteReplacing(system_, *file, "");
    if (!started.ok()) {
      failure_ = started.error();
      return started;
    }
  }
  return platform::Done{};
}

void Report::Append(const std::string& file, std::string_view text) {
  if (file.empty() || failure_) return;
  platform::Status written = system_.AppendDurably(file, text);
  if (!written.ok()) failure_ = written.error();
}

void Report::OnLogLine(std::string_view line) {
  Append(logFile_, std::string(line) + "\r\n");
  if (line.starts_with("> ")) return StartStep(line);
  if (line.starts_with("OP> ")) return;  // what the step runs, which the step's fields say
  if (!line.starts_with(kDetail)) return EndStep();
  if (!step_) return;
  const std::string_view detail = line.substr(kDetail.size());
  if (detail.starts_with("failed: ")) {
    step_->failed.emplace_back(detail.substr(8));
  } else if (detail.starts_with("cause: ")) {
    step_->causes.emplace_back(detail.substr(7));
  } else if (detail.starts_with("to ") && step_->kind == "copy" && step_->target.empty()) {
    step_->target = detail.substr(3);
  } else {
    step_->notes.emplace_back(detail);
  }
}

void Report::OnToolExit(std::uint32_t exitCode) {
  if (step_) step_->exitCode = exitCode;
}

void Report::StartStep(std::string_view line) {
  EndStep();
  const platform::LocalTime now = system_.Now();
  char time[32];
  std::snprintf(time, sizeof time, "%04d-%02d-%02dT%02d:%02d:%02d", now.year, now.month, now.day,
                now.hour, now.minute, now.second);
  Step step{time, std::string(line.substr(2)), {}, {}, {}, {}, {}, {}};
  for (const auto& known : kSteps) {
    if (!line.starts_with(known.prefix)) continue;
    step.kind = known.kind;
    std::string named(line.substr(known.prefix.size()));
    // "> Restoring shared count of <file> to <count>": the count is a note.
    if (const std::size_t to = named.rfind(" to ");
        known.prefix.starts_with("> Restoring") && to != std::string::npos) {
      step.notes.push_back("count " + named.substr(to + 4));
      named.resize(to);
    }
    (known.names_source ? step.source : step.target) = std::move(named);
    if (step.kind == "not-found") step.failed.push_back("File not found");
  }
  step_ = std::move(step);
}

void Report::EndStep() {
  if (!step_) return;
  const Step& step = *step_;
  std::string json = "{\"time\":" + JsonString(step.time) + ",\"step\":" + JsonString(step.kind) +
                     ",\"source\":" + JsonString(step.source) +
                     ",\"target\":" + JsonString(step.target) +
                     ",\"result\":" + JsonString(step.failed.empty() ? "ok" : "failed") +
                     ",\"exitCode\":" + (step.exitCode ? std::to_string(*step.exitCode) : "null") +
                     ",\"failed\":" + Array(step.failed) + ",\"causes\":" + Array(step.causes) +
                     ",\"notes\":" + Array(step.notes) + "}\r\n";
  step_.reset();
  Append(jsonFile_, json);
}

void Report::Finish() { EndStep(); }

}  // namespace kalvenor::cli
