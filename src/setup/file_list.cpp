// The file list and the enabling of the commands.
#include <initializer_list>

#include "setup/frm_setup.h"

namespace kalvenor {

bool frmSetup::Array_IsEmpty() const { return m_fileArray.empty(); }

void frmSetup::Arrray_Add(const std::string& p_item) {
  m_fileArray.push_back(p_item);
  List_FillFromArray();
}

void frmSetup::List_FillFromArray() {
  const platform::ListBox::Refill refill(fileList);
  fileList.Clear();
  for (const std::string& item : m_fileArray) fileList.AddItem(item);
  Commands_Enable(fileList.ListCount() > 0, true);
}

std::vector<std::string> frmSetup::ComponentsIn(const std::string& folder) const {
  std::vector<std::string> paths;
  for (const char* pattern : {"\\*.dll", "\\*.ocx"}) {
    for (const std::string& name :
         services_.system.Dir(folder + pattern, platform::DirAttributes::Normal)) {
      paths.push_back(folder + "\\" + name);
    }
  }
  return paths;
}

void frmSetup::List_FillFromFolder() {
  const platform::ListBox::Refill refill(fileList);
  fileList.Clear();
  for (const std::string& path : ComponentsIn(services_.system.App().path)) {
    fileList.AddItem(path);
  }
  Commands_Enable(fileList.ListCount() > 0, true);
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
