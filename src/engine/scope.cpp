// What a run may touch, decided before anything is written: the files of its items, each by its
// long name; never a system directory as a package, nor a report file over a file the run reads,
// writes or keeps.
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
  if (folders_.IsSystemFolder(system_, folder)) {
    listing.whyNone =
        "it is a system directory: its files belong to Windows and to the programs "
        "installed, not to a package";
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
    for (const std::string& item : plan.items) admitted.files.push_back(LongName(item));
    return admitted;
  }
  std::set<std::string> seen;
  const auto firstTime = [&](const std::string& path) {
    return seen.insert(paths::ComparablePath(system_, path, paths::OwnView(system_))).second;
  };
  for (const std::string& given : plan.items) {
    const std::string item = LongName(given);
    if (!firstTime(item)) continue;
    if (!system_.Dir(item, platform::DirAttributes::Folders).empty()) {
      const Listing listing = ComponentsIn(item);
      if (listing.components.empty())
        admitted.unlisted.push_back({item, "> Adding folder ", listing.whyNone});
      for (const std::string& component : listing.components) {
        if (firstTime(component)) admitted.files.push_back(component);
      }
    } else if (!File_Exists(system_, item)) {
      admitted.unlisted.push_back({item, "> File not found ", ""});
    } else if (IsComponentName(item)) {
      admitted.files.push_back(item);
    } else {
      admitted.unlisted.push_back({item, "> Adding file ", "it is no .dll or .ocx file"});
    }
  }
  return admitted;
}

std::optional<std::string> Engine::WhyNotReport(const Plan& plan, const std::string& file) const {
  const std::string path = LongName(file);
  if (folders_.InSystemFolder(system_, path)) return "it lies in a system directory";
  // The journals and the run lock; a log beside them, as the README's Intune example keeps it,
  // touches neither.
  const std::string data = system_.ProgramDataFolder();
  const platform::RegistryView view = paths::OwnView(system_);
  const std::string store = paths::ComparablePath(system_, data + "\\Kalvenor", view);
  const std::string report = paths::ComparablePath(system_, path, view);
  if (!data.empty() && (report.starts_with(store + "\\runs\\") || report == store + "\\runs" ||
                        report == store + "\\run.lock")) {
    return "it lies in the journal's store";
  }
  for (const std::string& item : plan.items) {
    if (paths::SamePath(system_, item, path)) return "it is one of the run's files";
  }
  for (const std::string& listed : Admit(plan).files) {
    if (paths::SamePath(system_, listed, path)) return "it is one of the run's files";
  }
  return std::nullopt;
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
