#pragma once
// How the program spells and compares paths: one file has one name, whatever spelling a user,
// a registration or another installer gave it.

#include <string>
#include <string_view>
#include <vector>

#include "platform/system.h"

namespace kalvenor::paths {

// The Windows folder as the environment gives it (WINDIR); empty when it does not.
std::string WindowsDir(const platform::System& system);

// Whether the path names its drive and folder, or its share, in full: "C:\x" or "\\server\share".
bool IsFullPath(std::string_view path);
// Whether the path, quotes and blanks around it aside, names a file on this machine's drives: a
// drive's path (also as "\\?\C:\x"), a bare or a relative name. Not a share ("\\server\x",
// "\\?\UNC\server\x"), whose opening hands another machine this account's credentials, nor a
// device ("\\.\pipe\x", "\\?\GLOBALROOT\…"), whose server may take this account's identity.
bool IsLocalFile(std::string_view path);

// The path made absolute from `currentDir` as Windows makes it: '/' read as '\', "." and ".."
// taken out, no doubled or trailing backslash but a root's.
std::string FullPath(std::string path, const std::string& currentDir);

// The path with each short (8.3) element in its long form. Only a short element holds a '~',
// so a path without one is returned as it is, with no look-up.
std::string LongName(const platform::System& system, std::string_view path);

// The folder the path lies in, without a trailing backslash; empty for a bare name.
std::string FolderOf(std::string_view path);
// The same as a path that opens it: a drive's root keeps its backslash, as "C:" alone opens the
// drive's current folder. A root's is the root itself.
std::string ParentFolder(std::string_view path);
// A full path as a file system's handle gives it ("C:\x", "\\server\share\x") in the "\\?\" form,
// which Windows takes as it is written: no name's trailing dot or blank dropped, no length limit.
std::string Literal(std::string_view finalPath);

// The folders above the path, its own folder first and its root last, each as a path that
// opens it.
std::vector<std::string> FoldersAbove(std::string_view path);

// The form in which two spellings of one file compare equal: environment strings expanded,
// short names made long, '/' read as '\', "." and ".." resolved, no letter case; in the 32-bit
// view a file's SysWOW64 name is its system32 name, as in the 64-bit view its Sysnative name is.
std::string ComparablePath(const platform::System& system, std::string_view path,
                           platform::RegistryView view);

// The registry view of the program's own bitness, in which its own paths are compared.
platform::RegistryView OwnView(const platform::System& system);

// Whether the two paths name the same file or folder, as this program reaches them.
bool SamePath(const platform::System& system, std::string_view a, std::string_view b);
// Whether the two paths open the same file: by what they open when both exist, else as
// SamePath compares them.
bool SameFile(const platform::System& system, std::string_view a, std::string_view b);
// Whether `path` lies directly in `folder`.
bool InFolder(const platform::System& system, std::string_view path, std::string_view folder);

}  // namespace kalvenor::paths
