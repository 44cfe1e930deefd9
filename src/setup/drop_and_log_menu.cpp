// Files dropped onto the window, and the log's menu: copying it and saving it to a file.

#include "base/text.h"
#include "lib/lib_filesystem.h"
#include "setup/frm_setup.h"

namespace kalvenor {

// A drop is a manual pick of many files at once: in automatic mode it first switches to manual
// mode as the toggle does, and at the done prompt it brings the list back as a click does,
// since the user is plainly done reading the log.
void frmSetup::Form_DropFiles(const std::vector<std::string>& paths) {
  if (engine_.Busy() || face_ != Face::Window) return;
  const bool wasDone = std::exchange(m_done, false);
  if (!ManualMode()) {
    chkAutoManual_Click();
  } else if (wasDone) {
    ShowMode();
  }
  for (const std::string& dropped : paths) {
    const std::string path = TrimBlanks(dropped);
    if (path.empty()) continue;
    if (!services_.system.Dir(path, platform::DirAttributes::Folders).empty()) {
      for (std::string& component : engine_.ComponentsIn(path).components) {
        selection_.m_fileArray.push_back(std::move(component));
      }
    } else if (IsComponentName(path)) {
      selection_.m_fileArray.push_back(engine_.LongName(path));
    }
  }
  List_FillFromArray();
}

void frmSetup::txtOperations_ContextMenu() {
  std::vector<std::string> items{"Copy all", "Save as..."};
  if (m_done && face_ == Face::Window && !engine_.Undoable().empty()) {
    items.push_back("Undo this run");
  }
  const std::optional<std::size_t> chosen = services_.toolkit.PopupMenu(*form_, items);
  if (chosen == 0) {
    const platform::Status copied =
        services_.toolkit.SetClipboardText(*form_, txtOperations.Text());
    if (!copied.ok()) {
      services_.toolkit.MsgBox(*form_, "The log could not be copied: " + copied.error().message,
                               services_.system.App().title, platform::MsgBoxStyle::Critical);
    }
  } else if (chosen == 1) {
    SaveLog();
  } else if (chosen == 2) {
    Run(engine::RunKind::Undo, engine_.Undoable());
  }
}

// The log's lines already end in CR LF and are UTF-8: the file is the text as it stands.
void frmSetup::SaveLog() {
  const platform::LocalTime now = services_.system.Now();
  const std::string name = "kalvenor-" + Padded(now.year, 4) + Padded(now.month, 2) +
                           Padded(now.day, 2) + "-" + Padded(now.hour, 2) + Padded(now.minute, 2) +
                           Padded(now.second, 2) + ".log";
  const std::optional<std::string> path =
      services_.toolkit.FileSaveDialog(*form_, {.title = "Save the log",
                                                .filterName = "Log files (*.log)",
                                                .filterPattern = "*.log",
                                                .defaultExtension = "log",
                                                .initialDir = services_.system.DocumentsFolder(),
                                                .fileName = name});
  if (!path) return;
  const platform::Status written =
      File_WriteReplacing(services_.system, *path, txtOperations.Text());
  if (!written.ok()) {
    services_.toolkit.MsgBox(
        *form_, "The log could not be saved to " + *path + ": " + written.error().message,
        services_.system.App().title, platform::MsgBoxStyle::Critical);
  }
}

void frmSetup::OnDropFiles(const std::vector<std::string>& paths) { Form_DropFiles(paths); }

void frmSetup::OnContextMenu(int controlId) {
  if (static_cast<SetupId>(controlId) == SetupId::txtOperations) txtOperations_ContextMenu();
}

}  // namespace kalvenor
