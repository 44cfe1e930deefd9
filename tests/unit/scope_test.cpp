// What a run may touch, decided before anything is written, and the faces that drive the
// engine: the command line with no window at all, or the window of one unattended run.
#include <gtest/gtest.h>

#include "cli/command_line.h"
#include "paths/paths.h"
#include "paths/windows_folders.h"
#include "setup/unattended_window.h"
#include "setup_fixture.h"

namespace kalvenor::testing {
namespace {

using Strings = std::vector<std::string>;

class ScopeTest : public SetupFixture {
 protected:
  ScopeTest() {
    platform.AddFolder("C:");
    platform.AddFolder("C:\\pkg");
    platform.AddFile("C:\\pkg\\comp.dll", {.content = "package"});
    platform.AddFile("C:\\WINDOWS\\system32\\kernel32.dll", {.content = "windows"});
    platform.AddFile("C:\\WINDOWS\\system32\\comp.dll", {.content = "in place"});
    // No window ever, not even while the tool runs.
    platform.onStart = [this](const std::string&, const std::string&) {
      EXPECT_TRUE(platform.Forms().empty());
      return platform::memory::ProcessScript{};
    };
  }
  std::string RunLog() { return platform.Content("C:\\run.log"); }
};

// A file's folder is one that opens as a folder: a volume's root keeps its backslash, since the
// volume's name alone opens the volume, not its root.
TEST(Paths, AFilesFolderIsOneThatOpensAsAFolder) {
  const std::pair<const char*, const char*> rows[] = {
      {"C:\\x.wxs", "C:\\"},
      {"\\\\?\\C:\\x.wxs", "\\\\?\\C:\\"},
      {"\\\\?\\Volume{5f1c}\\x.wxs", "\\\\?\\Volume{5f1c}\\"},
      {"\\\\.\\Volume{5f1c}\\x.wxs", "\\\\.\\Volume{5f1c}\\"},
      {"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume3\\x.wxs",
       "\\\\?\\GLOBALROOT\\Device\\HarddiskVolume3\\"},
      {"\\\\?\\GLOBALROOT\\??\\C:\\x.wxs", "\\\\?\\GLOBALROOT\\??\\C:\\"},
      {"\\\\?\\GLOBALROOT\\GLOBAL??\\Volume{5f1c}\\x.wxs",
       "\\\\?\\GLOBALROOT\\GLOBAL??\\Volume{5f1c}\\"},
      {"\\\\?\\Volume{5f1c}\\out\\x.wxs", "\\\\?\\Volume{5f1c}\\out"},
      {"\\\\?\\UNC\\server\\share\\x.wxs", "\\\\?\\UNC\\server\\share"},
  };
  for (const auto& [file, folder] : rows) EXPECT_EQ(paths::ParentFolder(file), folder) << file;
}

// A system directory is no package under any spelling; a file in one is its own target.
TEST_F(ScopeTest, ASystemDirectoryIsNeverAPackage) {
  platform.SetCurDir("C:\\Windows\\System32");
  // The system's own folder, whatever WINDIR says, and one a link leads to.
  platform.AddFolder("C:\\Real\\System32");
  platform.SetSystemFolders({"C:\\Real", "C:\\Real\\System32", ""});
  platform.AddFile("C:\\Real\\System32\\ntdll.dll");
  platform.AddFolder("C:\\Links");
  platform.AddLink("C:\\Links\\All Users", "C:\\WINDOWS");
  for (const char* item : {"C:\\WINDOWS\\system32", ".", "C:\\pkg\\..\\windows\\SYSTEM32\\",
                           "C:\\WINDOWS\\system32.", "C:.", "\\\\.\\C:\\windows\\system32",
                           "\\\\?\\C:\\windows\\system32", "\\\\localhost\\C$\\Windows\\System32",
                           "C:\\Links\\All Users\\System32 ", "C:\\Real\\System32"}) {
    SCOPED_TRACE(item);
    EXPECT_EQ(RunCommandLine({"/remove", "/quiet", "/log:C:\\run.log", item}), cli::kExitFailed);
    EXPECT_NE(RunLog().find("|      failed: it is a system directory: its files belong to "
                            "Windows and to the programs installed, not to a package"),
              std::string::npos)
        << RunLog();
  }
  EXPECT_TRUE(platform.started.empty());
  EXPECT_TRUE(platform.HasFile("C:\\WINDOWS\\system32\\kernel32.dll"));

  // Install registers the file where it is; Overwrite copy would copy it onto itself.
  const std::string inPlace = "C:\\WINDOWS\\system32\\comp.dll";
  EXPECT_EQ(RunCommandLine({"/install", "/quiet", "/log:C:\\run.log", inPlace}), cli::kExitDone);
  EXPECT_TRUE(RunLog().starts_with("> Not copying file " + inPlace +
                                   "\r\n|      it lies in the system directory already: it is "
                                   "registered where it is\r\n> Registering file " +
                                   inPlace))
      << RunLog();
  EXPECT_EQ(RunCommandLine({"/copy", "/quiet", "/log:C:\\run.log", inPlace}), cli::kExitFailed);
  EXPECT_NE(RunLog().find("failed: it lies in the system directory, and would be copied onto "
                          "itself"),
            std::string::npos);
  EXPECT_EQ(platform.Content(inPlace), "in place");
  EXPECT_EQ(platform.started.size(), 1u);
}

// WINDIR may name the system folder itself, which stays a system folder.
TEST_F(ScopeTest, AWindirNamingTheSystemFolderLeavesItOne) {
  platform.SetEnv("WINDIR", "C:\\WINDOWS\\system32");
  const paths::WindowsFolders folders = paths::WindowsFolders::Find(platform);
  EXPECT_TRUE(folders.IsSystemFolder(platform, "C:\\Windows\\System32"));
}

// A report file over a file the run reads, writes or keeps is refused before either is started.
TEST_F(ScopeTest, AReportNeverTakesTheRunsOwnFiles) {
  ASSERT_TRUE(platform.CreateProtectedFolder("C:\\ProgramData\\Kalvenor").ok());
  ASSERT_TRUE(platform.CreateProtectedFolder("C:\\ProgramData\\Kalvenor\\runs").ok());
  platform.AddFile("C:\\ProgramData\\Kalvenor\\runs\\journal.txt", {.content = "kept"});
  const std::pair<std::string, const char*> cases[] = {
      {"/log:c:\\windows\\system32\\COMP.DLL", "it lies in a system directory"},
      {"/json:C:\\pkg\\comp.dll", "it is one of the run's files"},
      {"/log:C:\\ProgramData\\Kalvenor\\runs\\journal.txt", "it lies in the journal's store"},
      // Other spellings, a link, and the program itself.
      {"/log:\\\\?\\C:\\WINDOWS\\system32\\comp.dll", "it lies in a system directory"},
      {"/json:\\\\.\\C:\\ProgramData\\Kalvenor\\runs\\journal.txt",
       "it lies in the journal's store"},
      {"/log:C:\\Links\\All Users\\system32\\comp.dll", "it lies in a system directory"},
      {"/log:C:\\ProgramData\\Kalvenor\\run.lock", "it lies in the journal's store"},
      {"/log:C:\\Kalvenor\\kalvenor.exe", "it is the program itself"},
      // Below a system directory, and a stream of the Windows folder.
      {"/log:C:\\WINDOWS\\system32\\drivers\\etc\\hosts", "it lies in a system directory"},
      {"/log:C:\\WINDOWS:x.log", "it names a stream of another file"},
  };
  platform.AddFolder("C:\\Links");
  platform.AddLink("C:\\Links\\All Users", "C:\\WINDOWS");
  platform.AddFile("C:\\Kalvenor\\kalvenor.exe", {.content = "program"});
  platform.AddFolder("C:\\WINDOWS\\system32\\drivers\\etc");
  platform.AddFile("C:\\WINDOWS\\system32\\drivers\\etc\\hosts", {.content = "hosts"});
  for (const auto& [report, why] : cases) {
    SCOPED_TRACE(report);
    platform.console = "";
    EXPECT_EQ(RunCommandLine({"/install", "/quiet", report, "C:\\pkg"}), cli::kExitBadArguments);
    EXPECT_NE(platform.console->find(why), std::string::npos) << *platform.console;
    EXPECT_NE(platform.Content("C:\\ProgramData\\Kalvenor\\runs\\journal.txt").size(), 0u);
  }
  EXPECT_EQ(platform.Content("C:\\Kalvenor\\kalvenor.exe"), "program");
  EXPECT_EQ(platform.Content("C:\\WINDOWS\\system32\\drivers\\etc\\hosts"), "hosts");
  EXPECT_FALSE(platform.HasFile("C:\\ProgramData\\Kalvenor\\run.lock"));
  // One new file under two spellings.
  EXPECT_EQ(
      RunCommandLine({"/install", "/quiet", "/log:C:\\r.log", "/json:\\\\?\\C:\\r.log", "C:\\pkg"}),
      cli::kExitBadArguments);
  EXPECT_EQ(platform.Content("C:\\WINDOWS\\system32\\comp.dll"), "in place");
  EXPECT_EQ(platform.Content("C:\\pkg\\comp.dll"), "package");
  EXPECT_TRUE(platform.started.empty());
  // Beside the store, as the README's Intune example keeps it, a log is welcome.
  EXPECT_EQ(RunCommandLine(
                {"/install", "/quiet", "/log:C:\\ProgramData\\Kalvenor\\intune.log", "C:\\pkg"}),
            cli::kExitDone);
}

// A report judged by its handle is judged where the handle leads, as one judged by its name.
TEST_F(ScopeTest, AReportJudgedByItsHandleIsJudgedWhereItLies) {
  platform.AddFolder("C:\\out");
  platform.AddLink("C:\\out\\sub", "C:\\WINDOWS\\system32");
  auto held = platform.OpenToWrite("C:\\out\\sub\\run.log");
  ASSERT_TRUE(held.ok());
  engine::Engine engine(services);
  EXPECT_EQ(engine.WhyNotReport({.items = {"C:\\pkg"}, .foldersAllowed = true}, *held.value()),
            "it lies in a system directory");
  held.value()->DiscardIfNew();
}

// A drive-relative item lies in the current folder, never becomes a stream of a file "C" in the
// system directory.
TEST_F(ScopeTest, ADriveRelativeItemIsTakenFromTheCurrentFolder) {
  platform.SetCurDir("C:\\pkg");
  EXPECT_EQ(RunCommandLine({"/install", "/quiet", "C:comp.dll"}), cli::kExitDone);
  ASSERT_EQ(platform.started.size(), 1u);
  EXPECT_EQ(platform.Content("C:\\WINDOWS\\system32\\comp.dll"), "package");
  EXPECT_FALSE(platform.HasFile("C:\\WINDOWS\\system32\\C:comp.dll"));
  // A file in a drive's root lies in no system directory, whatever the current folder.
  platform.SetCurDir("C:\\WINDOWS\\system32");
  platform.AddFile("C:\\root.dll", {.content = "root"});
  EXPECT_EQ(RunCommandLine({"/install", "/quiet", "C:\\root.dll"}), cli::kExitDone);
  EXPECT_EQ(platform.Content("C:\\WINDOWS\\system32\\root.dll"), "root");
}

// A file in the system directory under another spelling is registered by the name the run gives
// it, as clients find it.
TEST_F(ScopeTest, AFileInTheSystemDirectoryKeepsTheRunsNameForIt) {
  for (const char* item :
       {"\\\\.\\C:\\WINDOWS\\system32\\comp.dll", "C:\\WINDOWS\\system32.\\comp.dll"}) {
    SCOPED_TRACE(item);
    platform.started.clear();
    EXPECT_EQ(RunCommandLine({"/install", "/quiet", item}), cli::kExitDone);
    ASSERT_EQ(platform.started.size(), 1u);
    EXPECT_NE(platform.started[0].second.find("/s \"c:\\windows\\system32\\comp.dll\""),
              std::string::npos)
        << platform.started[0].second;
  }
}

// One file under its short and its long name is one item and one target.
TEST_F(ScopeTest, AShortNameIsTheLongOne) {
  platform.AddFile("C:\\pkg\\longname_component.dll");
  platform.AddShortName("C:\\pkg\\LONGNA~1.DLL", "C:\\pkg\\longname_component.dll");
  EXPECT_EQ(RunCommandLine(
                {"/install", "/quiet", "C:\\pkg\\LONGNA~1.DLL", "C:\\pkg\\longname_component.dll"}),
            cli::kExitDone);
  ASSERT_EQ(platform.started.size(), 1u);
  EXPECT_NE(platform.started[0].second.find("\\system32\\longname_component.dll"),
            std::string::npos);
  EXPECT_FALSE(platform.HasFile("C:\\WINDOWS\\system32\\LONGNA~1.DLL"));
}

// An unregistration that failed leaves the classes pointing at the file, which then stays.
TEST_F(ScopeTest, RemoveKeepsAFileItsClassesStillPointAt) {
  platform.SetRegistryString(platform::RegistryRoot::ClassesRoot, platform::RegistryView::Bits32,
                             "CLSID\\{00000000-0000-0000-0000-00000000C0DE}\\InprocServer32", "",
                             "C:\\Windows\\System32\\comp.dll");
  platform.onStart = [](const std::string&, const std::string&) {
    return platform::memory::ProcessScript{.exitCode = 5};
  };
  EXPECT_EQ(RunCommandLine({"/remove", "/quiet", "/log:C:\\run.log", "C:\\pkg\\comp.dll"}),
            cli::kExitFailed);
  EXPECT_NE(RunLog().find("|      failed: the file stays, since 1 class still points at it; "
                          "Undo of the run that installed it takes it out"),
            std::string::npos)
      << RunLog();
  EXPECT_TRUE(platform.HasFile("C:\\WINDOWS\\system32\\comp.dll"));
}

// The window of an unattended run ends the program at its done prompt, with that run's code,
// and offers no second run and no Undo.
TEST_F(ScopeTest, TheWindowOfAnUnattendedRunEndsWithIt) {
  engine::Engine engine(services);
  UnattendedWindow window(services, [&] {
    ASSERT_EQ(platform.Forms().size(), 2u);  // the window and its tip
    platform::Form& shown = *platform.Forms().front();
    platform.ContextMenu(shown, Id(SetupId::txtOperations));
    static_cast<platform::memory::MemoryForm&>(shown).ChooseSystemMenu(1);
    platform.Click(shown, Id(SetupId::cmdInstall));
    platform.Click(shown, platform::FormEvents::kSurface);
  });
  platform.onStart = nullptr;
  EXPECT_EQ(cli::RunCommandLine(services, engine, {"/install", "C:\\pkg\\comp.dll"}, window),
            cli::kExitDone);
  EXPECT_TRUE(platform.Forms().empty());
  ASSERT_EQ(platform.menus.size(), 1u);
  EXPECT_EQ(platform.menus[0], (Strings{"Copy all", "Save as..."}));
  EXPECT_EQ(platform.started.size(), 1u);  // the Install's registration alone
}

// Unattended, a run that cannot take the lock is a failure; one that another run holds, a retry.
TEST_F(ScopeTest, NoRunWithoutTheLock) {
  platform.lockFailure = platform::SystemError{5, "the journal's store may be changed by others"};
  EXPECT_EQ(RunCommandLine({"/install", "/quiet", "C:\\pkg"}), cli::kExitFailed);
  platform.lockFailure.reset();
  const auto other = platform.LockRuns();
  EXPECT_EQ(RunCommandLine({"/install", "/quiet", "C:\\pkg"}), cli::kExitAnotherRun);
  EXPECT_TRUE(platform.started.empty());
}

// In a system directory, automatic mode lists nothing, and the window says why.
TEST_F(ScopeTest, AutomaticModeListsNoSystemDirectory) {
  platform.SetApp({.path = "C:\\WINDOWS\\system32", .title = "Kalvenor"});
  Start();
  EXPECT_TRUE(ListItems().empty());
  ASSERT_EQ(platform.messageBoxes.size(), 1u);
  EXPECT_NE(platform.messageBoxes[0].find("Automatic mode lists no file of C:\\WINDOWS\\system32"),
            std::string::npos);
}

}  // namespace
}  // namespace kalvenor::testing
