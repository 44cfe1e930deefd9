// Unattended runs as deployment tools start them, with the system's own registration tool: the
// exit code each command ends with, read from Windows (a Linux shell cuts it to 8 bits), the
// log and JSON files they leave, no window with /quiet, and the usage text for bad arguments.
#include <gtest/gtest.h>

#include "run_support.h"
#include "samples/sample_clsids.h"

namespace kalvenor::e2e {
namespace {

using sample::kNormalClsidString;

struct Ended {
  DWORD exitCode = 0;
  std::string output;  // what it wrote to its standard output
};

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

  // Runs the program with `arguments` into the test's own Windows directory, its output caught
  // in a pipe; `whileRunning` is called with its process id as it runs.
  Ended Run(const std::wstring& arguments,
            const std::function<void(DWORD)>& whileRunning = nullptr) const {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    EXPECT_TRUE(::CreatePipe(&read, &write, &inherit, 0));
    const UniqueHandle reader(read);
    UniqueHandle writer(write);
    ::SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = write;
    std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
    const std::wstring ownWindows = EnvironmentVariable(L"WINDIR");
    ::SetEnvironmentVariableW(L"WINDIR", WindowsDir().c_str());
    PROCESS_INFORMATION started{};
    const BOOL ok = ::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                                     nullptr, folder.Path().c_str(), &startup, &started);
    ::SetEnvironmentVariableW(L"WINDIR", ownWindows.c_str());
    EXPECT_TRUE(ok);
    if (!ok) return {};
    const UniqueHandle process(started.hProcess), thread(started.hThread);
    writer.reset();
    if (whileRunning) whileRunning(started.dwProcessId);
    Ended ended;
    char chunk[4096];
    DWORD got = 0;
    while (::ReadFile(read, chunk, sizeof chunk, &got, nullptr) && got > 0) {
      ended.output.append(chunk, got);
    }
    EXPECT_EQ(::WaitForSingleObject(process.get(), 120000), WAIT_OBJECT_0);
    ::GetExitCodeProcess(process.get(), &ended.exitCode);
    return ended;
  }
  std::wstring WindowsDir() const {
    return windows.System().substr(0, windows.System().rfind(L'\\'));
  }
  std::wstring Quoted(const std::wstring& path) const { return L"\"" + path + L"\""; }

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
                             L"/undo /quiet comp.dll", L"/quiet comp.dll"}) {
    const Ended ended = Run(bad);
    EXPECT_EQ(ended.exitCode, 87u) << Narrow(bad);
    EXPECT_NE(ended.output.find("Usage: kalvenor.exe /install"), std::string::npos) << ended.output;
  }
  EXPECT_EQ(windows.SystemFiles(), std::vector<std::wstring>{L"regsvr32.exe"});
  // The mutex earlier versions locked with, which anyone may make, keeps no run out.
  const UniqueHandle squatted(::CreateMutexW(nullptr, TRUE, L"Global\\Kalvenor.Run"));
  EXPECT_EQ(Run(L"/copy /quiet comp.dll").exitCode, 0u);
}

TEST_F(CommandLine, QuietShowsNoWindow) {
  folder.Copy(SamplePath(L"sample_slow.dll"), L"slow.dll");
  int looks = 0, seen = 0;
  const Ended ended = Run(L"/install /quiet slow.dll", [&](DWORD process) {
    // The tool takes 2 s: look while it works.
    for (; looks < 15; ++looks, ::Sleep(100)) {
      seen += static_cast<int>(TopLevelWindows(process, [](HWND window) {
                                 return ::IsWindowVisible(window) != 0;
                               }).size());
    }
  });
  EXPECT_EQ(ended.exitCode, 0u);
  EXPECT_EQ(seen, 0);
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

}  // namespace
}  // namespace kalvenor::e2e
