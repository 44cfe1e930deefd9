#include "inspect/verification.h"

#include <algorithm>
#include <map>
#include <set>

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
        systemDir_(LoaderSystemDir(system, ToolOf(system, component))),
        windowsDir_(system.SystemFoldersOf().windows) {
    if (systemDir_.empty()) systemDir_ = component.systemDir;
  }

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
    // The same name elsewhere by its text may still be the copy by another spelling of its
    // folder: a bare name is found in the system's own folder, the copy named below WINDIR.
    if (File_GetName(comparable) == File_GetName(Copy())) {
      return paths::SameFile(system_, file, component_.copy) ? Standing::ToCopy
                                                             : Standing::ToAnotherCopy;
    }
    if (!File_Exists(system_, file)) return Standing::ToMissingFile;
    return Standing::ServedElsewhere;
  }

  // The file a registration names, as the loader finds it.
  std::string FileOf(const std::string& server) const {
    std::string path = Unquoted(server);
    if (path.starts_with("\\\\?\\")) path.erase(0, 4);
    return path.empty() ? path : Resolved(path);
  }

  // The machine's own classes, in the view: never merged with the user's.
  std::optional<std::string> String(const std::string& key, std::string_view name) const {
    return system_.RegistryString(platform::RegistryRoot::MachineClasses, view_, key, name);
  }
  platform::RegistryView View() const { return view_; }

  // Served out of process: by a program (LocalServer32) or a service named by its AppID.
  bool LocalServer(const std::string& key) const {
    if (String(key + "\\LocalServer32", "")) return true;
    const std::optional<std::string> appId = String(key, "AppID");
    return appId && String("AppID\\" + *appId, "LocalService");
  }

 private:
  // The path COM hands the loader: without the quotes and blanks around it.
  static std::string Unquoted(std::string path) {
    while (!path.empty() && (path.front() == ' ' || path.front() == '"')) path.erase(0, 1);
    while (!path.empty() && (path.back() == ' ' || path.back() == '"')) path.pop_back();
    return path;
  }

  // A bare name or a relative path is found as the loader finds it, in the system directory
  // and then the Windows folder as the system names them, whatever WINDIR says.
  std::string Resolved(const std::string& path) const {
    const bool absolute = path.starts_with("\\\\") || (path.size() > 2 && path[1] == ':');
    if (absolute) return path;
    const std::string inSystem = systemDir_ + "\\" + path;
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
  std::string systemDir_, windowsDir_;
  mutable std::optional<std::string> copy_;  // Comparable(component_.copy), once needed
};

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

namespace {

// The program a LocalServer32 value starts: the quoted path, or the text up to ".exe" (an
// unquoted path may hold blanks), or the first word.
std::string ProgramOf(const std::string& commandLine) {
  std::string text = commandLine;
  while (!text.empty() && text.front() == ' ') text.erase(0, 1);
  if (text.starts_with('"')) {
    const std::size_t close = text.find('"', 1);
    return text.substr(1, close == std::string::npos ? std::string::npos : close - 1);
  }
  const std::size_t exe = AsciiLower(text).find(".exe");
  if (exe != std::string::npos) return text.substr(0, exe + 4);
  return text.substr(0, text.find(' '));
}

const char* ViewBits(platform::RegistryView view) {
  return view == platform::RegistryView::Bits64 ? "64-bit" : "32-bit";
}

platform::RegistryView OtherView(platform::RegistryView view) {
  return view == platform::RegistryView::Bits64 ? platform::RegistryView::Bits32
                                                : platform::RegistryView::Bits64;
}

constexpr char kLoadedInstead[] = "clients load that file instead";

class Rules {
 public:
  Rules(platform::System& system, const Component& component, const Registration& registration,
        Proof proof)
      : system_(system),
        component_(component),
        registration_(registration),
        proof_(proof),
        registry_(system, component, registration.view) {}

  std::vector<Finding> Run() && {
    Classes();
    ProgIds();
    Library();
    Interfaces();
    return std::move(findings_);
  }

