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
  auto recorded = recorder_.BeforeCopy(source, destination, after);
  if (!recorded.ok()) return Journaled(recorded.error());
  platform::Status copied = File_CopyReplacing(system_, source, destination);
  if (!copied.ok() && system_.InUse(destination)) copied = ReplaceInUse(source, destination);
  if (!copied.ok()) {
    recorder_.CopyFailed();
    LogFailure(copied.error().message);
    return false;
  }
  // The line tells what Undo brings back: only a run with a journal has it.
  if (const auto& downgrade = recorded.value()) {
    LogNote("replaced the newer version " + downgrade->from.Text() + " by " + downgrade->to.Text() +
            "; Undo brings it back");
  }
  return true;
}

// A running program holds the file: its name is freed by renaming it aside, and the copy goes
// into it. Programs started from now on load the new file; the old one goes at the restart.
platform::Status Engine::ReplaceInUse(const std::string& source, const std::string& target) {
  auto setAside = journal::SetAsideInUse(system_, target);
  if (!setAside.ok()) return setAside.error();
  platform::Status copied = File_CopyReplacing(system_, source, target);
  if (!copied.ok()) {
    (void)system_.Rename(setAside.value().aside, target);
    return copied;
  }
  LogSetAside(setAside.value(), "programs started from now on get the new file");
  return platform::Done{};
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
  auto exitCode = ShellAndWait(services_, place.tool, commandLine, platform::ShowWindow::Normal);
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
