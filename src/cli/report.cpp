#include "cli/report.h"

#include "base/text.h"
#include "lib/lib_filesystem.h"

namespace kalvenor::cli {
namespace {

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
      json += "\\u" + HexDigits(static_cast<unsigned char>(c), 4, false);
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

void Report::OnLogLine(std::string_view line) { Append(logFile_, std::string(line) + "\r\n"); }

void Report::OnStep(const engine::StepRecord& step) {
  Append(jsonFile_, JsonObject(step) + "\r\n");
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

}  // namespace kalvenor::cli
