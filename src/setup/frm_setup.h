#pragma once
// The Setup window: the program's main window and all of its behaviour.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "help/frm_tooltip.h"
#include "journal/recorder.h"
#include "journal/shares.h"
#include "journal/undo.h"
#include "platform/services.h"
#include "setup/run_observer.h"
#include "setup/setup_layout.h"

namespace kalvenor {

class frmSetup final : public platform::FormEvents, private journal::UndoSteps {
 public:
  // Loads the window and runs its start-up; an unattended run may keep it hidden.
  explicit frmSetup(platform::Services& services, bool visible = true);

  platform::Form& Window() { return *form_; }
  frmToolTip& ToolTip() { return *tip_; }
  bool Done() const { return m_done; }
  const std::string& SilentSwitch() const { return m_silentSwitch; }

  // Unattended runs, as the command line asks for them (unattended.cpp): a folder stands for
  // the components directly in it. Each item must give at least one component, and a run with
  // none runs nothing and keeps no journal. A quiet run has the tool run with /s.
  enum class Command { Install, Remove, Unregister, Copy, Undo };
  void RunUnattended(Command command, const std::vector<std::string>& items, bool quiet);
  void SetRunObserver(RunObserver* observer) { observer_ = observer; }
  // How the last run ended.
  struct Outcome {
    bool refused = false;  // another run held the run lock
    bool failed = false;
    bool restartNeeded = false;
  };
  Outcome LastOutcome() const { return {refused_, stepFailed_, restartNeeded_}; }

  // File list (file_list.cpp).
  bool Array_IsEmpty() const;
  void Arrray_Add(const std::string& p_item);
  void List_FillFromArray();

  // Operations log (operations_log.cpp).
  void txtOperationsAdd(std::string_view p_text);
  void List_OperationsDone();
  // A step's first line ("> ..."), and the lines under it ("|      ..."); each also goes into
  // the step's record.
  void BeginStep(std::string_view kind, std::string source, std::string target,
                 std::string_view line);
  void LogNote(std::string_view note);
  void LogCause(std::string_view cause);
  void LogFailure(std::string_view why);

  // File operations (file_operations.cpp).
  // Each true when the step worked.
  // `after`: what the step does once the copy is in place (an Install's share and tool).
  bool LocalFileCopy(const std::string& source, const std::string& destination,
                     const journal::AfterCopy& after = {});
  bool LocalFileRemove(const std::string& source);
  // `listed` is the listed file that `source` was copied from, when another: where the
  // component's own DLLs may lie, should the tool fail on it.
  bool LocalRegUnreg(const std::string& source, bool regIt = true, const std::string& listed = {});
  // The component as the tool that registers or unregisters it sees it.
  inspect::Component ToolComponent(const std::string& source, bool regIt,
                                   const std::string& listed) const;

 private:
  // Start-up and shutdown (frm_setup.cpp).
  void Form_Load();
  void Form_Click();
  void Form_KeyPress(int key);
  void cmdQuit_Click();
  void Form_Unload(bool& cancel);
  // False when the tool is in neither place.
  bool FindRegistrationTool();
  // Gives the focus to `preferred`, or, when it cannot take it, to the first of the mode
  // toggle and Exit that can.
  void FocusOrFallback(platform::Control& preferred);

  // File list (file_list.cpp).
  void List_FillFromFolder();
  // The .dll and .ocx files directly in `folder`, as the automatic list holds them.
  std::vector<std::string> ComponentsIn(const std::string& folder) const;
  void Commands_Enable(bool p_fileCommands, bool p_otherCommands);

  // Modes and manual selection (modes.cpp).
  void chkAutoManual_Click();
  void chkSilent_Click();
  void cmdListAdd_Click();
  void cmdListClear_Click();
  bool ManualMode() const;
  // The ending check of a picked or dropped file: its last three characters, in any letter case.
  static bool IsComponentName(std::string_view path);

  // Drag and drop and the log's menu (drop_and_log_menu.cpp).
  void Form_DropFiles(const std::vector<std::string>& paths);
  void txtOperations_ContextMenu();
  void SaveLog();

  // Runs (runs.cpp).
  void cmdInstall_Click();
  void cmdRemove_Click();
  void cmdBlindCopy_Click();
  enum class RunKind { Install, Remove, OverwriteCopy };
  // `deleteFiles`: Remove deletes the copies it unregistered.
  void Run(RunKind kind, bool deleteFiles = false);
  // What every run, Undo too, does first and last; false when another run holds the lock, and
  // this one ends at once.
  bool BeginRun();
  void EndRun();
  std::optional<journal::ShareChange> ShareToTake(const std::string& target, bool inPlace);
  bool GiveBackShare(const std::string& target);
  // False, with a failed line, when the count could not be journaled or written.
  bool ChangeShare(const std::string& target, const journal::ShareChange& change);
  bool WriteShare(const std::string& target, const journal::ShareChange& change);
  void LogNotFound(const std::string& item);
  void ShowProgress(std::size_t done, std::size_t total);
  // False, with a failed line, when the record a step needs could not be written.
  bool Journaled(const platform::Status& recorded);
  platform::Status ReplaceInUse(const std::string& source, const std::string& target);
  void LogSetAside(const journal::SetAside& setAside, std::string_view after);
  static std::string ToolCommandWord(const std::string& tool);

