#pragma once
// The Setup window: a view of the runs the engine carries out. It renders the list, the modes,
// the hover help and each run's log, and hands every run to the engine as a plan built from its
// selection.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"
#include "help/frm_tooltip.h"
#include "platform/services.h"
#include "setup/selection.h"
#include "setup/setup_layout.h"

namespace kalvenor {

class frmSetup final : public platform::FormEvents, private engine::RunObserver {
 public:
  // The window of the program; or the window that shows one unattended run, which ends the
  // program at its done prompt and starts no run of its own.
  enum class Face { Window, Unattended };
  frmSetup(platform::Services& services, engine::Engine& engine, Selection& selection,
           Face face = Face::Window);
  ~frmSetup();

  platform::Form& Window() { return *form_; }
  frmToolTip& ToolTip() { return *tip_; }
  bool Done() const { return m_done; }
  const char* SilentSwitch() const { return selection_.SilentSwitch(); }

  // File list (file_list.cpp).
  bool Array_IsEmpty() const;
  void Arrray_Add(const std::string& p_item);
  void List_FillFromArray();

  // Operations log (operations_log.cpp).
  void txtOperationsAdd(std::string_view p_text);
  void List_OperationsDone();

  // File operations: the engine's steps, taken as the window's.
  bool LocalFileCopy(const std::string& source, const std::string& destination) {
    return engine_.LocalFileCopy(source, destination);
  }
  bool LocalFileRemove(const std::string& source) { return engine_.LocalFileRemove(source); }
  bool LocalRegUnreg(const std::string& source, bool regIt = true) {
    return engine_.LocalRegUnreg(source, regIt);
  }

 private:
  // Start-up and shutdown (frm_setup.cpp).
  void Form_Load();
  void Form_Click();
  void Form_KeyPress(int key);
  void cmdQuit_Click();
  void Form_Unload(bool& cancel);
  // Shows where the runs look for the tool; false when it is in neither place.
  bool FindRegistrationTool();
  // Gives the focus to `preferred`, or, when it cannot take it, to the first of the mode
  // toggle and Exit that can.
  void FocusOrFallback(platform::Control& preferred);
  // The done prompt's click or key: the list comes back, or an unattended run's window goes.
  void LeaveDonePrompt();

  // File list (file_list.cpp).
  void List_FillFromFolder();
  void List_Fill(std::vector<std::string> items);
  void Commands_Enable(bool p_fileCommands, bool p_otherCommands);

  // Modes and manual selection (modes.cpp).
  void chkAutoManual_Click();
  void chkSilent_Click();
  void cmdListAdd_Click();
  void cmdListClear_Click();
  bool ManualMode() const { return selection_.manual; }
  void ShowMode();
  static bool IsComponentName(std::string_view path) { return engine::IsComponentName(path); }

  // Drag and drop and the log's menu (drop_and_log_menu.cpp).
  void Form_DropFiles(const std::vector<std::string>& paths);
  void txtOperations_ContextMenu();
  void SaveLog();

  // Runs (runs.cpp): each a plan of the listed files, handed to the engine.
  void cmdInstall_Click();
  void cmdRemove_Click();
  void cmdBlindCopy_Click();
  void Run(engine::RunKind kind, std::string undoFolder = {});
  // The list a run borrowed, back where the window keeps it.
  void TakeListBack();
  static constexpr int kUndoLastRun = 1;
  // Verification of the listed files, which changes nothing.
  static constexpr int kCheckListed = 5;

  // Capture of the listed files (captures.cpp), one system menu entry for each kind of file.
  static constexpr int kCaptureWxs = 2, kCaptureReg = 3, kCaptureManifest = 4;
  void CaptureListed(int command);
  void OnRunBegin() override;
  void OnLogLine(std::string_view line) override { txtOperationsAdd(line); }
  void OnStep(const engine::StepRecord&) override {}
  void OnProgress(std::size_t done, std::size_t total, bool failed) override;
  void OnRunEnd(const engine::Outcome& outcome) override;

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
  engine::Engine& engine_;
  Selection& selection_;
  engine::Plan* lentTo_ = nullptr;  // the plan of the run that borrowed the list, while it runs
  const Face face_;
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

  bool m_done = false;  // a run has ended; the log shows the done prompt
};

}  // namespace kalvenor
