// Unattended runs as deployment tools start them, with the system's own registration tool: the
// exit code each command ends with, read from Windows (a Linux shell cuts it to 8 bits), the
// log and JSON files they leave, no window with /quiet, and the usage text for bad arguments.
#include <gtest/gtest.h>

#include "journal/journal.h"
#include "lib/lib_filesystem.h"
#include "platform/win32/win32_system.h"
#include "run_support.h"
#include "samples/sample_clsids.h"

namespace kalvenor::e2e {
namespace {

using sample::kNormalClsidString;

class CommandLine : public ::testing::Test {
 protected:
  CommandLine() : exe(folder.Copy(UnderTest().exe, L"kalvenor.exe")) {}
  void TearDown() override {
    DeleteClsid(kNormalClsidString);
    // Every JSON line is parsed by the test command.
    const std::wstring keep = EnvironmentVariable(L"KALVENOR_JSON_DIR");
    const std::wstring json = folder.PathOf(L"run.json");
    if (!keep.empty() && FileExists(json)) {
      const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
      ::CopyFileW(json.c_str(),
                  (keep + L"\\" + Widen(test->name()) + L"-" + std::to_wstring(sizeof(void*) * 8) +
                   L".jsonl")
                      .c_str(),
                  FALSE);
    }
  }

  // Runs the program with `arguments` into the test's own Windows directory.
  Ended Run(const std::wstring& arguments,
            const std::function<void(DWORD)>& whileRunning = nullptr) const {
    return RunUnattended(exe, arguments, windows, folder.Path(), whileRunning);
  }

