// The three runs over the listed files: Install, Remove and Overwrite copy.
#include "lib/lib_filesystem.h"
#include "setup/frm_setup.h"

namespace kalvenor {

void frmSetup::cmdInstall_Click() { Run(RunKind::Install); }

void frmSetup::cmdRemove_Click() { Run(RunKind::Remove, chkAutoManual.Value() == 0); }

void frmSetup::cmdBlindCopy_Click() { Run(RunKind::OverwriteCopy); }

std::string frmSetup::TargetOf(const std::string& item) const {
  return lblWinSystem.Caption() + "\\" + File_GetName(item);
}

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
  if (!store.Notice().empty()) txtOperationsAdd("|      " + store.Notice());
  runLock_ = services_.system.LockRuns();
  refused_ = runLock_ == nullptr;
  if (refused_) {
    LogFailure("another Kalvenor run is in progress: try again when it has ended");
    EndRun();
  }
  return !refused_;
}

void frmSetup::EndRun() {
  if (restartNeeded_) {
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
  if (!journaled.ok())
    txtOperationsAdd("|      failed: this run cannot be undone: " + journaled.error().message);
  undoable_ = recorder_.Active() ? recorder_.Folder() : std::string();

  const std::size_t count = fileList.ListCount();
  for (std::size_t i = 0; i < count; ++i) {
    ShowProgress(i, count);
    const std::string item = fileList.List(i);
    if (!File_Exists(services_.system, item)) {
      txtOperationsAdd("> File not found " + item);
      stepFailed_ = true;
      continue;
    }
    const std::string target = TargetOf(item);
    switch (kind) {
      case RunKind::Install: {
        const bool inPlace = File_Exists(services_.system, target);
        if (LocalFileCopy(item, target)) CountInstall(target, inPlace);
        LocalRegUnreg(target, true, item);
        break;
      }
      case RunKind::OverwriteCopy: LocalFileCopy(item, target); break;
      case RunKind::Remove:
        LocalRegUnreg(target, false, item);
        if (deleteFiles && CountRemoval(target)) LocalFileRemove(target);
        break;
    }
  }
  recorder_.End();
  EndRun();
}

// As installers count a shared file: one more install; a file found in place with no count
// had one install before this one; a new file has this one alone.
void frmSetup::CountInstall(const std::string& target, bool inPlace) {
  const std::optional<std::uint32_t> count = journal::SharedCount(services_.system, target);
  const std::uint32_t now = !inPlace ? 1 : count ? *count + 1 : 2;
  if (!Journaled(recorder_.BeforeCount(target, count))) return;
  platform::Status set = journal::SetSharedCount(services_.system, target, now);
  if (!set.ok()) LogFailure("its shared count cannot be kept: " + set.error().message);
}

// One install fewer; false while other installs still count on the file, which then stays.
bool frmSetup::CountRemoval(const std::string& target) {
  const std::optional<std::uint32_t> count = journal::SharedCount(services_.system, target);
  if (!count) return true;
  if (!Journaled(recorder_.BeforeCount(target, count))) return false;
  const std::optional<std::uint32_t> now = *count > 1 ? std::optional(*count - 1) : std::nullopt;
  platform::Status set = journal::SetSharedCount(services_.system, target, now);
  if (!set.ok()) LogFailure("its shared count cannot be kept: " + set.error().message);
  if (!now) return true;
  txtOperationsAdd("> Keeping file " + target);
  txtOperationsAdd("|      its shared count is now " + std::to_string(*now) +
                   ": other installed programs count on it");
  return false;
}

// Before each item and after the last, on the task-bar button: red once a step has failed.
void frmSetup::ShowProgress(std::size_t done, std::size_t total) {
  form_->SetProgress(stepFailed_ ? platform::Progress::Error : platform::Progress::Normal, done,
                     total);
}

}  // namespace kalvenor
