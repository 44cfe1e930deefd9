// Automatic and manual mode, the silent switch and the manual selection.
#include "base/text.h"
#include "lib/lib_dialog_fileopen.h"
#include "setup/frm_setup.h"

namespace kalvenor {

void frmSetup::chkAutoManual_Click() {
  selection_.manual = !selection_.manual;
  chkAutoManual.SetValue(selection_.manual ? 1 : 0);
  ShowMode();
}

// The list of the mode the selection is in, with the mode's caption, picture and buttons.
void frmSetup::ShowMode() {
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

void frmSetup::chkSilent_Click() {
  selection_.silent = !selection_.silent;
  chkSilent.SetValue(selection_.silent ? 1 : 0);
}

void frmSetup::cmdListAdd_Click() {
  const std::string path =
      TrimBlanks(Dialog_FileOpen(services_.toolkit, *form_, "Select DLL or OCX", "*.*",
                                 "Select DLL or OCX to be installed", services_.system.CurDir()));
  if (path.empty()) return;
  if (IsComponentName(path)) Arrray_Add(path);
}

void frmSetup::cmdListClear_Click() {
  selection_.m_fileArray = {};
  List_Fill({});
}

}  // namespace kalvenor