  PrivateWindows windows;
  TempFolder folder;
  std::wstring exe;
};

TEST_F(CommandLine, EachCommandEndsWithTheExitCodeDeploymentToolsRead) {
  const std::wstring comp = folder.Copy(SamplePath(L"kalvenor_sample.dll"), L"comp.dll");
  const std::wstring target = windows.Target(L"comp.dll");
  const std::wstring log = folder.PathOf(L"run.log");
  const struct {
    const wchar_t* arguments;
    DWORD exitCode;
    bool installed;  // the copy is there and registered afterwards
  } steps[] = {
      {L"/install /quiet /json:run.json comp.dll", 0, true},
      {L"/unregister /quiet comp.dll", 0, false},
      {L"/install /quiet comp.dll", 0, true},
      {L"/undo /quiet", 0, false},  // back to the unregistered copy
      {L"/install /quiet comp.dll gone.dll", 1603, true},
      // Installed three times, one share: the first Remove takes the file out.
      {L"/remove /quiet comp.dll", 0, false},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(Narrow(step.arguments));
    EXPECT_EQ(Run(std::wstring(step.arguments) + L" /log:run.log").exitCode, step.exitCode)
        << FileContent(log);
    EXPECT_EQ(InprocServer(kNormalClsidString) == target, step.installed) << FileContent(log);
  }
  EXPECT_FALSE(FileExists(target));
  EXPECT_TRUE(FileExists(comp));
}

TEST_F(CommandLine, AFileInUseEndsWithRestartNeeded) {
  const std::wstring target = windows.PutCopy(SamplePath(L"kalvenor_sample.dll"), L"held.dll");
  const HMODULE held = ::LoadLibraryW(target.c_str());
  ASSERT_NE(held, nullptr);
  folder.Copy(SamplePath(L"sample_plain.dll"), L"held.dll");
  EXPECT_EQ(Run(L"/copy /quiet /json:run.json held.dll").exitCode, 3010u);
  ::FreeLibrary(held);
}

TEST_F(CommandLine, AnotherRunInProgressOrBadArgumentsRunNothing) {
  folder.Copy(SamplePath(L"kalvenor_sample.dll"), L"comp.dll");
  {
    // The lock a run holds: its file in the store, open without sharing.
    const std::wstring store = EnvironmentVariable(L"ProgramData") + L"\\Kalvenor";
    ::CreateDirectoryW(store.c_str(), nullptr);
    const win32::UniqueFile run(::CreateFileW((store + L"\\run.lock").c_str(), GENERIC_WRITE, 0,
                                              nullptr, OPEN_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE,
                                              nullptr));
    ASSERT_TRUE(run);
    EXPECT_EQ(Run(L"/install /quiet comp.dll").exitCode, 1618u);
  }
  for (const wchar_t* bad : {L"/install /quiet", L"/install /frobnicate /quiet comp.dll",
                             L"/undo /quiet a b", L"/quiet comp.dll"}) {
    const Ended ended = Run(bad);
    EXPECT_EQ(ended.exitCode, 87u) << Narrow(bad);
    EXPECT_NE(ended.output.find("Usage: kalvenor.exe /install"), std::string::npos) << ended.output;
  }
  EXPECT_EQ(windows.SystemFiles(), std::vector<std::wstring>{L"regsvr32.exe"});
  // The mutex earlier versions locked with, which anyone may make, keeps no run out.
  const UniqueHandle squatted(::CreateMutexW(nullptr, TRUE, L"Global\\Kalvenor.Run"));
  EXPECT_EQ(Run(L"/copy /quiet comp.dll").exitCode, 0u);
}

// A run refused while another holds the lock leaves that run's reports whole and in order, though
// it names the same files.
TEST_F(CommandLine, ARefusedRunLeavesTheRunningRunsReportsWhole) {
  folder.Copy(SamplePath(L"sample_slow.dll"), L"slow.dll");
  const std::wstring log = folder.PathOf(L"run.log"), json = folder.PathOf(L"run.json");
  const std::wstring reports = L" /log:run.log /json:run.json";
  Ended refused;
  const Ended first = Run(L"/install /quiet slow.dll" + reports, [&](DWORD) {
    // The tool is at work on the component once its line is in the log.
    EXPECT_TRUE(AwaitValue(
        [&] {
          return FileExists(log) &&
                 FileContent(log).find("> Registering file") != std::string::npos;
        },
        true));
    refused = Run(L"/copy /quiet slow.dll" + reports);
  });
  DeleteClsid(sample::kSlowClsidString);
  const std::wstring target = windows.Target(L"slow.dll");
  ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSharedDlls, target.c_str());  // the share it took
  EXPECT_EQ(refused.exitCode, 1618u);
  EXPECT_NE(refused.output.find("another Kalvenor run is in progress"), std::string::npos)
      << refused.output;
  EXPECT_EQ(first.exitCode, 0u);
  const std::wstring written = Widen(FileContent(log));
  EXPECT_TRUE(written.starts_with(Line(L"> Copying file " + folder.PathOf(L"slow.dll"))))
      << Narrow(written);
  EXPECT_NE(written.find(RegisterLines(windows.Tool(), target)), std::wstring::npos);
  EXPECT_TRUE(written.ends_with(DoneLines())) << Narrow(written);
  EXPECT_EQ(written.find(L"another Kalvenor run"), std::wstring::npos) << Narrow(written);
  EXPECT_EQ(FileContent(json).find("another Kalvenor run"), std::string::npos);
  EXPECT_NE(FileContent(json).find("\"step\":\"register\""), std::string::npos);
}

// An Install keeps the program in the store, but never over a newer one another Install kept.
TEST_F(CommandLine, AnInstallNeverKeepsAnOlderProgramOverANewerOne) {
  folder.Copy(SamplePath(L"kalvenor_sample.dll"), L"comp.dll");
  const std::wstring store = EnvironmentVariable(L"ProgramData") + L"\\Kalvenor";
  const std::wstring kept = store + L"\\kalvenor.exe";
  ASSERT_EQ(Run(L"/install /quiet comp.dll").exitCode, 0u);
  const std::string program = FileContent(exe);
  ASSERT_TRUE(FileContent(kept) == program);
  // The same program with another major version in its fixed version information.
  const auto versioned = [&](std::uint16_t major) {
    std::string bytes = program;
    // The resources come last; the code before them checks the same signature.
    const std::size_t fixed = bytes.rfind("\xBD\x04\xEF\xFE");
    EXPECT_NE(fixed, std::string::npos);
    bytes[fixed + 10] = static_cast<char>(major & 0xFF);
    bytes[fixed + 11] = static_cast<char>(major >> 8);
    return bytes;
  };
  for (const std::uint16_t major : {99, 0}) {
    SCOPED_TRACE(major);
    const std::string before = versioned(major);
    {
      const TempFolder staging;
      ASSERT_TRUE(::MoveFileExW(staging.Write(L"k.exe", before).c_str(), kept.c_str(),
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED));
    }
    const Ended ended = Run(L"/install /quiet /log:run.log comp.dll");
    EXPECT_EQ(ended.exitCode, 0u);
    const std::string log = FileContent(folder.PathOf(L"run.log"));
    EXPECT_TRUE(FileContent(kept) == (major == 99 ? before : program));
    EXPECT_EQ(log.find("|      a newer Kalvenor (99.") != std::string::npos, major == 99) << log;
  }
  const std::wstring target = windows.Target(L"comp.dll");
  ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSharedDlls, target.c_str());  // the shares it took
}

