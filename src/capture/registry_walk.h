#pragma once
// Captured trees as the exports walk them: the keys a file names with their values, the classes
// as HKEY_CLASSES_ROOT shows them, and the data of values.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/capture.h"
#include "platform/registry.h"

namespace kalvenor::capture {

struct KeyValues {
  std::string key;
  std::vector<const platform::RegistryValue*> values;
};
// The keys a file names, in the tree's order: each that holds values, and each that holds
// neither values nor subkeys, which is made on its own; a key with subkeys is made with them.
// The root only when it holds values.
std::vector<KeyValues> KeysToWrite(const platform::RegistryTree& tree);

// `key` relative to Software\Classes when it is that key or lies below it.
std::optional<std::string> BelowClasses(std::string_view key);

// What the registration wrote through HKCR, HKLM\Software\Classes and HKCU\Software\Classes as
// one tree relative to the classes, as HKCR merges them: a key or value written more than once
// is there once, the first one.
platform::RegistryTree Classes(const platform::CapturedRegistration& registration);

bool IsString(std::uint32_t type);
// The strings of a REG_SZ or REG_EXPAND_SZ value (one) or of a REG_MULTI_SZ value (each).
std::vector<std::string> Strings(const platform::RegistryValue& value);
// The strings of a string value as Windows' readers take them, which is what an export installs:
// a REG_SZ or REG_EXPAND_SZ value's text up to its first null, a REG_MULTI_SZ value's strings up
// to the empty one that ends them. `cut` when more than nulls followed that end, as in a value
// written with the size of its buffer rather than of its text.
struct ReadStrings {
  std::vector<std::string> strings;
  bool cut = false;
};
ReadStrings StringsAsRead(const platform::RegistryValue& value);
// A value as an export's notes name it: `where` is its key as the export names it.
std::string ValuePlace(std::string_view where, const platform::RegistryValue& value);
// What an export says of a value that StringsAsRead cut: `where` is its key as the export names it.
std::string CutNote(std::string_view where, const platform::RegistryValue& value);
// The data of a REG_MULTI_SZ value holding `strings`.
std::vector<std::byte> MultiStringData(const std::vector<std::string>& strings);
// The number of a REG_DWORD value of four bytes.
std::optional<std::uint32_t> Dword(const platform::RegistryValue& value);
// The bytes in lower-case hex digits, nothing between them.
std::string Hex(const std::vector<std::byte>& data);

}  // namespace kalvenor::capture
