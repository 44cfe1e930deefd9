// Capture, one component at a time, and the exports of what was taken.
#include "engine/capture_run.h"

#include "inspect/diagnosis.h"
#include "lib/lib_filesystem.h"
#include "paths/paths.h"

namespace kalvenor::engine {
namespace {

// Names a temporary file may take beside an export before the export gives up.
constexpr int kNamesTried = 10;
constexpr char kNotThere[] = "its folder could not be opened when the run began";
constexpr char kLedElsewhere[] = "its folder has come to lead elsewhere since the run began";

std::size_t ValueCount(const platform::CapturedRegistration& registration) {
  return registration.classesRoot.values.size() + registration.localMachine.values.size() +
         registration.currentUser.values.size();
}

std::string Counted(std::size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

class Capture {
 public:
  Capture(RunContext& run, const Exports& exports) : run_(run), system_(run.System()) {
    for (const std::string* file : {&exports.wxs, &exports.reg, &exports.manifest}) {
      if (file->empty()) continue;
      std::string folder = paths::ParentFolder(*file);
      auto held = system_.OpenFolder(folder);
      folders_.push_back({std::move(folder), held.ok() ? std::move(held.value()) : nullptr});
    }
  }

  // What the component registered, with its step logged; nothing when it failed.
  std::optional<capture::Captured> One(const std::string& item);
  void WriteExports(const Exports& exports, const std::vector<capture::Captured>& captured);

 private:
  struct Fault {
    std::optional<std::uint32_t> toolCode;  // the tool's exit code for the same failure
  };
  std::optional<Fault> Failure(const platform::CaptureOutcome& left,
                               platform::Result<std::uint32_t>& exit);
  // A manifest is checked as Windows reads one for a program of its view's bitness.
  void WriteExport(const capture::ExportFile& export_);
  // The manifest written to `held`, named `name` in `folder`, once Windows took it as one and
  // only as it took it; nothing, with its failed line, otherwise.
  std::unique_ptr<platform::HeldFile> CheckedManifest(std::unique_ptr<platform::HeldFile> held,
                                                      platform::HeldFolder& folder,
                                                      const std::string& name,
                                                      const std::string& temporary,
                                                      const capture::ExportFile& export_);
  platform::HeldFolder* FolderAtStart(const std::string& file) const;

  RunContext& run_;
  platform::System& system_;
  // The folders the exports go to, held as they opened when the run began.
  std::vector<std::pair<std::string, std::unique_ptr<platform::HeldFolder>>> folders_;
};

std::optional<capture::Captured> Capture::One(const std::string& item) {
  run_.BeginStep("capture", item, {}, "> Capturing file " + item);
  const Placement place = run_.PlacementOf(item);
  if (place.missing) {
    const char* bits = inspect::BitsOf(place.machine);
    run_.LogFailure("a " + std::string(bits) + " component, and this Windows runs no " + bits +
                    " programs: it cannot be loaded to be captured");
    return std::nullopt;
  }
  const inspect::Machine machine = place.Other() ? place.machine : inspect::ToolMachine(system_);
  const platform::RegistryView view = inspect::ViewOf(machine);
  auto started = system_.StartCapture(item, view, run_.ChildFolder(view));
  if (!started.ok()) {
    run_.LogFailure("the capture cannot start: " + started.error().message);
    return std::nullopt;
  }
  platform::CaptureSession& session = *started.value();
  if (const std::optional<std::string> late = run_.AwaitHelper(session)) {
    run_.LogFailure("its registration " + *late);
    return std::nullopt;
  }
  auto outcome = session.Outcome();
  if (!outcome.ok()) {
    run_.LogFailure("what it registered cannot be read: " + outcome.error().message);
    return std::nullopt;
  }
  const platform::CaptureOutcome& left = outcome.value();
  auto exitCode = session.Helper().ExitCode();
  if (const std::optional<Fault> fault = Failure(left, exitCode)) {
    if (fault->toolCode) {
      const inspect::Component component{item, {}, place.systemDir, true, place.machine};
      for (const std::string& cause : inspect::Diagnose(system_, component, fault->toolCode)) {
        run_.LogCause(cause);
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
  run_.LogNote("captured " + Counted(ValueCount(registration), "value", "values") + " in " +
               Counted(keys, "key", "keys") + " of the " + inspect::BitsOf(machine) + " registry");
  if (left.usersValues > 0) {
    run_.LogNote("it also wrote " + Counted(left.usersValues, "value", "values") +
                 " under HKEY_USERS, which no export carries");
  }
  return captured;
}

// The failed line of a capture that gave nothing, and the registration tool's exit code that
// the same failure gives, whose causes the inspection then reads; nothing when it worked.
std::optional<Capture::Fault> Capture::Failure(const platform::CaptureOutcome& left,
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
    run_.LogFailure("it crashed " + std::string(kWhere[static_cast<int>(left.stage)]) +
                    ", with exception " + inspect::Hex(exit.value()));
    return Fault{exit.value()};
  }
  switch (left.stage) {
    case CaptureStage::Started:
      run_.LogFailure("the registry could not be redirected for it: " + words);
      return Fault{};
    case CaptureStage::Redirected:
      run_.LogFailure("it cannot be loaded: " + words);
      return Fault{static_cast<std::uint32_t>(inspect::ToolExit::CannotLoad)};
    case CaptureStage::Loaded:
      run_.LogFailure("it has no DllRegisterServer, so it does not register itself");
      return Fault{static_cast<std::uint32_t>(inspect::ToolExit::NoEntryPoint)};
    case CaptureStage::Registering:
      run_.LogFailure("its DllRegisterServer did not return: " +
                      (exit.ok() ? "the helper ended with " + inspect::Hex(exit.value())
                                 : exit.error().message));
      return Fault{static_cast<std::uint32_t>(inspect::ToolExit::EntryPointFailed)};
    case CaptureStage::Returned:
      if (left.otherPrograms > 0) {
        run_.LogFailure("its registration started " +
                        Counted(left.otherPrograms, "program", "programs") +
                        ", which ran outside the redirected registry: none of it is taken");
        return Fault{};
      }
      if (left.unredirected) {
        run_.LogFailure("its registration undid the redirection of " + *left.unredirected +
                        ", so what it wrote there may have reached the live registry: none of it "
                        "is taken");
        return Fault{};
      }
      // S_FALSE too, which the registration tool takes for success.
      if ((left.result & 0x80000000u) == 0) return std::nullopt;
      run_.LogFailure("its DllRegisterServer failed: " + words);
      return Fault{static_cast<std::uint32_t>(inspect::ToolExit::EntryPointFailed)};
  }
  return std::nullopt;
}

void Capture::WriteExports(const Exports& exports, const std::vector<capture::Captured>& captured) {
  if (!exports.wxs.empty()) WriteExport(capture::WixSource(captured, exports.wxs));
  if (!exports.reg.empty()) {
    // Named as 64-bit programs name them, which a registration in them writes.
    const std::string own = system_.NativePath(run_.Folders().system);
    const std::string other =
        run_.Folders().otherFound ? system_.NativePath(run_.Folders().other) : "";
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
// Windows would refuse, never takes the place of what was there. That file is made, opened again
// and renamed or removed through the handles of the file and of the export's folder as it opened
// when the run began, never by a path: a folder on the way swapped for a link meanwhile cannot
// steer any of it elsewhere. (Windows' check of a manifest goes by the path: it only reads.)
void Capture::WriteExport(const capture::ExportFile& export_) {
  const std::string& file = export_.path;
  run_.BeginStep("export", {}, file, "> Writing file " + file);
  for (const std::string& note : export_.notes) run_.LogNote(note);
  for (const std::string& failure : export_.failures) run_.LogFailure(failure);
  // Written where the path led when the run began, and only while it still leads there: a
  // folder moved away meanwhile would take the export with it.
  platform::HeldFolder* folder = FolderAtStart(file);
  if (!folder || system_.IdentityOf(paths::ParentFolder(file)) != folder->Identity()) {
    return run_.LogFailure("it cannot be written there: " +
                           std::string(folder ? kLedElsewhere : kNotThere));
  }
  // A name left by a run that was stopped, or put there by another, is never written nor
  // removed: the next one is tried.
  std::string name, temporary;  // its name in the folder, and the file by its path as named
  std::unique_ptr<platform::HeldFile> held;
  std::optional<platform::SystemError> refused;
  for (int attempt = 1; attempt <= kNamesTried && !held; ++attempt) {
    const std::string ending = ".kalvenor-copy-" + std::to_string(system_.ProcessId()) +
                               (attempt > 1 ? "-" + std::to_string(attempt) : "");
    name = File_GetName(file) + ending;
    temporary = file + ending;
    auto made = folder->MakeFile(name);
    if (made.ok()) {
      held = std::move(made.value());
    } else {
      refused = made.error();
    }
  }
  if (!held) return run_.LogFailure(temporary + ": " + refused->message);
  // Judged again where the new file really lies.
  if (const std::optional<std::string> why = run_.WhyNotExport(file, *held)) {
    held->DiscardIfNew();
    return run_.LogFailure("it cannot be written there: " + *why);
  }
  platform::Status written = held->Append(export_.text);
  if (written.ok() && export_.manifest) {
    held = CheckedManifest(std::move(held), *folder, name, temporary, export_);
    if (!held) return;
  }
  if (written.ok()) written = held->Rename(file, *folder);
  if (!written.ok()) {
    held->DiscardIfNew();
    return run_.LogFailure(written.error().message);
  }
  // The folder held may have been moved since it was compared: the export is then where it went.
  if (system_.IdentityOf(paths::ParentFolder(file)) != folder->Identity()) {
    run_.LogFailure((held->FinalPath().empty() ? "it was written where its folder went"
                                               : "it was written to " + held->FinalPath()) +
                    ": " + kLedElsewhere);
  }
}

// Windows reads a manifest only while no one writes it: let go for the check, then opened
// again as the very file made here and read back, so that what takes the export's place is what
// Windows read.
std::unique_ptr<platform::HeldFile> Capture::CheckedManifest(
    std::unique_ptr<platform::HeldFile> held, platform::HeldFolder& folder, const std::string& name,
    const std::string& temporary, const capture::ExportFile& export_) {
  // Read by the path as named while that still opens the file (as the user spelled it, for Wine
  // gives a name's trailing dot no final path), else where the file lies, by a path that reaches
  // it whatever its folders' names; a volume without a drive letter gives none.
  const platform::FileId made = held->Identity();
  const std::string lies = system_.IdentityOf(temporary) == made || held->FinalPath().empty()
                               ? temporary
                               : paths::Literal(held->FinalPath());
  held.reset();
  const platform::Status taken = system_.CheckManifest(lies, *export_.manifest);
  if (!taken.ok()) {
    run_.LogFailure("Windows does not take it as a manifest: " + taken.error().message);
  }
  auto again = folder.OpenMade(name, made);
  if (!again.ok()) {
    run_.LogFailure(temporary + ": " + again.error().message);
    return nullptr;
  }
  held = std::move(again.value());
  if (!taken.ok()) {
    held->DiscardIfNew();
    return nullptr;
  }
  // Compared as it is read, and no further than the text: a file grown meanwhile is not read
  // to its end.
  std::string_view unread = export_.text;
  bool changed = false;
  const platform::Status read = held->ReadPieces([&](std::span<const std::byte> piece) {
    const std::string_view bytes(reinterpret_cast<const char*>(piece.data()), piece.size());
    changed = !unread.starts_with(bytes);
    if (changed) return platform::Status(platform::SystemError{});  // read no further
    unread.remove_prefix(bytes.size());
    return platform::Status(platform::Done{});
  });
  if (read.ok() && unread.empty()) return held;
  held->DiscardIfNew();
  run_.LogFailure(read.ok() || changed ? temporary + ": it was changed while Windows read it"
                                       : read.error().message);
  return nullptr;
}

platform::HeldFolder* Capture::FolderAtStart(const std::string& file) const {
  const std::string folder = paths::ParentFolder(file);
  for (const auto& [named, held] : folders_) {
    if (named == folder) return held.get();
  }
  return nullptr;
}

}  // namespace

void CaptureRun(RunContext& run, const std::vector<std::string>& files, const Exports& exports) {
  Capture capture(run, exports);
  // The window runs its list as it stands, which may name one file twice: captured twice, it
  // would be two components of one path that no export can tell apart, so the first one stands.
  // Each file opened once, as paths::SameFile opens them.
  std::vector<std::string> once;
  std::vector<std::optional<platform::FileId>> kept;
  for (const std::string& file : files) {
    const std::optional<platform::FileId> id = run.System().IdentityOf(file);
    bool seen = false;
    for (std::size_t i = 0; i < once.size() && !seen; ++i) {
      seen = id && kept[i] ? *id == *kept[i] : paths::SamePath(run.System(), once[i], file);
    }
    if (seen) continue;
    once.push_back(file);
    kept.push_back(id);
  }
  std::vector<capture::Captured> captured;
  run.ForEachPresent(once, 0, once.size(), [&](const std::string& item) {
    if (std::optional<capture::Captured> one = capture.One(item)) {
      run.EndStep();
      run.ReportCaptured(*one);
      captured.push_back(std::move(*one));
    }
  });
  if (!captured.empty()) capture.WriteExports(exports, captured);
}

}  // namespace kalvenor::engine
