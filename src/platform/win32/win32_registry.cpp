// The registry on Win32: values and whole trees, in the view asked for.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "platform/win32/handles.h"
#include "platform/win32/text.h"
#include "platform/win32/win32_registry.h"
#include "platform/win32/win32_system.h"

namespace kalvenor::win32 {
namespace {

// For the registry functions, which return their error rather than set it.
platform::Status CheckedStatus(LSTATUS status) {
  if (status != ERROR_SUCCESS) return ErrorOf(static_cast<DWORD>(status));
  return platform::Done{};
}

HKEY RootKey(platform::RegistryRoot root) {
  switch (root) {
    case platform::RegistryRoot::ClassesRoot: return HKEY_CLASSES_ROOT;
    case platform::RegistryRoot::UserClasses: return HKEY_CURRENT_USER;
    case platform::RegistryRoot::Users: return HKEY_USERS;
    default: return HKEY_LOCAL_MACHINE;
  }
}

// The key's path under its root's HKEY: each hive keeps its classes in Software\Classes.
std::wstring KeyPath(platform::RegistryRoot root, std::string_view key) {
  if (root != platform::RegistryRoot::MachineClasses &&
      root != platform::RegistryRoot::UserClasses) {
    return Widen(key);
  }
  return Widen(key.empty() ? std::string("Software\\Classes")
                           : "Software\\Classes\\" + std::string(key));
}

// The view is chosen when the key is opened: Wine knows no RRF_SUBKEY_WOW64 flags.
REGSAM ViewAccess(platform::RegistryView view) {
  return view == platform::RegistryView::Bits64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
}

// The key in the view, to read its values; empty when it cannot be opened.
UniqueKey OpenToQuery(platform::RegistryRoot root, platform::RegistryView view,
                      std::string_view key) {
  HKEY opened = nullptr;
  if (::RegOpenKeyExW(RootKey(root), KeyPath(root, key).c_str(), 0,
                      KEY_QUERY_VALUE | ViewAccess(view), &opened) != ERROR_SUCCESS) {
    return UniqueKey();
  }
  return UniqueKey(opened);
}

// The key's default value for an empty name.
const wchar_t* ValueName(const std::wstring& name) { return name.empty() ? nullptr : name.c_str(); }

// The key `relative` below `key`.
std::string Below(std::string_view key, std::string_view relative) {
  std::string path(key);
  if (!relative.empty()) path.append("\\").append(relative);
  return path;
}

// Whether two names are one name to the registry, which compares them without letter case.
bool SameName(std::string_view a, std::string_view b) {
  const std::wstring x = Widen(a), y = Widen(b);
  return ::CompareStringOrdinal(x.c_str(), static_cast<int>(x.size()), y.c_str(),
                                static_cast<int>(y.size()), TRUE) == CSTR_EQUAL;
}

// Adds the values of `from` to `values`, as the values of the tree's key `relative`.
platform::Status ReadValues(HKEY from, const std::string& relative,
                            std::vector<platform::RegistryValue>& values) {
  DWORD longestName = 0, largestData = 0;
  LSTATUS status = ::RegQueryInfoKeyW(from, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      nullptr, &longestName, &largestData, nullptr, nullptr);
  if (status != ERROR_SUCCESS) return ErrorOf(static_cast<DWORD>(status));
  // Never an empty data buffer: given none, the call reports the size and reads nothing.
  std::wstring name(longestName + 1, L'\0');
  std::vector<BYTE> data(std::max<DWORD>(largestData, 1));
  for (DWORD index = 0;;) {
    DWORD nameLength = static_cast<DWORD>(name.size()), type = 0;
    DWORD dataBytes = static_cast<DWORD>(data.size());
    status = ::RegEnumValueW(from, index, name.data(), &nameLength, nullptr, &type, data.data(),
                             &dataBytes);
    if (status == ERROR_NO_MORE_ITEMS) return platform::Done{};
    if (status == ERROR_MORE_DATA) {  // a value that grew since the key was measured
      name.resize(name.size() * 2);
      data.resize(std::max<std::size_t>(dataBytes, data.size() * 2));
      continue;
    }
    if (status != ERROR_SUCCESS) return ErrorOf(static_cast<DWORD>(status));
    const auto* bytes = reinterpret_cast<const std::byte*>(data.data());
    values.push_back(
        {relative, Narrow({name.data(), nameLength}), type, {bytes, bytes + dataBytes}});
    ++index;
  }
}

platform::Result<std::vector<std::string>> SubkeyNames(HKEY from) {
  std::vector<std::string> names;
  wchar_t name[256];  // a key's name has 255 characters at most
  for (DWORD index = 0;; ++index) {
    DWORD length = static_cast<DWORD>(std::size(name));
    const LSTATUS status =
        ::RegEnumKeyExW(from, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) return names;
    if (status != ERROR_SUCCESS) return ErrorOf(static_cast<DWORD>(status));
    names.push_back(Narrow({name, length}));
  }
}

// Deletes the key with all below it; a missing key is deleted already.
platform::Status DeleteTree(platform::RegistryRoot root, platform::RegistryView view,
                            std::string_view key) {
  const std::wstring path = KeyPath(root, key);
  HKEY opened = nullptr;
  LSTATUS status = ::RegOpenKeyExW(
      RootKey(root), path.c_str(), 0,
      DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE | ViewAccess(view),
      &opened);
  if (status == ERROR_SUCCESS) {
    const UniqueKey owned(opened);
    status = ::RegDeleteTreeW(owned.get(), nullptr);  // what is below it and its values
  }
  if (status == ERROR_SUCCESS)
    status = ::RegDeleteKeyExW(RootKey(root), path.c_str(), ViewAccess(view), 0);
  if (status == ERROR_FILE_NOT_FOUND) return platform::Done{};
  return CheckedStatus(status);
}

}  // namespace

platform::Result<std::optional<platform::RegistryTree>> ReadTreeBelow(HKEY base,
                                                                      std::wstring_view path,
                                                                      REGSAM view, DWORD options) {
  platform::RegistryTree tree;
  // Depth first, subkeys in the system's order: each key comes after its parent.
  std::vector<std::string> pending{""};
  while (!pending.empty()) {
    const std::string relative = std::move(pending.back());
    pending.pop_back();
    std::wstring below(path);
    if (!relative.empty()) below.append(below.empty() ? L"" : L"\\").append(Widen(relative));
    HKEY opened = nullptr;
    const LSTATUS status = ::RegOpenKeyExW(base, below.c_str(), options, KEY_READ | view, &opened);
    if (status == ERROR_FILE_NOT_FOUND && relative.empty()) {
      return std::optional<platform::RegistryTree>();
    }
    if (status == ERROR_FILE_NOT_FOUND) continue;  // deleted since its parent listed it
    if (status != ERROR_SUCCESS) return ErrorOf(static_cast<DWORD>(status));
    const UniqueKey owned(opened);
    tree.keys.push_back(relative);
    const platform::Status values = ReadValues(owned.get(), relative, tree.values);
    if (!values.ok()) return values.error();
    auto subkeys = SubkeyNames(owned.get());
    if (!subkeys.ok()) return subkeys.error();
    for (auto name = subkeys.value().rbegin(); name != subkeys.value().rend(); ++name) {
      pending.push_back(relative.empty() ? *name : relative + "\\" + *name);
    }
  }
  return std::optional<platform::RegistryTree>(std::move(tree));
}

// Deletes the key that `key` holds open, and nothing it may link to.
extern "C" LONG NTAPI NtDeleteKey(HANDLE key);
extern "C" ULONG NTAPI RtlNtStatusToDosError(LONG status);

platform::Status DeleteTreeWithoutLinks(HKEY base, const std::wstring& path) {
  HKEY opened = nullptr;
  LSTATUS status = ::RegOpenKeyExW(base, path.c_str(), REG_OPTION_OPEN_LINK,
                                   KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | DELETE, &opened);
  if (status == ERROR_FILE_NOT_FOUND) return platform::Done{};
  if (status != ERROR_SUCCESS) return ErrorOf(static_cast<DWORD>(status));
  const UniqueKey key(opened);
  // Opened as itself, a link lists no subkeys: its target's are never reached.
  auto subkeys = SubkeyNames(key.get());
  if (!subkeys.ok()) return subkeys.error();
  for (const std::string& name : subkeys.value()) {
    if (platform::Status deleted = DeleteTreeWithoutLinks(key.get(), Widen(name)); !deleted.ok()) {
      return deleted;
    }
  }
  if (const LONG deleted = NtDeleteKey(key.get()); deleted < 0) {
    return ErrorOf(RtlNtStatusToDosError(deleted));
  }
  return platform::Done{};
}

std::optional<std::string> Win32System::RegistryString(platform::RegistryRoot root,
                                                       platform::RegistryView view,
                                                       std::string_view key,
                                                       std::string_view name) const {
  const UniqueKey owned = OpenToQuery(root, view, key);
  if (!owned) return std::nullopt;
  const std::wstring wideName = Widen(name);
  const wchar_t* valueName = ValueName(wideName);
  // Strings only: asked for REG_SZ alone, a REG_EXPAND_SZ value comes back expanded too (with
  // RRF_RT_REG_EXPAND_SZ added, the call refuses to expand and fails).
  constexpr DWORD kStrings = RRF_RT_REG_SZ;
  std::wstring value(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    const LSTATUS status =
        ::RegGetValueW(owned.get(), nullptr, valueName, kStrings, nullptr, value.data(), &bytes);
    if (status == ERROR_SUCCESS) {
      value.resize(bytes / sizeof(wchar_t));
      while (!value.empty() && value.back() == L'\0') value.pop_back();
      return Narrow(value);
    }
    if (status != ERROR_MORE_DATA) return std::nullopt;
    value.resize(bytes / sizeof(wchar_t) + 1);
  }
  return std::nullopt;
}

std::optional<std::uint32_t> Win32System::RegistryDword(platform::RegistryRoot root,
                                                        platform::RegistryView view,
                                                        std::string_view key,
                                                        std::string_view name) const {
  const UniqueKey owned = OpenToQuery(root, view, key);
  if (!owned) return std::nullopt;
  DWORD value = 0, bytes = sizeof value;
  if (::RegGetValueW(owned.get(), nullptr, ValueName(Widen(name)), RRF_RT_REG_DWORD, nullptr,
                     &value, &bytes) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return std::uint32_t{value};
}

namespace {

// One value, the key made when missing.
platform::Status SetValue(platform::RegistryRoot root, platform::RegistryView view,
                          std::string_view key, std::string_view name, DWORD type, const void* data,
                          DWORD bytes) {
  HKEY created = nullptr;
  const LSTATUS status = ::RegCreateKeyExW(
      RootKey(root), KeyPath(root, key).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
      KEY_SET_VALUE | ViewAccess(view), nullptr, &created, nullptr);
  if (status != ERROR_SUCCESS) return ErrorOf(static_cast<DWORD>(status));
  const UniqueKey owned(created);
  return CheckedStatus(::RegSetValueExW(owned.get(), ValueName(Widen(name)), 0, type,
                                        static_cast<const BYTE*>(data), bytes));
}

}  // namespace

platform::Status Win32System::SetRegistryDword(platform::RegistryRoot root,
                                               platform::RegistryView view, std::string_view key,
                                               std::string_view name, std::uint32_t value) {
  const DWORD data = value;
  return SetValue(root, view, key, name, REG_DWORD, &data, sizeof data);
}

platform::Status Win32System::WriteRegistryString(platform::RegistryRoot root,
                                                  platform::RegistryView view, std::string_view key,
                                                  std::string_view name, std::string_view text) {
  const std::wstring wide = Widen(text);
  return SetValue(root, view, key, name, REG_SZ, wide.c_str(),
                  static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
}

platform::Status Win32System::DeleteRegistryValue(platform::RegistryRoot root,
                                                  platform::RegistryView view, std::string_view key,
                                                  std::string_view name) {
  HKEY opened = nullptr;
  LSTATUS status = ::RegOpenKeyExW(RootKey(root), KeyPath(root, key).c_str(), 0,
                                   KEY_SET_VALUE | ViewAccess(view), &opened);
  if (status == ERROR_SUCCESS) {
    const UniqueKey owned(opened);
    status = ::RegDeleteValueW(owned.get(), ValueName(Widen(name)));
  }
  // A missing key or value is deleted already.
  if (status == ERROR_FILE_NOT_FOUND) return platform::Done{};
  return CheckedStatus(status);
}

std::vector<std::string> Win32System::RegistrySubkeys(platform::RegistryRoot root,
                                                      platform::RegistryView view,
                                                      std::string_view key) const {
  HKEY opened = nullptr;
  if (::RegOpenKeyExW(RootKey(root), KeyPath(root, key).c_str(), 0,
                      KEY_ENUMERATE_SUB_KEYS | ViewAccess(view), &opened) != ERROR_SUCCESS) {
    return {};
  }
  const UniqueKey owned(opened);
  auto names = SubkeyNames(owned.get());
  return names.ok() ? std::move(names.value()) : std::vector<std::string>();
}

platform::Result<std::optional<platform::RegistryTree>> Win32System::ReadRegistryTree(
    platform::RegistryRoot root, platform::RegistryView view, std::string_view key) const {
  return ReadTreeBelow(RootKey(root), KeyPath(root, key), ViewAccess(view));
}

platform::Status Win32System::WriteRegistryTree(platform::RegistryRoot root,
                                                platform::RegistryView view, std::string_view key,
                                                const std::optional<platform::RegistryTree>& tree) {
  if (key.empty()) return ErrorOf(ERROR_INVALID_PARAMETER);  // never the whole root
  if (!tree) return DeleteTree(root, view, key);
  // Every key made once, the root first; a key that only a value names is made too.
  std::map<std::string, UniqueKey> made;
  auto make = [&](const std::string& relative) -> platform::Result<HKEY> {
    if (auto found = made.find(relative); found != made.end()) return found->second.get();
    HKEY created = nullptr;
    const LSTATUS status = ::RegCreateKeyExW(
        RootKey(root), KeyPath(root, Below(key, relative)).c_str(), 0, nullptr,
        REG_OPTION_NON_VOLATILE, KEY_SET_VALUE | ViewAccess(view), nullptr, &created, nullptr);
    if (status != ERROR_SUCCESS) return ErrorOf(static_cast<DWORD>(status));
    return made.emplace(relative, UniqueKey(created)).first->second.get();
  };
  if (auto rootKey = make(""); !rootKey.ok()) return rootKey.error();
  for (const std::string& relative : tree->keys) {
    if (auto created = make(relative); !created.ok()) return created.error();
  }
  for (const platform::RegistryValue& value : tree->values) {
    auto into = make(value.key);
    if (!into.ok()) return into.error();
    // Given a string whose count leaves out its terminating null, the call adds one when the
    // character after the data is a null, reading past it (Windows and Wine alike): two bytes
    // that are no null follow the data, so that it is stored as it was read.
    std::vector<BYTE> bytes(value.data.size() + 2, 0xFF);
    if (!value.data.empty()) std::memcpy(bytes.data(), value.data.data(), value.data.size());
    const LSTATUS status =
        ::RegSetValueExW(into.value(), ValueName(Widen(value.name)), 0, value.type, bytes.data(),
                         static_cast<DWORD>(value.data.size()));
    if (status != ERROR_SUCCESS) return ErrorOf(static_cast<DWORD>(status));
  }
  // Only then what the tree does not hold goes: the key is never missing on the way.
  auto now = ReadRegistryTree(root, view, key);
  if (!now.ok()) return now.error();
  if (!now.value()) return platform::Done{};  // another deleted it meanwhile
  auto held = [&](const std::string& relative) {
    return std::any_of(made.begin(), made.end(),
                       [&](const auto& kept) { return SameName(kept.first, relative); });
  };
  for (const std::string& relative : now.value()->keys) {
    if (held(relative)) continue;
    // A key below one deleted already is gone with it.
    const platform::Status deleted = DeleteTree(root, view, Below(key, relative));
    if (!deleted.ok()) return deleted;
  }
  for (const platform::RegistryValue& value : now.value()->values) {
    const bool kept = std::any_of(tree->values.begin(), tree->values.end(), [&](const auto& want) {
      return SameName(want.key, value.key) && SameName(want.name, value.name);
    });
    if (kept || !held(value.key)) continue;
    auto from = make(value.key);
    if (!from.ok()) return from.error();
    const LSTATUS status = ::RegDeleteValueW(from.value(), ValueName(Widen(value.name)));
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
      return ErrorOf(static_cast<DWORD>(status));
    }
  }
  return platform::Done{};
}

}  // namespace kalvenor::win32
