// The runs the command line asks for: the same runs as the window's, over the components of the
// files and folders given.
#include <set>
#include <utility>

#include "journal/journal.h"
#include "lib/lib_filesystem.h"
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
    BeginStep("undo", {}, {}, "> Undoing the last run");
    LogFailure("there is no run to undo");
    return EndRun();
  }
  ListUnattended(items);
  // Nothing to run is no success: the run ends with the failed steps, before any journal.
  if (m_fileArray.empty()) {
    if (!BeginRun()) return;
    LogUnlisted();
    return EndRun();
  }
  switch (command) {
    case Command::Install: return Run(RunKind::Install);
    case Command::Remove: return Run(RunKind::Remove, true);
    case Command::Unregister: return Run(RunKind::Remove, false);
    case Command::Copy: return Run(RunKind::OverwriteCopy);
    case Command::Undo: break;
  }
}

void frmSetup::ListUnattended(const std::vector<std::string>& items) {
  if (!ManualMode()) {
    chkAutoManual.SetValue(1);
    chkAutoManual_Click();
  }
  m_fileArray.clear();
  unlisted_.clear();
  // Full paths, compared as Windows compares file names.
  std::set<std::string> seen;
  const auto firstTime = [&](const std::string& path) {
    return seen.insert(services_.system.LowerCase(path)).second;
  };
  for (const std::string& item : items) {
    if (!firstTime(item)) continue;
    if (!services_.system.Dir(item, platform::DirAttributes::Folders).empty()) {
      const std::vector<std::string> components = ComponentsIn(item);
      if (components.empty()) {
        unlisted_.push_back({item, "> Adding folder ", "it holds no .dll or .ocx file"});
      }
      for (const std::string& component : components) {
        if (firstTime(component)) m_fileArray.push_back(component);
      }
    } else if (!File_Exists(services_.system, item)) {
      unlisted_.push_back({item, "> File not found ", ""});
    } else if (IsComponentName(item)) {
      m_fileArray.push_back(item);
    } else {
      unlisted_.push_back({item, "> Adding file ", "it is no .dll or .ocx file"});
    }
  }
  List_FillFromArray();
}

void frmSetup::LogUnlisted() {
  for (const Unlisted& unlisted : std::exchange(unlisted_, {})) {
    if (unlisted.why.empty()) {
      LogNotFound(unlisted.item);
    } else {
      BeginStep("add", unlisted.item, {}, unlisted.step + unlisted.item);
      LogFailure(unlisted.why);
    }
  }
}

}  // namespace kalvenor
