#include "paths/paths.h"

#include <algorithm>
#include <vector>

#include "base/text.h"

namespace kalvenor::paths {
namespace {

// Where the path's root ends: after "C:" of "C:\x", after the share of "\\server\share\x";
// 0 for a path that is not absolute.
std::size_t RootLength(std::string_view path) {
  if (path.starts_with("\\\\")) {
    const std::size_t server = path.find('\\', 2);
    if (server == std::string_view::npos) return path.size();
    return std::min(path.find('\\', server + 1), path.size());
  }
  return path.size() > 2 && path[1] == ':' && path[2] == '\\' ? 2 : 0;
}

// \\?\C:, \\.\Volume{...}, \\?\GLOBALROOT\Device\HarddiskVolume1: a volume by its device
// name, which opens the volume itself; its root folder is the name with a backslash.
bool IsVolume(std::string_view path) {
  const std::string text = AsciiLower(path);
  if (!text.starts_with("\\\\?\\") && !text.starts_with("\\\\.\\")) return false;
  std::string_view name = std::string_view(text).substr(4);
  // Below the object namespace's root: the devices, and the drive letters' links to them.
  if (name.starts_with("globalroot\\")) {
    name.remove_prefix(11);
    for (std::string_view links : {"device\\", "??\\", "global??\\", "dosdevices\\"}) {
      if (name.starts_with(links)) {
        name.remove_prefix(links.size());
        break;
      }
    }
  }
  return !name.empty() && name != "unc" && name != "globalroot" &&
         name.find('\\') == std::string_view::npos;
}

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

std::string WindowsDir(const platform::System& system) {
  return system.Environ("WINDIR").value_or("");
}

bool IsFullPath(std::string_view path) { return RootLength(path) > 0; }

bool IsLocalFile(std::string_view path) {
  const std::size_t start = path.find_first_not_of(" \"");
  if (start == std::string_view::npos) return false;
  std::string text = AsciiLower(path.substr(start));
  std::replace(text.begin(), text.end(), '/', '\\');
  // "\\?\", "\\.\" and "\??\" hand the rest to the object manager: only a drive's path is a file,
  // and one whose ".." climbs no higher than the drive ("\\.\C:\..\UNC\server" is a share).
  for (const char* device : {"\\\\?\\", "\\\\.\\", "\\??\\"}) {
    if (text.starts_with(device)) {
      const std::string_view rest = std::string_view(text).substr(4);
      const std::vector<std::string> parts = SplitList(rest, '\\');
      return rest.size() > 2 && rest[0] >= 'a' && rest[0] <= 'z' && rest[1] == ':' &&
             rest[2] == '\\' && std::find(parts.begin(), parts.end(), "..") == parts.end();
    }
  }
  return !text.starts_with("\\\\");
}

std::string FullPath(std::string path, const std::string& currentDir) {
  std::replace(path.begin(), path.end(), '/', '\\');
  if (RootLength(path) == 0 && path.size() > 1 && path[1] == ':') {
    // "C:x.dll" and "C:." lie in the drive's current folder: the current folder when it is on
    // that drive, else the drive's root, as Windows takes them without one of its own.
    const bool sameDrive = currentDir.size() > 1 && currentDir[1] == ':' &&
                           AsciiLower(currentDir.substr(0, 1)) == AsciiLower(path.substr(0, 1));
    path = (sameDrive ? currentDir : path.substr(0, 2)) + "\\" + path.substr(2);
  } else if (RootLength(path) == 0) {
    const std::size_t root = RootLength(currentDir);
    path = path.starts_with("\\") ? currentDir.substr(0, root) + path  // the current drive's root
                                  : currentDir + "\\" + path;
  }
  const std::size_t root = RootLength(path);
  std::vector<std::string> parts;
  for (std::string& part : SplitList(std::string_view(path).substr(root), '\\')) {
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (part != ".") {
      parts.push_back(std::move(part));
    }
  }
  std::string full = path.substr(0, root);
  for (const std::string& part : parts) (full += '\\') += part;
  return parts.empty() ? full + '\\' : full;
}

std::string LongName(const platform::System& system, std::string_view path) {
  if (path.find('~') == std::string_view::npos) return std::string(path);
  return system.LongPathName(path);
}

std::string FolderOf(std::string_view path) {
  const std::size_t slash = path.rfind('\\');
  return std::string(slash == std::string_view::npos ? std::string_view() : path.substr(0, slash));
}

std::string ParentFolder(std::string_view path) {
  std::string folder = FolderOf(path);
  // A volume's root keeps its backslash: "C:" alone is the drive's current folder.
  if ((folder.size() == 2 && folder[1] == ':') || IsVolume(folder)) folder += '\\';
  return folder;
}

std::string Literal(std::string_view finalPath) {
  if (finalPath.starts_with("\\\\")) return "\\\\?\\UNC" + std::string(finalPath.substr(1));
  return "\\\\?\\" + std::string(finalPath);
}

std::vector<std::string> FoldersAbove(std::string_view path) {
  std::vector<std::string> folders;
  for (std::string folder = ParentFolder(path); !folder.empty(); folder = ParentFolder(folder)) {
    if (!folders.empty() && folders.back() == folder) break;  // a root is its own parent
    folders.push_back(folder);
  }
  return folders;
}

std::string ComparablePath(const platform::System& system, std::string_view path,
                           platform::RegistryView view) {
  std::string text = AsciiLower(LongName(system, Expanded(system, path)));
  std::replace(text.begin(), text.end(), '/', '\\');
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
  std::string windows = AsciiLower(WindowsDir(system));
  if (windows.empty()) windows = "c:\\windows";
  const std::string alias =
      windows + (view == platform::RegistryView::Bits32 ? "\\syswow64" : "\\sysnative");
  if (comparable == alias || comparable.starts_with(alias + "\\")) {
    comparable = windows + "\\system32" + comparable.substr(alias.size());
  }
  return comparable;
}

platform::RegistryView OwnView(const platform::System& system) {
  return system.App().bits == 64 ? platform::RegistryView::Bits64 : platform::RegistryView::Bits32;
}

bool SamePath(const platform::System& system, std::string_view a, std::string_view b) {
  const platform::RegistryView view = OwnView(system);
  return ComparablePath(system, a, view) == ComparablePath(system, b, view);
}

bool SameFile(const platform::System& system, std::string_view a, std::string_view b) {
  const std::optional<platform::FileId> first = system.IdentityOf(a), second = system.IdentityOf(b);
  return first && second ? *first == *second : SamePath(system, a, b);
}

bool InFolder(const platform::System& system, std::string_view path, std::string_view folder) {
  const platform::RegistryView view = OwnView(system);
  return FolderOf(ComparablePath(system, path, view)) == ComparablePath(system, folder, view);
}

}  // namespace kalvenor::paths