 private:
  Finding& Add(std::string kind, std::string subject, std::string failed = {}) {
    return findings_.emplace_back(Finding{std::move(kind), std::move(subject), std::move(failed)});
  }
  std::optional<std::string> String(const std::string& key, std::string_view name = "") const {
    return registry_.String(key, name);
  }
  // Whether the registration took effect for any class: registered to the copy, or to a file
  // beside it that carries the same library, as Windows keeps shdocvw.dll beside ieframe.dll.
  bool AnyRegistered() {
    return std::any_of(registration_.creatable.begin(), registration_.creatable.end(),
                       [&](const ClassStanding& found) {
                         return found.standing == Standing::ToCopy ||
                                (found.standing == Standing::ServedElsewhere && Sibling(found));
                       });
  }
  bool Sibling(const ClassStanding& found) {
    if (found.server.empty() || registration_.library.libid.empty()) return false;
    const std::string file = registry_.FileOf(found.server);
    return LibraryOf(file) == OwnLibrary() &&
           paths::FolderOf(paths::ComparablePath(system_, file, registration_.view)) ==
               paths::FolderOf(paths::ComparablePath(system_, component_.copy, registration_.view));
  }
  std::string OwnLibrary() const {
    return AsciiLower(registration_.library.libid + " " + registration_.library.version);
  }

  void Classes() {
    const bool anyToCopy = AnyRegistered();
    const Machine tool = ToolOf(system_, component_);
    const Registry other(system_, component_, OtherView(registration_.view));
    for (const ClassStanding& found : registration_.creatable) {
      const std::string named = ClassName(found.type);
      const std::string& copy = component_.copy;
      const std::string& clsid = found.type.clsid;
      switch (found.standing) {
        case Standing::ToCopy: {
          Finding& finding = Add("class", clsid);
          const Machine machine = registration_.machine;
          // A 32-bit copy in the 64-bit system directory, registered there by that folder's name,
          // which 32-bit clients read as their own system directory: another file, or none.
          if (IsOtherBitness(machine, tool)) {
            finding.failed = named + " of " + copy + " is registered in the " + BitsOf(machine) +
                             " registry view, where the " + BitsOf(machine) +
                             " regsvr32.exe put it: no program can use a " + BitsOf(machine) +
                             " DLL from the " + BitsOf(tool) +
                             " system directory; register it with " + RegistrarFor(machine);
          } else if (proof_ == Proof::Verification &&
                     !String("CLSID\\" + clsid + "\\InprocServer32", "ThreadingModel")) {
            // Created all the same, on the main thread: no cause for a failed registration,
            // but not what the package's own registration leaves.

            finding.failed =
                named + " has no ThreadingModel, so COM creates it on the main thread only";
          }
          break;
        }
        case Standing::ToAnotherCopy:
          Add("class", clsid, named + " is registered to " + found.server + ", not to " + copy)
              .hint = kLoadedInstead;
          break;
        case Standing::ToMissingFile:
          Add("class", clsid,
              named + " is registered to " + found.server + ", which does not exist")
              .hint = kLoadedInstead;
          break;
        case Standing::ServedElsewhere:
          if (auto build = AnotherBuild(found)) {
            Add("class", clsid, named + " is " + *build).hint = kLoadedInstead;
          }
          break;
        case Standing::Unregistered:
          if (other.Read(found.type).standing == Standing::ToCopy) {
            Add("class", clsid,
                named + " is registered only in the " + ViewBits(other.View()) +
                    " registry view, which " + ViewBits(registration_.view) +
                    " programs do not read")
                .hint = "register it with the regsvr32.exe of its bitness";
          } else if (!anyToCopy) {
            Add("class", clsid,
                proof_ == Proof::AfterRegistration
                    ? named + " of " + copy +
                          " is not registered, although regsvr32.exe reported success"
                    : named + " is not registered");
          }
          break;
      }
    }
  }

