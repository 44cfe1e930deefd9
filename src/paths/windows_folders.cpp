#include "paths/windows_folders.h"

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
  return found;
}

bool WindowsFolders::IsSystemFolder(const platform::System& system, std::string_view folder) const {
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

bool WindowsFolders::InSystemFolder(const platform::System& system, std::string_view path) const {
  return IsSystemFolder(system, FolderOf(ComparablePath(system, path, OwnView(system))));
}

}  // namespace kalvenor::paths
