#include "verify/verify.h"

#include <algorithm>
#include <set>

#include "base/text.h"
#include "inspect/diagnosis.h"
#include "inspect/pe_image.h"
#include "inspect/verification.h"
#include "journal/journal.h"
#include "lib/lib_filesystem.h"

namespace kalvenor::verify {
namespace {

using inspect::Standing;
using platform::RegistryRoot;
using platform::RegistryView;

const char* ViewBits(RegistryView view) {
  return view == RegistryView::Bits64 ? "64-bit" : "32-bit";
}

// Why a registration that names `server` does not lead to the copy, or nothing when it does or
// another file serves it.
std::optional<std::string> Misdirected(Standing standing, const std::string& server,
                                       const std::string& copy) {
  switch (standing) {
    case Standing::ToAnotherCopy: return "registered to " + server + ", not to " + copy;
    case Standing::ToMissingFile: return "registered to " + server + ", which does not exist";
    default: return std::nullopt;
  }
}

constexpr char kReinstall[] = "install the package again, which registers it anew";

class Checks {
 public:
  Checks(platform::System& system, const Subject& subject)
      : system_(system), subject_(subject), copy_(subject.component.copy) {}

  std::vector<Check> Run() && {
    std::vector<std::byte> head;
    if (!File(head)) return std::move(checks_);
    const std::optional<inspect::PeImage> image = inspect::ReadPeImage(head);
    if (std::optional<inspect::Registration> registration =
            inspect::ReadRegistration(system_, subject_.component)) {
      registration_ = std::move(*registration);
      Classes();
      ProgIds();
      TypeLibrary();
      Interfaces();
    } else {
      Add("class", {}).note =
          "it carries no type library, which says what to check its registration against";
    }
    if (image) Dependencies(*image);
    return std::move(checks_);
  }

 private:
  Check& Add(std::string kind, std::string subject, std::string failed = {}) {
    return checks_.emplace_back(Check{std::move(kind), std::move(subject), std::move(failed)});
  }
  std::optional<std::string> String(RegistryView view, const std::string& key,
                                    std::string_view name = "") const {
    return system_.RegistryString(RegistryRoot::ClassesRoot, view, key, name);
  }
  Standing Of(const std::string& server) const {
    return inspect::StandingOf(system_, subject_.component, registration_.view, server);
  }

  RegistryView Other() const {
    return registration_.view == RegistryView::Bits64 ? RegistryView::Bits32 : RegistryView::Bits64;
  }

  bool File(std::vector<std::byte>& head) {
    if (!File_Exists(system_, copy_)) {
      Add("file", {}, "it is not in place").causes.emplace_back(kReinstall);
      return false;
    }
    platform::Result<std::string> digest = journal::Sha256Of(system_, copy_, &head);
    if (!digest.ok()) {
      Add("file", {}, "it cannot be read: " + digest.error().message);
      return false;
    }
    if (subject_.digest && AsciiLower(*subject_.digest) != digest.value()) {
      Add("file", {}, "its bytes are not those of " + subject_.digestFrom)
          .causes.push_back("another version is in place: " + std::string(kReinstall));
      return true;
    }
    Check& check = Add("file", {});
    if (subject_.digest) return true;
    const std::optional<inspect::PeImage> image = inspect::ReadPeImage(head);
    check.note = image && image->version ? "version " + image->version->Text() + " in place"
                                         : "in place, with no version";
    return true;
  }

