#include "engine/detection.h"

#include <algorithm>

#include "base/text.h"

namespace kalvenor::engine {
namespace {

constexpr std::string_view kSha256 = "sha256:";

bool IsBareName(std::string_view item) {
  return !item.empty() && item.find_first_of("\\/:") == std::string_view::npos;
}

// A word as PowerShell, the language of deployment tools' detection scripts, takes it whatever
// it holds.
std::string Quoted(const std::string& word) {
  std::string quoted = "'";
  for (const char c : word) quoted += c == '\'' ? "''" : std::string(1, c);
  return quoted + "'";
}

}  // namespace

std::string Wanted::Text() const {
  if (sha256) return name + "@" + std::string(kSha256) + *sha256;
  return atLeast ? name + "@" + atLeast->Text() : name;
}

std::optional<Wanted> WantedByName(std::string_view item) {
  // A file's own name may hold an "@": only what follows the last one as a version or a digest
  // asks for something.
  if (const std::size_t at = item.rfind('@'); at != std::string_view::npos) {
    const std::string_view name = item.substr(0, at), asked = item.substr(at + 1);
    if (asked.starts_with(kSha256) && IsBareName(name)) {
      const std::string hex = AsciiLower(asked.substr(kSha256.size()));
      if (hex.size() == 64 && hex.find_first_not_of("0123456789abcdef") == std::string::npos) {
        return Wanted{std::string(name), std::nullopt, hex};
      }
    }
    const auto version = platform::FileVersionFromText(asked);
    if (version && IsBareName(name)) return Wanted{std::string(name), version, std::nullopt};
  }
  if (!IsBareName(item)) return std::nullopt;
  return Wanted{std::string(item), std::nullopt, std::nullopt};
}

std::optional<std::string> Unmet(const Wanted& wanted,
                                 const std::optional<platform::FileVersion>& version,
                                 const std::string& sha256) {
  if (wanted.sha256 && *wanted.sha256 != sha256) {
    return "its bytes are not those that " + wanted.Text() + " asks for";
  }
  if (wanted.atLeast && (!version || *version < *wanted.atLeast)) {
    return (version ? "version " + version->Text() : std::string("a file with no version")) +
           " is in place, and " + wanted.Text() + " asks for " + wanted.atLeast->Text() +
           " at least";
  }
  return std::nullopt;
}

std::string DetectionCommand(const std::string& program, const std::vector<Wanted>& installed) {
  std::string command =
      "& " + Quoted(program.empty() ? "kalvenor.exe" : program) + " /verify /detect";
  std::vector<std::string> seen;
  for (const Wanted& wanted : installed) {
    const std::string text = wanted.Text();
    if (std::find(seen.begin(), seen.end(), text) != seen.end()) continue;
    seen.push_back(text);
    command += " " + Quoted(text);
  }
  return command;
}

}  // namespace kalvenor::engine
