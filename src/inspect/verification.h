#pragma once
// Proof that a registration the tool reported as done took effect, read from the registry in
// the view of the tool that did it: a client creating any of the component's classes gets the
// copy. The machine's own classes (HKLM\Software\Classes) are read, never the view merged with
// the user's, which would take a per-user registration for the machine's. Only what would make a
// client fail counts; what the component's type library declares but another file serves, or
// nothing creates, is not the component's to register.

#include <string>
#include <vector>

#include "inspect/registration_tool.h"
#include "inspect/type_library.h"
#include "platform/system.h"

namespace kalvenor::inspect {

// Where a creatable class of the component stands in the registry.
enum class Standing {
  ToCopy,           // its InprocServer32 is the copy
  Unregistered,     // nothing serves it
  ServedElsewhere,  // another file of another name, or a local server or service, serves it
  ToAnotherCopy,    // a file of the copy's name in another folder, which clients load instead
  ToMissingFile,    // a file that does not exist
};

struct ClassStanding {
  TypeLibraryClass type;
  Standing standing = Standing::Unregistered;
  std::string server;  // the InprocServer32 as registered
};

// What the component's type library declares, the registry view its tool writes, and how each
// class that clients create stands there; nothing without a type library.
struct Registration {
  Machine machine = Machine::Unknown;
  platform::RegistryView view = platform::RegistryView::Bits32;
  TypeLibrary library;
  std::vector<ClassStanding> creatable;
};
// `image`, where given, is the copy's bytes as just read, which it is not read again for.
std::optional<Registration> ReadRegistration(platform::System& system, const Component& component,
                                             const std::vector<std::byte>* image = nullptr);
// How a file that a registration names (a server, a type library's path) stands to the copy, as
// COM and the loader read the name.
Standing StandingOf(platform::System& system, const Component& component,
                    platform::RegistryView view, const std::string& server);
// Whether the class {CLSID} of the hive is served by the copy: in process, or by the program its
// LocalServer32 starts; the copy's name in any form a registration writes.
bool ServedByCopy(platform::System& system, const Component& component, platform::RegistryRoot hive,
                  platform::RegistryView view, const std::string& clsid);
// "class Name {CLSID}", as the log names a class.
std::string ClassName(const TypeLibraryClass& type);

// One judgement of the rules that the proof after a registration and a verification share, so
// that the two never disagree on what a client would meet.
struct Finding {
  std::string kind;     // class, progid, typelib, interface
  std::string subject;  // the CLSID, ProgID, library id or IID it is about
  std::string failed;   // why a client would fail; empty when it holds
  std::string hint;     // what a failure means for the remedy, where it says more than its line
};
// Who reads the findings: the proof names the tool's success beside a registration that did
// nothing; the two word all else alike.
enum class Proof { AfterRegistration, Verification };
// The findings on a registration that was to take effect (`component.registering`): each
// creatable class, the ProgIDs of those registered to the copy, the type library and its
// interfaces. A class with no registration at all, while others are registered to the copy,
// gives none: the type library alone cannot tell a forgotten class from one its vendor never
// meant to register.
std::vector<Finding> JudgeRegistration(platform::System& system, const Component& component,
                                       const Registration& registration, Proof proof);

// What the log says for each class that is not as it must be: empty when all are, and when the
// component carries no type library, which leaves nothing to check it against.
std::vector<std::string> VerifyRegistration(platform::System& system, const Component& component);

// How the creatable classes of the component's type library stand, before a step changes them:
// each one's InprocServer32 (empty when none) in the view of the tool that registers it, and
// whether it names the copy.
struct ClassServer {
  std::string clsid;
  std::string server;
  bool toCopy = false;
};
// The keys of HKCR that the component's type library names, in the view its tool writes: each
// class, the ProgIDs it names now and "Library.Class" of the names, each interface, the library
// itself. Registering one component may rewrite keys that others share, so a run keeps them as
// they stood.
struct RegistryFootprint {
  platform::RegistryView view = platform::RegistryView::Bits32;
  std::vector<std::string> keys;
};
// Both, from one read of the component; no servers and no keys without a type library.
// `image`: the component's bytes, where the caller has read them already (before a copy, those
// of the file it copies).
struct RegistrationBefore {
  std::vector<ClassServer> servers;
  RegistryFootprint footprint;
};
RegistrationBefore ReadRegistrationBefore(platform::System& system, const Component& component,
                                          const std::vector<std::byte>* image = nullptr);

// The classes whose InprocServer32 points at the component's copy, in the view of its tool.
std::vector<std::string> ClassesServedBy(platform::System& system, const Component& component);

// The ProgIDs that the class key (CLSID\{...}) names in its ProgID and VersionIndependentProgID,
// as HKCR holds it; and as the key's tree holds them.
std::vector<std::string> ProgIdsOf(const platform::System& system, platform::RegistryView view,
                                   const std::string& classKey);
std::vector<std::string> ProgIdsIn(const platform::RegistryTree& classKey);
// Whether a name is a ProgID's: a letter first, a '.' in it, no backslash. Not a key that holds
// others (CLSID, TypeLib), nor a file name extension (.dll), whatever a class's value names.
bool IsProgIdName(std::string_view name);

}  // namespace kalvenor::inspect
