// The file list and the enabling of the commands.
#include <initializer_list>

#include "setup/frm_setup.h"

namespace kalvenor {

bool frmSetup::Array_IsEmpty() const { return selection_.m_fileArray.empty(); }

// Each file by its long name, as a run compares it and makes its target.
void frmSetup::Arrray_Add(const std::string& p_item) {
  selection_.m_fileArray.push_back(engine_.LongName(p_item));
  List_FillFromArray();
}

void frmSetup::List_FillFromArray() { List_Fill(selection_.m_fileArray); }

void frmSetup::List_FillFromFolder() {
  List_Fill(engine_.ComponentsIn(services_.system.App().path).components);
}

void frmSetup::List_Fill(std::vector<std::string> items) {
  selection_.listed = std::move(items);
  const platform::ListBox::Refill refill(fileList);
  fileList.Clear();
  for (const std::string& item : selection_.listed) fileList.AddItem(item);
  Commands_Enable(!selection_.listed.empty(), true);
}

void frmSetup::Commands_Enable(bool p_fileCommands, bool p_otherCommands) {
  using Group = std::initializer_list<platform::Control*>;
  for (platform::Control* command : Group{&cmdInstall, &cmdRemove, &cmdBlindCopy, &cmdListClear}) {
    command->SetEnabled(p_fileCommands);
  }
  for (platform::Control* command : Group{&cmdListAdd, &cmdQuit, &chkAutoManual, &chkSilent}) {
    command->SetEnabled(p_otherCommands);
  }
}

}  // namespace kalvenor
