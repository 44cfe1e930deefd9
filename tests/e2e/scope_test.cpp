// What an unattended run may touch, with the system's own tool: never the system directory as a
// package, a file there registered where it lies, no report file over a file of the run's, a
// short name taken for its long one, and a file kept while classes still point at it.
#include <gtest/gtest.h>

#include "base/sha256.h"
#include "run_support.h"
#include "samples/sample_clsids.h"

namespace kalvenor::e2e {
namespace {

using Names = std::vector<std::wstring>;
using sample::kNormalClsidString;
using sample::kRegFailClsidString;

class Scope : public ::testing::Test {
 protected:
  Scope() : exe(folder.Copy(UnderTest().exe, L"kalvenor.exe")) {}
  void TearDown() override {
    DeleteClsid(kNormalClsidString);
    DeleteClsid(kRegFailClsidString);
  }

  // Runs the program from `currentDir` (its own folder by default), logging to run.log there.
  DWORD Run(const std::wstring& arguments, const std::wstring& currentDir = {}) const {
    ::DeleteFileW(log.c_str());
    return RunUnattended(exe, arguments + L" /log:" + Quoted(log), windows,
                         currentDir.empty() ? folder.Path() : currentDir)
        .exitCode;
  }
  std::wstring Log() const { return FileExists(log) ? Widen(FileContent(log)) : L""; }

