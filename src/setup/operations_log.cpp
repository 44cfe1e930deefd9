// The operations log: the running record of a run, shown in place of the file list. Its lines
// are the engine's, as the run adds them.
#include "setup/frm_setup.h"

namespace kalvenor {

void frmSetup::txtOperationsAdd(std::string_view p_text) {
  std::string line(p_text);
  line += "\r\n";
  txtOperations.Append(line);
}

void frmSetup::List_OperationsDone() { m_done = true; }

}  // namespace kalvenor
