#pragma once
// The registry: string and DWORD values, and whole trees of keys.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace kalvenor::platform {

// HKEY_CLASSES_ROOT merges the classes of the user's hive over the machine's: MachineClasses
// (HKLM\Software\Classes) and UserClasses (HKCU\Software\Classes) name each hive's own, their
// keys relative to Software\Classes. Users is HKEY_USERS, where each loaded user's classes are
// the key "<SID>_Classes".
enum class RegistryRoot { ClassesRoot, LocalMachine, MachineClasses, UserClasses, Users };
// The registry as 32-bit or 64-bit programs see it (the same on 32-bit Windows).
enum class RegistryView { Bits32, Bits64 };

// One value of a registry tree: the key it is in, relative to the tree's root ("" for the root
// itself, "InprocServer32" or "a\\b" below it), its name ("" for the key's default value), its
// type (REG_SZ = 1, REG_EXPAND_SZ = 2, REG_BINARY = 3, REG_DWORD = 4, REG_MULTI_SZ = 7, any other
// kept as it is) and its bytes as the registry holds them: strings in UTF-16LE with their
// terminating null, never expanded.
struct RegistryValue {
  std::string key, name;
  std::uint32_t type = 0;
  std::vector<std::byte> data;
  friend bool operator==(const RegistryValue&, const RegistryValue&) = default;
};
inline constexpr std::uint32_t kRegSz = 1, kRegExpandSz = 2, kRegBinary = 3, kRegDword = 4,
                               kRegMultiSz = 7;

// A key with all below it: every key relative to the root ("" first, each key after its
// parent), and every value.
struct RegistryTree {
  std::vector<std::string> keys;
  std::vector<RegistryValue> values;
  friend bool operator==(const RegistryTree&, const RegistryTree&) = default;
};

class Registry {
 public:
  virtual ~Registry() = default;
  // A string value, environment strings expanded; `name` empty for the key's default value.
  // Nothing when the key or value is missing or holds no string.
  virtual std::optional<std::string> RegistryString(RegistryRoot root, RegistryView view,
                                                    std::string_view key,
                                                    std::string_view name) const = 0;
  // A REG_DWORD value, and writing or deleting one (a missing value is deleted already).
  virtual std::optional<std::uint32_t> RegistryDword(RegistryRoot root, RegistryView view,
                                                     std::string_view key,
                                                     std::string_view name) const = 0;
  virtual Status SetRegistryDword(RegistryRoot root, RegistryView view, std::string_view key,
                                  std::string_view name, std::uint32_t value) = 0;
  virtual Status DeleteRegistryValue(RegistryRoot root, RegistryView view, std::string_view key,
                                     std::string_view name) = 0;
  // A REG_SZ value, the key made when missing.
  virtual Status WriteRegistryString(RegistryRoot root, RegistryView view, std::string_view key,
                                     std::string_view name, std::string_view text) = 0;
  // The names of the key's own subkeys, in the system's order; none when it cannot be read.
  virtual std::vector<std::string> RegistrySubkeys(RegistryRoot root, RegistryView view,
                                                   std::string_view key) const = 0;
  // The tree under `key`; nothing when the key does not exist; an error when it cannot be read.
  virtual Result<std::optional<RegistryTree>> ReadRegistryTree(RegistryRoot root, RegistryView view,
                                                               std::string_view key) const = 0;
  // Makes the key hold exactly `tree`: writes its keys and values, then deletes the values and
  // keys it does not hold, so that a failure half-way leaves the key there; with no tree, deletes
  // the key with all below it (a missing key is deleted already). An empty `key`, the root
  // itself, is refused.
  virtual Status WriteRegistryTree(RegistryRoot root, RegistryView view, std::string_view key,
                                   const std::optional<RegistryTree>& tree) = 0;
};

}  // namespace kalvenor::platform
