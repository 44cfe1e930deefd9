// The runs from the window: Install, Remove, Overwrite copy and Check over the listed files, and
// Undo of the run just shown (the log's menu) or of the newest in the store (the system menu), each
// handed to the engine and shown as it goes.
#include "setup/frm_setup.h"

namespace kalvenor {

void frmSetup::cmdInstall_Click() { Run(engine::RunKind::Install); }

void frmSetup::cmdRemove_Click() { Run(engine::RunKind::Remove); }

void frmSetup::cmdBlindCopy_Click() { Run(engine::RunKind::OverwriteCopy); }

// Remove deletes the copies in automatic mode only: files picked by hand may be others'.
void frmSetup::Run(engine::RunKind kind, std::string undoFolder) {
  // A run going on keeps the list it borrowed: a second one could only be refused.
  if (face_ != Face::Window || engine_.Busy()) return;
  // The run borrows the list, which a long one would otherwise hold twice. It is back before
  // the window is idle again (OnRunEnd), and however the run ends.
  engine::Plan plan{.kind = kind,
                    .items = std::move(selection_.listed),
                    .silent = selection_.silent,
                    .deleteFiles = !ManualMode(),
                    .undoFolder = std::move(undoFolder)};
  lentTo_ = &plan;
  try {
    (void)engine_.Run(plan);
  } catch (...) {
    TakeListBack();
    throw;
  }
  TakeListBack();
}

void frmSetup::TakeListBack() {
  if (!lentTo_) return;
  selection_.listed = std::move(lentTo_->items);
  lentTo_ = nullptr;
}

void frmSetup::OnRunBegin() {
  m_done = false;
  form_->AcceptDrops(false);
  Commands_Enable(false, false);
  txtOperations.SetText("");
  fileList.SetVisible(false);
  txtOperations.SetVisible(true);
}

void frmSetup::OnProgress(std::size_t done, std::size_t total, bool failed) {
  form_->SetProgress(failed ? platform::Progress::Error : platform::Progress::Normal, done, total);
}

void frmSetup::OnRunEnd(const engine::Outcome&) {
  TakeListBack();
  List_OperationsDone();
  form_->SetProgress(platform::Progress::None, 0, 0);
  if (!form_->IsForeground()) form_->FlashUntilActive();
  if (face_ == Face::Window) form_->AcceptDrops(true);
}

void frmSetup::OnSystemMenuCommand(int command) {
  if (engine_.Busy() || face_ != Face::Window) return;
  if (command == kCheckListed) {
    if (!selection_.listed.empty()) return Run(engine::RunKind::Verify);
    services_.toolkit.MsgBox(*form_, "There is no file listed to check.",
                             services_.system.App().title, platform::MsgBoxStyle::Critical);
    return;
  }
  if (command != kUndoLastRun) return CaptureListed(command);
  const std::optional<std::string> last = engine_.LastRunInStore();
  if (!last) {
    services_.toolkit.MsgBox(*form_, "There is no run to undo.", services_.system.App().title,
                             platform::MsgBoxStyle::Critical);
    return;
  }
  Run(engine::RunKind::Undo, *last);
}

}  // namespace kalvenor
