#include "capture/placeholders.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "base/text.h"
#include "paths/paths.h"

namespace kalvenor::capture {
namespace {

// A character that goes on with a file or folder name: a spelling followed by it is only the
// beginning of another name. A space or a comma ends one, as in "x.exe /automation" or "x.dll,1".
bool Continues(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u >= 0x80 ||
         std::string_view("._-~$\\/").find(c) != std::string_view::npos;
}

enum class Kind { File, ShortFile, Folder };
struct Spelling {
  std::string lower;
  Kind kind;
};

// The component's spellings, the longest first, so that its path wins over its folder.
std::vector<Spelling> SpellingsOf(const Captured& component) {
  std::vector<Spelling> spellings;
  auto add = [&](std::string_view text, Kind kind) {
    if (!text.empty()) spellings.push_back({AsciiLower(text), kind});
  };
  add(component.path, Kind::File);
  for (const std::string& alias : component.aliases) add(alias, Kind::ShortFile);
  add(paths::FolderOf(component.path), Kind::Folder);
  for (const std::string& alias : component.aliases) add(paths::FolderOf(alias), Kind::Folder);
  std::stable_sort(spellings.begin(), spellings.end(), [](const Spelling& a, const Spelling& b) {
    return a.lower.size() > b.lower.size();
  });
  return spellings;
}

struct Match {
  std::size_t end;
  const std::string* naming;
};

constexpr std::string_view kResource = "res://";

// At `at` in `lower`, the longest spelling that stands as a whole there. A file goes on to a
// type library's resource index ("x.dll\2") and, in a res:// URL, to the resource it names
// ("res://x.dll/page.htm"); a folder only to what follows a file or folder name.
std::optional<Match> MatchAt(std::string_view lower, std::size_t at,
                             const std::vector<Spelling>& spellings, const Naming& naming) {
  auto ends = [&](std::size_t end) { return end == lower.size() || !Continues(lower[end]); };
  const bool resource = lower.substr(0, at).ends_with(kResource);
  auto endsFile = [&](std::size_t end) {
    if (ends(end) || (resource && lower[end] == '/')) return true;
    if (lower[end] != '\\') return false;
    std::size_t digit = end + 1;
    while (digit < lower.size() && lower[digit] >= '0' && lower[digit] <= '9') ++digit;
    return digit > end + 1 && ends(digit);
  };
  for (const Spelling& spelling : spellings) {
    if (lower.substr(at, spelling.lower.size()) != spelling.lower) continue;
    const std::size_t end = at + spelling.lower.size();
    if (spelling.kind == Kind::Folder) {
      if (end < lower.size() && lower[end] == '\\' && ends(end + 1))
        return Match{end + 1, &naming.folderSlash};
      if (ends(end)) return Match{end, &naming.folder};
    } else if (endsFile(end)) {
      return Match{end, spelling.kind == Kind::File ? &naming.file : &naming.shortFile};
    }
  }
  return std::nullopt;
}

}  // namespace

std::string BareName(const Captured& component) {
  return component.path.substr(component.path.rfind('\\') + 1);
}

std::string Verbatim(std::string_view text) { return std::string(text); }

std::string WithPlaceholders(std::string_view text, const Captured& component, const Naming& naming,
                             Literal literal) {
  static constexpr std::string_view kLongPrefix = "\\\\?\\";
  const std::vector<Spelling> spellings = SpellingsOf(component);
  const std::string lower = AsciiLower(text);
  std::string out, pending;
  for (std::size_t i = 0; i < text.size();) {
    if (i == 0 || !Continues(text[i - 1]) ||
        std::string_view(lower).substr(0, i).ends_with(kResource)) {
      const bool prefixed = std::string_view(lower).substr(i).starts_with(kLongPrefix);
      if (auto match = MatchAt(lower, prefixed ? i + kLongPrefix.size() : i, spellings, naming)) {
        out += literal(pending) + (prefixed ? naming.longPrefix : "") + *match->naming;
        pending.clear();
        i = match->end;
        continue;
      }
    }
    pending += text[i++];
  }
  return out + literal(pending);
}

}  // namespace kalvenor::capture
