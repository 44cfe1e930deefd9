// Where each component goes: into the system directory of its own bitness, registered by the
// regsvr32.exe there. Windows loads a DLL only into a process of its bitness, and a 64-bit
// Windows keeps the two kinds apart: system32 and SysWOW64, each with its own tool and its own
// registry view. A component of the program's bitness, or of none it knows, goes where the
// window's labels say.
#include "inspect/pe_image.h"
#include "lib/lib_filesystem.h"
#include "lib/text.h"
#include "setup/frm_setup.h"

namespace kalvenor {
namespace {

// Enough of a file for its PE headers.
constexpr std::size_t kHeaderBytes = 64 * 1024;

std::string FolderOf(std::string_view path) {
  const std::size_t slash = path.rfind('\\');
  return std::string(slash == std::string_view::npos ? std::string_view() : path.substr(0, slash));
}

}  // namespace

// The other bitness's system directory as this program reaches it: a 32-bit program reaches the
// 64-bit one as Sysnative, a 64-bit program the 32-bit one as SysWOW64. Where it holds no
// regsvr32.exe (32-bit Windows, a 64-bit one without its 32-bit part), there is none.
void frmSetup::FindOtherSystemDir() {
  const bool own32 = inspect::ToolMachine(services_.system) == inspect::Machine::X86;
  const std::string windir = services_.system.Environ("WINDIR").value_or("");
  const std::string folder =
      TrimBlanks(services_.system.LowerCase(windir + (own32 ? "\\Sysnative" : "\\SysWOW64")));
  otherPlace_ = {folder, folder + "\\regsvr32.exe",
                 own32 ? inspect::Machine::X64 : inspect::Machine::X86, false};
  otherPlace_.missing = !File_Exists(services_.system, otherPlace_.tool);
}

frmSetup::Placement frmSetup::OwnPlace() const {
  return {lblWinSystem.Caption(), lblRegsvrFile.Caption(), inspect::Machine::Unknown, false};
}

frmSetup::Placement frmSetup::PlacementOf(const std::string& item) const {
  auto bytes = services_.system.ReadFile(item, kHeaderBytes);
  const inspect::Machine machine =
      bytes.ok() ? inspect::ReadMachine(bytes.value()) : inspect::Machine::Unknown;
  const bool other = inspect::IsOtherBitness(machine, inspect::ToolMachine(services_.system));
  return other ? otherPlace_ : OwnPlace();
}

frmSetup::Placement frmSetup::PlacementOfTarget(const std::string& target) const {
  const bool other = AsciiLower(FolderOf(target)) == AsciiLower(otherPlace_.systemDir);
  return other ? otherPlace_ : OwnPlace();
}

std::string frmSetup::TargetIn(const Placement& place, const std::string& item) const {
  return place.systemDir + "\\" + File_GetName(item);
}

// The name its count has among the counts of its bitness: as the programs of that bitness know it.
std::string frmSetup::CountName(const std::string& target) const {
  return PlacementOfTarget(target).Other() ? services_.system.NativePath(target) : target;
}

platform::RegistryView frmSetup::CountView(const std::string& target) const {
  const Placement place = PlacementOfTarget(target);
  return inspect::ViewOf(place.Other() ? place.machine : inspect::ToolMachine(services_.system));
}

// A component of the other bitness, where this Windows has no system directory for it: not
// copied, the run goes on.
void frmSetup::LogNoSystemDir(const std::string& item) {
  const char* bits = inspect::BitsOf(otherPlace_.machine);
  const char* own = inspect::BitsOf(inspect::ToolMachine(services_.system));
  BeginStep("copy", item, {}, "> Copying file " + item);
  LogFailure("a " + std::string(bits) + " component, and this Windows has no " + bits +
             " system directory with a regsvr32.exe: it is not copied");
  LogCause("install its " + std::string(own) + " version, or install it on a Windows that runs " +
           bits + " programs");
}

void frmSetup::NoteOtherBitness(const Placement& place) {
  if (!place.Other()) return;
  const char* bits = inspect::BitsOf(place.machine);
  LogNote("a " + std::string(bits) + " component: into the " + bits +
          " system directory, registered by its regsvr32.exe");
}

}  // namespace kalvenor
