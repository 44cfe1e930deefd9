// The operations log: the running record of a run, shown in place of the file list.
#include "setup/frm_setup.h"

namespace kalvenor {

void frmSetup::txtOperationsAdd(std::string_view p_text) {
  std::string line(p_text);
  if (observer_) observer_->OnLogLine(line);
  line += "\r\n";
  txtOperations.Append(line);
}

void frmSetup::List_OperationsDone() {
  txtOperationsAdd("");
  txtOperationsAdd("Done. Click on the form or hit any key.");
  m_done = true;
}

}  // namespace kalvenor