  PrivateWindows windows;
  TempFolder folder;
  std::wstring exe;
  std::wstring log = folder.PathOf(L"run.log");
};

// Each file there is Windows' own or another installer's: a Remove of the folder would take
// them all out.
TEST_F(Scope, TheSystemDirectoryIsNoPackageInAnySpelling) {
  const std::wstring target = windows.PutCopy(SamplePath(L"kalvenor_sample.dll"), L"comp.dll");
  ASSERT_EQ(ExitCodeOf(windows.Tool(), L"regsvr32.exe /s " + Quoted(target)), 0u);
  const std::wstring system = windows.System();
  std::wstring upper = system;
  ::CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
  const std::wstring drive = system.substr(0, 2);
  const struct {
    std::wstring given;
    std::wstring currentDir;  // the program's own folder when empty
    bool named = true;        // the log names the folder as the program was given it, made full
  } spellings[] = {
      {Quoted(system), L""},
      {Quoted(system + L"\\"), L""},            // a trailing backslash
      {Quoted(upper), L""},                     // in capitals
      {Quoted(system + L"\\..\\system"), L""},  // by way of its parent
      {L".", system},                           // the current folder, there
      {Quoted(system + L"."), L"", false},      // a trailing dot, which Windows drops
      {Quoted(system + L" "), L"", false},      // a trailing blank, the same
      {drive + L".", system, false},            // the drive's current folder, there
      {Quoted(L"\\\\.\\" + system), L"", false},
      {Quoted(L"\\\\?\\" + system), L"", false},
  };
  for (const wchar_t* command : {L"/remove", L"/install"}) {
    for (const auto& [given, currentDir, named] : spellings) {
      SCOPED_TRACE(Narrow(command + (L" " + given)));
      EXPECT_EQ(Run(command + (L" /quiet " + given), currentDir), 1603u) << Narrow(Log());
      const std::wstring refused = FailedLine(
          L"it is a system directory: its files belong to Windows and to the programs "
          L"installed, not to a package");
      EXPECT_NE(LowerCase(Log()).find(
                    LowerCase(named ? Line(L"> Adding folder " + system) + refused : refused)),
                std::wstring::npos)
          << Narrow(Log());
      EXPECT_EQ(Log().find(L"OP> "), std::wstring::npos) << Narrow(Log());
      EXPECT_EQ(windows.SystemFiles(), (Names{L"comp.dll", L"regsvr32.exe"}));
      EXPECT_EQ(InprocServer(kNormalClsidString), target);
    }
  }
  // The system's own system directory, while WINDIR names another: never a package either. An
  // Install, which would copy it, not a Remove, which would take the prefix's own files out.
  wchar_t own[MAX_PATH] = {};
  ASSERT_GT(::GetSystemDirectoryW(own, MAX_PATH), 0u);
  EXPECT_EQ(Run(L"/install /quiet " + Quoted(own)), 1603u) << Narrow(Log());
  EXPECT_NE(Log().find(L"failed: it is a system directory"), std::wstring::npos) << Narrow(Log());
  EXPECT_EQ(windows.SystemFiles(), (Names{L"comp.dll", L"regsvr32.exe"}));
}

TEST_F(Scope, AFileInTheSystemDirectoryIsRegisteredWhereItLiesAndNeverCopiedOntoItself) {
  const std::wstring sample = SamplePath(L"kalvenor_sample.dll");
  const std::wstring target = windows.PutCopy(sample, L"comp.dll");
  EXPECT_EQ(Run(L"/install /quiet " + Quoted(target)), 0u);
  // Then the command that detects what it installed.
  const std::wstring installed = Log();
  EXPECT_EQ(installed.substr(0, installed.find(L"> Detecting this install\r\n")),
            Line(L"> Not copying file " + target) +
                Line(L"|      it lies in the system directory already: it is registered "
                     L"where it is") +
                RegisterLines(windows.Tool(), target));
  const std::string bytes = FileContent(target);
  EXPECT_TRUE(installed.ends_with(L"/verify /detect 'comp.dll@sha256:" +
                                  Widen(Sha256Hex(std::as_bytes(std::span(bytes)))) + L"'\r\n" +
                                  DoneLines()))
      << installed;
  EXPECT_EQ(InprocServer(kNormalClsidString), target);

  EXPECT_EQ(Run(L"/copy /quiet " + Quoted(target)), 1603u);
  EXPECT_EQ(Log(), Line(L"> Copying file " + target) +
                       FailedLine(L"it lies in the system directory, and would be copied onto "
                                  L"itself") +
                       DoneLines());
  EXPECT_TRUE(SameContent(target, sample));
  EXPECT_EQ(windows.SystemFiles(), (Names{L"comp.dll", L"regsvr32.exe"}));
  ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSharedDlls, target.c_str());  // the share it took
}

// The report files are emptied when the run starts: each must be refused before that.
TEST_F(Scope, AReportFileOverAFileOfTheRunsIsRefusedBeforeAnythingRuns) {
  const std::wstring source = folder.Copy(SamplePath(L"kalvenor_sample.dll"), L"comp.dll");
  const std::wstring older = SamplePath(L"sample_older.dll");
  const std::wstring target = windows.PutCopy(older, L"comp.dll");
  const std::wstring store = EnvironmentVariable(L"ProgramData") + L"\\Kalvenor";
  ::CreateDirectoryW(store.c_str(), nullptr);
  ::CreateDirectoryW((store + L"\\runs").c_str(), nullptr);
  const TempFolder inStore(L"e2e-", store + L"\\runs");
  const struct {
    const char* option;
    std::wstring file;
    const char* why;
  } reports[] = {
      {"/log:", target, "it lies in a system directory"},
      {"/json:", source, "it is one of the run's files"},
      {"/log:", inStore.Write(L"kept.log", "kept"), "it lies in the journal's store"},
  };
  // The same files by other spellings, and the store's own files, through a link too.
  const std::wstring journal = inStore.Write(L"journal.txt", "a journal");
  const std::wstring others[][2] = {
      {L"\\\\?\\" + target, L"it lies in a system directory"},
      {L"\\\\.\\" + target, L"it lies in a system directory"},
      {target + L".", L"it lies in a system directory"},
      {L"\\\\?\\" + journal, L"it lies in the journal's store"},
      {L"\\\\.\\" + journal, L"it lies in the journal's store"},
      {store + L"\\kalvenor.exe", L"it lies in the journal's store"},
      {store + L"\\capture-x64.exe", L"it lies in the journal's store"},
      {store + L"\\run.lock", L"it lies in the journal's store"},
  };
  for (const auto& [file, why] : others) {
    for (const char* option : {"/log:", "/json:"}) {
      SCOPED_TRACE(option + Narrow(file));
      const bool existed = FileExists(file);
      const std::string before = existed ? FileContent(file) : std::string();
      const Ended ended = RunUnattended(
          exe, L"/install /quiet " + Widen(option) + Quoted(file) + L" " + Quoted(source), windows,
          folder.Path());
      EXPECT_EQ(ended.exitCode, 87u) << ended.output;
      EXPECT_NE(ended.output.find(Narrow(why)), std::string::npos) << ended.output;
      EXPECT_EQ(FileExists(file), existed);
      EXPECT_EQ(existed ? FileContent(file) : std::string(), before);
    }
  }
  for (const auto& report : reports) {
    SCOPED_TRACE(Narrow(report.file));
    const std::string before = FileContent(report.file);
    const std::wstring arguments =
        L"/install /quiet " + Widen(report.option) + Quoted(report.file) + L" " + Quoted(source);
    const Ended ended = RunUnattended(exe, arguments, windows, folder.Path());
    EXPECT_EQ(ended.exitCode, 87u);
    EXPECT_TRUE(ended.output.starts_with("Kalvenor: " + std::string(report.option) +
                                         " cannot name " + Narrow(report.file) + ": " + report.why))
        << ended.output;
    EXPECT_EQ(FileContent(report.file), before);
  }
  EXPECT_TRUE(SameContent(target, older));
  EXPECT_EQ(InprocServer(kNormalClsidString), std::nullopt);
}

// Windows makes a short name for each long one; the copy and its count go by the long name.
TEST_F(Scope, AShortNameIsTheFileOfItsLongName) {
  const std::wstring source =
      folder.Copy(SamplePath(L"kalvenor_sample.dll"), L"longname_component.dll");
  std::wstring shortPath(MAX_PATH, L'\0');
  shortPath.resize(::GetShortPathNameW(source.c_str(), shortPath.data(), MAX_PATH));
  ASSERT_NE(shortPath.find(L'~', shortPath.rfind(L'\\')), std::wstring::npos) << Narrow(shortPath);

  EXPECT_EQ(Run(L"/install /quiet " + Quoted(source) + L" " + Quoted(shortPath)), 0u);
  const std::wstring installed = Log();
  const std::size_t registered = installed.find(L"> Registering file ");
  EXPECT_NE(registered, std::wstring::npos) << Narrow(installed);
  EXPECT_EQ(registered, installed.rfind(L"> Registering file ")) << Narrow(installed);
  EXPECT_EQ(windows.SystemFiles(), (Names{L"longname_component.dll", L"regsvr32.exe"}));
  EXPECT_EQ(InprocServer(kNormalClsidString), windows.Target(L"longname_component.dll"));

  EXPECT_EQ(Run(L"/remove /quiet " + Quoted(shortPath)), 0u) << Narrow(Log());
  EXPECT_EQ(windows.SystemFiles(), Names{L"regsvr32.exe"});
  EXPECT_EQ(InprocServer(kNormalClsidString), std::nullopt);
}

// Deleted, the file would leave its class pointing at nothing: clients would fail to load it.
TEST_F(Scope, RemoveKeepsAFileThatAClassStillPointsAt) {
  folder.Copy(SamplePath(L"sample_regfail.dll"), L"stuck.dll");
  const std::wstring target = windows.PutCopy(SamplePath(L"sample_regfail.dll"), L"stuck.dll");
  const std::wstring key = std::wstring(L"CLSID\\") + kRegFailClsidString + L"\\InprocServer32";
  ASSERT_EQ(::RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, REG_SZ, target.c_str(),
                              static_cast<DWORD>((target.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);

  EXPECT_EQ(Run(L"/remove /quiet stuck.dll"), 1603u);
  const std::wstring removed = Log();
  EXPECT_NE(removed.find(UnregisterLines(windows.Tool(), target)), std::wstring::npos)
      << Narrow(removed);
  EXPECT_NE(removed.find(FailedLine(L"the file stays, since 1 class still points at it; Undo of "
                                    L"the run that installed it takes it out")),
            std::wstring::npos)
      << Narrow(removed);
  EXPECT_EQ(removed.find(L"> Deleting file "), std::wstring::npos) << Narrow(removed);
  EXPECT_TRUE(FileExists(target));
  EXPECT_EQ(InprocServer(kRegFailClsidString), target);
}

// The tool runs in the system directory, not in the package's folder it was started from: a DLL
// the component needs that lies only in the package would let it register there and then fail
// every client once the package is gone.
// A report is never written through another name of a file, planted where it goes.
TEST_F(Scope, AReportIsNeverWrittenThroughALinkPlantedInItsPlace) {
  folder.Copy(SamplePath(L"kalvenor_sample.dll"), L"comp.dll");
  const std::wstring victim = folder.Write(L"victim.txt", "someone else's");
  const std::wstring planted = folder.PathOf(L"k.log");
  ASSERT_TRUE(::CreateHardLinkW(planted.c_str(), victim.c_str(), nullptr));
  const Ended ended =
      RunUnattended(exe, L"/install /quiet /log:k.log comp.dll", windows, folder.Path());
  EXPECT_EQ(ended.exitCode, 1622u) << ended.output;
  EXPECT_NE(ended.output.find("other names"), std::string::npos) << ended.output;
  EXPECT_EQ(FileContent(victim), "someone else's");
  EXPECT_EQ(windows.SystemFiles(), (Names{L"regsvr32.exe"}));
}

TEST_F(Scope, ADependencyLeftInThePackageFailsTheRegistration) {
  folder.Copy(SamplePath(L"sample_sibling_helper.dll"), L"sample_sibling_helper.dll");
  const std::wstring source = folder.Copy(SamplePath(L"sample_sibling.dll"), L"sample_sibling.dll");
  const std::wstring target = windows.Target(L"sample_sibling.dll");

  EXPECT_EQ(Run(L"/install /quiet sample_sibling.dll"), 1603u);
  const std::wstring log = Log();
  EXPECT_NE(log.find(RegisterLines(windows.Tool(), target) +
                     FailedLine(L"regsvr32.exe exit code 3, the file could not be loaded") +
                     CauseLine(L"needs sample_sibling_helper.dll, which lies beside " + source +
                               L" but is not beside the copy: install it before this one, or "
                               L"copy it into " +
                               windows.System())),
            std::wstring::npos)
      << Narrow(log);
}

}  // namespace
}  // namespace kalvenor::e2e
