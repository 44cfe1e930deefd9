// Start-up, shutdown and the event dispatch of the Setup window.
#include "setup/frm_setup.h"

#include "lib/lib_filesystem.h"
#include "lib/lib_forms.h"
#include "lib/text.h"

namespace kalvenor {
namespace {

constexpr int kEscape = 27;

}  // namespace

frmSetup::frmSetup(platform::Services& services, bool visible)
    : services_(services),
      form_(services.toolkit.CreateForm(SetupFormDescription(), *this)),
      txtOperations(form_->TextBoxItem(Id(SetupId::txtOperations))),
      cmdListClear(form_->Item(Id(SetupId::cmdListClear))),
      chkSilent(form_->CheckBoxItem(Id(SetupId::chkSilent))),
      cmdListAdd(form_->Item(Id(SetupId::cmdListAdd))),
      cmdQuit(form_->Item(Id(SetupId::cmdQuit))),
      cmdBlindCopy(form_->Item(Id(SetupId::cmdBlindCopy))),
      chkAutoManual(form_->CheckBoxItem(Id(SetupId::chkAutoManual))),
      fileList(form_->ListBoxItem(Id(SetupId::fileList))),
      cmdRemove(form_->Item(Id(SetupId::cmdRemove))),
      cmdInstall(form_->Item(Id(SetupId::cmdInstall))),
      imgManual(form_->ImageItem(Id(SetupId::imgManual))),
      imgAutomatic(form_->ImageItem(Id(SetupId::imgAutomatic))),
      lblWinSystem(form_->Item(Id(SetupId::lblWinSystem))),
      lblRegsvrFile(form_->Item(Id(SetupId::lblRegsvrFile))),
      recorder_(services.system),
      visible_(visible) {
  Form_Load();
}

void frmSetup::Form_Load() {
  tip_ = std::make_unique<frmToolTip>(services_);
  tip_->Hide();

  txtOperations.Move(fileList.Bounds());
  MakeRoomForCaptions(*form_);

  platform::Rect place = form_->Bounds();
  place.left = 2000;
  place.top = 2000;
  form_->Move(place);

  const platform::AppInfo& app = services_.system.App();
  form_->SetCaption(app.title + " " + std::to_string(app.major) + "." + std::to_string(app.minor) +
                    "." + std::to_string(app.revision));
  if (visible_) form_->Show();

  chkAutoManual.SetValue(0);
  chkAutoManual_Click();
  chkSilent_Click();
  FocusOrFallback(cmdBlindCopy);

  // Drops pick files for the runs, which need the tool.
  toolFound_ = FindRegistrationTool();
  FindOtherSystemDir();
  if (toolFound_) form_->AcceptDrops(true);
  form_->AddSystemMenuCommand(kUndoLastRun, "Undo the last run");
}

// The system directory is WINDIR followed by \system, or by \system32 when only that one holds
// the registration tool. Only these two places are tried. The labels are set once, to the place
// found or else to the first one tried: nothing is drawn in between.
bool frmSetup::FindRegistrationTool() {
  const std::string windir = services_.system.Environ("WINDIR").value_or("");
  std::string folder = TrimBlanks(services_.system.LowerCase(windir + "\\SYSTEM"));
  bool found = File_Exists(services_.system, folder + "\\regsvr32.exe");
  if (!found && File_Exists(services_.system, folder + "32" + "\\regsvr32.exe")) {
    folder += "32";
    found = true;
  }
  lblWinSystem.SetCaption(folder);
  lblRegsvrFile.SetCaption(folder + "\\regsvr32.exe");
  if (found) return true;

  cmdInstall.SetEnabled(false);
  cmdRemove.SetEnabled(false);
  cmdBlindCopy.SetEnabled(false);
  chkAutoManual.SetEnabled(false);
  // The default title of a message box is the program's title. A quiet unattended run shows
  // no window, so no box either: its log says it instead.
  if (visible_) {
    services_.toolkit.MsgBox(*form_, kToolMissing, services_.system.App().title,
                             platform::MsgBoxStyle::Critical);
  }
  // The runs are gone; leaving is what remains, so Exit takes the focus they had.
  (void)cmdQuit.SetFocus();
  return false;
}

void frmSetup::FocusOrFallback(platform::Control& preferred) {
  if (preferred.SetFocus()) return;
  if (chkAutoManual.SetFocus()) return;
  (void)cmdQuit.SetFocus();
}

void frmSetup::Form_Click() {
  if (m_done) {
    m_done = false;
    chkAutoManual_Click();
  }
}

void frmSetup::Form_KeyPress(int key) {
  if (m_done) {
    m_done = false;
    chkAutoManual_Click();
  } else if (key == kEscape && !busy_) {
    cmdQuit_Click();
  }
}

void frmSetup::cmdQuit_Click() { form_->Unload(); }

void frmSetup::Form_Unload(bool& cancel) {
  // A run cut off half-way would leave a file copied but not registered.
  if (busy_) {
    cancel = true;
    return;
  }
  Forms_UnloadAll(services_.toolkit);
}

void frmSetup::OnClick(int controlId) {
  switch (static_cast<SetupId>(controlId)) {
    case SetupId::cmdInstall: return cmdInstall_Click();
    case SetupId::cmdRemove: return cmdRemove_Click();
    case SetupId::cmdBlindCopy: return cmdBlindCopy_Click();
    case SetupId::cmdQuit: return cmdQuit_Click();
    case SetupId::chkAutoManual: return chkAutoManual_Click();
    case SetupId::chkSilent: return chkSilent_Click();
    case SetupId::cmdListAdd: return cmdListAdd_Click();
    case SetupId::cmdListClear: return cmdListClear_Click();
    default:
      if (controlId == kSurface) Form_Click();
  }
}

void frmSetup::OnMouseMove(int controlId) {
  switch (static_cast<SetupId>(controlId)) {
    case SetupId::cmdInstall: return ShowToolTip(1);
    case SetupId::cmdRemove: return ShowToolTip(2);
    case SetupId::cmdBlindCopy: return ShowToolTip(3);
    case SetupId::chkAutoManual: return ShowToolTip(4);
    default:
      if (controlId == kSurface) ShowToolTip(0);
  }
}

void frmSetup::OnKeyPress(int key) { Form_KeyPress(key); }

void frmSetup::OnUnload(bool& cancel) { Form_Unload(cancel); }

}  // namespace kalvenor
