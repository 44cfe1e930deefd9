// The single-file steps of a run: copy, delete, register and unregister, each logged first and
// journaled before it changes anything.
#include "engine/engine.h"
#include "inspect/diagnosis.h"
#include "inspect/verification.h"
#include "lib/lib_filesystem.h"
#include "lib/lib_sistema.h"

namespace kalvenor::engine {
namespace {

// The tool's path as the first word of its command line: as it stands, unless a blank in it
// would make the tool take the rest of its own path for the file to register.
std::string ToolCommandWord(const std::string& tool) {
  return tool.find(' ') == std::string::npos ? tool : "\"" + tool + "\"";
}

}  // namespace

bool Engine::Journaled(const platform::Status& recorded) {
  if (recorded.ok()) return true;
  LogFailure("the step is not taken, since " + recorded.error().message);
  return false;
}

bool Engine::LocalFileCopy(const std::string& source, const std::string& destination,
                           const journal::AfterCopy& after) {
  BeginStep("copy", source, destination, "> Copying file " + source);
  AddLine("|      to " + destination);
  AddLine("OP> FileCopy " + source + ", " + destination);
  // Made first, so that the journal records the bytes that take the target's place, and a
  // source that cannot be read fails the step before anything changes.
  auto made = journal::MakeCopyBeside(system_, source, destination);
  if (!made.ok()) {
    LogFailure(made.error().message);
    return false;
  }
  const std::string& copy = made.value().temporary;
  auto recorded = recorder_.BeforeCopy(made.value(), destination, after);
  if (!recorded.ok()) {
    (void)system_.Delete(copy);
    return Journaled(recorded.error());
  }
  if (!PutCopy(copy, destination, recorded.value().absent)) {
    recorder_.CopyFailed();
    return false;
  }
  // The line tells what Undo brings back: only a run with a journal has it.
  if (const auto& downgrade = recorded.value().downgrade) {
    LogNote("replaced the newer version " + downgrade->from.Text() + " by " + downgrade->to.Text() +
            "; Undo brings it back");
  }
  return true;
}

// The copy, made beside the target, takes the target's place in one step. Where the journal
// says no file was there, it takes only a free name: a file that came meanwhile is backed up
// first, as any file the copy replaces.
bool Engine::PutCopy(const std::string& copy, const std::string& target, bool absent) {
  platform::Status placed = absent ? system_.Rename(copy, target) : system_.Replace(copy, target);
  if (absent && !placed.ok() &&
      (placed.error().code == platform::kErrorAlreadyExists ||
       placed.error().code == platform::kErrorFileExists)) {
    const platform::Status saved = recorder_.BeforeReplacingNew(target);
    if (!saved.ok()) {
      (void)system_.Delete(copy);
      return Journaled(saved);
    }
    placed = system_.Replace(copy, target);
  }
  if (placed.ok()) return true;
  const bool inUse = system_.InUse(target);
  if (inUse && ReplaceInUse(copy, target)) return true;
  (void)system_.Delete(copy);
  if (!inUse) LogFailure(placed.error().message);
  return false;
}

// A running program holds the file: its name is freed by renaming it aside, and the new file
// takes it. Programs started from now on load the new file; the old one goes at the restart.
// Where the new one cannot take the name, the old one gets it back.
bool Engine::ReplaceInUse(const std::string& replacement, const std::string& target) {
  // Undo brings back a file that is gone only where the run moved it away.
  if (!Journaled(recorder_.BeforeSetAside(target))) return false;
  auto setAside = journal::SetAsideInUse(system_, target);
  platform::Status placed = setAside.ok() ? system_.Rename(replacement, target) : setAside.error();
  if (!placed.ok()) {
    LogFailure(placed.error().message);
    if (!setAside.ok()) return false;
    const std::string& aside = setAside.value().aside;
    platform::Status back = system_.Rename(aside, target);
    if (!back.ok()) {
      LogFailure("renamed it to " + aside + ", which cannot be renamed back (" +
                 back.error().message + "): give it back its name " + File_GetName(target));
    }
    return false;
  }
  journal::DeleteAtRestart(system_, setAside.value());
  LogSetAside(setAside.value(), "programs started from now on get the new file");
  return true;
}

void Engine::LogSetAside(const journal::SetAside& setAside, std::string_view after) {
  std::string programs;
  for (const std::string& program : setAside.programs) {
    programs += (programs.empty() ? "" : ", ") + program;
  }
  LogNote("in use by " + (programs.empty()
                              ? std::string("a running program, which Windows does not name")
                              : programs));
  if (setAside.notScheduled) {
    LogFailure("renamed it to " + setAside.aside + ", which cannot be deleted at the next " +
               "restart (" + setAside.notScheduled->message + "): delete it after a restart");
    return;
  }
  LogNote("renamed it to " + setAside.aside + ", which goes at the next restart; " +
          std::string(after));
  outcome_.restartNeeded = true;
}

bool Engine::LocalFileRemove(const std::string& source) {
  BeginStep("delete", {}, source, "> Deleting file " + source);
  AddLine("OP> Kill " + source);
  if (!Journaled(recorder_.BeforeDelete(source))) return false;
  platform::Status deleted = system_.Delete(source);
  if (!deleted.ok() && system_.InUse(source)) {
    auto setAside = journal::SetAsideInUse(system_, source);
    if (setAside.ok()) {
      journal::DeleteAtRestart(system_, setAside.value());
      LogSetAside(setAside.value(), "programs that hold it keep it till then");
      return !setAside.value().notScheduled;
    }
  }
  // A file that is not there is what the delete wants.
  if (!deleted.ok() && deleted.error().code != platform::kErrorFileNotFound &&
      deleted.error().code != platform::kErrorPathNotFound) {
    LogFailure(deleted.error().message);
    return false;
  }
  return true;
}

inspect::Component Engine::ToolComponent(const std::string& source, bool regIt,
                                         const std::string& listed) const {
  const Placement place = PlacementOfTarget(source);
  return {source, listed, place.systemDir, regIt, place.machine};
}

bool Engine::LocalRegUnreg(const std::string& source, bool regIt, const std::string& listed) {
  const Placement place = PlacementOfTarget(source);
  // A 64-bit tool knows no Sysnative: it gets the file by its own name.
  const std::string file = place.Other() ? system_.NativePath(source) : source;
  const std::string commandLine =
      ToolCommandWord(place.tool) + (regIt ? "" : " /u") + silentSwitch_ + "\"" + file + "\"";
  BeginStep(regIt ? "register" : "unregister", {}, source,
            (regIt ? "> Registering file " : "> Unregistering file ") + source);
  AddLine("OP> ShellAndWait " + commandLine);
  const inspect::Component component = ToolComponent(source, regIt, listed);
  if (!Journaled(recorder_.BeforeTool(component))) return false;
  const platform::RegistryView view =
      inspect::ViewOf(place.Other() ? place.machine : inspect::ToolMachine(system_));
  auto exitCode = ShellAndWait(services_, place.tool, commandLine, ChildFolder(view),
                               platform::ShowWindow::Normal);
  if (exitCode.ok()) Step().exitCode = exitCode.value();
  // Said, though the step stands: Undo then restores the keys as a journal without it would.
  if (const platform::Status left = recorder_.AfterTool(source); !left.ok()) {
    LogNote(left.error().message);
  }
  // The component is read only when the tool failed, and after a success to prove it.
  if (!exitCode.ok() || exitCode.value() != 0) {
    LogFailure(exitCode.ok() ? inspect::ToolExitText(exitCode.value()) : exitCode.error().message);
    const std::optional<std::uint32_t> code =
        exitCode.ok() ? std::optional(exitCode.value()) : std::nullopt;
    for (const std::string& cause : inspect::Diagnose(system_, component, code)) {
      LogCause(cause);
    }
    return false;
  }
  const std::vector<std::string> failures = inspect::VerifyRegistration(system_, component);
  for (const std::string& failure : failures) LogFailure(failure);
  return failures.empty();
}

}  // namespace kalvenor::engine
