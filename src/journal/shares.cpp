#include "journal/shares.h"

#include <charconv>
#include <vector>

#include "lib/text.h"

namespace kalvenor::journal {
namespace {

using platform::RegistryRoot;

// %NAME% replaced by the variable's value where it has one, as the registry's expandable
// strings are.
std::string Expanded(const platform::System& system, std::string_view path) {
  std::string expanded;
  for (std::size_t at = 0; at < path.size();) {
    const std::size_t open = path.find('%', at);
    const std::size_t close = open == std::string_view::npos ? open : path.find('%', open + 1);
    if (close == std::string_view::npos) {
      expanded += path.substr(at);
      break;
    }
    const std::optional<std::string> value =
        system.Environ(path.substr(open + 1, close - open - 1));
    expanded += path.substr(at, open - at);
    expanded += value ? *value : std::string(path.substr(open, close - open + 1));
    at = close + 1;
  }
  return expanded;
}

}  // namespace

std::string ComparablePath(const platform::System& system, std::string_view path,
                           platform::RegistryView view) {
  std::string text = AsciiLower(Expanded(system, path));
  for (char& c : text) {
    if (c == '/') c = '\\';
  }
  // "." and ".." resolved; a leading "\\server" or "c:" stays the root.
  std::vector<std::string> parts;
  for (const std::string& part : SplitList(text, '\\')) {
    if (part == ".") continue;
    if (part == ".." && parts.size() > 1) {
      parts.pop_back();
    } else if (part != "..") {
      parts.push_back(part);
    }
  }
  std::string comparable = text.starts_with("\\\\") ? "\\\\" : "";
  for (std::size_t i = 0; i < parts.size(); ++i) comparable += (i ? "\\" : "") + parts[i];
  const std::string windows = AsciiLower(system.Environ("WINDIR").value_or("c:\\windows"));
  const std::string alias =
      windows + (view == platform::RegistryView::Bits32 ? "\\syswow64\\" : "\\sysnative\\");
  if (comparable.starts_with(alias)) {
    comparable = windows + "\\system32\\" + comparable.substr(alias.size());
  }
  return comparable;
}

std::map<std::string, std::string>& SharedCounts::NamesIn(platform::RegistryView view) {
  auto [names, made] = names_.try_emplace(view);
  if (made) {
    auto tree = system_.ReadRegistryTree(RegistryRoot::LocalMachine, view, kSharedDllsKey);
    if (tree.ok() && tree.value()) {
      for (const platform::RegistryValue& value : tree.value()->values) {
        if (value.key.empty() && value.type == platform::kRegDword) {
          names->second.emplace(ComparablePath(system_, value.name, view), value.name);
        }
      }
    }
  }
  return names->second;
}

SharedCount SharedCounts::Read(const std::string& path, platform::RegistryView view) {
  const std::string comparable = ComparablePath(system_, path, view);
  SharedCount count{path,
                    system_.RegistryDword(RegistryRoot::LocalMachine, view, kSharedDllsKey, path)};
  if (!count.value) {
    const auto& names = NamesIn(view);
    if (const auto found = names.find(comparable); found != names.end()) {
      count.value =
          system_.RegistryDword(RegistryRoot::LocalMachine, view, kSharedDllsKey, found->second);
      if (count.value) count.name = found->second;
    }
  }
  count.held = system_.RegistryDword(RegistryRoot::LocalMachine, view, kHeldSharesKey, comparable)
                   .has_value();
  return count;
}

// In the order that leaves, should the program be killed between the two writes, at worst one
// share too many: a share is taken by the count first, given back by the mark first. Undo acts
// on a share only where the mark says that the run's change took place.
platform::Status SharedCounts::Write(const std::string& path, const SharedCount& count,
                                     platform::RegistryView view) {
  platform::System& system = system_;
  const std::string held = ComparablePath(system, path, view);
  // The names read already are kept current for the spellings a later step looks up.
  if (const auto names = names_.find(view); names != names_.end()) {
    const std::string comparable = ComparablePath(system, count.name, view);
    if (count.value) {
      names->second.insert_or_assign(comparable, count.name);
    } else {
      names->second.erase(comparable);
    }
  }
  auto writeCount = [&] {
    return count.value ? system.SetRegistryDword(RegistryRoot::LocalMachine, view, kSharedDllsKey,
                                                 count.name, *count.value)
                       : system.DeleteRegistryValue(RegistryRoot::LocalMachine, view,
                                                    kSharedDllsKey, count.name);
  };
  auto writeMark = [&] {
    return count.held
               ? system.SetRegistryDword(RegistryRoot::LocalMachine, view, kHeldSharesKey, held, 1)
               : system.DeleteRegistryValue(RegistryRoot::LocalMachine, view, kHeldSharesKey, held);
  };
  platform::Status first = count.held ? writeCount() : writeMark();
  if (!first.ok()) return first;
  return count.held ? writeMark() : writeCount();
}

std::string CountText(std::optional<std::uint32_t> count) {
  return count ? std::to_string(*count) : "-";
}

std::optional<std::uint32_t> CountFromText(std::string_view text) {
  std::uint32_t count = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return count;
}

}  // namespace kalvenor::journal