  void Classes() {
    const bool anyToCopy = std::any_of(
        registration_.creatable.begin(), registration_.creatable.end(),
        [](const inspect::ClassStanding& found) { return found.standing == Standing::ToCopy; });
    const RegistryView other = Other();
    for (const inspect::ClassStanding& found : registration_.creatable) {
      const std::string named = inspect::ClassName(found.type);
      const std::string key = "CLSID\\" + found.type.clsid;
      PerUser(found.type);
      if (found.standing == Standing::ToCopy) {
        Check& check = Add("class", found.type.clsid);
        if (!String(registration_.view, key + "\\InprocServer32", "ThreadingModel")) {
          check.failed =
              named + " has no ThreadingModel, so COM creates it on the main thread only";
          check.causes.emplace_back(kReinstall);
        }
      } else if (auto why = Misdirected(found.standing, found.server, copy_)) {
        Add("class", found.type.clsid, named + " is " + *why)
            .causes.push_back("clients load that file instead: " + std::string(kReinstall));
      } else if (found.standing == Standing::Unregistered) {
        const std::string elsewhere = String(other, key + "\\InprocServer32").value_or("");
        if (AsciiLower(elsewhere).find(AsciiLower(File_GetName(copy_))) != std::string::npos) {
          Add("class", found.type.clsid,
              named + " is registered only in the " + ViewBits(other) + " registry view, which " +
                  ViewBits(registration_.view) + " programs do not read")
              .causes.push_back("register it with the regsvr32.exe of its bitness: " +
                                std::string(kReinstall));
        } else if (!anyToCopy) {
          // Alone, a class left out may be one its vendor never meant to register.
          Add("class", found.type.clsid, named + " is not registered")
              .causes.emplace_back(kReinstall);
        }
      }
    }
  }

  // Windows loads a per-user class in a process that is not elevated, before the machine's.
  void PerUser(const inspect::TypeLibraryClass& type) {
    const std::string key = "CLSID\\" + type.clsid + "\\InprocServer32";
    const std::optional<std::string> server =
        system_.RegistryString(RegistryRoot::UserClasses, registration_.view, key, "");
    if (!server || server->empty()) return;
    if (Of(*server) == Standing::ToCopy) return;
    Add("per-user", type.clsid,
        inspect::ClassName(type) +
            " has a registration of its own in HKCU\\Software\\Classes, to " + *server +
            ", which programs that are not elevated load instead")
        .causes.push_back("delete HKCU\\Software\\Classes\\CLSID\\" + type.clsid +
                          " of the user it belongs to");
  }

  // Real components share ProgIDs among their own classes, and name classes of the library that
  // another file serves: either leads back to the component.
  void ProgIds() {
    std::set<std::string> checked;
    for (const inspect::ClassStanding& found : registration_.creatable) {
      if (found.standing != Standing::ToCopy) continue;
      for (const std::string& progId :
           inspect::ProgIdsOf(system_, registration_.view, "CLSID\\" + found.type.clsid)) {
        if (!checked.insert(AsciiLower(progId)).second) continue;
        Check& check = Add("progid", progId);
        // Shared between the views on Windows; Wine keeps a 32-bit tool's ProgIDs in the view
        // of 64-bit programs.
        const std::string clsid = String(registration_.view, progId + "\\CLSID")
                                      .value_or(String(Other(), progId + "\\CLSID").value_or(""));
        if (clsid.empty()) {
          check.failed = "ProgID " + progId + " leads to no class";
        } else if (!LeadsBack(clsid)) {
          const std::string server =
              String(registration_.view, "CLSID\\" + clsid + "\\InprocServer32").value_or("");
          check.failed = "ProgID " + progId + " leads to class " + clsid + ", which is " +
                         (server.empty() ? "not registered" : "registered to " + server) +
                         ", not to " + copy_;
        }
        if (!check.Held()) check.causes.emplace_back(kReinstall);
      }
    }
  }

  bool LeadsBack(const std::string& clsid) const {
    const std::string server =
        String(registration_.view, "CLSID\\" + clsid + "\\InprocServer32").value_or("");
    const Standing standing = server.empty() ? Standing::Unregistered : Of(server);
    if (standing == Standing::ToCopy) return true;
    const auto& classes = registration_.library.classes;
    const bool declared = std::any_of(classes.begin(), classes.end(), [&](const auto& type) {
      return AsciiLower(type.clsid) == AsciiLower(clsid);
    });
    return declared && standing == Standing::ServedElsewhere;
  }

