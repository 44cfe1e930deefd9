// What a run may touch, decided before anything is written: the files of its items, each by its
// long name; never a system directory as a package, nor a report file over a file the run reads,
// writes or keeps.
#include <algorithm>
#include <initializer_list>
#include <set>

#include "base/text.h"
#include "engine/engine.h"
#include "journal/journal.h"
#include "lib/lib_filesystem.h"
#include "paths/paths.h"

namespace kalvenor::engine {

bool IsComponentName(std::string_view path) {
  // Only the last three characters count, in any letter case, as the automatic list matches
  // them: legacy controls are often named in capitals.
  const std::string ending = AsciiLower(path.size() >= 3 ? path.substr(path.size() - 3) : path);
  return ending == "ocx" || ending == "dll";
}

std::string Engine::LongName(const std::string& path) const {
  return paths::LongName(system_, path);
}

Engine::Listing Engine::ComponentsIn(const std::string& folder) const {
  Listing listing;
  // Each file there is Windows' own, or another installer's: none is this run's package.
  const std::optional<platform::FileId> id = system_.IdentityOf(folder);
  const char* windows = folders_.IsSystemFolder(system_, folder, id) ? "a system directory"
                        : folders_.IsWindowsFolder(id)               ? "the Windows folder"
                                                                     : nullptr;
  if (windows) {
    listing.whyNone = "it is " + std::string(windows) +
                      ": its files belong to Windows and to the programs installed, not to a "
                      "package";
    listing.refused = true;
    return listing;
  }
  for (const char* pattern : {"\\*.dll", "\\*.ocx"}) {
    for (const std::string& name : system_.Dir(folder + pattern, platform::DirAttributes::Normal)) {
      listing.components.push_back(folder + "\\" + name);
    }
  }
  if (listing.components.empty()) listing.whyNone = "it holds no .dll or .ocx file";
  return listing;
}

Engine::Admitted Engine::Admit(const Plan& plan) const {
  Admitted admitted;
  // The window's list is run as it stands, one step for each line of it.
  if (!plan.foldersAllowed) {
    for (auto item = plan.items.begin(); item != plan.items.end(); ++item) {
      std::string longName = LongName(*item);
      if (admitted.files.empty()) {
        if (longName == *item) continue;
        admitted.files.assign(plan.items.begin(), item);
      }
      admitted.files.push_back(std::move(longName));
    }
    if (admitted.files.empty()) admitted.asListed = &plan.items;
    return admitted;
  }
  // Two spellings of one file, or a link and the file it leads to, are one item.
  std::set<std::string> seen;
  const auto firstTime = [&](const std::string& path, const std::optional<platform::FileId>& id) {
    return seen
        .insert(id ? "|" + std::to_string(id->volume) + ":" + std::to_string(id->file[0]) + ":" +
                         std::to_string(id->file[1])
                   : paths::ComparablePath(system_, path, paths::OwnView(system_)))
        .second;
  };
  const auto add = [&](const std::string& file, const std::optional<platform::FileId>& id) {
    admitted.files.push_back(file);
    admitted.ids.push_back(id);
  };
  for (const std::string& given : plan.items) {
    const std::string item = LongName(given);
    const std::optional<platform::FileId> itemId = system_.IdentityOf(item);
    if (!firstTime(item, itemId)) continue;
    if (!system_.Dir(item, platform::DirAttributes::Folders).empty()) {
      const Listing listing = ComponentsIn(item);
      if (listing.components.empty())
        admitted.unlisted.push_back({item, "> Adding folder ", listing.whyNone});
      for (const std::string& component : listing.components) {
        const std::optional<platform::FileId> id = system_.IdentityOf(component);
        if (firstTime(component, id)) add(component, id);
      }
    } else if (!File_Exists(system_, item)) {
      admitted.unlisted.push_back({item, "> File not found ", ""});
    } else if (IsComponentName(item)) {
      add(item, itemId);
    } else {
      admitted.unlisted.push_back({item, "> Adding file ", "it is no .dll or .ocx file"});
    }
  }
  return admitted;
}

Engine::Admitted Engine::FilesOf(const Plan& plan) const {
  if (admitted_.plan == &plan) return *admitted_.files;
  return Admit(plan);
}

std::optional<std::string> Engine::WhyNotReport(const Plan& plan, const std::string& file) const {
  return WhyNotReports(plan, {file}).front();
}

std::vector<std::optional<std::string>> Engine::WhyNotReports(
    const Plan& plan, const std::vector<std::string>& files) const {
  if (files.empty()) return {};
  const Admitted listed = FilesOf(plan);
  std::vector<std::optional<std::string>> why;
  for (const std::string& file : files) {
    const std::string path = LongName(file);
    // A file that is not there yet is judged by its folder, as the system resolves it.
    const std::string folder = system_.FinalPath(paths::ParentFolder(path));
    const std::string final = system_.FinalPath(path);
    const char* separator = folder.ends_with('\\') ? "" : "\\";
    why.push_back(WhyNotReportAt(plan,
                                 !final.empty()   ? final
                                 : folder.empty() ? path
                                                  : folder + separator + File_GetName(path),
                                 path, system_.IdentityOf(path), listed));
  }
  return why;
}

std::optional<std::string> Engine::WhyNotExport(const std::string& file,
                                                const platform::HeldFile& beside) const {
  if (!admitted_.plan) return "no run is going on";
  // A volume without a drive letter has no such path: judged by its name, as before the run.
  if (beside.FinalPath().empty()) return WhyNotReport(*admitted_.plan, file);
  const std::string final = paths::ParentFolder(beside.FinalPath()) + "\\" + File_GetName(file);
  return WhyNotReportAt(*admitted_.plan, final, file, system_.IdentityOf(file),
                        FilesOf(*admitted_.plan));
}

std::optional<std::string> Engine::WhyNotReport(const Plan& plan,
                                                const platform::HeldFile& report) const {
  return WhyNotReportAt(plan, report.FinalPath(), report.FinalPath(), report.Identity(),
                        FilesOf(plan));
}

std::optional<std::string> Engine::WhyNotReportAt(const Plan& plan, const std::string& final,
                                                  const std::string& given,
                                                  std::optional<platform::FileId> id,
                                                  const Admitted& files) const {
  // Each folder opened once, and `final` judged once where it is the name given.
  std::vector<OpenedFolder> above;
  // By value: a held file gives one string as both.
  for (const bool isFinal : {false, true}) {
    if (isFinal && final == given) break;
    const std::string* path = isFinal ? &final : &given;
    // A stream ("C:\Windows:x.log") is part of the file or folder it hangs on.
    if (File_GetName(*path).find(':') != std::string::npos) {
      return "it names a stream of another file";
    }
    if (folders_.InSystemFolder(system_, *path)) return "it lies in a system directory";
    // Nor anywhere below them: drivers\etc\hosts is Windows' own too.
    above.clear();
    for (std::string& folder : paths::FoldersAbove(*path)) {
      const std::optional<platform::FileId> opened = system_.IdentityOf(folder);
      if (folders_.IsSystemFolder(system_, folder, opened)) return "it lies in a system directory";
      if (folders_.IsWindowsFolder(opened)) return "it lies in the Windows folder";
      above.push_back({std::move(folder), opened});
    }
  }
  if (InStore(final, above)) return "it lies in the journal's store";
  // By name too: a listed file's identity may be from its listing, and another file may have
  // taken its name since.
  const auto same = [&](const std::string& file, const std::optional<platform::FileId>& other) {
    return (id && other && *id == *other) || paths::SamePath(system_, file, given);
  };
  if (ownImage_ && id && ownImage_->Identity() == *id) return "it is the program itself";
  for (const std::string& item : plan.items) {
    if (same(item, system_.IdentityOf(item))) return "it is one of the run's files";
  }
  // The plan's own items were judged just above.
  if (files.asListed == &plan.items) return std::nullopt;
  for (std::size_t i = 0; i < files.Files().size(); ++i) {
    const std::string& file = files.Files()[i];
    if (same(file, files.ids.empty() ? system_.IdentityOf(file) : files.ids[i]))
      return "it is one of the run's files";
  }
  return std::nullopt;
}

// Every file and folder of the store is the program's own (the journals and their backups, the
// run lock, the kept program, the capture helpers), but for a report directly in it, as the
// README's Intune example keeps its log there.
bool Engine::InStore(const std::string& final, const std::vector<OpenedFolder>& above) const {
  const std::string data = system_.ProgramDataFolder();
  if (data.empty()) return false;
  const std::string store = data + "\\Kalvenor";
  const std::optional<platform::FileId> storeId = system_.IdentityOf(store);
  const std::string name = AsciiLower(File_GetName(final));
  const bool reportName = std::ranges::any_of(
      std::initializer_list<std::string_view>{".log", ".txt", ".json", ".jsonl"},
      [&](std::string_view ending) { return name.ends_with(ending); });
  const platform::RegistryView view = paths::OwnView(system_);
  const std::string comparableStore = paths::ComparablePath(system_, store, view);
  bool directly = true;
  for (const auto& [folder, folderId] : above) {
    const bool isStore = (storeId && folderId)
                             ? *storeId == *folderId
                             : paths::ComparablePath(system_, folder, view) == comparableStore;
    if (isStore) return !directly || !reportName;
    directly = false;
  }
  return false;
}

void Engine::LogUnlisted(const std::vector<Unlisted>& unlisted) {
  for (const Unlisted& item : unlisted) {
    if (item.why.empty()) {
      LogNotFound(item.item);
    } else {
      BeginStep("add", item.item, {}, item.step + item.item);
      LogFailure(item.why);
    }
  }
}

// A listed file that is not there: a failed step, whose log line says so on its own.
void Engine::LogNotFound(const std::string& item) {
  BeginStep("not-found", item, {}, "> File not found " + item);
  Step().failed.emplace_back("File not found");
  outcome_.failed = true;
}

}  // namespace kalvenor::engine
