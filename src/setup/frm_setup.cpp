// Start-up, shutdown and the event dispatch of the Setup window.
#include "setup/frm_setup.h"

#include "lib/lib_forms.h"

namespace kalvenor {
namespace {

constexpr int kEscape = 27;

}  // namespace

frmSetup::frmSetup(platform::Services& services, engine::Engine& engine, Selection& selection,
                   Face face)
    : services_(services),
      engine_(engine),
      selection_(selection),
      face_(face),
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
      lblRegsvrFile(form_->Item(Id(SetupId::lblRegsvrFile))) {
  engine_.AddObserver(*this);
  Form_Load();
}

frmSetup::~frmSetup() { engine_.RemoveObserver(*this); }

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
  form_->Show();

  chkAutoManual.SetValue(selection_.manual ? 1 : 0);
  chkSilent.SetValue(selection_.silent ? 1 : 0);
  ShowMode();
  FocusOrFallback(cmdBlindCopy);

  // Drops pick files for the runs, which need the tool.
  const bool toolFound = FindRegistrationTool();
  if (face_ != Face::Window) return;
  if (toolFound) form_->AcceptDrops(true);
  form_->AddSystemMenuCommand(kUndoLastRun, "Undo the last run");
  form_->AddSystemMenuCommand(kCheckListed, "Check the listed files");
  form_->AddSystemMenuCommand(kCaptureWxs, "Capture as WiX source...");
  form_->AddSystemMenuCommand(kCaptureReg, "Capture as a .reg file...");
  form_->AddSystemMenuCommand(kCaptureManifest, "Capture as a manifest...");
  // The automatic list of a program that sits in a system directory stays empty.
  const engine::Engine::Listing own = engine_.ComponentsIn(app.path);
  if (toolFound && own.refused) {
    services_.toolkit.MsgBox(*form_,
                             "Automatic mode lists no file of " + app.path + ": " + own.whyNone +
                                 ". Pick the components in manual mode.",
                             app.title, platform::MsgBoxStyle::Critical);
  }
}

// The labels show the place the engine found, or else the first one it tried: nothing is
// drawn in between.
bool frmSetup::FindRegistrationTool() {
  const paths::WindowsFolders& folders = engine_.Folders();
  lblWinSystem.SetCaption(folders.system);
  lblRegsvrFile.SetCaption(folders.tool);
  if (folders.toolFound) return true;

  cmdInstall.SetEnabled(false);
  cmdRemove.SetEnabled(false);
  cmdBlindCopy.SetEnabled(false);
  chkAutoManual.SetEnabled(false);
  // The default title of a message box is the program's title.
  services_.toolkit.MsgBox(*form_, engine::kToolMissing, services_.system.App().title,
                           platform::MsgBoxStyle::Critical);
  // The runs are gone; leaving is what remains, so Exit takes the focus they had.
  (void)cmdQuit.SetFocus();
  return false;
}

void frmSetup::FocusOrFallback(platform::Control& preferred) {
  if (preferred.SetFocus()) return;
  if (chkAutoManual.SetFocus()) return;
  (void)cmdQuit.SetFocus();
}

void frmSetup::LeaveDonePrompt() {
  m_done = false;
  // The deployment tool reads the exit code of the one run it started.
  if (face_ == Face::Unattended) return form_->Unload();
  ShowMode();
}

void frmSetup::Form_Click() {
  if (m_done) LeaveDonePrompt();
}

void frmSetup::Form_KeyPress(int key) {
  if (m_done) {
    LeaveDonePrompt();
  } else if (key == kEscape && !engine_.Busy()) {
    cmdQuit_Click();
  }
}

void frmSetup::cmdQuit_Click() { form_->Unload(); }

void frmSetup::Form_Unload(bool& cancel) {
  // A run cut off half-way would leave a file copied but not registered.
  if (engine_.Busy()) {
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
