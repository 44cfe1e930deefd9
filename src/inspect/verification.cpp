#include "inspect/verification.h"

#include <algorithm>

#include "base/text.h"
#include "inspect/pe_image.h"
#include "inspect/type_library.h"
#include "lib/lib_filesystem.h"
#include "paths/paths.h"
#include "platform/registry_strings.h"

namespace kalvenor::inspect {
namespace {

// The values of a class key that name its ProgIDs, in lower case.
constexpr const char* kProgIdKeys[] = {"progid", "versionindependentprogid"};

class Registry {
 public:
  Registry(platform::System& system, const Component& component, platform::RegistryView view)
      : system_(system),
        component_(component),
        view_(view),
        windowsDir_(paths::WindowsDir(system)) {}

  ClassStanding Read(const TypeLibraryClass& type) const {
    const std::string key = "CLSID\\" + type.clsid;
    const std::string server = String(key + "\\InprocServer32", "").value_or("");
    if (Unquoted(server).empty()) {
      return {type, LocalServer(key) ? Standing::ServedElsewhere : Standing::Unregistered, server};
    }
    return {type, Of(server), server};
  }

  // A file named by a registration, as the loader reads the name.
  Standing Of(const std::string& server) const {
    std::string path = Unquoted(server);
    // RegisterTypeLib writes \\?\ paths.
    if (path.starts_with("\\\\?\\")) path.erase(0, 4);
    if (path.empty()) return Standing::Unregistered;
    // The copy's own spelling, as the tool was given it, needs no look-up of long names.
    if (AsciiLower(path) == AsciiLower(component_.copy)) return Standing::ToCopy;
    const std::string file = Resolved(path);
    const std::string comparable = Comparable(file);
    if (comparable == Copy()) return Standing::ToCopy;
    if (File_GetName(comparable) == File_GetName(Copy())) return Standing::ToAnotherCopy;
    if (!File_Exists(system_, file)) return Standing::ToMissingFile;
    return Standing::ServedElsewhere;
  }

 private:
  std::optional<std::string> String(const std::string& key, std::string_view name) const {
    return system_.RegistryString(platform::RegistryRoot::ClassesRoot, view_, key, name);
  }

  // Served out of process: by a program (LocalServer32) or a service named by its AppID.
  bool LocalServer(const std::string& key) const {
    if (String(key + "\\LocalServer32", "")) return true;
    const std::optional<std::string> appId = String(key, "AppID");
    return appId && String("AppID\\" + *appId, "LocalService");
  }

  // The path COM hands the loader: without the quotes and blanks around it.
  static std::string Unquoted(std::string path) {
    while (!path.empty() && (path.front() == ' ' || path.front() == '"')) path.erase(0, 1);
    while (!path.empty() && (path.back() == ' ' || path.back() == '"')) path.pop_back();
    return path;
  }

  // A bare name or a relative path is found as the loader finds it, in the system directory
  // and then the Windows folder.
  std::string Resolved(const std::string& path) const {
    const bool absolute = path.starts_with("\\\\") || (path.size() > 2 && path[1] == ':');
    if (absolute) return path;
    const std::string inSystem = component_.systemDir + "\\" + path;
    if (File_Exists(system_, inSystem)) return inSystem;
    const std::string inWindows = windowsDir_ + "\\" + path;
    return File_Exists(system_, inWindows) ? inWindows : inSystem;
  }

  // On 64-bit Windows a 32-bit component reports its copy in system32 by its real folder,
  // SysWOW64, which is where the 32-bit tool's system32 leads; and a 32-bit program reaches the
  // 64-bit system32 as Sysnative.
  std::string Comparable(const std::string& path) const {
    return paths::ComparablePath(system_, path, ViewOf(ToolOf(system_, component_)));
  }

  const std::string& Copy() const {
    if (!copy_) copy_ = Comparable(component_.copy);
    return *copy_;
  }