  // A class that another file serves is the component's family's, unless that file carries the
  // component's own type library in the same version: then it is another build of the
  // component, which clients get in place of the copy; served out of process so, it runs apart
  // from the client that asked for the copy's in-process object. Versions of one library are
  // products of their own, each with its classes (msxml3.dll's 3.0 beside msxml6.dll's 6.0), and
  // a file beside the copy that carries it is the system's or the package's own sibling.
  std::optional<std::string> AnotherBuild(const ClassStanding& found) {
    if (registration_.library.libid.empty()) return std::nullopt;
    const std::string libid = OwnLibrary();
    const std::string key = "CLSID\\" + found.type.clsid;
    if (!found.server.empty()) {
      if (LibraryOf(registry_.FileOf(found.server)) != libid || Sibling(found)) return std::nullopt;
      return "registered to " + found.server + ", another build of this component, not to " +
             component_.copy;
    }
    const std::optional<std::string> local = String(key + "\\LocalServer32");
    if (!local) return std::nullopt;
    const std::string program = ProgramOf(*local);
    // Beside the copy, a program of its library is its own host, not another build of it.
    if (program.empty() || LibraryOf(registry_.FileOf(program)) != libid ||
        paths::SamePath(system_, paths::FolderOf(registry_.FileOf(program)),
                        paths::FolderOf(component_.copy))) {
      return std::nullopt;
    }
    return "served out of process by " + program + ", another build of this component, where " +
           component_.copy + " serves it in process";
  }

  // The id and version of the type library a file carries, in lower case; empty when it carries
  // none.
  const std::string& LibraryOf(const std::string& file) {
    const std::string name = AsciiLower(file);
    if (auto known = libraries_.find(name); known != libraries_.end()) return known->second;
    std::string libid;
    if (auto bytes = system_.ReadFile(file, kMaxImageBytes); bytes.ok()) {
      const std::optional<PeImage> image = ReadPeImage(bytes.value());
      const auto library =
          image && !image->typeLibrary.empty() ? ReadTypeLibrary(image->typeLibrary) : std::nullopt;
      if (library) libid = AsciiLower(library->libid + " " + library->version);
    }
    return libraries_.emplace(name, std::move(libid)).first->second;
  }

  // The ProgIDs a class names, from the machine's class key. ProgIDs are one key for both views
  // on Windows; Wine keeps a 32-bit tool's in the view of 64-bit programs.
  std::string ClassOfProgId(const std::string& progId) const {
    const std::string key = progId + "\\CLSID";
    return String(key).value_or(system_
                                    .RegistryString(platform::RegistryRoot::MachineClasses,
                                                    OtherView(registration_.view), key, "")
                                    .value_or(""));
  }

  // Real components share ProgIDs among their own classes, and name classes of the library that
  // another file serves: either leads back to the component.
  void ProgIds() {
    std::set<std::string> checked;
    for (const ClassStanding& found : registration_.creatable) {
      if (found.standing != Standing::ToCopy) continue;
      for (const char* value : kProgIdKeys) {
        const std::optional<std::string> progId =
            String("CLSID\\" + found.type.clsid + "\\" + value);
        if (!progId || !IsProgIdName(*progId)) continue;
        if (!checked.insert(AsciiLower(*progId)).second) continue;
        Finding& finding = Add("progid", *progId);
        const std::string clsid = ClassOfProgId(*progId);
        if (clsid.empty()) {
          finding.failed = "ProgID " + *progId + " leads to no class";
        } else if (!LeadsBack(clsid)) {
          const std::string server = String("CLSID\\" + clsid + "\\InprocServer32").value_or("");
          finding.failed = "ProgID " + *progId + " leads to class " + clsid + ", which is " +
                           (server.empty() ? "not registered" : "registered to " + server) +
                           ", not to " + component_.copy;
        }
      }
    }
  }

