// Where the program finds the registration tool: %WINDIR%\system, else %WINDIR%\system32; with
// neither holding it, it says so and leaves only what needs no tool.
#include <gtest/gtest.h>

#include "harness.h"

namespace kalvenor::e2e {
namespace {

constexpr wchar_t kNotFound[] = L"File not found: \\regsvr32.exe in system directory";

// The registration tool of this process's system directory. A 32-bit test is redirected to the
// 32-bit tool, the one its build of the program would run.
std::wstring SystemRegistrationTool() {
  wchar_t system[MAX_PATH] = {};
  ::GetSystemDirectoryW(system, MAX_PATH);
  return std::wstring(system) + L"\\regsvr32.exe";
}

std::wstring LabelText(const App& app, SetupId label) { return app.Control(label).Text(); }

bool HasChildWithText(const Window& window, std::wstring_view text) {
  for (const Window& child : window.Children()) {
    if (child.Text() == text) return true;
  }
  return false;
}

TEST(SystemDirectory, ShowsSystem32OfTheWindowsDirectory) {
  TempFolder folder;
  folder.Write(L"a.dll");
  App app(folder);

  const std::wstring expected = LowerCase(EnvironmentVariable(L"WINDIR")) + L"\\system32";
  EXPECT_EQ(LabelText(app, SetupId::lblWinSystem), expected);
  EXPECT_EQ(LabelText(app, SetupId::lblRegsvrFile), expected + L"\\regsvr32.exe");
  EXPECT_FALSE(app.FindWindowTitled(L"Kalvenor")) << "a message box came up";
  EXPECT_TRUE(app.Control(SetupId::cmdInstall).Enabled());
}

// A Windows directory of the test's own making, with the tool in some of its system folders.
struct ToolPlaces {
  const char* name;
  std::vector<const wchar_t*> foldersWithTool;
  const wchar_t* expectedFolder;
};

void PrintTo(const ToolPlaces& places, std::ostream* out) { *out << places.name; }

// Capitals beyond ASCII too: the labels are lower-cased by the rules of every script.
constexpr wchar_t kWindows[] = L"W\u00cdNDOWS \u00c4\u0416";

class ToolInWindowsDirectory : public ::testing::TestWithParam<ToolPlaces> {};

TEST_P(ToolInWindowsDirectory, LabelsShowTheFolderHoldingIt) {
  TempFolder root;
  const std::wstring windows = root.MakeFolder(kWindows);
  for (const wchar_t* system : {L"system", L"system32"}) {
    root.MakeFolder(std::wstring(kWindows) + L"\\" + system);
  }
  for (const wchar_t* place : GetParam().foldersWithTool) {
    root.Copy(SystemRegistrationTool(), std::wstring(kWindows) + L"\\" + place + L"\\regsvr32.exe");
  }
  TempFolder folder;
  folder.Write(L"a.dll");
  App app(folder, {.environment = {{L"WINDIR", windows}}});

  const std::wstring expected = LowerCase(windows + L"\\" + GetParam().expectedFolder);
  EXPECT_EQ(LabelText(app, SetupId::lblWinSystem), expected);
  EXPECT_EQ(LabelText(app, SetupId::lblRegsvrFile), expected + L"\\regsvr32.exe");
  EXPECT_FALSE(app.FindWindowTitled(L"Kalvenor")) << "a message box came up";
  for (SetupId command :
       {SetupId::cmdInstall, SetupId::cmdRemove, SetupId::cmdBlindCopy, SetupId::chkAutoManual}) {
    EXPECT_TRUE(app.Control(command).Enabled()) << "control " << Id(command);
  }
}

INSTANTIATE_TEST_SUITE_P(
    SystemDirectory, ToolInWindowsDirectory,
    ::testing::Values(ToolPlaces{"OnlySystem32", {L"system32"}, L"system32"},
                      ToolPlaces{"OnlySystem", {L"system"}, L"system"},
                      ToolPlaces{"BothTheFirstWins", {L"system", L"system32"}, L"system"}),
    [](const auto& info) { return std::string(info.param.name); });

// Without the tool: system folders that lack it, or no WINDIR at all.
class NoTool : public ::testing::TestWithParam<bool> {};

TEST_P(NoTool, SaysSoAndDisablesTheRuns) {
  TempFolder windows;
  windows.MakeFolder(L"system");
  windows.MakeFolder(L"system32");
  const bool windirSet = GetParam();
  const std::wstring windir = windirSet ? windows.Path() : L"";
  TempFolder folder;
  folder.Write(L"a.dll");
  App app(folder, {.environment = {{L"WINDIR", windirSet ? std::optional(windir) : std::nullopt}}});

  const Window box = app.WaitForWindowTitled(L"Kalvenor");
  EXPECT_TRUE(HasChildWithText(box, kNotFound));
  const std::wstring shown = LowerCase(windir) + L"\\system";
  EXPECT_EQ(LabelText(app, SetupId::lblWinSystem), shown);
  EXPECT_EQ(LabelText(app, SetupId::lblRegsvrFile), shown + L"\\regsvr32.exe");

  box.Child(IDOK).Click();
  EXPECT_TRUE(WaitUntil([&] { return !app.FindWindowTitled(L"Kalvenor"); })) << "the box stays";
  for (SetupId command :
       {SetupId::cmdInstall, SetupId::cmdRemove, SetupId::cmdBlindCopy, SetupId::chkAutoManual}) {
    EXPECT_FALSE(app.Control(command).Enabled()) << "control " << Id(command);
  }
  for (SetupId command : {SetupId::cmdQuit, SetupId::chkSilent}) {
    EXPECT_TRUE(app.Control(command).Enabled()) << "control " << Id(command);
  }
  const Window exit = app.Control(SetupId::cmdQuit);
  EXPECT_EQ(AwaitValue([&] { return app.Focus(); }, exit), exit);
  EXPECT_TRUE(app.Running());
}

INSTANTIATE_TEST_SUITE_P(SystemDirectory, NoTool, ::testing::Values(true, false),
                         [](const auto& info) {
                           return std::string(info.param ? "EmptySystemFolders" : "NoWindir");
                         });

}  // namespace
}  // namespace kalvenor::e2e
