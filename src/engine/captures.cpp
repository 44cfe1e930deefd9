// Capture: each component's registration taken as data, in a helper process of its bitness that
// redirects the registry to a private key, and written out as installers and programs take it.
// Nothing on the machine changes: no journal, no copy, no live registration.
#include "capture/exports.h"
#include "engine/engine.h"
#include "inspect/diagnosis.h"
#include "lib/lib_filesystem.h"
#include "paths/paths.h"

namespace kalvenor::engine {
namespace {

std::size_t ValueCount(const platform::CapturedRegistration& registration) {
  return registration.classesRoot.values.size() + registration.localMachine.values.size() +
         registration.currentUser.values.size();
}

std::string Counted(std::size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

void Engine::CaptureItems(const Plan& plan) {
  const Admitted admitted = Admit(plan);
  if (!BeginRun()) return;
  undoable_.clear();  // nothing to undo: it changed nothing
  LogUnlisted(admitted.unlisted);
  std::vector<capture::Captured> captured;
  ForEachPresent(admitted.files, 0, admitted.files.size(), [&](const std::string& item) {
    if (std::optional<capture::Captured> one = CaptureOne(item)) {
      EndStep();
      for (RunObserver* observer : observers_) observer->OnCaptured(*one);
      captured.push_back(std::move(*one));
    }
  });
  if (!captured.empty()) WriteExports(plan.exports, captured);
  EndRun();
}

std::optional<capture::Captured> Engine::CaptureOne(const std::string& item) {
  BeginStep("capture", item, {}, "> Capturing file " + item);
  const Placement place = PlacementOf(item);
  if (place.missing) {
    const char* bits = inspect::BitsOf(place.machine);
    LogFailure("a " + std::string(bits) + " component, and this Windows runs no " + bits +
               " programs: it cannot be loaded to be captured");
    return std::nullopt;
  }
  const inspect::Machine machine = place.Other() ? place.machine : inspect::ToolMachine(system_);
  const platform::RegistryView view = inspect::ViewOf(machine);
  auto started = system_.StartCapture(item, view, ChildFolder(view));
  if (!started.ok()) {
    LogFailure("the capture cannot start: " + started.error().message);
    return std::nullopt;
  }
  platform::CaptureSession& session = *started.value();
  if (const std::optional<std::string> late = AwaitHelper(session)) {
    LogFailure("its registration " + *late);
    return std::nullopt;
  }
  auto outcome = session.Outcome();
  if (!outcome.ok()) {
    LogFailure("what it registered cannot be read: " + outcome.error().message);
    return std::nullopt;
  }
  const platform::CaptureOutcome& left = outcome.value();
  auto exitCode = session.Helper().ExitCode();
  if (const std::optional<CaptureFault> fault = CaptureFailure(left, exitCode)) {
    if (fault->toolCode) {
      const inspect::Component component{item, {}, place.systemDir, true, place.machine};
      for (const std::string& cause : inspect::Diagnose(system_, component, fault->toolCode)) {
        LogCause(cause);
      }
    }
    return std::nullopt;
  }
  capture::Captured captured{item, {}, view, left.registration};
  const std::string shortName = system_.ShortPathName(item);
  if (!shortName.empty() && !paths::SamePath(system_, shortName, item)) {
    captured.aliases.push_back(shortName);
  }
  const platform::CapturedRegistration& registration = left.registration;
  const std::size_t keys = registration.classesRoot.keys.size() +
                           registration.localMachine.keys.size() +
                           registration.currentUser.keys.size();
  LogNote("captured " + Counted(ValueCount(registration), "value", "values") + " in " +
          Counted(keys, "key", "keys") + " of the " + inspect::BitsOf(machine) + " registry");
  if (left.usersValues > 0) {
    LogNote("it also wrote " + Counted(left.usersValues, "value", "values") +
            " under HKEY_USERS, which no export carries");
  }
  return captured;
}

// The failed line of a capture that gave nothing, and the registration tool's exit code that
// the same failure gives, whose causes the inspection then reads; nothing when it worked.
std::optional<Engine::CaptureFault> Engine::CaptureFailure(const platform::CaptureOutcome& left,
                                                           platform::Result<std::uint32_t>& exit) {
  using platform::CaptureStage;
  const std::string words =
      inspect::Hex(left.result) + (left.message.empty() ? "" : ", " + left.message);
  // A helper that ends on its own exits with the HRESULT it left; an exception's status is an
  // error status of the system.
  const bool crashed =
      exit.ok() && exit.value() != left.result && (exit.value() & 0xC0000000u) == 0xC0000000u;
  if (crashed) {
    static constexpr const char* kWhere[] = {"before it was loaded", "before it was loaded",
                                             "while it was loaded", "in its DllRegisterServer",
                                             "after its registration"};
    LogFailure("it crashed " + std::string(kWhere[static_cast<int>(left.stage)]) +
               ", with exception " + inspect::Hex(exit.value()));
    return CaptureFault{exit.value()};
  }
  switch (left.stage) {
    case CaptureStage::Started:
      LogFailure("the registry could not be redirected for it: " + words);
      return CaptureFault{};
    case CaptureStage::Redirected:
      LogFailure("it cannot be loaded: " + words);
      return CaptureFault{static_cast<std::uint32_t>(inspect::ToolExit::CannotLoad)};
    case CaptureStage::Loaded:
      LogFailure("it has no DllRegisterServer, so it does not register itself");
      return CaptureFault{static_cast<std::uint32_t>(inspect::ToolExit::NoEntryPoint)};
    case CaptureStage::Registering:
      LogFailure("its DllRegisterServer did not return: " +
                 (exit.ok() ? "the helper ended with " + inspect::Hex(exit.value())
                            : exit.error().message));
      return CaptureFault{static_cast<std::uint32_t>(inspect::ToolExit::EntryPointFailed)};
    case CaptureStage::Returned:
      if (left.otherPrograms > 0) {
        LogFailure("its registration started " +
                   Counted(left.otherPrograms, "program", "programs") +
                   ", which ran outside the redirected registry: none of it is taken");
        return CaptureFault{};
      }
      if (left.unredirected) {
        LogFailure("its registration undid the redirection of " + *left.unredirected +
                   ", so what it wrote there may have reached the live registry: none of it "
                   "is taken");
        return CaptureFault{};
      }
      // S_FALSE too, which the registration tool takes for success.
      if ((left.result & 0x80000000u) == 0) return std::nullopt;
      LogFailure("its DllRegisterServer failed: " + words);
      return CaptureFault{static_cast<std::uint32_t>(inspect::ToolExit::EntryPointFailed)};
  }
  return std::nullopt;
}

void Engine::WriteExports(const Exports& exports, const std::vector<capture::Captured>& captured) {
  if (!exports.wxs.empty()) WriteExport(capture::WixSource(captured, exports.wxs));
  if (!exports.reg.empty()) {
    // Named as 64-bit programs name them, which a registration in them writes.
    const std::string own = system_.NativePath(folders_.system);
    const std::string other = folders_.otherFound ? system_.NativePath(folders_.other) : "";
    const bool own32 = inspect::ToolMachine(system_) == inspect::Machine::X86;
    WriteExport(capture::RegFile(
        captured,
        own32 ? capture::SystemDirectories{own, other} : capture::SystemDirectories{other, own},
        exports.reg));
  }
  if (exports.manifest.empty()) return;
  for (const capture::ExportFile& manifest : capture::Manifests(captured, exports.manifest)) {
    WriteExport(manifest);
  }
}

// Through a name of its own beside it, so that a file that cannot be finished, or a manifest
// Windows would refuse, never takes the place of what was there.
void Engine::WriteExport(const capture::ExportFile& export_) {
  const std::string& file = export_.path;
  BeginStep("export", {}, file, "> Writing file " + file);
  for (const std::string& note : export_.notes) LogNote(note);
  for (const std::string& failure : export_.failures) LogFailure(failure);
  const std::string temporary = file + ".kalvenor-copy-" + std::to_string(system_.ProcessId());
  (void)system_.Delete(temporary);
  platform::Status written = system_.WriteNew(temporary, export_.text);
  if (written.ok() && export_.manifest) {
    if (const platform::Status taken = system_.CheckManifest(temporary, *export_.manifest);
        !taken.ok()) {
      (void)system_.Delete(temporary);
      return LogFailure("Windows does not take it as a manifest: " + taken.error().message);
    }
  }
  if (written.ok()) written = system_.Replace(temporary, file);
  if (!written.ok()) {
    (void)system_.Delete(temporary);
    LogFailure(written.error().message);
  }
}

}  // namespace kalvenor::engine