  // Undo (undo_commands.cpp): of the run just shown, or of the newest in the store.
  static constexpr int kUndoLastRun = 1;
  void UndoRunIn(std::string folder);
  void Begin(std::string_view kind, const std::string& target, std::string_view line,
             std::optional<std::uint32_t> count) override;
  void Note(std::string_view note) override { LogNote(note); }
  void Failed(std::string_view why) override { LogFailure(why); }
  bool CopyBack(const std::string& backup, const std::string& target) override {
    return LocalFileCopy(backup, target);
  }
  bool Delete(const std::string& target) override { return LocalFileRemove(target); }
  bool Registration(const std::string& target, bool registering) override {
    return LocalRegUnreg(target, registering);
  }

  // Unattended runs (unattended.cpp): lists the components of the items, each once, and keeps
  // a failed step for each item that gives none, which the run logs first (LogUnlisted).
  void ListUnattended(const std::vector<std::string>& items);
  void LogUnlisted();

  // Where a component goes and which tool registers it (placement.cpp).
  struct Placement {
    std::string systemDir, tool;
    inspect::Machine machine = inspect::Machine::Unknown;  // the tool's; Unknown: the program's
    bool missing = false;  // this Windows has no system directory of that bitness
    bool Other() const { return machine != inspect::Machine::Unknown; }
  };
  void FindOtherSystemDir();
  Placement OwnPlace() const;
  // By the file's bitness, and by the folder a target lies in.
  Placement PlacementOf(const std::string& item) const;
  Placement PlacementOfTarget(const std::string& target) const;
  std::string TargetIn(const Placement& place, const std::string& item) const;
  std::string CountName(const std::string& target) const;
  platform::RegistryView CountView(const std::string& target) const;
  void LogNoSystemDir(const std::string& item);
  void NoteOtherBitness(const Placement& place);

  // The step going on (operations_log.cpp).
  void OpenStep(std::string_view kind, std::string source, std::string target);
  void EndStep();
  StepRecord& Step();

  // Hover help (hover_help.cpp).
  void ShowToolTip(int i);

  // Events from the toolkit (frm_setup.cpp).
  void OnClick(int controlId) override;
  void OnMouseMove(int controlId) override;
  void OnKeyPress(int key) override;
  void OnUnload(bool& cancel) override;
  void OnDropFiles(const std::vector<std::string>& paths) override;
  void OnContextMenu(int controlId) override;
  void OnSystemMenuCommand(int command) override;

  platform::Services& services_;
  std::unique_ptr<platform::Form> form_;
  std::unique_ptr<frmToolTip> tip_;

  platform::TextBox& txtOperations;
  platform::Control& cmdListClear;
  platform::CheckBox& chkSilent;
  platform::Control& cmdListAdd;
  platform::Control& cmdQuit;
  platform::Control& cmdBlindCopy;
  platform::CheckBox& chkAutoManual;
  platform::ListBox& fileList;
  platform::Control& cmdRemove;
  platform::Control& cmdInstall;
  platform::Image& imgManual;
  platform::Image& imgAutomatic;
  platform::Control& lblWinSystem;
  platform::Control& lblRegsvrFile;

  std::vector<std::string> m_fileArray;  // the files picked in manual mode, in picking order
  std::string m_silentSwitch;            // " /s " or " ", just before the quoted path
  bool m_done = false;                   // a run has ended; the log shows the done prompt
  bool busy_ = false;                    // a run is going on: closing must wait
  bool stepFailed_ = false;              // a step of the run going on has failed
  journal::Recorder recorder_;           // the journal of the run going on, or of the last one
  std::optional<journal::SharedCounts> counts_;  // as the run going on reads and writes them
  bool restartNeeded_ = false;                   // a file in use goes at the next restart
  std::string undoable_;                         // the journal of the run the log shows, if any
  std::unique_ptr<platform::RunLock> runLock_;   // held during a run
  bool refused_ = false;             // the last run did not start: another held the lock
  RunObserver* observer_ = nullptr;  // follows the runs besides the window, if any
  std::optional<StepRecord> step_;   // the step going on, for the observer
  bool visible_ = true;
  bool toolFound_ = false;  // the registration tool is where the runs look for it
  Placement otherPlace_;    // the other bitness's system directory and tool
  // The failed steps of the items given to an unattended run that are not on its list: the
  // item, the start of its step's line, and why it failed (empty for a missing item, whose step
  // line says it).
  struct Unlisted {
    std::string item, step, why;
  };
  std::vector<Unlisted> unlisted_;
  static constexpr char kToolMissing[] = "File not found: \\regsvr32.exe in system directory";
};

}  // namespace kalvenor