// /undo takes the newest run: where its journal is held open or gone it refuses with the run's
// name and undoes no older one, which is undone by naming it.
TEST_F(CommandLine, UndoRefusesANewestRunWithoutAJournalAndUndoesAnOlderOneByName) {
  folder.Copy(SamplePath(L"kalvenor_sample.dll"), L"comp.dll");
  folder.Copy(SamplePath(L"sample_plain.dll"), L"plain.dll");
  const std::wstring target = windows.Target(L"comp.dll"), log = folder.PathOf(L"run.log");
  win32::Win32System system;
  ASSERT_EQ(Run(L"/install /quiet comp.dll").exitCode, 0u);
  const std::string installed = journal::Store(system).LastRun().value_or("");
  ASSERT_EQ(Run(L"/copy /quiet plain.dll").exitCode, 0u);
  const std::wstring newest = Widen(journal::Store(system).LastRun().value_or(""));
  const std::wstring journal = newest + L"\\journal.txt";
  for (const bool held : {true, false}) {
    SCOPED_TRACE(held);
    const win32::UniqueFile open(
        held ? ::CreateFileW(journal.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)
             : INVALID_HANDLE_VALUE);
    ASSERT_TRUE(held ? static_cast<bool>(open) : ::DeleteFileW(journal.c_str()));
    EXPECT_EQ(Run(L"/undo /quiet /log:run.log").exitCode, 1603u);
    const std::wstring why = held ? L"its journal cannot be read (" + SystemMessage(32) + L")"
                                  : L"its journal is missing";
    EXPECT_TRUE(Widen(FileContent(log))
                    .starts_with(Line(L"> Undoing the run of " + newest) +
                                 FailedLine(L"the run " + newest.substr(newest.rfind(L'\\') + 1) +
                                            L" cannot be undone: " + why)))
        << FileContent(log);
    EXPECT_EQ(InprocServer(kNormalClsidString), target);
  }
  EXPECT_EQ(Run(L"/undo /quiet " + Widen(File_GetName(installed))).exitCode, 0u);
  EXPECT_NE(InprocServer(kNormalClsidString), target);
  ::RemoveDirectoryW(newest.c_str());
}

// Not even a hidden one: a run started by a service has no desktop to make it on.
TEST_F(CommandLine, QuietMakesNoWindow) {
  folder.Copy(SamplePath(L"sample_slow.dll"), L"slow.dll");
  std::vector<std::wstring> seen;
  const Ended ended = Run(L"/install /quiet slow.dll", [&](DWORD process) {
    const UniqueHandle running(::OpenProcess(SYNCHRONIZE, FALSE, process));
    ASSERT_TRUE(running);
    do {
      for (HWND window : TopLevelWindows(process, [](HWND) { return true; })) {
        seen.push_back(Window(window).ClassName());
      }
    } while (::WaitForSingleObject(running.get(), 20) == WAIT_TIMEOUT);
  });
  EXPECT_EQ(ended.exitCode, 0u);
  EXPECT_EQ(seen, std::vector<std::wstring>{});
  DeleteClsid(sample::kSlowClsidString);
}

