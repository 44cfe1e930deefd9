#include "verify/verify.h"

#include <algorithm>

#include "base/text.h"
#include "inspect/diagnosis.h"
#include "inspect/pe_image.h"
#include "inspect/verification.h"
#include "journal/journal.h"
#include "lib/lib_filesystem.h"
#include "paths/paths.h"

namespace kalvenor::verify {
namespace {

using inspect::Standing;
using platform::RegistryRoot;
using platform::RegistryView;

constexpr char kReinstall[] = "install the package again, which registers it anew";

class Checks {
 public:
  Checks(platform::System& system, const Subject& subject, inspect::LoaderLookups& lookups)
      : system_(system), subject_(subject), copy_(subject.component.copy), lookups_(lookups) {}

  std::vector<Check> Run() && {
    std::vector<std::byte> head;
    if (!File(head)) return std::move(checks_);
    const std::optional<inspect::PeImage> image = inspect::ReadPeImage(head);
    // The file's bytes, as hashed: the type library checked is the one of the bytes proved.
    if (std::optional<inspect::Registration> registration =
            inspect::ReadRegistration(system_, subject_.component, &head)) {
      registration_ = std::move(*registration);
      Registration();
      PerUser();
    } else {
      Add("class", {}).note =
          "it carries no type library, which says what to check its registration against";
    }
    Dependencies(image);
    return std::move(checks_);
  }

 private:
  Check& Add(std::string kind, std::string subject, std::string failed = {}) {
    return checks_.emplace_back(Check{std::move(kind), std::move(subject), std::move(failed)});
  }
  Standing Of(const std::string& server) const {
    return inspect::StandingOf(system_, subject_.component, registration_.view, server);
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

  // The rules the proof after an Install applies, each judgement a check.
  void Registration() {
    for (inspect::Finding& finding : inspect::JudgeRegistration(
             system_, subject_.component, registration_, inspect::Proof::Verification)) {
      Check& check =
          Add(std::move(finding.kind), std::move(finding.subject), std::move(finding.failed));
      if (check.Held()) continue;
      check.causes.push_back(finding.hint.empty() ? std::string(kReinstall)
                                                  : finding.hint + ": " + kReinstall);
    }
  }

  // Windows loads a per-user class in a process that is not elevated, before the machine's:
  // the account's own, or, running as SYSTEM as deployment agents do, each loaded user's.
  void PerUser() {
    std::vector<std::string> users;  // each user's classes below HKEY_USERS
    const bool asSystem = system_.RunsAsSystem();
    if (asSystem) {
      for (std::string& hive :
           system_.RegistrySubkeys(RegistryRoot::Users, registration_.view, "")) {
        if (AsciiLower(hive).ends_with("_classes")) users.push_back(std::move(hive));
      }
    }
    for (const inspect::ClassStanding& found : registration_.creatable) {
      const std::string key = "CLSID\\" + found.type.clsid;
      if (!asSystem) {
        PerUser(found.type, RegistryRoot::UserClasses, key, "HKCU\\Software\\Classes");
        continue;
      }
      for (const std::string& hive : users) {
        PerUser(found.type, RegistryRoot::Users, hive + "\\" + key, "HKEY_USERS\\" + hive);
      }
    }
  }
  void PerUser(const inspect::TypeLibraryClass& type, RegistryRoot root, const std::string& key,
               const std::string& where) {
    const std::optional<std::string> server =
        system_.RegistryString(root, registration_.view, key + "\\InprocServer32", "");
    if (!server || server->empty()) return;
    // A user's value is anyone's text: one that is no file on this machine's drives is never the
    // copy, and is never opened.
    if (paths::IsLocalFile(*server) && Of(*server) == Standing::ToCopy) return;
    Add("per-user", type.clsid,
        inspect::ClassName(type) + " has a registration of its own in " + where + ", to " +
            *server + ", which programs that are not elevated load instead")
        .causes.push_back("delete " + where + "\\CLSID\\" + type.clsid +
                          " of the user it belongs to");
  }

  void Dependencies(const std::optional<inspect::PeImage>& image) {
    if (!image) {
      Add("dependency", {}).note =
          "its DLLs are not checked: it is no Windows DLL that can be read";
      return;
    }
    const inspect::Machine tool = inspect::ToolOf(system_, subject_.component);
    if (image->machine != tool) {
      Add("dependency", {}).note = "its DLLs are not checked: a " +
                                   std::string(inspect::BitsOf(image->machine)) +
                                   " component in the " + inspect::BitsOf(tool) +
                                   " system directory, whose DLLs its loader does not search";
      return;
    }
    bool any = false;
    for (const inspect::DependencyCause& cause :
         inspect::DependencyCauses(system_, subject_.component, *image, lookups_)) {
      Check& check = Add("dependency", cause.dll);
      (cause.later ? check.note : check.failed) = cause.text;
      any = true;
    }
    if (!any) Add("dependency", {});
  }

  platform::System& system_;
  const Subject& subject_;
  const std::string& copy_;
  inspect::LoaderLookups& lookups_;
  inspect::Registration registration_;
  std::vector<Check> checks_;
};

}  // namespace

std::vector<Check> Verify(platform::System& system, const Subject& subject,
                          inspect::LoaderLookups& lookups) {
  return Checks(system, subject, lookups).Run();
}

}  // namespace kalvenor::verify
