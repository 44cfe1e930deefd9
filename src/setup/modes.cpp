// Automatic and manual mode, the silent switch and the manual selection.
#include "lib/lib_dialog_fileopen.h"
#include "lib/text.h"
#include "setup/frm_setup.h"

namespace kalvenor {
bool frmSetup::ManualMode() const { return chkAutoManual.Value() == 1; }

void frmSetup::chkAutoManual_Click() {
  txtOperations.SetVisible(false);
  fileList.SetVisible(true);
  if (ManualMode()) {
    chkAutoManual.SetCaption("M&anual mode on");
    chkAutoManual.SetPicture(imgManual.GetPicture());
    cmdListAdd.SetVisible(true);
    cmdListClear.SetVisible(true);
    List_FillFromArray();
    FocusOrFallback(cmdListAdd);
  } else {
    chkAutoManual.SetCaption("&Automatic mode on");
    chkAutoManual.SetPicture(imgAutomatic.GetPicture());
    cmdListAdd.SetVisible(false);
    cmdListClear.SetVisible(false);
    List_FillFromFolder();
    FocusOrFallback(cmdBlindCopy);
  }
}

void frmSetup::chkSilent_Click() { m_silentSwitch = chkSilent.Value() == 1 ? " /s " : " "; }

void frmSetup::cmdListAdd_Click() {
  const std::string path =
      TrimBlanks(Dialog_FileOpen(services_.toolkit, *form_, "Select DLL or OCX", "*.*",
                                 "Select DLL or OCX to be installed", services_.system.CurDir()));
  if (path.empty()) return;
  if (IsComponentName(path)) Arrray_Add(path);
}

bool frmSetup::IsComponentName(std::string_view path) {
  // Only the last three characters count, in any letter case, as the automatic list matches
  // them: legacy controls are often named in capitals.
  const std::string ending = AsciiLower(path.size() >= 3 ? path.substr(path.size() - 3) : path);
  return ending == "ocx" || ending == "dll";
}

void frmSetup::cmdListClear_Click() {
  m_fileArray = {};
  fileList.Clear();
  Commands_Enable(fileList.ListCount() > 0, true);
}

}  // namespace kalvenor
