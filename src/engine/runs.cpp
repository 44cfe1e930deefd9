// The runs: Install, Remove and Overwrite copy over the plan's files, and Undo of a run from
// its journal. Each holds the run lock from its first line to its last.
#include <algorithm>

#include "engine/capture_run.h"
#include "engine/engine.h"
#include "inspect/verification.h"
#include "journal/journal.h"
#include "lib/lib_filesystem.h"
#include "paths/paths.h"

namespace kalvenor::engine {

Engine::Engine(platform::Services& services)
    : services_(services),
      system_(services.system),
      folders_(paths::WindowsFolders::Find(services.system)),
      recorder_(services.system) {
  platform::Result<std::unique_ptr<platform::HeldFile>> image = system_.OpenOwnImage();
  if (image.ok()) {
    ownImage_ = std::move(image.value());
  } else {
    ownImageError_ = image.error().message;
  }
}

void Engine::AddObserver(RunObserver& observer) { observers_.push_back(&observer); }

void Engine::RemoveObserver(RunObserver& observer) { std::erase(observers_, &observer); }

std::optional<std::string> Engine::LastRunInStore() { return journal::Store(system_).LastRun(); }

void Engine::StartRun() {
  busy_ = true;
  outcome_ = {};
  for (RunObserver* observer : observers_) observer->OnRunBegin();
}

bool Engine::BeginRun() {
  StartRun();
  // The run lock is a file in the journal's store: one that others could change goes first.
  journal::Store store(system_);
  const auto opened = store.Open();
  if (!store.Notice().empty()) LogNote(store.Notice());
  // Without the store there is no lock, and no run: two at once would mix their steps.
  auto lock = system_.LockRuns();
  if (opened.ok() && lock.ok()) {
    runLock_ = std::move(lock.value());
    if (ObserversAdmit()) return true;
    EndRun();
    return false;
  }
  if (opened.ok() && lock.error().code == platform::kErrorSharingViolation) {
    outcome_.refused = true;
    LogFailure("another Kalvenor run is in progress: try again when it has ended");
  } else {
    LogFailure("the run cannot start: " + (opened.ok() ? lock.error() : opened.error()).message);
  }
  EndRun();
  return false;
}

bool Engine::ObserversAdmit() {
  for (RunObserver* observer : observers_) {
    if (const std::optional<std::string> why = observer->OnAdmitted()) {
      LogFailure("the run cannot start: " + *why);
      return false;
    }
  }
  return true;
}

// The system directory comes from WINDIR, which a user may set for themselves: an elevated run
// of theirs must not copy into, nor start a regsvr32.exe from, a folder they could have filled.
// Both bitnesses' folders, whichever the items need: a run, and the journal Undo reads, may
// name files of either, under any spelling.
bool Engine::SystemDirsProtected() {
  std::vector<std::string> dirs{folders_.system};
  if (folders_.otherFound) dirs.push_back(folders_.other);
  for (const std::string& dir : dirs) {
    // Resolved against the current folder (a package's folder under a deployment tool), or on
    // another machine, whose rights name that machine's accounts: neither is this Windows' own.
    if (!paths::IsFullPath(dir) || dir.starts_with("\\\\")) {
      LogFailure("the run cannot start: the system directory " + dir +
                 " is no full path on this machine's drives, so nothing is copied into it nor "
                 "started from it");
      return false;
    }
    auto others = system_.OthersWhoMayChange(dir);
    if (others.ok() && others.value().empty()) continue;
    std::string who;
    if (others.ok()) {
      for (const std::string& other : others.value()) who += (who.empty() ? "" : ", ") + other;
    }
    LogFailure("the run cannot start: the system directory " + dir +
               (others.ok() ? " may be changed by others than administrators (" + who + ")"
                            : " cannot be checked: " + others.error().message) +
               ", so nothing is copied into it nor started from it");
    return false;
  }
  return true;
}

void Engine::EndRun() {
  if (outcome_.restartNeeded) {
    EndStep();
    AddLine("Restart Windows to finish: the files that were in use go then.");
  }
  EndStep();
  AddLine("");
  AddLine("Done. Click on the form or hit any key.");
  runLock_.reset();
  busy_ = false;
  for (RunObserver* observer : observers_) observer->OnRunEnd(outcome_);
}

void Engine::ForEachPresent(const std::vector<std::string>& files, std::size_t done,
                            std::size_t total,
                            const std::function<void(const std::string&)>& step) {
  for (const std::string& file : files) {
    ShowProgress(done++, total);
    if (File_Exists(system_, file)) {
      step(file);
    } else {
      LogNotFound(file);
    }
  }
}

// Before each item and after the last, on the task-bar button: red once a step has failed.
void Engine::ShowProgress(std::size_t done, std::size_t total) {
  for (RunObserver* observer : observers_) observer->OnProgress(done, total, outcome_.failed);
}

Outcome Engine::Run(const Plan& plan) {
  if (busy_) return {.refused = true};
  silentSwitch_ = plan.silent ? " /s " : " ";
  // A capture registers in a helper of its own, never with the registration tool.
  if (plan.kind == RunKind::Capture) {
    const Admitted admitted = Admit(plan);
    const AdmittedRun running(*this, plan, admitted);
    if (BeginRun()) {
      undoable_.clear();  // nothing to undo: it changed nothing
      LogUnlisted(admitted.unlisted);
      CaptureRun(*this, admitted.Files(), plan.exports);
      EndRun();
    }
    return outcome_;
  }
  // A verification changes nothing, so it needs no tool and takes no lock.
  if (plan.kind == RunKind::Verify) {
    VerifyItems(plan);
    return outcome_;
  }
  if (!folders_.toolFound) {
    if (BeginRun()) {
      LogFailure(kToolMissing);
      EndRun();
    }
    return outcome_;
  }
  if (plan.kind == RunKind::Undo) {
    UndoRunIn(plan.undoFolder);
    return outcome_;
  }

  RunItems(plan);
  return outcome_;
}

void Engine::RunItems(const Plan& plan) {
  const Admitted admitted = Admit(plan);
  const AdmittedRun running(*this, plan, admitted);
  // Nothing to run is no success: the run ends with the failed steps, before any journal.
  if (plan.foldersAllowed && admitted.Files().empty()) {
    if (BeginRun()) {
      LogUnlisted(admitted.unlisted);
      EndRun();
    }
    return;
  }
  if (!BeginRun()) return;
  if (!SystemDirsProtected()) {
    EndRun();
    return;
  }
  static constexpr const char* kKinds[] = {"install", "remove", "copy"};
  const platform::Status journaled =
      recorder_.Begin(kKinds[static_cast<int>(plan.kind)], folders_.system);
  // Said, though no step failed: the run goes on as it would without a journal.
  if (!journaled.ok()) LogNote("this run cannot be undone: " + journaled.error().message);
  for (const std::string& run : recorder_.PrunedNotUndone()) {
    LogNote("the run " + run + ", which was not undone, left the journal's store, which keeps " +
            "the last " + std::to_string(journal::Store::kRunsKept) +
            " runs: it can be undone no more");
  }
  undoable_ = recorder_.Active() ? recorder_.Folder() : std::string();
  counts_.emplace(system_);
  LogUnlisted(admitted.unlisted);
  installed_.clear();
  const std::optional<std::string> kept =
      plan.kind == RunKind::Install ? KeepProgram() : std::nullopt;

  ForEachPresent(admitted.Files(), 0, admitted.Files().size(), [&](const std::string& item) {
    // A file in a system directory is its own target: it is never copied onto itself.
    // By the name the run gives the folder, whatever spelling reached it.
    const bool ownTarget = folders_.InSystemFolder(system_, item);
    const std::string inPlace = ownTarget ? folders_.TargetOf(system_, item).value_or(item) : item;
    const Placement place = ownTarget ? PlacementOfTarget(inPlace) : PlacementOf(item);
    if (place.missing) {
      LogNoSystemDir(item);
      return;
    }
    const std::string target = ownTarget ? inPlace : TargetIn(place, item);
    switch (plan.kind) {
      case RunKind::Install: Install(item, target, place, ownTarget); break;
      case RunKind::OverwriteCopy:
        if (ownTarget) {
          BeginStep("copy", item, target, "> Copying file " + item);
          LogFailure("it lies in the system directory, and would be copied onto itself");
        } else if (LocalFileCopy(item, target, {ShareUnchanged(target)})) {
          NoteOtherBitness(place);
        }
        break;
      case RunKind::Remove: Remove(item, target, plan); break;
      case RunKind::Undo:
      case RunKind::Capture:
      case RunKind::Verify: break;
    }
  });
  // For the packager, who copies it into the deployment tool; the window's log stays as it was.
  // Only for an Install that worked whole: a part of the package is not what it detects.
  if (plan.unattended && !installed_.empty() && !outcome_.failed) {
    BeginStep("detection", {}, {}, "> Detecting this install");
    LogNote("with: " + DetectionCommand(kept.value_or(system_.App().file), installed_));
  }
  recorder_.End();
  EndRun();
}

void Engine::Install(const std::string& item, const std::string& target, const Placement& place,
                     bool ownTarget) {
  if (ownTarget) {
    BeginStep("in-place", item, target, "> Not copying file " + item);
    LogNote("it lies in the system directory already: it is registered where it is");
    // Until it has registered, no Install holds: a kill or a failure in between is not one.
    if (!ChangeInstalled(target, journal::kNoInstallRecord)) return;
    if (const auto share = ShareToTake(target, true)) (void)ChangeShare(target, *share);
    if (LocalRegUnreg(target, true)) KeepInstalled(target);
    return;
  }
  const bool inPlace = File_Exists(system_, target);
  // The share the copy takes and the tool's records go to the journal with the copy's.
  const journal::AfterCopy after{ShareToTake(target, inPlace), ToolComponent(target, true, item)};
  bool copied = LocalFileCopy(item, target, after);
  if (copied) {
    NoteOtherBitness(place);
    copied = ChangeInstalled(target, journal::kNoInstallRecord);
    if (copied && after.share) (void)WriteShare(target, *after.share);
  }
  if (LocalRegUnreg(target, true, item) && copied) KeepInstalled(target);
}

void Engine::Remove(const std::string& item, const std::string& target, const Plan& plan) {
  const bool deleteFiles = plan.deleteFiles;
  const std::optional<journal::ShareChange> share =
      deleteFiles ? ShareToGiveBack(target) : std::nullopt;
  // A file that other programs count on stays registered for them.
  if (deleteFiles && !NoOthersCountOn(target, share)) return;
  // A second unattended Remove (a deployment tool that retries) finds its work done: no copy,
  // and no class that points at it.
  if (deleteFiles && plan.unattended && !File_Exists(system_, target) &&
      inspect::ClassesServedBy(system_, ToolComponent(target, false, item)).empty()) {
    if (share && !ChangeShare(target, *share)) return;
    BeginStep("remove", item, target, "> Removing file " + target);
    LogNote("already removed: it is not in place, and no class points at it");
    return;
  }
  const bool unregistered = LocalRegUnreg(target, false, item);
  if (!deleteFiles) {
    if (!unregistered) return;
    NoteOthersCountOn(target);
    // With its registration, the Install is gone: said so, not left unsaid, which would read as
    // an Install by an earlier version that kept no record.
    if (counts_->Read(CountName(target), CountView(target)).held ||
        counts_->InstalledRecord(CountName(target), CountView(target))) {
      (void)ChangeInstalled(target, journal::kNoInstallRecord);
    }
    return;
  }
  // Deleting a file whose classes still point at it would leave them pointing at nothing.
  const std::vector<std::string> served =
      unregistered ? std::vector<std::string>()
                   : inspect::ClassesServedBy(system_, ToolComponent(target, false, item));
  if (!served.empty()) {
    LogFailure("the file stays, since " + std::to_string(served.size()) +
               (served.size() == 1 ? " class still points" : " classes still point") +
               " at it; Undo of the run that installed it takes it out");
    return;
  }
  // Given back only now that the file goes: one that stays registered keeps its count. Read
  // again, since the tool may have run for minutes while another installer counted the file.
  const std::optional<journal::ShareChange> shareNow = share ? ShareToGiveBack(target) : share;
  if (share && !NoOthersCountOn(target, shareNow)) return;
  if (shareNow && !ChangeShare(target, *shareNow)) return;
  LocalFileRemove(target);
}

// The run is looked up under the run lock, so that no other run ends in between.
void Engine::UndoRunIn(const std::string& run) {
  if (!BeginRun()) return;
  if (!SystemDirsProtected()) {
    EndRun();
    return;
  }
  undoable_.clear();
  journal::Store store(system_);
  if (run.empty()) {
    if (const auto last = store.LastRun()) {
      journal::UndoRun(system_, folders_, *this, *last);
    } else {
      BeginStep("undo", {}, {}, "> Undoing the last run");
      LogFailure("there is no run to undo");
    }
  } else if (auto folder = store.RunNamed(run); folder.ok()) {
    journal::UndoRun(system_, folders_, *this, folder.value());
  } else {
    BeginStep("undo", run, {}, "> Undoing the run of " + run);
    LogFailure(folder.error().message);
  }
  EndRun();
}

void Engine::Begin(std::string_view kind, const std::string& target, std::string_view line,
                   std::optional<std::uint32_t> count) {
  // The run being undone is where its step starts from.
  if (kind == "undo") {
    BeginStep(kind, target, {}, line);
  } else {
    BeginStep(kind, {}, target, line);
  }
  Step().count = count;
}

}  // namespace kalvenor::engine
