// Where each component goes: into the system directory of its own bitness, registered by the
// regsvr32.exe there. Windows loads a DLL only into a process of its bitness, and a 64-bit
// Windows keeps the two kinds apart: system32 and SysWOW64, each with its own tool and its own
// registry view. A component of the program's bitness, or of none it knows, goes into the
// system directory found at start-up.
#include "engine/engine.h"
#include "inspect/pe_image.h"
#include "lib/lib_filesystem.h"
#include "paths/paths.h"

namespace kalvenor::engine {
namespace {

// Enough of a file for its PE headers.
constexpr std::size_t kHeaderBytes = 64 * 1024;

}  // namespace

Placement Engine::OwnPlace() const {
  return {folders_.system, folders_.tool, inspect::Machine::Unknown, false};
}

Placement Engine::OtherPlace() const {
  const bool own32 = inspect::ToolMachine(system_) == inspect::Machine::X86;
  return {folders_.other, folders_.otherTool, own32 ? inspect::Machine::X64 : inspect::Machine::X86,
          !folders_.otherFound};
}

Placement Engine::PlacementOf(const std::string& item) const {
  auto bytes = system_.ReadFile(item, kHeaderBytes);
  return PlacementOfImage(bytes.ok() ? bytes.value() : std::vector<std::byte>());
}

Placement Engine::PlacementOfImage(std::span<const std::byte> head) const {
  const bool other =
      inspect::IsOtherBitness(inspect::ReadMachine(head), inspect::ToolMachine(system_));
  return other ? OtherPlace() : OwnPlace();
}

Placement Engine::PlacementOfTarget(const std::string& target) const {
  const platform::RegistryView view = paths::OwnView(system_);
  const bool other = paths::ComparablePath(system_, paths::FolderOf(target), view) ==
                     paths::ComparablePath(system_, folders_.other, view);
  return other ? OtherPlace() : OwnPlace();
}

std::string Engine::TargetIn(const Placement& place, const std::string& item) const {
  return place.systemDir + "\\" + File_GetName(item);
}

// The system directory of the child's bitness as the system itself names it, whatever WINDIR
// says: never this program's current folder, which may be a package's folder (or one that anyone
// can write to), whose DLLs would then load into the elevated child or stand in for a missing
// dependency only as long as the package lies there. A 64-bit child of a 32-bit program takes
// "system32", which the parent sees redirected and the child as its own.
std::string Engine::ChildFolder(platform::RegistryView view) const {
  const platform::SystemFolders own = system_.SystemFoldersOf();
  const bool wow64Child = system_.App().bits == 64 && view == platform::RegistryView::Bits32;
  const std::string& folder = wow64Child ? own.wow64 : own.system;
  return folder.empty() ? folders_.system : folder;
}

// The name its count has among the counts of its bitness: as the programs of that bitness know it.
std::string Engine::CountName(const std::string& target) const {
  return PlacementOfTarget(target).Other() ? system_.NativePath(target) : target;
}

platform::RegistryView Engine::CountView(const std::string& target) const {
  const Placement place = PlacementOfTarget(target);
  return inspect::ViewOf(place.Other() ? place.machine : inspect::ToolMachine(system_));
}

// A component of the other bitness, where this Windows has no system directory for it: not
// copied, the run goes on.
void Engine::LogNoSystemDir(const std::string& item) {
  const char* bits = inspect::BitsOf(OtherPlace().machine);
  const char* own = inspect::BitsOf(inspect::ToolMachine(system_));
  BeginStep("copy", item, {}, "> Copying file " + item);
  LogFailure("a " + std::string(bits) + " component, and this Windows has no " + bits +
             " system directory with a regsvr32.exe: it is not copied");
  LogCause("install its " + std::string(own) + " version, or install it on a Windows that runs " +
           bits + " programs");
}

void Engine::NoteOtherBitness(const Placement& place) {
  if (!place.Other()) return;
  const char* bits = inspect::BitsOf(place.machine);
  LogNote("a " + std::string(bits) + " component: into the " + bits +
          " system directory, registered by its regsvr32.exe");
}

}  // namespace kalvenor::engine
