#pragma once
// Reads the classes a COM type library declares, from the bytes of its MSFT form: what midl
// and widl write, and what components embed as their TYPELIB resource.

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kalvenor::inspect {

struct TypeLibraryClass {
  std::string clsid;  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, upper case, as the registry has it
  std::string name;   // may be empty
  // Not marked noncreatable: clients create it with CoCreateInstance, so its server must
  // register it. The others are handed out by objects of the library, never created.
  bool creatable = true;
};

// The coclasses in the library's order; nothing when the bytes are no MSFT type library. Never
// reads outside `bytes`; an entry that points outside them is left out.
std::optional<std::vector<TypeLibraryClass>> ReadTypeLibraryClasses(
    std::span<const std::byte> bytes);

}  // namespace kalvenor::inspect
