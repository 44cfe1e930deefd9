// Install, Remove and Overwrite copy end to end, with the system's own registration tool: what
// lands in the system directory, what the registry holds and what the log says.
#include <gtest/gtest.h>

#include "run_support.h"
#include "samples/sample_clsids.h"

namespace kalvenor::e2e {
namespace {

using sample::kNormalClsidString;

constexpr wchar_t kFileDialogTitle[] = L"Select DLL or OCX to be installed";

// Most runs go to a Windows directory of the test's own.
class Runs : public ::testing::Test {
 protected:
  void TearDown() override { DeleteClsid(kNormalClsidString); }

  void Start() { app.emplace(folder, windows.ForProgram()); }
  // Back from the done prompt to the list.
  void BackToList() {
    ClickSurface(*app);
    ASSERT_TRUE(WaitUntil([&] { return ListBack(*app); }));
  }

  std::wstring Sample() const { return SamplePath(L"kalvenor_sample.dll"); }

  PrivateWindows windows;
  TempFolder folder;
  std::optional<App> app;
};

TEST_F(Runs, InstallCopiesAndRegistersThenRemoveUnregistersAndDeletes) {
  const std::wstring source = folder.Copy(Sample(), L"Comp.dll");
  Start();
  const std::wstring target = windows.Target(L"Comp.dll");

  EXPECT_EQ(RunToEnd(*app, SetupId::cmdInstall),
            CopyLines(source, target) + RegisterLines(windows.Tool(), target) + DoneLines());
  EXPECT_TRUE(SameContent(target, source));
  EXPECT_EQ(InprocServer(kNormalClsidString), target);
  EXPECT_FALSE(FileExists(OwnSystemDirectory() + L"\\Comp.dll")) << "the prefix's one got a copy";

  BackToList();
  EXPECT_EQ(RunToEnd(*app, SetupId::cmdRemove),
            UnregisterLines(windows.Tool(), target) + DeleteLines(target) + DoneLines());
  EXPECT_EQ(InprocServer(kNormalClsidString), std::nullopt);
  EXPECT_FALSE(FileExists(target));
  EXPECT_TRUE(FileExists(source));
}

// A renamed copy registers the same class with its own path; the tool runs without /s.
TEST_F(Runs, OcxInstallsUnderItsOwnNameWithoutSilentMode) {
  const std::wstring source = folder.Copy(Sample(), L"Comp.ocx");
  Start();
  const Window silent = app->Control(SetupId::chkSilent);
  silent.Click();
  ASSERT_EQ(AwaitValue([&] { return silent.CheckState(); }, BST_UNCHECKED), BST_UNCHECKED);
  const std::wstring target = windows.Target(L"Comp.ocx");

  EXPECT_EQ(RunToEnd(*app, SetupId::cmdInstall),
            CopyLines(source, target) + RegisterLines(windows.Tool(), target, false) + DoneLines());
  EXPECT_EQ(InprocServer(kNormalClsidString), target);
}

TEST_F(Runs, RemoveInManualModeUnregistersAndKeepsTheFile) {
  // Picked from another folder than the program's.
  TempFolder elsewhere;
  const std::wstring source = elsewhere.Copy(Sample(), L"Picked.dll");
  const std::wstring target = windows.Target(L"Picked.dll");
  folder.Write(L"other.dll");
  Start();

  const Window mode = app->Control(SetupId::chkAutoManual);
  mode.Click();
  ASSERT_EQ(AwaitValue([&] { return mode.Text(); }, std::wstring(L"M&anual mode on")),
            L"M&anual mode on");
  app->Control(SetupId::cmdListAdd).Click();
  ChooseInFileDialog(app->WaitForWindowTitled(kFileDialogTitle), source);
  ASSERT_EQ(AwaitValue([&] { return app->ListItems(); }, std::vector{source}), std::vector{source});

  // Registered first by the installing run, so that there is something to take out.
  ASSERT_EQ(RunToEnd(*app, SetupId::cmdInstall),
            CopyLines(source, target) + RegisterLines(windows.Tool(), target) + DoneLines());
  ASSERT_EQ(InprocServer(kNormalClsidString), target);
  BackToList();
  ASSERT_EQ(app->ListItems(), std::vector{source}) << "the manual list was not kept";

  EXPECT_EQ(RunToEnd(*app, SetupId::cmdRemove),
            UnregisterLines(windows.Tool(), target) + DoneLines());
  EXPECT_EQ(InprocServer(kNormalClsidString), std::nullopt);
  EXPECT_TRUE(SameContent(target, Sample())) << "manual mode does not delete";
}

TEST_F(Runs, OverwriteCopyReplacesTheFileAndRegistersNothing) {
  const std::wstring source = folder.Copy(Sample(), L"Comp.dll");
  const std::wstring target = windows.Put(L"Comp.dll", "an older build");
  Start();

  EXPECT_EQ(RunToEnd(*app, SetupId::cmdBlindCopy), CopyLines(source, target) + DoneLines());
  EXPECT_TRUE(SameContent(target, source));
  EXPECT_EQ(InprocServer(kNormalClsidString), std::nullopt);
  EXPECT_EQ(windows.SystemFiles(), (std::vector<std::wstring>{L"comp.dll", L"regsvr32.exe"}));
}

// With the prefix's own Windows directory: a 32-bit program's system32 is syswow64, and its
// registration lands in the 32-bit registry view; a 64-bit one gets the real ones.
class RealSystemDirectory : public ::testing::Test {
 protected:
  void TearDown() override {
    DeleteClsid(kNormalClsidString);
    ::DeleteFileW(InWow64(name).c_str());
    Native([&] { ::DeleteFileW(InSystem32(name).c_str()); });
  }

