// The three runs over the listed files: Install, Remove and Overwrite copy.
#include "lib/lib_filesystem.h"
#include "setup/frm_setup.h"

namespace kalvenor {

void frmSetup::cmdInstall_Click() { Run(RunKind::Install); }

void frmSetup::cmdRemove_Click() { Run(RunKind::Remove); }

void frmSetup::cmdBlindCopy_Click() { Run(RunKind::OverwriteCopy); }

std::string frmSetup::TargetOf(const std::string& item) const {
  return lblWinSystem.Caption() + "\\" + File_GetName(item);
}

void frmSetup::Run(RunKind kind) {
  busy_ = true;
  stepFailed_ = false;
  form_->AcceptDrops(false);
  Commands_Enable(false, false);
  txtOperations.SetText("");
  fileList.SetVisible(false);
  txtOperations.SetVisible(true);

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
      case RunKind::Install:
        LocalFileCopy(item, target);
        LocalRegUnreg(target, true, item);
        break;
      case RunKind::OverwriteCopy: LocalFileCopy(item, target); break;
      case RunKind::Remove:
        LocalRegUnreg(target, false, item);
        if (chkAutoManual.Value() == 0) LocalFileRemove(target);
        break;
    }
  }

  List_OperationsDone();
  form_->SetProgress(platform::Progress::None, 0, 0);
  if (!form_->IsForeground()) form_->FlashUntilActive();
  form_->AcceptDrops(true);
  busy_ = false;
}

// Before each item and after the last, on the task-bar button: red once a step has failed.
void frmSetup::ShowProgress(std::size_t done, std::size_t total) {
  form_->SetProgress(stepFailed_ ? platform::Progress::Error : platform::Progress::Normal, done,
                     total);
}

}  // namespace kalvenor