  bool LeadsBack(const std::string& clsid) const {
    const std::string server = String("CLSID\\" + clsid + "\\InprocServer32").value_or("");
    const Standing standing = server.empty() ? Standing::Unregistered : registry_.Of(server);
    if (standing == Standing::ToCopy) return true;
    const auto& classes = registration_.library.classes;
    const bool declared = std::any_of(classes.begin(), classes.end(), [&](const auto& type) {
      return AsciiLower(type.clsid) == AsciiLower(clsid);
    });
    return declared && standing == Standing::ServedElsewhere;
  }

  // Whether a class or interface of the library names it as theirs, as a registration of the
  // library writes them.
  bool NamedByItsKeys(const std::string& libid) const {
    const auto names = [&](const std::string& key) {
      const std::optional<std::string> named = String(key + "\\TypeLib");
      return named && AsciiLower(*named) == AsciiLower(libid);
    };
    for (const TypeLibraryClass& each : registration_.library.classes) {
      if (names("CLSID\\" + each.clsid)) return true;
    }
    return std::any_of(registration_.library.interfaces.begin(),
                       registration_.library.interfaces.end(),
                       [&](const std::string& iid) { return names("Interface\\" + iid); });
  }

  // TypeLib\{libid}\<version>\<locale>\win32 or win64, as the component's bitness reads it: a
  // 64-bit program falls back to win32, which a library built for 32-bit Windows registers.
  void Library() {
    const std::string& libid = registration_.library.libid;
    if (libid.empty()) return;
    const bool x86 = registration_.machine == Machine::X86;
    const std::string key = "TypeLib\\" + libid;
    const auto root = platform::RegistryRoot::MachineClasses;
    std::vector<std::string> servers;
    for (const std::string& version : system_.RegistrySubkeys(root, registration_.view, key)) {
      for (const std::string& locale :
           system_.RegistrySubkeys(root, registration_.view, key + "\\" + version)) {
        const std::string under = key + "\\" + version + "\\" + locale + "\\";
        std::optional<std::string> path = String(under + (x86 ? "win32" : "win64"));
        if (!x86 && (!path || path->empty())) path = String(under + "win32");
        if (path && !path->empty()) servers.push_back(*path);
      }
    }
    // A component that registers its classes without its library, as some do by hand, leaves
    // no key naming it: nothing to check.
    if (servers.empty() && !NamedByItsKeys(libid)) return;
    Finding& finding = Add("typelib", libid);
    std::vector<Standing> standings;
    for (const std::string& server : servers) standings.push_back(registry_.Of(server));
    const auto any = [&](Standing wanted) {
      return std::find(standings.begin(), standings.end(), wanted) != standings.end();
    };
    libraryToCopy_ = any(Standing::ToCopy);
    // Another file of the family may hold the library's registration.
    if (libraryToCopy_ || any(Standing::ServedElsewhere)) return;
    std::optional<std::string> misdirected;
    for (std::size_t i = 0; i < servers.size(); ++i) {
      const std::string& server = servers[i];
      const Standing standing = standings[i];
      if (!misdirected && standing == Standing::ToAnotherCopy) {
        misdirected = "registered to " + server + ", not to " + component_.copy;
      } else if (!misdirected && standing == Standing::ToMissingFile) {
        misdirected = "registered to " + server + ", which does not exist";
      }
    }
    finding.failed =
        "its type library " + libid + " is " +
        (misdirected ? *misdirected
                     : "not registered for " + std::string(BitsOf(registration_.machine)) +
                           " programs (no " + (x86 ? "win32" : "win64") + " key)");
  }