  static std::wstring InSystem32(const std::wstring& file) {
    return EnvironmentVariable(L"WINDIR") + L"\\system32\\" + file;
  }
  static std::wstring InWow64(const std::wstring& file) {
    wchar_t wow64[MAX_PATH] = {};
    if (!::GetSystemWow64DirectoryW(wow64, MAX_PATH)) return {};
    return std::wstring(wow64) + L"\\" + file;
  }
  // Runs `act` with this process seeing the native system32, not the one of its bitness.
  template <class Act>
  static void Native(Act act) {
    void* redirection = nullptr;
    const bool turnedOff = ::Wow64DisableWow64FsRedirection(&redirection);
    act();
    if (turnedOff) ::Wow64RevertWow64FsRedirection(redirection);
  }
  static bool InNativeSystem32(const std::wstring& file) {
    bool there = false;
    Native([&] { there = FileExists(InSystem32(file)); });
    return there;
  }

  const std::wstring name = L"kalvenor-e2e-" + std::to_wstring(::GetCurrentProcessId()) + L".dll";
};

TEST_F(RealSystemDirectory, GoesToTheFolderAndRegistryViewOfTheProgramsBitness) {
  ASSERT_FALSE(InWow64(name).empty()) << "not a 64-bit prefix";
  const bool is32Bit = sizeof(void*) == 4;
  TempFolder folder;
  const std::wstring source = folder.Copy(SamplePath(L"kalvenor_sample.dll"), name);
  App app(folder);
  const std::wstring system = LowerCase(EnvironmentVariable(L"WINDIR")) + L"\\system32";
  const std::wstring target = system + L"\\" + name;

  EXPECT_EQ(
      RunToEnd(app, SetupId::cmdInstall),
      CopyLines(source, target) + RegisterLines(system + L"\\regsvr32.exe", target) + DoneLines());
  EXPECT_EQ(FileExists(InWow64(name)), is32Bit);
  EXPECT_EQ(InNativeSystem32(name), !is32Bit);
  EXPECT_EQ(InprocServer(kNormalClsidString, OwnView()), target);
  EXPECT_EQ(InprocServer(kNormalClsidString, OtherView()), std::nullopt);

  ClickSurface(app);
  ASSERT_TRUE(WaitUntil([&] { return ListBack(app); }));
  EXPECT_EQ(RunToEnd(app, SetupId::cmdRemove), UnregisterLines(system + L"\\regsvr32.exe", target) +
                                                   DeleteLines(target) + DoneLines());
  EXPECT_FALSE(FileExists(InWow64(name)));
  EXPECT_FALSE(InNativeSystem32(name));
  EXPECT_EQ(InprocServer(kNormalClsidString, OwnView()), std::nullopt);
}

}  // namespace
}  // namespace kalvenor::e2e
