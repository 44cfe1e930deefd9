#pragma once
// Reads what a COM type library declares, from the bytes of its MSFT form: what midl and widl
// write, and what components embed as their TYPELIB resource.

#include <cstddef>
#include <cstdint>
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
  // Marked licensed: its class factory hands out objects only against a license key
  // (IClassFactory2), so a machine without one may refuse to create it for a plain client.
  bool licensed = false;
};

// The library's own id, its classes and its interfaces: what registering it writes to the registry.
struct TypeLibrary {
  std::string libid;                      // {...}, upper case; empty when the bytes give none
  std::string name;                       // its name, the first part of its classes' ProgIDs
  std::string version;                    // "major.minor", as its TypeLib key names it
  std::vector<TypeLibraryClass> classes;  // the coclasses, in the library's order
  // Its interfaces and dispinterfaces: {...}, upper case, in the library's order.
  std::vector<std::string> interfaces;
  // Those of them that registering the library writes an Interface key for, with the proxy/stub
  // class of OLE Automation: dispinterfaces (duals among them) and [oleautomation] interfaces.
  std::vector<std::string> automation;
};

// Nothing when the bytes are no MSFT type library. Never reads outside `bytes`; an entry that
// points outside them is left out.
std::optional<TypeLibrary> ReadTypeLibrary(std::span<const std::byte> bytes);

}  // namespace kalvenor::inspect
