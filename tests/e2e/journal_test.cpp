// What a run keeps so that nothing is lost, end to end with the system's own tool: a newer file
// replaced and brought back by Undo, a file other programs count on kept, a file in use
// replaced at the restart, and a run killed half-way undone by a new instance.
#include <gtest/gtest.h>

#include "base/sha256.h"
#include "platform/win32/win32_form.h"
#include "platform/win32/win32_system.h"
#include "platform/win32/win32_toolkit.h"
#include "run_support.h"
#include "samples/sample_clsids.h"
#include "setup/frm_setup.h"

namespace kalvenor::e2e {
namespace {

using sample::kNormalClsidString;

constexpr wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

std::optional<DWORD> SharedCount(const std::wstring& path) {
  DWORD count = 0, size = sizeof count;
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, kSharedDlls, path.c_str(), RRF_RT_REG_DWORD, nullptr,
                     &count, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return count;
}

void SetSharedCount(const std::wstring& path, DWORD count) {
  ASSERT_EQ(::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSharedDlls, path.c_str(), REG_DWORD, &count,
                              sizeof count),
            ERROR_SUCCESS);
}

// The files the system deletes at the next start, as MoveFileEx wrote them.
std::wstring PendingRenames() {
  std::wstring names(32768, L'\0');
  DWORD size = static_cast<DWORD>(names.size() * sizeof(wchar_t));
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations",
                     RRF_RT_REG_MULTI_SZ, nullptr, names.data(), &size) != ERROR_SUCCESS) {
    return {};
  }
  std::replace(names.begin(), names.end(), L'\0', L'|');
  return LowerCase(names);
}

class Journal : public ::testing::Test {
 protected:
  void TearDown() override { DeleteClsid(kNormalClsidString); }
  void Start() { app.emplace(folder, windows.ForProgram()); }
  bool Register(const std::wstring& target) {
    return ExitCodeOf(windows.Tool(), L"regsvr32.exe /s \"" + target + L"\"") == 0u;
  }

  PrivateWindows windows;
  TempFolder folder;
  std::optional<App> app;
};

TEST_F(Journal, ANewerFileReplacedComesBackWithItsClassByUndo) {
  const std::wstring newer = SamplePath(L"sample_newer.dll");
  const std::wstring target = windows.PutCopy(newer, L"versioned.dll");
  ASSERT_TRUE(Register(target));
  const std::wstring source = folder.Copy(SamplePath(L"sample_older.dll"), L"versioned.dll");
  Start();

  EXPECT_EQ(RunToEnd(*app, SetupId::cmdInstall),
            CopyLines(source, target) +
                Line(L"|      replaced the newer version 6.1.98.39 by 6.0.88.62; Undo brings it "
                     L"back") +
                RegisterLines(windows.Tool(), target) + DoneLines());
  EXPECT_TRUE(SameContent(target, source));

  ASSERT_TRUE(PickFromLogMenu(*app, 3));  // Undo this run
  ASSERT_TRUE(WaitUntil([&] { return app->Log().starts_with(L"> Undoing the run of "); }));
  const std::wstring undone = AwaitDone(*app);
  // The share goes last, once the file is back as it was.
  EXPECT_TRUE(undone.ends_with(RegisterLines(windows.Tool(), target) +
                               Line(L"> Removing shared count of " + target) + DoneLines()))
      << Narrow(undone);
  EXPECT_EQ(undone.find(L"failed"), std::wstring::npos) << Narrow(undone);
  EXPECT_TRUE(SameContent(target, newer));
  EXPECT_EQ(InprocServer(kNormalClsidString), target);
}

// Another program's count: Remove leaves the file registered and the count as it is.
TEST_F(Journal, AFileOtherProgramsCountOnIsKeptByRemove) {
  const std::wstring target = windows.PutCopy(SamplePath(L"kalvenor_sample.dll"), L"shared.dll");
  ASSERT_TRUE(Register(target));
  SetSharedCount(target, 2);
  folder.Copy(SamplePath(L"kalvenor_sample.dll"), L"shared.dll");
  Start();
  EXPECT_EQ(RunToEnd(*app, SetupId::cmdRemove),
            Line(L"> Keeping file " + target) +
                Line(L"|      its shared count is 2 and holds no install of Kalvenor's: the "
                     L"programs that installed it count on it") +
                DoneLines());
  EXPECT_TRUE(FileExists(target));
  EXPECT_EQ(SharedCount(target), 2u);
  EXPECT_EQ(InprocServer(kNormalClsidString), target);
  ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSharedDlls, target.c_str());
}

