// The three runs over the listed files: Install, Remove and Overwrite copy.
#include "lib/lib_filesystem.h"
#include "setup/frm_setup.h"

namespace kalvenor {

void frmSetup::cmdInstall_Click() { Run(RunKind::Install); }

void frmSetup::cmdRemove_Click() { Run(RunKind::Remove, chkAutoManual.Value() == 0); }

void frmSetup::cmdBlindCopy_Click() { Run(RunKind::OverwriteCopy); }

bool frmSetup::BeginRun() {
  busy_ = true;
  stepFailed_ = false;
  restartNeeded_ = false;
  form_->AcceptDrops(false);
  Commands_Enable(false, false);
  txtOperations.SetText("");
  fileList.SetVisible(false);
  txtOperations.SetVisible(true);
  // The run lock is a file in the journal's store: one that others could change goes first.
  journal::Store store(services_.system);
  (void)store.Open();
  if (!store.Notice().empty()) LogNote(store.Notice());
  auto lock = services_.system.LockRuns();
  refused_ = !lock.ok();
  if (refused_) {
    LogFailure(lock.error().code == platform::kErrorSharingViolation
                   ? "another Kalvenor run is in progress: try again when it has ended"
                   : "the run cannot start: " + lock.error().message);
    EndRun();
  } else {
    runLock_ = std::move(lock.value());
  }
  return !refused_;
}

void frmSetup::EndRun() {
  if (restartNeeded_) {
    EndStep();
    txtOperationsAdd("Restart Windows to finish: the files that were in use go then.");
  }
  List_OperationsDone();
  form_->SetProgress(platform::Progress::None, 0, 0);
  if (!form_->IsForeground()) form_->FlashUntilActive();
  form_->AcceptDrops(true);
  runLock_.reset();
  busy_ = false;
}

void frmSetup::Run(RunKind kind, bool deleteFiles) {
  if (!BeginRun()) return;
  static constexpr const char* kKinds[] = {"install", "remove", "copy"};
  const platform::Status journaled =
      recorder_.Begin(kKinds[static_cast<int>(kind)], lblWinSystem.Caption());
  // Said, though no step failed: the run goes on as it would without a journal.
  if (!journaled.ok()) LogNote("this run cannot be undone: " + journaled.error().message);
  undoable_ = recorder_.Active() ? recorder_.Folder() : std::string();
  counts_.emplace(services_.system);
  LogUnlisted();  // the items of an unattended run that gave no component

  const std::size_t count = fileList.ListCount();
  for (std::size_t i = 0; i < count; ++i) {
    ShowProgress(i, count);
    const std::string item = fileList.List(i);
    if (!File_Exists(services_.system, item)) {
      LogNotFound(item);
      continue;
    }
    const Placement place = PlacementOf(item);
    if (place.missing) {
      LogNoSystemDir(item);
      continue;
    }
    const std::string target = TargetIn(place, item);
    switch (kind) {
      case RunKind::Install: {
        const bool inPlace = File_Exists(services_.system, target);
        // The share the copy takes and the tool's records go to the journal with the copy's.
        const journal::AfterCopy after{ShareToTake(target, inPlace),
                                       ToolComponent(target, true, item)};
        if (LocalFileCopy(item, target, after)) {
          NoteOtherBitness(place);
          if (after.share) (void)WriteShare(target, *after.share);
        }
        LocalRegUnreg(target, true, item);
        break;
      }
      case RunKind::OverwriteCopy:
        if (LocalFileCopy(item, target)) NoteOtherBitness(place);
        break;
      case RunKind::Remove:
        // A file that other programs count on stays registered for them.
        if (deleteFiles && !GiveBackShare(target)) break;
        LocalRegUnreg(target, false, item);
        if (deleteFiles) LocalFileRemove(target);
        break;
    }
  }
  recorder_.End();
  EndRun();
}

// Kalvenor takes one share of a file the first time it installs it: a new file has this install
// alone; one found in place with no count had one install before this one.
std::optional<journal::ShareChange> frmSetup::ShareToTake(const std::string& target, bool inPlace) {
  const platform::RegistryView view = CountView(target);
  const journal::SharedCount before = counts_->Read(CountName(target), view);
  if (inPlace && before.held && before.value) return std::nullopt;  // a repair: taken already
  journal::SharedCount after = before;
  after.value = !inPlace ? 1 : before.value ? *before.value + 1 : 2;
  after.held = true;
  return journal::ShareChange{before, after, view};
}

// Gives back Kalvenor's own share; false while other programs still count on the file, which
// then stays, registered, for them.
bool frmSetup::GiveBackShare(const std::string& target) {
  const journal::SharedCount before = counts_->Read(CountName(target), CountView(target));
  journal::SharedCount after = before;
  after.held = false;
  if (!before.value) return !before.held || ChangeShare(target, {before, after, CountView(target)});
  if (before.held) {
    after.value = *before.value > 1 ? std::optional(*before.value - 1) : std::nullopt;
    if (!ChangeShare(target, {before, after, CountView(target)})) return false;
    if (!after.value) return true;
  }
  BeginStep("keep", {}, target, "> Keeping file " + target);
  LogNote(before.held ? "its shared count is now " + std::to_string(*after.value) +
                            ": other installed programs count on it"
                      : "its shared count is " + std::to_string(*before.value) +
                            " and holds no install of Kalvenor's: the programs that installed it "
                            "count on it");
  return false;
}

bool frmSetup::ChangeShare(const std::string& target, const journal::ShareChange& change) {
  return Journaled(recorder_.BeforeShare(target, change)) && WriteShare(target, change);
}

bool frmSetup::WriteShare(const std::string& target, const journal::ShareChange& change) {
  platform::Status set = counts_->Write(CountName(target), change.after, change.view);
  if (set.ok()) return true;
  LogFailure("its shared count cannot be kept: " + set.error().message);
  return false;
}

// A listed file that is not there: a failed step, whose log line says so on its own.
void frmSetup::LogNotFound(const std::string& item) {
  BeginStep("not-found", item, {}, "> File not found " + item);
  Step().failed.emplace_back("File not found");
  stepFailed_ = true;
}

// Before each item and after the last, on the task-bar button: red once a step has failed.
void frmSetup::ShowProgress(std::size_t done, std::size_t total) {
  form_->SetProgress(stepFailed_ ? platform::Progress::Error : platform::Progress::Normal, done,
                     total);
}

}  // namespace kalvenor
