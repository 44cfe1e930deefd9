#pragma once
// The Windows folders a run works in, found once when the program starts: the system directory
// with its registration tool, and the other bitness's system directory as this program reaches
// it.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system.h"

namespace kalvenor::paths {

struct WindowsFolders {
  std::string windows;  // WINDIR, as the environment gives it
  // WINDIR followed by \system, or by \system32 when only that one holds the registration tool;
  // the first one tried when neither does.
  std::string system, tool;
  bool toolFound = false;
  // A 32-bit program reaches the 64-bit system directory as Sysnative, a 64-bit program the
  // 32-bit one as SysWOW64; none where it holds no regsvr32.exe (32-bit Windows, a 64-bit one
  // without its 32-bit part).
  std::string other, otherTool;
  bool otherFound = false;
  // What the system directories of both bitnesses and the Windows folders open, as WINDIR names
  // them and as the system itself does, whatever WINDIR says.
  std::vector<platform::FileId> systemIds, windowsIds;

  static WindowsFolders Find(platform::System& system);

  // Whether `folder` is a system directory of either bitness, under any spelling and through
  // any link: the one found, the other bitness's, any of system32, SysWOW64 and Sysnative, or
  // one the system names.
  bool IsSystemFolder(const platform::System& system, std::string_view folder) const;
  // The same for a folder already opened, `id` being what it opened (nothing when it did not):
  // a caller that asks both questions of a folder opens it once.
  bool IsSystemFolder(const platform::System& system, std::string_view folder,
                      const std::optional<platform::FileId>& id) const;
  // Whether `path` lies directly in one, links followed.
  bool InSystemFolder(const platform::System& system, std::string_view path) const;
  // The name of the file `path` opens when it lies in the system directory found or the other
  // bitness's: `path` where it names that folder as it is named here, else that folder and the
  // file's own name, whatever the spelling given.
  std::optional<std::string> TargetOf(const platform::System& system, std::string_view path) const;
  // Whether `folder` opens a Windows folder, WINDIR's or the system's.
  bool IsWindowsFolder(const platform::System& system, std::string_view folder) const;
  bool IsWindowsFolder(const std::optional<platform::FileId>& id) const;

 private:
  // Whether `folder` names a system directory, whatever it opens.
  bool NamesSystemFolder(const platform::System& system, std::string_view folder) const;
  bool OpensSystemFolder(const std::optional<platform::FileId>& id) const;
};

}  // namespace kalvenor::paths