// Undo checks before it acts: a file it cannot read stays with its registration, and the run
// stays to be undone; the retry gives back only Kalvenor's share, so a file another program
// counted on meanwhile stays, registered.
TEST_F(Journal, UndoLeavesAFileItCannotReadAndOneOthersCountOnNow) {
  const std::wstring source = folder.Copy(SamplePath(L"kalvenor_sample.dll"), L"late.dll");
  const std::wstring target = windows.Target(L"late.dll");
  Start();
  ASSERT_EQ(RunToEnd(*app, SetupId::cmdInstall).find(L"failed"), std::wstring::npos);
  SetSharedCount(target, 2);  // another program's install
  std::wstring undone;
  {
    const win32::UniqueFile held(::CreateFileW(target.c_str(), GENERIC_READ, 0, nullptr,
                                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held);
    ASSERT_TRUE(PickFromLogMenu(*app, 3));  // Undo this run
    ASSERT_TRUE(WaitUntil([&] { return app->Log().starts_with(L"> Undoing the run of "); }));
    undone = AwaitDone(*app);
  }
  EXPECT_NE(undone.find(Line(L"> Keeping file " + target) +
                        FailedLine(L"it cannot be read (" + SystemMessage(ERROR_SHARING_VIOLATION) +
                                   L"), so Undo leaves it and its registration alone")),
            std::wstring::npos)
      << Narrow(undone);
  EXPECT_EQ(SharedCount(target), 2u);
  ClickSurface(*app);
  ASSERT_TRUE(WaitUntil([&] { return ListBack(*app); }));
  ::PostMessageW(app->Main().Handle(), WM_SYSCOMMAND, 1 << 4, 0);  // Undo the last run: the same

  ASSERT_TRUE(WaitUntil([&] { return app->Log().starts_with(L"> Undoing the run of "); }));
  undone = AwaitDone(*app);
  EXPECT_EQ(undone.find(L"failed"), std::wstring::npos) << Narrow(undone);
  EXPECT_TRUE(FileExists(target));
  EXPECT_EQ(SharedCount(target), 1u);
  EXPECT_EQ(InprocServer(kNormalClsidString), target);
  ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSharedDlls, target.c_str());
}