// A run that did nothing never ends in 0: each item must give a component, and the log must be
// writable. A backslash before a quote is the folder's, so the /quiet after it stays a switch.
TEST_F(CommandLine, NothingRunOrAnUnwritableLogIsNeverDone) {
  folder.MakeFolder(L"pkg");
  folder.Copy(SamplePath(L"kalvenor_sample.dll"), L"pkg\\comp.dll");
  folder.Write(L"controls.ax", "no component");
  folder.MakeFolder(L"empty");
  const std::wstring log = folder.PathOf(L"run.log");
  const std::pair<std::wstring, DWORD> steps[] = {
      {L"typo", 1603},
      {L"empty", 1603},
      {L"controls.ax", 1603},
      {L"/json:RUN.LOG pkg", 87},
      {L"/log:nowhere\\run.log pkg", 1622},
      {Quoted(folder.PathOf(L"pkg\\")), 0},
      {L"pkg\\comp.dll .\\PKG\\COMP.DLL pkg", 0},  // installed once
  };
  for (const auto& [arguments, exitCode] : steps) {
    SCOPED_TRACE(Narrow(arguments));
    ::DeleteFileW(log.c_str());
    const Ended ended = Run(L"/install /log:run.log " + arguments + L" /quiet");
    const std::string logged = FileExists(log) ? FileContent(log) : "";
    EXPECT_EQ(ended.exitCode, exitCode) << ended.output << logged;
    const std::size_t registered = logged.find("> Registering file ");
    EXPECT_EQ(registered != std::string::npos, exitCode == 0) << logged;
    EXPECT_EQ(registered, logged.rfind("> Registering file ")) << logged;
    if (exitCode == 1622) {
      EXPECT_NE(ended.output.find("cannot be written"), std::string::npos) << ended.output;
    }
  }
}

// Without /quiet the window shows the run and waits at the done prompt; the log file is the
// window's log, line for line.
TEST_F(CommandLine, TheLogFileIsTheWindowsLog) {
  TempFolder own;
  own.Copy(SamplePath(L"kalvenor_sample.dll"), L"comp.dll");
  const std::wstring file = own.PathOf(L"window.log");
  App app(own, {.environment = windows.ForProgram().environment,
                .arguments = L"/install /log:window.log comp.dll gone.dll"});
  const std::wstring log = AwaitDone(app);
  // The items that give no component come first, as failed steps.
  EXPECT_TRUE(log.starts_with(L"> File not found ")) << Narrow(log);
  EXPECT_EQ(Widen(FileContent(file)), log);
  ASSERT_TRUE(app.Close());
  EXPECT_EQ(app.ExitCode(), 1603u);
}

// The tool that started it waits for the process: the done prompt's click or key ends it with
// the run's exit code, where the window's own runs go back to the list.
TEST_F(CommandLine, TheDonePromptEndsTheProgramWithTheRunsExitCode) {
  const struct {
    const wchar_t* arguments;
    bool click;  // else a key
    DWORD exitCode;
  } runs[] = {{L"/install gone.dll", true, 1603}, {L"/install comp.dll", false, 0}};
  for (const auto& run : runs) {
    SCOPED_TRACE(Narrow(run.arguments));
    TempFolder own;
    own.Copy(SamplePath(L"kalvenor_sample.dll"), L"comp.dll");
    App app(own, {.environment = windows.ForProgram().environment, .arguments = run.arguments});
    ASSERT_TRUE(AwaitDone(app).ends_with(DoneLines()));
    if (run.click) {
      ClickSurface(app);
    } else {
      app.PressKey('K');
    }
    ASSERT_TRUE(app.WaitForExit());
    EXPECT_EQ(app.ExitCode(), run.exitCode);
  }
}

}  // namespace
}  // namespace kalvenor::e2e
