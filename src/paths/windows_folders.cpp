#include "paths/windows_folders.h"

#include <algorithm>
#include <map>

#include "base/text.h"
#include "lib/lib_filesystem.h"
#include "paths/paths.h"

namespace kalvenor::paths {

WindowsFolders WindowsFolders::Find(platform::System& system) {
  WindowsFolders found;
  found.windows = WindowsDir(system);
  std::string folder = TrimBlanks(system.LowerCase(found.windows + "\\SYSTEM"));
  found.toolFound = File_Exists(system, folder + "\\regsvr32.exe");
  if (!found.toolFound && File_Exists(system, folder + "32" + "\\regsvr32.exe")) {
    folder += "32";
    found.toolFound = true;
  }
  found.system = folder;
  found.tool = folder + "\\regsvr32.exe";
  const bool own32 = system.App().bits == 32;
  found.other =
      TrimBlanks(system.LowerCase(found.windows + (own32 ? "\\Sysnative" : "\\SysWOW64")));
  found.otherTool = found.other + "\\regsvr32.exe";
  found.otherFound = File_Exists(system, found.otherTool);
  const platform::SystemFolders own = system.SystemFoldersOf();
  // WINDIR and the system mostly name the same folders: each name opened once, and what it
  // opened counted in every list that names it (WINDIR may name the system folder itself).
  std::map<std::string, std::optional<platform::FileId>> opened;
  const auto identify = [&](std::vector<platform::FileId>& ids, const std::string& folder) {
    if (folder.empty()) return;
    auto [named, added] = opened.try_emplace(AsciiLower(folder));
    if (added) named->second = system.IdentityOf(folder);
    const std::optional<platform::FileId>& id = named->second;
    if (id && std::find(ids.begin(), ids.end(), *id) == ids.end()) ids.push_back(*id);
  };
  for (const std::string& windows : {found.windows, own.windows}) {
    if (windows.empty()) continue;
    identify(found.windowsIds, windows);
    for (const char* folder : {"\\system32", "\\SysWOW64", "\\Sysnative"}) {
      identify(found.systemIds, windows + folder);
    }
  }
  for (const std::string& folder : {found.system, found.other, own.system, own.wow64}) {
    identify(found.systemIds, folder);
  }
  return found;
}

bool WindowsFolders::NamesSystemFolder(const platform::System& system,
                                       std::string_view folder) const {
  // Compared in both views, so that every alias of either bitness's folder counts.
  for (const platform::RegistryView view :
       {platform::RegistryView::Bits32, platform::RegistryView::Bits64}) {
    const std::string comparable = ComparablePath(system, folder, view);
    for (const std::string& known : {this->system, other, windows + "\\system32",
                                     windows + "\\syswow64", windows + "\\sysnative"}) {
      if (comparable == ComparablePath(system, known, view)) return true;
    }
  }
  return false;
}

// Opened only when its name is no system directory's.
bool WindowsFolders::IsSystemFolder(const platform::System& system, std::string_view folder) const {
  return NamesSystemFolder(system, folder) || OpensSystemFolder(system.IdentityOf(folder));
}

bool WindowsFolders::IsSystemFolder(const platform::System& system, std::string_view folder,
                                    const std::optional<platform::FileId>& id) const {
  return NamesSystemFolder(system, folder) || OpensSystemFolder(id);
}

bool WindowsFolders::OpensSystemFolder(const std::optional<platform::FileId>& id) const {
  return id && std::find(systemIds.begin(), systemIds.end(), *id) != systemIds.end();
}

bool WindowsFolders::InSystemFolder(const platform::System& system, std::string_view path) const {
  const std::string folder = ParentFolder(ComparablePath(system, path, OwnView(system)));
  // A link in a package's folder may lead into one: judged by the folder the file lies in.
  const std::string final = system.FinalPath(path);
  if (!final.empty() && IsSystemFolder(system, ParentFolder(final))) return true;
  // The folder as named, unless that is the one just opened: each open costs Wine a millisecond.
  return (final.empty() || !SamePath(system, ParentFolder(final), folder)) &&
         IsSystemFolder(system, folder);
}

std::optional<std::string> WindowsFolders::TargetOf(const platform::System& system,
                                                    std::string_view path) const {
  const std::string final = system.FinalPath(path);
  const std::string& opened = final.empty() ? std::string(path) : final;
  const std::optional<platform::FileId> folder = system.IdentityOf(ParentFolder(opened));
  if (!folder) return std::nullopt;
  for (const std::string* known : {&this->system, &other}) {
    if (system.IdentityOf(*known) != folder) continue;
    // Named as the run names that folder, it keeps the name it was given.
    return InFolder(system, path, *known) ? std::string(path)
                                          : *known + "\\" + File_GetName(opened);
  }
  return std::nullopt;
}

bool WindowsFolders::IsWindowsFolder(const platform::System& system,
                                     std::string_view folder) const {
  return IsWindowsFolder(system.IdentityOf(folder));
}

bool WindowsFolders::IsWindowsFolder(const std::optional<platform::FileId>& id) const {
  return id && std::find(windowsIds.begin(), windowsIds.end(), *id) != windowsIds.end();
}

}  // namespace kalvenor::paths