// A class's InprocServer32 is anyone's text: one that holds line ends, tabs and records of its
// own adds nothing to the journal, so Undo does what the run did and no more.
TEST_F(Journal, ARegistryValueCannotAddRecordsThatUndoCarriesOut) {
  TempFolder mine;
  const std::wstring precious = mine.Write(L"precious.dll", "the user's own file");
  const std::string bytes = FileContent(precious);
  const std::string hash = Sha256Hex(std::as_bytes(std::span(bytes)));
  const std::wstring forged = L"x.dll\r\nabsent\t" + precious + L"\r\ncopy\t" + precious + L"\t" +
                              Widen(hash) + L"\r\nregister\t" + precious;
  const std::wstring key = std::wstring(L"CLSID\\") + kNormalClsidString + L"\\InprocServer32";
  ASSERT_EQ(::RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, REG_SZ, forged.c_str(),
                              static_cast<DWORD>((forged.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
  folder.Copy(SamplePath(L"kalvenor_sample.dll"), L"comp.dll");
  Start();
  ASSERT_EQ(RunToEnd(*app, SetupId::cmdInstall).find(L"failed"), std::wstring::npos);
  ASSERT_TRUE(PickFromLogMenu(*app, 3));  // Undo this run
  ASSERT_TRUE(WaitUntil([&] { return app->Log().starts_with(L"> Undoing the run of "); }));
  const std::wstring undone = AwaitDone(*app);
  EXPECT_EQ(undone.find(L"precious"), std::wstring::npos) << Narrow(undone);
  EXPECT_TRUE(FileExists(precious));
  EXPECT_EQ(InprocServer(kNormalClsidString), forged);
}

TEST_F(Journal, AFileInUseIsReplacedAndTheOldOneGoesAtTheRestart) {
  const std::wstring target = windows.PutCopy(SamplePath(L"sample_newer.dll"), L"held.dll");
  const HMODULE held = ::LoadLibraryW(target.c_str());
  ASSERT_NE(held, nullptr);
  const std::wstring source = folder.Copy(SamplePath(L"kalvenor_sample.dll"), L"held.dll");
  Start();
  const std::wstring aside = target + L".kalvenor-old";
  EXPECT_EQ(RunToEnd(*app, SetupId::cmdBlindCopy),
            CopyLines(source, target) +
                Line(L"|      in use by a running program, which Windows does not name") +
                Line(L"|      renamed it to " + aside +
                     L", which goes at the next restart; programs started from now on get the "
                     L"new file") +
                Line(L"Restart Windows to finish: the files that were in use go then.") +
                DoneLines());
  EXPECT_TRUE(SameContent(target, source));
  EXPECT_NE(PendingRenames().find(LowerCase(aside)), std::wstring::npos)
      << Narrow(PendingRenames());
  ::FreeLibrary(held);
}

// A file of over 1 GiB replaced and undone comes back whole: it is backed up and hashed a piece
// at a time, in a build of either bitness. Sparse, it takes room only for its backup and the
// copy Undo puts back, in a store of the test's own that goes at its end.
TEST_F(Journal, AFileOfOverAGibibyteComesBackWholeByUndo) {
  constexpr ULONGLONG kSize = (1ULL << 30) + 4097;
  ULARGE_INTEGER free{};
  ASSERT_TRUE(::GetDiskFreeSpaceExW(windows.System().c_str(), &free, nullptr, nullptr));
  if (free.QuadPart < 3 * kSize) {
    GTEST_SKIP() << "the drive holds " << (free.QuadPart >> 20) << " MiB free, less than the "
                 << (3 * kSize >> 20) << " MiB that the file, its backup and its copy back take";
  }
  const std::string tail = "the tail";
  const std::wstring target = windows.Target(L"huge.dll");
  // Written at its end only, the file is sparse.
  const auto atTail = [&](HANDLE file) {
    return ::SetFilePointerEx(file, {.QuadPart = static_cast<LONGLONG>(kSize - tail.size())},
                              nullptr, FILE_BEGIN);
  };
  {
    const win32::UniqueFile file(::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr,
                                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(
        file && atTail(file.get()) &&
        ::WriteFile(file.get(), tail.data(), static_cast<DWORD>(tail.size()), &written, nullptr));
  }
  struct OwnStore {
    std::wstring store = EnvironmentVariable(L"ProgramData") + L"\\Kalvenor";
    TempFolder earlier, used;
    OwnStore() { ::MoveFileW(store.c_str(), earlier.PathOf(L"store").c_str()); }
    ~OwnStore() {
      ::MoveFileW(store.c_str(), used.PathOf(L"store").c_str());
      ::MoveFileW(earlier.PathOf(L"store").c_str(), store.c_str());
    }
  } own;
  // Unattended: the window takes no messages while a step copies a gibibyte.
  const std::wstring exe = folder.Copy(UnderTest().exe, L"kalvenor.exe");
  folder.Copy(SamplePath(L"kalvenor_sample.dll"), L"huge.dll");
  const std::wstring log = folder.PathOf(L"run.log");
  for (const wchar_t* arguments :
       {L"/copy /quiet /log:run.log huge.dll", L"/undo /quiet /log:run.log"}) {
    SCOPED_TRACE(Narrow(arguments));
    ASSERT_EQ(RunUnattended(exe, arguments, windows, folder.Path()).exitCode, 0u)
        << FileContent(log);
  }
  const win32::UniqueFile file(::CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size{};
  ASSERT_TRUE(file && ::GetFileSizeEx(file.get(), &size));
  EXPECT_EQ(static_cast<ULONGLONG>(size.QuadPart), kSize);
  std::string read(tail.size(), '\0');
  DWORD got = 0;
  ASSERT_TRUE(atTail(file.get()) &&
              ::ReadFile(file.get(), read.data(), static_cast<DWORD>(read.size()), &got, nullptr));
  EXPECT_EQ(read, tail);
}

// A file that anyone could have made where the store goes is moved aside, and the run journals
// into a store made anew, which Undo then works from.
TEST_F(Journal, AFileInTheStoresPlaceIsMovedAsideAndTheRunKeepsItsJournal) {
  const std::wstring store = EnvironmentVariable(L"ProgramData") + L"\\Kalvenor";
  TempFolder earlier;  // the store of the runs before, out of the way and removed at the end
  ::MoveFileW(store.c_str(), earlier.PathOf(L"store").c_str());
  ASSERT_TRUE(::MoveFileW(earlier.Write(L"planted").c_str(), store.c_str()));
  const std::wstring target = windows.Put(L"comp.dll", "before");
  folder.Copy(SamplePath(L"kalvenor_sample.dll"), L"comp.dll");
  Start();
  const std::wstring log = RunToEnd(*app, SetupId::cmdBlindCopy);
  const std::wstring said =
      L"|      the journal's store " + store + L" could be changed by others, so it was moved to ";
  ASSERT_TRUE(log.starts_with(said + store + L".untrusted-")) << Narrow(log);
  const std::wstring aside = log.substr(said.size(), log.find(L" and made anew") - said.size());
  EXPECT_TRUE(::DeleteFileW(aside.c_str())) << Narrow(aside) << " is no file";

  ASSERT_TRUE(PickFromLogMenu(*app, 3));  // Undo this run
  ASSERT_TRUE(WaitUntil([&] { return app->Log().starts_with(L"> Undoing the run of "); }));
  const std::wstring undone = AwaitDone(*app);
  EXPECT_EQ(undone.find(L"failed"), std::wstring::npos) << Narrow(undone);
  EXPECT_EQ(FileContent(target), "before");
}

// The session manager deletes at the restart by the names of a 64-bit program: a 32-bit
// program's file in the system directory is named in the WOW64 one, where it lies.
TEST_F(Journal, ADeleteAtTheRestartNamesTheFileWhereItLies) {
  const std::wstring name = L"kalvenor-e2e-" + std::to_wstring(::GetCurrentProcessId()) + L".old";
  const std::wstring path = OwnSystemDirectory() + L"\\" + name;
  ASSERT_TRUE(::CopyFileW(folder.Write(name).c_str(), path.c_str(), FALSE));
  EXPECT_TRUE(win32::Win32System().DeleteAtRestart(Narrow(path)).ok());
  wchar_t wow64[MAX_PATH] = {};
  ::GetSystemWow64DirectoryW(wow64, MAX_PATH);
  const std::wstring lies = (sizeof(void*) == 4 ? wow64 : OwnSystemDirectory()) + L"\\" + name;
  EXPECT_NE(PendingRenames().find(LowerCase(lies)), std::wstring::npos) << Narrow(PendingRenames());
  ::DeleteFileW(path.c_str());
}

// Killed half-way through an Install of 50 components, half of them over files in place: a new
// instance's "Undo the last run" puts back every file and the class as they were. The new
// instance is this process's own window, which a test can reach the system menu of.
TEST_F(Journal, ARunKilledHalfWayIsUndoneByANewInstance) {
  std::vector<std::wstring> targets;
  for (int i = 0; i < 50; ++i) {
    const std::wstring name = L"part" + std::to_wstring(i) + L".dll";
    folder.Copy(SamplePath(L"sample_older.dll"), name);
    targets.push_back(windows.Target(name));
    if (i % 2 == 0) windows.PutCopy(SamplePath(L"sample_newer.dll"), name);
  }
  ASSERT_TRUE(Register(targets[0]));
  Start();
  app->Control(SetupId::cmdInstall).Click();
  ASSERT_TRUE(
      WaitUntil([&] { return app->Log().find(L"part20.dll") != std::wstring::npos; }, kRunTimeout));
  app->Kill();

  const std::wstring windowsDir = windows.System().substr(0, windows.System().rfind(L'\\'));
  const std::wstring ownWindows = EnvironmentVariable(L"WINDIR");
  ::SetEnvironmentVariableW(L"WINDIR", windowsDir.c_str());
  {
    win32::Win32System system;
    win32::Win32Toolkit toolkit(::GetModuleHandleW(nullptr));
    platform::Services services{toolkit, system};
    engine::Engine engine(services);
    Selection selection;
    frmSetup setup(services, engine, selection);
    const HWND window = static_cast<win32::Win32Form&>(setup.Window()).Handle();
    ::PostMessageW(window, WM_SYSCOMMAND, 1 << 4, 0);  // "Undo the last run"
    ASSERT_TRUE(WaitUntil(
        [&] {
          toolkit.DoEvents();
          return setup.Done();
        },
        kRunTimeout));
    const std::string log = setup.Window().TextBoxItem(Id(SetupId::txtOperations)).Text();
    EXPECT_EQ(log.find("failed"), std::string::npos) << log;
    setup.Window().Unload();
  }
  ::SetEnvironmentVariableW(L"WINDIR", ownWindows.c_str());
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (i % 2 == 0) {
      EXPECT_TRUE(SameContent(targets[i], SamplePath(L"sample_newer.dll"))) << Narrow(targets[i]);
    } else {
      EXPECT_FALSE(FileExists(targets[i])) << Narrow(targets[i]);
    }
  }
  EXPECT_EQ(InprocServer(kNormalClsidString), targets[0]);
}

}  // namespace
}  // namespace kalvenor::e2e
