#include "platform/wildcard.h"

#include <cstddef>

namespace kalvenor::platform {
namespace {

// Length in bytes of the UTF-8 sequence that starts with `lead` (1 for stray bytes).
std::size_t SequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF7) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC0) return 2;
  return 1;
}

char FoldAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// One code point of `text` at `pos`, clipped to the text.
std::string_view CodePointAt(std::string_view text, std::size_t pos) {
  return text.substr(pos, SequenceLength(static_cast<unsigned char>(text[pos])));
}

bool SameCodePoint(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

}  // namespace

bool HasWildcards(std::string_view text) { return text.find_first_of("*?") != text.npos; }

// Greedy matching with one back-tracking point (the last *), linear in practice and never
// recursive, so hostile names cannot blow the stack.
bool WildcardMatch(std::string_view pattern, std::string_view name) {
  std::size_t p = 0, n = 0;
  std::size_t starP = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
      continue;
    }
    if (p < pattern.size()) {
      std::string_view want = CodePointAt(pattern, p);
      std::string_view have = CodePointAt(name, n);
      if (want == "?" || SameCodePoint(want, have)) {
        p += want.size();
        n += have.size();
        continue;
      }
    }
    if (starP == std::string_view::npos) return false;
    p = starP + 1;
    starN += CodePointAt(name, starN).size();
    n = starN;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace kalvenor::platform
