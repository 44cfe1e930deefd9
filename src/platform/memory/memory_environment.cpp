// The memory platform's environment: variables, and lower case by a few scripts' rules.
#include "platform/memory/folded.h"
#include "platform/memory/memory_platform.h"

namespace kalvenor::platform::memory {
namespace {

// Appends the lower-case form of one code point (ASCII, Latin-1, Greek, Cyrillic capitals).
void AppendLower(std::string& out, char32_t c) {
  if ((c >= U'A' && c <= U'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7))
    c += 0x20;
  else if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2)
    c += 0x20;
  else if (c >= 0x410 && c <= 0x42F)
    c += 0x20;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

void MemoryPlatform::SetEnv(const std::string& name, std::optional<std::string> value) {
  if (value) {
    env_[Folded(name)] = *value;
  } else {
    env_.erase(Folded(name));
  }
}

std::optional<std::string> MemoryPlatform::Environ(std::string_view name) const {
  auto found = env_.find(Folded(name));
  if (found == env_.end()) return std::nullopt;
  return found->second;
}

std::string MemoryPlatform::LowerCase(std::string_view text) const {
  std::string lower;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if ((lead & 0xE0) == 0xC0 && i + 1 < text.size()) {
      AppendLower(lower, static_cast<char32_t>(((lead & 0x1F) << 6) | (text[i + 1] & 0x3F)));
      ++i;
    } else if (lead < 0x80) {
      AppendLower(lower, lead);
    } else {
      lower += text[i];
    }
  }
  return lower;
}

}  // namespace kalvenor::platform::memory
