#include "inspect/verification.h"

#include "inspect/pe_image.h"
#include "inspect/type_library.h"
#include "lib/text.h"

namespace kalvenor::inspect {
namespace {

// The form in which two names of one file compare equal: long names, no quotes, no letter
// case. A 32-bit component on 64-bit Windows reports its copy in system32 by its real folder,
// SysWOW64, which is where the 32-bit tool's system32 leads.
std::string Comparable(platform::System& system, std::string path) {
  while (!path.empty() && (path.front() == ' ' || path.front() == '"')) path.erase(0, 1);
  while (!path.empty() && (path.back() == ' ' || path.back() == '"')) path.pop_back();
  std::string lower = AsciiLower(system.LongPathName(path));
  if (system.App().bits == 32) {
    const std::string windows = AsciiLower(system.Environ("WINDIR").value_or("c:\\windows"));
    const std::string wow = windows + "\\syswow64\\";
    if (lower.starts_with(wow)) lower = windows + "\\system32\\" + lower.substr(wow.size());
  }
  return lower;
}

std::string Named(const TypeLibraryClass& type) {
  return type.name.empty() ? "class " + type.clsid : "class " + type.name + " " + type.clsid;
}

}  // namespace

std::vector<std::string> VerifyRegistration(platform::System& system, const Component& component) {
  std::vector<std::string> failures;
  auto bytes = system.ReadFile(component.copy, kMaxImageBytes);
  if (!bytes.ok()) return failures;
  const std::optional<PeImage> image = ReadPeImage(bytes.value());
  if (!image || image->typeLibrary.empty()) return failures;
  const auto classes = ReadTypeLibraryClasses(image->typeLibrary);
  if (!classes) return failures;

  // A DLL of the other bitness the tool hands to the other bitness's tool, which registers it
  // in its own view: from the wrong system directory, where no program can use it.
  const Machine toolMachine = system.App().bits == 64 ? Machine::X64 : Machine::X86;
  const bool otherBitness = image->machine != toolMachine &&
                            (image->machine == Machine::X86 || image->machine == Machine::X64);
  const Machine registrar = otherBitness ? image->machine : toolMachine;
  const platform::RegistryView view =
      registrar == Machine::X64 ? platform::RegistryView::Bits64 : platform::RegistryView::Bits32;
  const std::string copy = Comparable(system, component.copy);
  for (const TypeLibraryClass& type : *classes) {
    const std::optional<std::string> server = system.RegistryString(
        platform::RegistryRoot::ClassesRoot, view, "CLSID\\" + type.clsid + "\\InprocServer32", "");
    const bool here = server && Comparable(system, *server) == copy;
    if (component.registering && here && otherBitness) {
      failures.push_back(Named(type) + " of " + component.copy + " is registered in the " +
                         BitsOf(image->machine) + " registry view, where the " +
                         BitsOf(image->machine) + " regsvr32.exe put it: no program can use a " +
                         BitsOf(image->machine) + " DLL from the " + BitsOf(toolMachine) +
                         " system directory; register it with " + RegistrarFor(image->machine));
    } else if (component.registering && !server) {
      failures.push_back(Named(type) + " of " + component.copy +
                         " is not registered, although regsvr32.exe reported success");
    } else if (component.registering && !here) {
      failures.push_back(Named(type) + " is registered to " + *server + ", not to " +
                         component.copy);
    } else if (!component.registering && here) {
      failures.push_back(Named(type) + " is still registered to " + component.copy +
                         ", although regsvr32.exe reported success");
    }
    if (failures.size() >= kMaxCauses) break;
  }
  return failures;
}

}  // namespace kalvenor::inspect
