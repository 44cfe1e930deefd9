#include "journal/shares.h"

#include <charconv>
#include <vector>

#include "base/text.h"
#include "paths/paths.h"

namespace kalvenor::journal {
namespace {

using paths::ComparablePath;
using platform::RegistryRoot;

}  // namespace

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
  if (!count.held) return count;
  if (const std::optional<std::string> record = InstalledRecord(path, view)) {
    count.installed = InstalledFromText(*record);
  }
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

std::optional<std::string> SharedCounts::InstalledRecord(const std::string& path,
                                                         platform::RegistryView view) const {
  return system_.RegistryString(RegistryRoot::LocalMachine, view, kInstalledKey,
                                ComparablePath(system_, path, view));
}

platform::Status SharedCounts::WriteInstalled(const std::string& path, platform::RegistryView view,
                                              const std::optional<std::string>& record) {
  const std::string name = ComparablePath(system_, path, view);
  return record
             ? system_.WriteRegistryString(RegistryRoot::LocalMachine, view, kInstalledKey, name,
                                           *record)
             : system_.DeleteRegistryValue(RegistryRoot::LocalMachine, view, kInstalledKey, name);
}

std::string InstalledText(const Installed& installed) {
  return installed.sha256 + " " + (installed.version ? installed.version->Text() : "-");
}

// Anything but "<sha256> <version>" holds nothing a detection could trust.
std::optional<Installed> InstalledFromText(std::string_view text) {
  const std::size_t blank = text.find(' ');
  if (blank != 64 || text.find_first_not_of("0123456789abcdef") != 64) return std::nullopt;
  const std::string_view version = text.substr(blank + 1);
  const std::optional<platform::FileVersion> parsed = platform::FileVersionFromText(version);
  if (!parsed && version != "-") return std::nullopt;
  return Installed{std::string(text.substr(0, blank)), parsed};
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
