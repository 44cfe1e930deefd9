// Steps that fail: each failure is logged under its step with the system's or the tool's reason,
// the run goes on to the done prompt, and nothing in the system directory is lost that the run
// was not asked to replace or delete.
#include <gtest/gtest.h>

#include <thread>

#include "run_support.h"
#include "samples/sample_clsids.h"

namespace kalvenor::e2e {
namespace {

using Names = std::vector<std::wstring>;

constexpr wchar_t kNotLoadable[] = L"regsvr32.exe exit code 3, the file could not be loaded";

// A sound component that the tool did not get to, since the tool itself could not be started.
std::wstring NothingExplains() {
  return CauseLine(L"nothing in the file or the DLLs it needs explains this");
}

class Failures : public ::testing::Test {
 protected:
  // A file of someone else's in the system directory, which no run here may touch.
  void SetUp() override { windows.Put(L"keep.dll", "someone else's"); }
  void TearDown() override {
    EXPECT_EQ(FileContent(windows.Target(L"keep.dll")), "someone else's");
    for (const wchar_t* clsid : {sample::kNormalClsidString, sample::kRegFailClsidString,
                                 sample::kCrashClsidString, sample::kMessageBoxClsidString}) {
      DeleteClsid(clsid);
    }
  }

  void Start() { app.emplace(folder, windows.ForProgram()); }

  PrivateWindows windows;
  TempFolder folder;
  std::optional<App> app;
};

// ---- Copy

class CopyFailure : public Failures {
 protected:
  void SetUp() override {
    Failures::SetUp();
    source = folder.Write(L"comp.dll", "the new build");
    target = windows.Put(L"comp.dll", "the old build");
    Start();
  }

  // The log of an Overwrite copy that fails with the system's message for `error`.
  std::wstring Refused(DWORD error) const {
    return CopyLines(source, target) + FailedLine(SystemMessage(error)) + DoneLines();
  }
  // The old file stays as it was, and no temporary copy is left beside it.
  void ExpectOldFileKept() const {
    EXPECT_EQ(FileContent(target), "the old build");
    EXPECT_EQ(windows.SystemFiles(), (Names{L"comp.dll", L"keep.dll", L"regsvr32.exe"}));
  }

