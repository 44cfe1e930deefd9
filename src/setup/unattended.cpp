// The runs the command line asks for: the same runs as the window's, over the files and
// folders given, as a drop takes them.
#include "journal/journal.h"
#include "setup/frm_setup.h"

namespace kalvenor {

void frmSetup::RunUnattended(Command command, const std::vector<std::string>& items, bool quiet) {
  if (quiet) {
    chkSilent.SetValue(1);
    chkSilent_Click();
  }
  if (!toolFound_) {
    if (!BeginRun()) return;
    LogFailure(kToolMissing);
    return EndRun();
  }
  if (command == Command::Undo) {
    if (const auto last = journal::Store(services_.system).LastRun()) return UndoRunIn(*last);
    if (!BeginRun()) return;
    txtOperationsAdd("> Undoing the last run");
    LogFailure("there is no run to undo");
    return EndRun();
  }
  Form_DropFiles(items);
  switch (command) {
    case Command::Install: return Run(RunKind::Install);
    case Command::Remove: return Run(RunKind::Remove, true);
    case Command::Unregister: return Run(RunKind::Remove, false);
    case Command::Copy: return Run(RunKind::OverwriteCopy);
    case Command::Undo: break;
  }
}

}  // namespace kalvenor