  platform::System& system_;
  const Component& component_;
  platform::RegistryView view_;
  std::string windowsDir_;
  mutable std::optional<std::string> copy_;  // Comparable(component_.copy), once needed
};

// The line for a class that a client cannot create from the copy, or nothing.
std::optional<std::string> Failure(const ClassStanding& found, const Component& component,
                                   Machine machine, Machine tool, bool nothingToCopy) {
  const std::string named = ClassName(found.type);
  if (!component.registering) {
    if (found.standing != Standing::ToCopy) return std::nullopt;
    return named + " is still registered to " + component.copy +
           ", although regsvr32.exe reported success";
  }
  switch (found.standing) {
    case Standing::ToCopy:
      if (!IsOtherBitness(machine, tool)) return std::nullopt;
      return named + " of " + component.copy + " is registered in the " + BitsOf(machine) +
             " registry view, where the " + BitsOf(machine) +
             " regsvr32.exe put it: no program can use a " + BitsOf(machine) + " DLL from the " +
             BitsOf(tool) + " system directory; register it with " + RegistrarFor(machine);
    case Standing::Unregistered:
      // Alone, a class left out may be one its vendor never meant to register.
      if (!nothingToCopy) return std::nullopt;
      return named + " of " + component.copy +
             " is not registered, although regsvr32.exe reported success";
    case Standing::ToAnotherCopy:
      return named + " is registered to " + found.server + ", not to " + component.copy;
    case Standing::ToMissingFile:
      return named + " is registered to " + found.server + ", which does not exist";
    case Standing::ServedElsewhere: break;
  }
  return std::nullopt;
}

}  // namespace

namespace {

// The component's type library and the registry view its tool writes, or nothing when it has
// no type library.
struct Declared {
  Machine machine = Machine::Unknown;
  platform::RegistryView view = platform::RegistryView::Bits32;
  TypeLibrary library;
  // The classes clients create.
  std::vector<TypeLibraryClass> Creatable() const {
    std::vector<TypeLibraryClass> creatable = library.classes;
    std::erase_if(creatable, [](const TypeLibraryClass& type) { return !type.creatable; });
    return creatable;
  }
};
std::optional<Declared> DeclaredIn(platform::System& system, const Component& component,
                                   std::span<const std::byte> bytes) {
  const std::optional<PeImage> image = ReadPeImage(bytes);
  if (!image || image->typeLibrary.empty()) return std::nullopt;
  auto library = ReadTypeLibrary(image->typeLibrary);
  if (!library) return std::nullopt;
  // A DLL of the other bitness is registered by the other bitness's tool, in its own view.
  const Machine tool = ToolOf(system, component);
  const Machine registrar = IsOtherBitness(image->machine, tool) ? image->machine : tool;
  return Declared{image->machine, ViewOf(registrar), std::move(*library)};
}

std::optional<Declared> DeclaredBy(platform::System& system, const Component& component) {
  auto bytes = system.ReadFile(component.copy, kMaxImageBytes);
  if (!bytes.ok()) return std::nullopt;
  return DeclaredIn(system, component, bytes.value());
}

}  // namespace

std::vector<std::string> VerifyRegistration(platform::System& system, const Component& component) {
  std::vector<std::string> failures;
  const std::optional<Declared> declared = DeclaredBy(system, component);
  if (!declared) return failures;
  const Registry registry(system, component, declared->view);
  std::vector<ClassStanding> found;
  bool anyToCopy = false;
  const std::vector<TypeLibraryClass> classes = declared->Creatable();
  for (const TypeLibraryClass& type : classes) {
    found.push_back(registry.Read(type));
    anyToCopy = anyToCopy || found.back().standing == Standing::ToCopy;
  }
  const Machine tool = ToolOf(system, component);
  for (const ClassStanding& standing : found) {
    if (auto failure = Failure(standing, component, declared->machine, tool, !anyToCopy)) {
      failures.push_back(std::move(*failure));
      if (failures.size() >= kMaxCauses) break;
    }
  }
  return failures;
}

RegistrationBefore ReadRegistrationBefore(platform::System& system, const Component& component,
                                          const std::vector<std::byte>* image) {
  const std::optional<Declared> declared =
      image ? DeclaredIn(system, component, *image) : DeclaredBy(system, component);
  if (!declared) return {{}, {ViewOf(ToolOf(system, component)), {}}};
  RegistrationBefore standing{{}, {declared->view, {}}};
  const Registry registry(system, component, declared->view);
  for (const TypeLibraryClass& type : declared->Creatable()) {
    const ClassStanding found = registry.Read(type);
    standing.servers.push_back({type.clsid, found.server, found.standing == Standing::ToCopy});
  }
  std::vector<std::string>& keys = standing.footprint.keys;
  for (const TypeLibraryClass& type : declared->library.classes) {
    keys.push_back("CLSID\\" + type.clsid);
    for (std::string& progId : ProgIdsOf(system, declared->view, keys.back())) {
      keys.push_back(std::move(progId));
    }
  }
  for (const std::string& iid : declared->library.interfaces) keys.push_back("Interface\\" + iid);
  if (!declared->library.libid.empty()) keys.push_back("TypeLib\\" + declared->library.libid);
  return standing;
}

std::vector<std::string> ClassesServedBy(platform::System& system, const Component& component) {
  const std::optional<Declared> declared = DeclaredBy(system, component);
  const platform::RegistryView view = declared ? declared->view : ViewOf(ToolOf(system, component));
  const Registry registry(system, component, view);
  const std::string name = AsciiLower(File_GetName(component.copy));
  std::vector<std::string> served;
  for (const std::string& clsid :
       system.RegistrySubkeys(platform::RegistryRoot::ClassesRoot, view, "CLSID")) {
    // Only a server of the copy's name can be the copy: the others need no closer look.
    const std::optional<std::string> server = system.RegistryString(
        platform::RegistryRoot::ClassesRoot, view, "CLSID\\" + clsid + "\\InprocServer32", "");
    if (!server || AsciiLower(*server).find(name) == std::string::npos) continue;
    const TypeLibraryClass type{.clsid = clsid};
    if (registry.Read(type).standing == Standing::ToCopy) served.push_back(clsid);
  }
  return served;
}

std::vector<std::string> ProgIdsOf(const platform::System& system, platform::RegistryView view,
                                   const std::string& classKey) {
  std::vector<std::string> progIds;
  for (const char* named : kProgIdKeys) {
    std::optional<std::string> progId = system.RegistryString(platform::RegistryRoot::ClassesRoot,
                                                              view, classKey + "\\" + named, "");
    if (progId && IsProgIdName(*progId)) progIds.push_back(std::move(*progId));
  }
  return progIds;
}

std::vector<std::string> ProgIdsIn(const platform::RegistryTree& classKey) {
  std::vector<std::string> progIds;
  for (const platform::RegistryValue& value : classKey.values) {
    const bool named = std::any_of(std::begin(kProgIdKeys), std::end(kProgIdKeys),
                                   [&](const char* key) { return AsciiLower(value.key) == key; });
    if (!named || !value.name.empty() || value.type != platform::kRegSz) continue;
    std::string progId = platform::StringText(value.data);
    if (IsProgIdName(progId)) progIds.push_back(std::move(progId));
  }
  return progIds;
}

bool IsProgIdName(std::string_view name) {
  const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  return !name.empty() && letter(name.front()) && name.find('.') != std::string_view::npos &&
         name.find('\\') == std::string_view::npos;
}

std::string ClassName(const TypeLibraryClass& type) {
  return type.name.empty() ? "class " + type.clsid : "class " + type.name + " " + type.clsid;
}

std::optional<Registration> ReadRegistration(platform::System& system, const Component& component) {
  std::optional<Declared> declared = DeclaredBy(system, component);
  if (!declared) return std::nullopt;
  Registration registration{declared->machine, declared->view, std::move(declared->library), {}};
  const Registry registry(system, component, registration.view);
  for (const TypeLibraryClass& type : registration.library.classes) {
    if (type.creatable) registration.creatable.push_back(registry.Read(type));
  }
  return registration;
}

Standing StandingOf(platform::System& system, const Component& component,
                    platform::RegistryView view, const std::string& server) {
  return Registry(system, component, view).Of(server);
}

}  // namespace kalvenor::inspect
