#pragma once
// What the registry's implementation shares with the other concerns on Win32.

#include <windows.h>

#include <optional>
#include <string_view>

#include "platform/registry.h"

namespace kalvenor::win32 {

// The tree under `path` below the open key `base` (the key itself for an empty path), opened in
// the registry view `view` (KEY_WOW64_32KEY, KEY_WOW64_64KEY or 0); nothing when the key does not
// exist; an error when it cannot be read.
platform::Result<std::optional<platform::RegistryTree>> ReadTreeBelow(HKEY base,
                                                                      std::wstring_view path,
                                                                      REGSAM view);

}  // namespace kalvenor::win32
