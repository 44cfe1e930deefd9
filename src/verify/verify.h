#pragma once
// Proof that a machine holds a component as an Install leaves it, read without changing anything:
// the file in its system directory, its registration as COM reads it in the view of its
// bitness, the per-user classes that would shadow it, and the DLLs it needs. The rules of the
// proof after a registration apply: only what would make a client fail is a failed check.

#include <optional>
#include <string>
#include <vector>

#include "inspect/dependencies.h"
#include "inspect/registration_tool.h"
#include "platform/system.h"

namespace kalvenor::verify {

// One check of a component, as the log and the JSON lines give it.
struct Check {
  std::string kind;     // file, class, progid, typelib, interface, per-user, dependency, count
  std::string subject;  // the CLSID, ProgID, IID, library id or DLL it is about; empty for the file
  std::string failed;   // why it does not hold; empty when it holds
  std::vector<std::string> causes;
  std::string note;  // what it found that is worth saying, when it holds
  bool Held() const { return failed.empty(); }
};

struct Subject {
  inspect::Component component;  // the copy in the system directory, and that directory's tool
  // The SHA-256 its bytes must have, and where that comes from ("C:\pkg\comp.dll"); nothing:
  // any bytes, and its version is named.
  std::optional<std::string> digest;
  std::string digestFrom;
};

// Every check of the component, the file's first: when it is not in place, that one alone.
// `lookups`: what the loader's folders hold, as the run going on found it.
std::vector<Check> Verify(platform::System& system, const Subject& subject,
                          inspect::LoaderLookups& lookups);

}  // namespace kalvenor::verify
