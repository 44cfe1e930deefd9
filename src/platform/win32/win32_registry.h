#pragma once
// What the registry's implementation shares with the other concerns on Win32.

#include <windows.h>

#include <optional>
#include <string_view>

#include "platform/registry.h"

namespace kalvenor::win32 {

// The tree under `path` below the open key `base` (the key itself for an empty path), opened in
// the registry view `view` (KEY_WOW64_32KEY, KEY_WOW64_64KEY or 0); nothing when the key does not
// exist; an error when it cannot be read. `options`: REG_OPTION_OPEN_LINK reads a registry link
// below `path` as the key it is (its REG_LINK value, no subkeys) rather than where it leads.
platform::Result<std::optional<platform::RegistryTree>> ReadTreeBelow(HKEY base,
                                                                      std::wstring_view path,
                                                                      REGSAM view,
                                                                      DWORD options = 0);

// Deletes the key `path` below `base` with all below it; a registry link below it goes as the
// link it is, never the key it leads to. Nothing to do where the key is missing.
platform::Status DeleteTreeWithoutLinks(HKEY base, const std::wstring& path);

}  // namespace kalvenor::win32