  // Whether a class or interface of the library names it as theirs, as a registration of the
  // library writes them.
  bool NamedByItsKeys(const std::string& libid) {
    const auto names = [&](const std::string& key) {
      const std::optional<std::string> named = String(registration_.view, key + "\\TypeLib");
      return named && AsciiLower(*named) == AsciiLower(libid);
    };
    for (const inspect::TypeLibraryClass& each : registration_.library.classes) {
      if (names("CLSID\\" + each.clsid)) return true;
    }
    return std::any_of(registration_.library.interfaces.begin(),
                       registration_.library.interfaces.end(),
                       [&](const std::string& iid) { return names("Interface\\" + iid); });
  }

  // TypeLib\{libid}\<version>\<locale>\win32 or win64, as the component's bitness reads it.
  void TypeLibrary() {
    const std::string& libid = registration_.library.libid;
    if (libid.empty()) return;
    const char* platform = registration_.machine == inspect::Machine::X86 ? "win32" : "win64";
    const std::string key = "TypeLib\\" + libid;
    std::vector<std::string> servers;
    for (const std::string& version :
         system_.RegistrySubkeys(RegistryRoot::ClassesRoot, registration_.view, key)) {
      for (const std::string& locale : system_.RegistrySubkeys(
               RegistryRoot::ClassesRoot, registration_.view, key + "\\" + version)) {
        const auto path =
            String(registration_.view, key + "\\" + version + "\\" + locale + "\\" + platform);
        if (path && !path->empty()) servers.push_back(*path);
      }
    }
    // A component that registers its classes without its library, as some do by hand, leaves
    // no key naming it: nothing to check.
    if (servers.empty() && !NamedByItsKeys(libid)) return;
    Check& check = Add("typelib", libid);
    std::optional<std::string> misdirected;
    for (const std::string& server : servers) {
      const Standing standing = Of(server);
      // Another file of the family may hold the library's registration.
      if (standing == Standing::ToCopy || standing == Standing::ServedElsewhere) return;
      if (!misdirected) misdirected = Misdirected(standing, server, copy_);
    }
    check.failed =
        "its type library " + libid + " is " +
        (misdirected ? *misdirected
                     : "not registered for " + std::string(inspect::BitsOf(registration_.machine)) +
                           " programs (no " + platform + " key)");
    check.causes.emplace_back(kReinstall);
  }

  // An interface registered without its proxy/stub class cannot be called across apartments.
  // Only those the library registers count: one it names of others (IUnknown, IDispatch, one it
  // imports) is marshalled by whoever registered it, and one not registered at all is one it
  // registers no marshalling for.
  void Interfaces() {
    for (const std::string& iid : registration_.library.interfaces) {
      const std::string key = "Interface\\" + iid;
      const std::optional<std::string> library = String(registration_.view, key + "\\TypeLib");
      if (!library || AsciiLower(*library) != AsciiLower(registration_.library.libid)) continue;
      Check& check = Add("interface", iid);
      const std::string proxy =
          String(registration_.view, key + "\\ProxyStubClsid32")
              .value_or(String(registration_.view, key + "\\ProxyStubClsid").value_or(""));
      if (proxy.empty()) {
        check.failed = "interface " + iid + " has no proxy/stub class";
      } else if (!String(registration_.view, "CLSID\\" + proxy + "\\InprocServer32")) {
        check.failed =
            "the proxy/stub class " + proxy + " of interface " + iid + " is not registered";
      }
      if (!check.Held()) check.causes.emplace_back(kReinstall);
    }
  }

  void Dependencies(const inspect::PeImage& image) {
    if (image.machine != inspect::ToolOf(system_, subject_.component)) return;
    bool any = false;
    for (const inspect::DependencyCause& cause :
         inspect::DependencyCauses(system_, subject_.component, image)) {
      Check& check = Add("dependency", cause.dll);
      (cause.later ? check.note : check.failed) = cause.text;
      any = true;
    }
    if (!any) Add("dependency", {});
  }

  platform::System& system_;
  const Subject& subject_;
  const std::string& copy_;
  inspect::Registration registration_;
  std::vector<Check> checks_;
};

}  // namespace

std::vector<Check> Verify(platform::System& system, const Subject& subject) {
  return Checks(system, subject).Run();
}

}  // namespace kalvenor::verify