  // An interface registered without its proxy/stub class cannot be called across apartments.
  // Those a registration of the library to the copy writes (its Automation interfaces) must be
  // there; any other that names the library must have its marshalling too. One it names of
  // others (IUnknown, one it imports) is marshalled by whoever registered it.
  void Interfaces() {
    const inspect::TypeLibrary& library = registration_.library;
    for (const std::string& iid : library.interfaces) {
      const std::string key = "Interface\\" + iid;
      const std::optional<std::string> named = String(key + "\\TypeLib");
      const bool ours = named && AsciiLower(*named) == AsciiLower(library.libid);
      const bool written =
          libraryToCopy_ && std::find(library.automation.begin(), library.automation.end(), iid) !=
                                library.automation.end();
      if (!ours && !written) continue;
      Finding& finding = Add("interface", iid);
      const std::string proxy = String(key + "\\ProxyStubClsid32")
                                    .value_or(String(key + "\\ProxyStubClsid").value_or(""));
      const bool keyThere =
          named || !proxy.empty() || String(key) ||
          !system_.RegistrySubkeys(platform::RegistryRoot::MachineClasses, registration_.view, key)
               .empty();
      if (!keyThere) {
        finding.failed = "interface " + iid + " of its type library " + library.libid +
                         " is not registered (no Interface key)";
      } else if (proxy.empty()) {
        finding.failed = "interface " + iid + " has no proxy/stub class";
      } else if (!String("CLSID\\" + proxy + "\\InprocServer32")) {
        finding.failed =
            "the proxy/stub class " + proxy + " of interface " + iid + " is not registered";
      }
    }
  }

  platform::System& system_;
  const Component& component_;
  const Registration& registration_;
  Proof proof_;
  Registry registry_;
  bool libraryToCopy_ = false;  // the library's key of the component's bitness leads to the copy
  std::map<std::string, std::string> libraries_;  // by file, in lower case
  std::vector<Finding> findings_;
};

}  // namespace

std::vector<Finding> JudgeRegistration(platform::System& system, const Component& component,
                                       const Registration& registration, Proof proof) {
  return Rules(system, component, registration, proof).Run();
}

std::vector<std::string> VerifyRegistration(platform::System& system, const Component& component) {
  std::vector<std::string> failures;
  const std::optional<Registration> registration = ReadRegistration(system, component);
  if (!registration) return failures;
  if (!component.registering) {
    // Only a class that clients create and that still leads to the copy keeps it in use.
    for (const ClassStanding& found : registration->creatable) {
      if (found.standing != Standing::ToCopy) continue;
      failures.push_back(ClassName(found.type) + " is still registered to " + component.copy +
                         ", although regsvr32.exe reported success");
      if (failures.size() >= kMaxCauses) break;
    }
    return failures;
  }
  for (Finding& finding :
       JudgeRegistration(system, component, *registration, Proof::AfterRegistration)) {
    if (finding.failed.empty()) continue;
    failures.push_back(std::move(finding.failed));
    if (failures.size() >= kMaxCauses) break;
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
    // The ProgID a registration derives from the names, though the class names none yet.
    const std::string suggested = declared->library.name + "." + type.name;
    if (!type.name.empty() && IsProgIdName(suggested)) keys.push_back(suggested);
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
       system.RegistrySubkeys(platform::RegistryRoot::MachineClasses, view, "CLSID")) {
    // Only a server of the copy's name can be the copy: the others need no closer look.
    const std::optional<std::string> server = system.RegistryString(
        platform::RegistryRoot::MachineClasses, view, "CLSID\\" + clsid + "\\InprocServer32", "");
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

std::optional<Registration> ReadRegistration(platform::System& system, const Component& component,
                                             const std::vector<std::byte>* image) {
  std::optional<Declared> declared =
      image ? DeclaredIn(system, component, *image) : DeclaredBy(system, component);
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

bool ServedByCopy(platform::System& system, const Component& component, platform::RegistryRoot hive,
                  platform::RegistryView view, const std::string& clsid) {
  const Registry registry(system, component, view);
  const std::string key = "CLSID\\" + clsid;
  const std::optional<std::string> inProcess =
      system.RegistryString(hive, view, key + "\\InprocServer32", "");
  if (inProcess && registry.Of(*inProcess) == Standing::ToCopy) return true;
  const std::optional<std::string> local =
      system.RegistryString(hive, view, key + "\\LocalServer32", "");
  return local && registry.Of(ProgramOf(*local)) == Standing::ToCopy;
}

}  // namespace kalvenor::inspect