  std::wstring source, target;
};

TEST_F(CopyFailure, ReadOnlyTargetIsKept) {
  ASSERT_TRUE(::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(RunToEnd(*app, SetupId::cmdBlindCopy), Refused(ERROR_ACCESS_DENIED));
  ExpectOldFileKept();
}

TEST_F(CopyFailure, TargetHeldOpenWithoutSharingIsKept) {
  {
    const UniqueHandle held(::CreateFileW(target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_NE(held.get(), INVALID_HANDLE_VALUE);
    // Not even read, it cannot be backed up: nothing replaces what could not be brought back.
    EXPECT_EQ(RunToEnd(*app, SetupId::cmdBlindCopy),
              CopyLines(source, target) +
                  FailedLine(L"the step is not taken, since the file cannot be backed up: " +
                             SystemMessage(ERROR_SHARING_VIOLATION)) +
                  DoneLines());
  }
  ExpectOldFileKept();
}

// ---- Registration

struct BadComponent {
  const char* name;
  const wchar_t* sample;  // none: a text file with a library's name
  const wchar_t* why;
  const wchar_t* cause;  // what the log says the cause is
};

void PrintTo(const BadComponent& component, std::ostream* out) { *out << component.name; }

class RegistrationFailure : public Failures, public ::testing::WithParamInterface<BadComponent> {};

TEST_P(RegistrationFailure, IsLoggedWithTheToolsExitCode) {
  const std::wstring source = GetParam().sample
                                  ? folder.Copy(SamplePath(GetParam().sample), L"x.dll")
                                  : folder.Write(L"x.dll", "not a library");
  Start();
  const std::wstring target = windows.Target(L"x.dll");

  EXPECT_EQ(RunToEnd(*app, SetupId::cmdInstall),
            CopyLines(source, target) + RegisterLines(windows.Tool(), target) +
                FailedLine(GetParam().why) + CauseLine(GetParam().cause) + DoneLines());
  EXPECT_TRUE(SameContent(target, source));
  EXPECT_EQ(InprocServer(sample::kRegFailClsidString), std::nullopt);
  EXPECT_EQ(InprocServer(sample::kCrashClsidString), std::nullopt);
  EXPECT_EQ(windows.SystemFiles(), (Names{L"keep.dll", L"regsvr32.exe", L"x.dll"}));
}

INSTANTIATE_TEST_SUITE_P(
    Failures, RegistrationFailure,
    ::testing::Values(
        BadComponent{"EntryPointFails", L"sample_regfail.dll",
                     L"regsvr32.exe exit code 5, the registration entry point reported an error",
                     L"its registration code reported an error"},
        BadComponent{"ToolCrashes", L"sample_crash.dll", L"regsvr32.exe exit code 0xC0000005",
                     L"its registration code crashed with exception 0xC0000005: ask its vendor "
                     L"for a version that registers"},
        BadComponent{"NotALibrary", nullptr, kNotLoadable,
                     L"no Windows DLL at all: remove it from the list"}),
    [](const auto& info) { return std::string(info.param.name); });

// A component that asks the user something while it registers, with silent mode off: the run
// waits for the answer, the window keeps answering meanwhile, and the run ends once the box is
// closed.
TEST_F(Failures, ComponentsMessageBoxHoldsTheRunButNotTheWindow) {
  const std::wstring source = folder.Copy(SamplePath(L"sample_msgbox.dll"), L"asks.dll");
  Start();
  const Window silent = app->Control(SetupId::chkSilent);
  silent.Click();
  ASSERT_EQ(AwaitValue([&] { return silent.CheckState(); }, BST_UNCHECKED), BST_UNCHECKED);
  app->Control(SetupId::cmdInstall).Click();

  HWND box = nullptr;
  ASSERT_TRUE(WaitUntil([&] { return (box = ::FindWindowW(nullptr, L"Kalvenor sample")); }))
      << "no message box from the component";
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(Answers(app->Main()));
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_FALSE(app->Control(SetupId::cmdInstall).Enabled()) << "the run ended behind the box";
  ::PostMessageW(box, WM_COMMAND, IDOK, 0);

  const std::wstring target = windows.Target(L"asks.dll");
  EXPECT_EQ(AwaitDone(*app),
            CopyLines(source, target) + RegisterLines(windows.Tool(), target, false) + DoneLines());
  EXPECT_EQ(InprocServer(sample::kMessageBoxClsidString), target);
}

// The system directory on a drive with little room (a small file system that the test command
// maps as a Wine drive when it may mount one): a copy that does not fit fails in the log, the
// old file stays whole, no partial copy is left, and the copies that fit are made.
TEST_F(Failures, CopyToAFullDriveKeepsTheOldFileWhole) {
  wchar_t drive[8] = {};
  const DWORD length = ::GetEnvironmentVariableW(L"KALVENOR_SMALL_DRIVE", drive, 8);
  if (length == 0 || length >= 8) {
    GTEST_SKIP() << "no small drive: scripts/test maps one when it runs as root and may mount";
  }
  const PrivateWindows small(std::wstring(drive) + L"\\");
  const std::wstring big = folder.Write(L"big.dll", std::string(512 * 1024, 'n'));
  const std::wstring tiny = folder.Write(L"tiny.ocx", "fits");
  const std::wstring bigTarget = small.Put(L"big.dll", "the old build");
  ULARGE_INTEGER room{};
  ASSERT_TRUE(::GetDiskFreeSpaceExW(small.System().c_str(), &room, nullptr, nullptr));
  // Leaves 64 KiB: room for the small copy, not for the big one.
  ASSERT_GT(room.QuadPart, 64u * 1024);
  small.Put(L"filler", std::string(room.QuadPart - 64 * 1024, 'f'));
  app.emplace(folder, small.ForProgram());
  ASSERT_EQ(app->ListItems(), (Names{big, tiny}));

  EXPECT_EQ(RunToEnd(*app, SetupId::cmdBlindCopy),
            CopyLines(big, bigTarget) + FailedLine(SystemMessage(ERROR_DISK_FULL)) +
                CopyLines(tiny, small.Target(L"tiny.ocx")) + DoneLines());
  EXPECT_TRUE(Answers(app->Main()));
  EXPECT_EQ(FileContent(bigTarget), "the old build");
  EXPECT_EQ(FileContent(small.Target(L"tiny.ocx")), "fits");
  EXPECT_EQ(small.SystemFiles(), (Names{L"big.dll", L"filler", L"regsvr32.exe", L"tiny.ocx"}));
}

// ---- Missing files and tools

TEST_F(Failures, ListedFileGoneSinceStartUpIsReportedAndSkipped) {
  const std::wstring gone = folder.Write(L"gone.dll", "soon gone");
  const std::wstring kept = folder.Copy(SamplePath(L"kalvenor_sample.dll"), L"kept.ocx");
  Start();
  ASSERT_EQ(app->ListItems(), (Names{gone, kept}));
  ASSERT_TRUE(::DeleteFileW(gone.c_str()));
  const std::wstring target = windows.Target(L"kept.ocx");

  EXPECT_EQ(RunToEnd(*app, SetupId::cmdInstall),
            Line(L"> File not found " + gone) + CopyLines(kept, target) +
                RegisterLines(windows.Tool(), target) + DoneLines());
  EXPECT_EQ(windows.SystemFiles(), (Names{L"keep.dll", L"kept.ocx", L"regsvr32.exe"}));
}

TEST_F(Failures, ToolRemovedSinceStartUpFailsEachRegistration) {
  const std::wstring dll = folder.Copy(SamplePath(L"kalvenor_sample.dll"), L"a.dll");
  const std::wstring ocx = folder.Copy(SamplePath(L"kalvenor_sample.dll"), L"b.ocx");
  Start();
  ASSERT_TRUE(::DeleteFileW(windows.Tool().c_str()));
  const std::wstring why = SystemMessage(ERROR_FILE_NOT_FOUND);

  EXPECT_EQ(RunToEnd(*app, SetupId::cmdInstall),
            CopyLines(dll, windows.Target(L"a.dll")) +
                RegisterLines(windows.Tool(), windows.Target(L"a.dll")) + FailedLine(why) +
                NothingExplains() + CopyLines(ocx, windows.Target(L"b.ocx")) +
                RegisterLines(windows.Tool(), windows.Target(L"b.ocx")) + FailedLine(why) +
                NothingExplains() + DoneLines());
  EXPECT_EQ(InprocServer(sample::kNormalClsidString), std::nullopt);
  EXPECT_EQ(windows.SystemFiles(), (Names{L"a.dll", L"b.ocx", L"keep.dll"}));
}

// A delete that fails is logged; one of a file that is not there is not.
TEST_F(Failures, RemoveLogsAFailedDeleteButNotAMissingFile) {
  folder.Copy(SamplePath(L"kalvenor_sample.dll"), L"a.dll");
  folder.Copy(SamplePath(L"kalvenor_sample.dll"), L"b.ocx");
  const std::wstring locked = windows.PutCopy(SamplePath(L"kalvenor_sample.dll"), L"a.dll");
  ASSERT_TRUE(::SetFileAttributesW(locked.c_str(), FILE_ATTRIBUTE_READONLY));
  const std::wstring missing = windows.Target(L"b.ocx");
  Start();

  EXPECT_EQ(RunToEnd(*app, SetupId::cmdRemove),
            UnregisterLines(windows.Tool(), locked) + DeleteLines(locked) +
                FailedLine(SystemMessage(ERROR_ACCESS_DENIED)) +
                UnregisterLines(windows.Tool(), missing) + FailedLine(kNotLoadable) +
                CauseLine(L"cannot be read (" + SystemMessage(ERROR_FILE_NOT_FOUND) +
                          L"): copy the component again") +
                DeleteLines(missing) + DoneLines());
  EXPECT_EQ(windows.SystemFiles(), (Names{L"a.dll", L"keep.dll", L"regsvr32.exe"}));
}

}  // namespace
}  // namespace kalvenor::e2e
