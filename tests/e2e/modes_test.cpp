// Automatic and manual mode: the mode toggle, the manual selection made with the real file-open
// dialog, and Clear list.
#include <gtest/gtest.h>

#include "harness.h"

namespace kalvenor::e2e {
namespace {

constexpr wchar_t kAutomatic[] = L"&Automatic mode on";
constexpr wchar_t kManual[] = L"M&anual mode on";
constexpr wchar_t kDialogTitle[] = L"Select DLL or OCX to be installed";
constexpr wchar_t kDonePrompt[] = L"Done. Click on the form or hit any key.";

using Commands = std::vector<SetupId>;
const Commands kRunCommands{SetupId::cmdInstall, SetupId::cmdRemove, SetupId::cmdBlindCopy};
// Enabled whatever the list holds.
const Commands kAlwaysEnabled{SetupId::cmdListAdd, SetupId::cmdQuit, SetupId::chkAutoManual,
                              SetupId::chkSilent};

class ModesTest : public ::testing::Test {
 protected:
  void Start(const Launch& launch = {}) { app.emplace(folder, launch); }

  Window Toggle() const { return app->Control(SetupId::chkAutoManual); }
  std::wstring ModeCaption() const { return Toggle().Text(); }

  // A message round trip: what the program was handling when it changed the screen is done.
  void Settle() const {
    DWORD_PTR ignored = 0;
    ASSERT_TRUE(::SendMessageTimeoutW(app->Main().Handle(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG,
                                      static_cast<UINT>(kTimeout.count()), &ignored));
  }

  // Waits for the mode caption and for the switch to be over.
  void AwaitMode(const wchar_t* caption) {
    ASSERT_EQ(AwaitValue([&] { return ModeCaption(); }, caption), caption);
    Settle();
  }

  // Clicks the mode toggle and waits for the mode it switches to.
  void SwitchMode() {
    const wchar_t* wanted = ModeCaption() == kAutomatic ? kManual : kAutomatic;
    Toggle().Click();
    AwaitMode(wanted);
  }

  void ExpectEnabled(const Commands& commands, bool enabled) const {
    for (SetupId command : commands) {
      EXPECT_EQ(app->Control(command).Enabled(), enabled) << "control " << Id(command);
    }
  }

  // Clicks Add File... and returns the file dialog once it is on the screen.
  Window OpenFileDialog() const {
    app->Control(SetupId::cmdListAdd).Click();
    const Window dialog = app->WaitForWindowTitled(kDialogTitle);
    EXPECT_TRUE(WaitUntil([&] { return dialog.Visible(); })) << "the dialog never showed";
    return dialog;
  }

  // Waits for the dialog to go and for the program to have taken what was chosen.
  bool DialogGone(std::chrono::milliseconds timeout = kTimeout) const {
    if (!WaitUntil([&] { return !app->FindWindowTitled(kDialogTitle); }, timeout)) return false;
    if (app->Running()) Settle();
    return true;
  }

  // Add File..., then Open with `name` typed in, or Cancel when there is none. Returns once
  // the dialog has gone.
  void AddFile(std::optional<std::wstring_view> name) {
    const Window dialog = OpenFileDialog();
    if (name) {
      ChooseInFileDialog(dialog, *name);
    } else {
      ::PostMessageW(dialog.Handle(), WM_COMMAND, IDCANCEL, 0);
    }
    if (!DialogGone()) {
      ADD_FAILURE() << "the dialog would not take \"" << Narrow(name.value_or(L"")) << "\"";
      ::PostMessageW(dialog.Handle(), WM_COMMAND, IDCANCEL, 0);
      DialogGone();
    }
  }

  TempFolder folder;
  std::optional<App> app;
};

// ---- The toggle

enum class Toggling { Click, AltA };

class ModeToggle : public ModesTest, public ::testing::WithParamInterface<Toggling> {
 protected:
  void Press() {
    if (GetParam() == Toggling::Click) {
      Toggle().Click();
    } else {
      app->PressAltKey('A');  // both captions mark the A
    }
  }
};

TEST_P(ModeToggle, ManualModeShowsTheSelectionAutomaticTheFolder) {
  folder.Write(L"a.dll");
  folder.Write(L"b.ocx");
  Start();
  const std::vector<std::wstring> folderFiles{folder.PathOf(L"a.dll"), folder.PathOf(L"b.ocx")};
  ASSERT_EQ(ModeCaption(), kAutomatic);

  Press();
  AwaitMode(kManual);
  const Window add = app->Control(SetupId::cmdListAdd);
  EXPECT_TRUE(add.Visible());
  EXPECT_TRUE(app->Control(SetupId::cmdListClear).Visible());
  EXPECT_TRUE(app->ListItems().empty()) << ::testing::PrintToString(app->ListItems());
  ExpectEnabled(kRunCommands, false);
  ExpectEnabled({SetupId::cmdListClear}, false);
  ExpectEnabled(kAlwaysEnabled, true);
  EXPECT_EQ(app->Focus(), add);

  Press();
  AwaitMode(kAutomatic);
  EXPECT_FALSE(add.Visible());
  EXPECT_FALSE(app->Control(SetupId::cmdListClear).Visible());
  EXPECT_EQ(app->ListItems(), folderFiles);
  ExpectEnabled(kRunCommands, true);
  EXPECT_EQ(app->Focus(), app->Control(SetupId::cmdBlindCopy));
}

INSTANTIATE_TEST_SUITE_P(Modes, ModeToggle, ::testing::Values(Toggling::Click, Toggling::AltA),
                         [](const auto& info) {
                           return std::string(info.param == Toggling::Click ? "Click" : "AltA");
                         });

TEST_F(ModesTest, BackInAnEmptyFolderTheToggleKeepsTheFocus) {
  Start();
  SwitchMode();
  EXPECT_EQ(app->Focus(), app->Control(SetupId::cmdListAdd));
  SwitchMode();
  // Overwrite copy is disabled with nothing listed; the toggle is next in line.
  EXPECT_EQ(app->Focus(), Toggle());
}

// ---- The manual selection

TEST_F(ModesTest, AddFileOpensTheFileDialogModalInTheCurrentFolder) {
  Start();
  SwitchMode();
  const Window dialog = OpenFileDialog();
  EXPECT_EQ(dialog.ClassName(), L"#32770");
  EXPECT_EQ(Window(::GetWindow(dialog.Handle(), GW_OWNER)), app->Main());
  EXPECT_FALSE(app->Main().Enabled()) << "not modal";
  // The file type box holds the one filter.
  const Window types = dialog.Child(1136);
  ASSERT_EQ(::SendMessageW(types.Handle(), CB_GETCOUNT, 0, 0), 1);
  EXPECT_EQ(types.Text(), L"Select DLL or OCX");

  // A bare name is taken from the folder shown, which is the program's current one, whether or
  // not the file is there.
  ChooseInFileDialog(dialog, L"not there yet.dll");
  ASSERT_TRUE(DialogGone());
  EXPECT_EQ(app->ListItems(), std::vector<std::wstring>{folder.PathOf(L"not there yet.dll")});
  EXPECT_TRUE(app->Main().Enabled());
  ExpectEnabled(kRunCommands, true);
  ExpectEnabled({SetupId::cmdListClear}, true);
}

// Open pressed on the name the dialog starts with: whatever the dialog makes of it, nothing is
// added and the program carries on.
TEST_F(ModesTest, OpenOnTheStartingNameAddsNothing) {
  Start();
  SwitchMode();
  const Window dialog = OpenFileDialog();
  ::PostMessageW(dialog.Handle(), WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(::GetDlgItem(dialog.Handle(), IDOK)));
  if (!DialogGone(1s)) {
    // It would not take the name: leave it.
    ::PostMessageW(dialog.Handle(), WM_COMMAND, IDCANCEL, 0);
    ASSERT_TRUE(DialogGone());
  }
  ASSERT_TRUE(app->Running()) << "the program ended, exit code 0x" << std::hex
                              << app->ExitCode().value_or(0);
  EXPECT_TRUE(app->ListItems().empty()) << ::testing::PrintToString(app->ListItems());
  EXPECT_TRUE(app->Main().Enabled());
}

TEST_F(ModesTest, OnlyNamesEndingInDllOrOcxInAnyLetterCaseAreAdded) {
  const std::wstring beyondAscii =
      folder.MakeFolder(L"\u00c4rger \u2211 \u65e5\u672c") + L"\\\u00f6l \u0436.ocx";
  Start();
  SwitchMode();

  AddFile(std::nullopt);  // Cancel
  AddFile(folder.PathOf(L"readme.txt"));
  ExpectEnabled(kRunCommands, false);
  AddFile(folder.PathOf(L"first.dll"));
  AddFile(folder.PathOf(L"padded.ocx") + L"  ");  // the dialog hands the blanks back
  AddFile(beyondAscii);
  AddFile(folder.PathOf(L"X.OCX"));
  AddFile(folder.PathOf(L"mixed.Dll"));

  const std::vector<std::wstring> expected{folder.PathOf(L"first.dll"),
                                           folder.PathOf(L"padded.ocx"), beyondAscii,
                                           folder.PathOf(L"X.OCX"), folder.PathOf(L"mixed.Dll")};
  EXPECT_EQ(app->ListItems(), expected);
  EXPECT_EQ(ModeCaption(), kManual);
  ExpectEnabled(kRunCommands, true);
}

TEST_F(ModesTest, SelectionOutlastsModeSwitchesAndRunsUntilCleared) {
  // Overwrite copy writes into a system directory of the test's own.
  TempFolder windows;
  windows.MakeFolder(L"system32");
  wchar_t system[MAX_PATH] = {};
  ::GetSystemDirectoryW(system, MAX_PATH);
  windows.Copy(std::wstring(system) + L"\\regsvr32.exe", L"system32\\regsvr32.exe");
  folder.Write(L"a.dll", "MZ");
  folder.MakeFolder(L"picked");
  const std::wstring picked = folder.Write(L"picked\\c.dll", "MZ");
  Start({.environment = {{L"WINDIR", windows.Path()}}});
  const std::vector<std::wstring> selection{picked};

  SwitchMode();
  AddFile(picked);
  ASSERT_EQ(app->ListItems(), selection);
  SwitchMode();
  EXPECT_EQ(app->ListItems(), std::vector<std::wstring>{folder.PathOf(L"a.dll")});
  SwitchMode();
  EXPECT_EQ(app->ListItems(), selection);

  app->Control(SetupId::cmdBlindCopy).Click();
  EXPECT_TRUE(WaitUntil([&] { return app->Log().find(kDonePrompt) != std::wstring::npos; }))
      << Narrow(app->Log());
  EXPECT_NE(::GetFileAttributesW(windows.PathOf(L"system32\\c.dll").c_str()),
            INVALID_FILE_ATTRIBUTES)
      << "the run did not copy the selection";
  app->Main().Click();  // back to the list
  EXPECT_TRUE(WaitUntil([&] { return app->Control(SetupId::fileList).Visible(); }));
  Settle();
  EXPECT_EQ(app->ListItems(), selection);
  EXPECT_EQ(ModeCaption(), kManual);

  const Window clear = app->Control(SetupId::cmdListClear);
  clear.Click();
  EXPECT_TRUE(WaitUntil([&] { return !clear.Enabled(); }));
  Settle();
  EXPECT_TRUE(app->ListItems().empty()) << ::testing::PrintToString(app->ListItems());
  ExpectEnabled(kRunCommands, false);
  ExpectEnabled({SetupId::cmdListClear}, false);
  ExpectEnabled(kAlwaysEnabled, true);
  EXPECT_EQ(ModeCaption(), kManual);
  // Cleared for good, not just off the screen.
  SwitchMode();
  SwitchMode();
  EXPECT_TRUE(app->ListItems().empty()) << ::testing::PrintToString(app->ListItems());
}

}  // namespace
}  // namespace kalvenor::e2e
