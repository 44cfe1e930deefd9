// Undo from the window: "Undo this run" in the log's menu at the done prompt, and "Undo the
// last run" in the system menu, which works from the store after a restart of the program or a
// run cut short. Undo is a run of its own: its steps show in the log, and it ends at the done
// prompt.
#include "journal/journal.h"
#include "journal/undo.h"
#include "setup/frm_setup.h"

namespace kalvenor {

void frmSetup::UndoRunIn(std::string folder) {
  m_done = false;
  if (!BeginRun()) return;
  undoable_.clear();
  journal::UndoRun(services_.system, *this, folder);
  EndRun();
}

void frmSetup::Begin(std::string_view kind, const std::string& target, std::string_view line,
                     std::optional<std::uint32_t> count) {
  // The run being undone is where its step starts from.
  if (kind == "undo") {
    BeginStep(kind, target, {}, line);
  } else {
    BeginStep(kind, {}, target, line);
  }
  Step().count = count;
}

void frmSetup::OnSystemMenuCommand(int command) {
  if (command != kUndoLastRun || busy_) return;
  const std::optional<std::string> last = journal::Store(services_.system).LastRun();
  if (!last) {
    services_.toolkit.MsgBox(*form_, "There is no run to undo.", services_.system.App().title,
                             platform::MsgBoxStyle::Critical);
    return;
  }
  UndoRunIn(*last);
}

}  // namespace kalvenor
