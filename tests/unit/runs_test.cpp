#include <gtest/gtest.h>

#include "base/text.h"
#include "cli/command_line.h"
#include "journal/journal.h"
#include "journal/shares.h"
#include "pe_writer.h"
#include "setup_fixture.h"

namespace kalvenor::testing {
namespace {

using Strings = std::vector<std::string>;
using platform::memory::MemoryError;
using platform::memory::ProcessScript;

constexpr char kTool[] = "c:\\windows\\system32\\regsvr32.exe";
constexpr char kDone[] = "Done. Click on the form or hit any key.";

class RunsTest : public SetupFixture {
 protected:
  RunsTest() {
    platform.AddFile("C:\\Kalvenor\\a.dll", {.content = "new a"});
    platform.AddFile("C:\\Kalvenor\\my lib.ocx", {.content = "new lib"});
  }
  // Every registration tool run ends with `exitCode`.
  void ToolExitsWith(std::uint32_t exitCode) {
    platform.onStart = [exitCode](const std::string&, const std::string&) {
      ProcessScript script;
      script.exitCode = exitCode;
      return script;
    };
  }
  Strings CommandLines() {
    Strings lines;
    for (const auto& [program, commandLine] : platform.started) {
      EXPECT_EQ(program, kTool);
      lines.push_back(commandLine);
    }
    return lines;
  }
  bool HasTemporaryFiles() {
    for (const std::string& file : platform.Files()) {
      if (file.find(".kalvenor-copy") != std::string::npos) return true;
    }
    return false;
  }
};

TEST_F(RunsTest, InstallCopiesThenRegistersEachFile) {
  Start();
  Click(SetupId::cmdInstall);
  EXPECT_EQ(LogLines(),
            (Strings{"> Copying file C:\\Kalvenor\\a.dll", "|      to c:\\windows\\system32\\a.dll",
                     "OP> FileCopy C:\\Kalvenor\\a.dll, c:\\windows\\system32\\a.dll",
                     "> Registering file c:\\windows\\system32\\a.dll",
                     "OP> ShellAndWait c:\\windows\\system32\\regsvr32.exe /s "
                     "\"c:\\windows\\system32\\a.dll\"",
                     "> Copying file C:\\Kalvenor\\my lib.ocx",
                     "|      to c:\\windows\\system32\\my lib.ocx",
                     "OP> FileCopy C:\\Kalvenor\\my lib.ocx, c:\\windows\\system32\\my lib.ocx",
                     "> Registering file c:\\windows\\system32\\my lib.ocx",
                     "OP> ShellAndWait c:\\windows\\system32\\regsvr32.exe /s "
                     "\"c:\\windows\\system32\\my lib.ocx\"",
                     "", kDone}));
  EXPECT_EQ(platform.Content("c:\\windows\\system32\\my lib.ocx"), "new lib");
  EXPECT_EQ(CommandLines(),
            (Strings{std::string(kTool) + " /s \"c:\\windows\\system32\\a.dll\"",
                     std::string(kTool) + " /s \"c:\\windows\\system32\\my lib.ocx\""}));
  EXPECT_TRUE(setup->Done());
  EXPECT_FALSE(HasTemporaryFiles());
}

TEST_F(RunsTest, TheFourCommandLineForms) {
  Start();
  Click(SetupId::chkSilent);  // off
  Click(SetupId::cmdInstall);
  ClickSurface();
  Click(SetupId::cmdRemove);
  ClickSurface();
  Click(SetupId::chkSilent);  // on
  Click(SetupId::cmdRemove);
  const std::string a = "\"c:\\windows\\system32\\a.dll\"";
  const Strings lines = CommandLines();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], std::string(kTool) + " " + a);
  EXPECT_EQ(lines[2], std::string(kTool) + " /u " + a);
  EXPECT_EQ(lines[4], std::string(kTool) + " /u /s " + a);
  EXPECT_NE(Log().find("OP> ShellAndWait " + lines[4] + "\r\n"), std::string::npos);
}

TEST_F(RunsTest, RemoveDeletesOnlyInAutomaticMode) {
  platform.AddFile("c:\\windows\\system32\\a.dll");
  Start();
  Click(SetupId::cmdRemove);
  const Strings automatic = LogLines();
  ASSERT_EQ(automatic.size(), 10u);
  EXPECT_EQ(automatic[0], "> Unregistering file c:\\windows\\system32\\a.dll");
  EXPECT_EQ(automatic[1],
            "OP> ShellAndWait " + std::string(kTool) + " /u /s \"c:\\windows\\system32\\a.dll\"");
  EXPECT_EQ(automatic[2], "> Deleting file c:\\windows\\system32\\a.dll");
  EXPECT_EQ(automatic[3], "OP> Kill c:\\windows\\system32\\a.dll");
  // The second file was never installed: its delete finds nothing, which is no failure.
  EXPECT_EQ(automatic[7], "OP> Kill c:\\windows\\system32\\my lib.ocx");
  EXPECT_FALSE(platform.HasFile("c:\\windows\\system32\\a.dll"));

  platform.AddFile("c:\\windows\\system32\\a.dll");
  ClickSurface();
  Click(SetupId::chkAutoManual);
  setup->Arrray_Add("C:\\Kalvenor\\a.dll");
  Click(SetupId::cmdRemove);
  EXPECT_EQ(LogLines(), (Strings{"> Unregistering file c:\\windows\\system32\\a.dll",
                                 "OP> ShellAndWait " + std::string(kTool) +
                                     " /u /s \"c:\\windows\\system32\\a.dll\"",
                                 "", kDone}));
  EXPECT_TRUE(platform.HasFile("c:\\windows\\system32\\a.dll"));
}

TEST_F(RunsTest, OverwriteCopyReplacesAndDoesNothingElse) {
  platform.AddFile("c:\\windows\\system32\\a.dll", {.content = "old a"});
  Start();
  Click(SetupId::cmdBlindCopy);
  EXPECT_EQ(LogLines().size(), 8u);
  EXPECT_EQ(platform.Content("c:\\windows\\system32\\a.dll"), "new a");
  EXPECT_TRUE(platform.started.empty());
}

TEST_F(RunsTest, MissingListedFilesAreReportedAndSkipped) {
  Start();
  Click(SetupId::chkAutoManual);
  setup->Arrray_Add("D:\\gone\\x.dll");
  setup->Arrray_Add("C:\\Kalvenor\\a.dll");
  ASSERT_TRUE(platform.Delete("C:\\Kalvenor\\a.dll").ok());
  Click(SetupId::cmdInstall);
  EXPECT_EQ(LogLines(), (Strings{"> File not found D:\\gone\\x.dll",
                                 "> File not found C:\\Kalvenor\\a.dll", "", kDone}));
}

TEST_F(RunsTest, ARunDisablesEverythingUntilTheDonePromptIsLeft) {
  Start();
  std::vector<bool> during;
  platform.onStart = [&](const std::string&, const std::string&) {
    during = CommandStates();
    EXPECT_TRUE(Visible(SetupId::txtOperations));
    EXPECT_FALSE(Visible(SetupId::fileList));
    return ProcessScript{};
  };
  Click(SetupId::cmdInstall);
  EXPECT_EQ(during, std::vector<bool>(8, false));
  EXPECT_EQ(CommandStates(), std::vector<bool>(8, false));
  auto& log = setup->Window().TextBoxItem(Id(SetupId::txtOperations));
  EXPECT_EQ(log.SelStart(), log.Text().size());

  Key('x');
  EXPECT_FALSE(setup->Done());
  EXPECT_TRUE(Visible(SetupId::fileList));
  EXPECT_FALSE(Visible(SetupId::txtOperations));
  EXPECT_EQ(CommandStates(), std::vector<bool>(8, true));
  EXPECT_EQ(ListItems().size(), 2u);
}

TEST_F(RunsTest, FailuresAreLoggedAndTheRunGoesOn) {
  platform.AddFile("c:\\windows\\system32\\a.dll", {.content = "old a", .readOnly = true});
  ToolExitsWith(3);
  Start();
  Click(SetupId::cmdInstall);
  const Strings lines = LogLines();
  ASSERT_EQ(lines.size(), 17u);
  EXPECT_EQ(lines[3], "|      failed: Access is denied.");
  EXPECT_EQ(lines[4], "> Registering file c:\\windows\\system32\\a.dll");
  EXPECT_EQ(lines[6], "|      failed: regsvr32.exe exit code 3, the file could not be loaded");
  // Right after its failed line, what the file says of it.
  EXPECT_EQ(lines[7], "|      cause: no Windows DLL at all: remove it from the list");
  EXPECT_EQ(lines[13], "|      failed: regsvr32.exe exit code 3, the file could not be loaded");
  EXPECT_TRUE(lines[14].starts_with("|      cause: ")) << lines[14];
  EXPECT_EQ(platform.Content("c:\\windows\\system32\\a.dll"), "old a");
  EXPECT_FALSE(HasTemporaryFiles());
}

TEST_F(RunsTest, ExitCodesAreExplainedOrShownInHexadecimal) {
  const struct {
    std::uint32_t code;
    const char* line;
  } cases[] = {
      {1, "|      failed: regsvr32.exe exit code 1, invalid command line"},
      {2, "|      failed: regsvr32.exe exit code 2, OLE could not be initialised"},
      {4, "|      failed: regsvr32.exe exit code 4, the file has no registration entry point"},
      {5,
       "|      failed: regsvr32.exe exit code 5, the registration entry point reported an error"},
      {7, "|      failed: regsvr32.exe exit code 7"},
      {0xC0000005, "|      failed: regsvr32.exe exit code 0xC0000005"},
  };
  Start();
  for (const auto& c : cases) {
    ToolExitsWith(c.code);
    Click(SetupId::cmdRemove);
    EXPECT_EQ(LogLines().at(2), c.line);
    ClickSurface();
  }
}

TEST_F(RunsTest, AHalfWrittenCopyNeverReplacesTheTarget) {
  platform.AddFile("c:\\windows\\system32\\a.dll", {.content = "old a"});
  platform.FailNextCopy(MemoryError(112));
  Start();
  Click(SetupId::cmdBlindCopy);
  EXPECT_EQ(LogLines().at(3), "|      failed: There is not enough space on the disk.");
  EXPECT_EQ(platform.Content("c:\\windows\\system32\\a.dll"), "old a");
  EXPECT_FALSE(HasTemporaryFiles());
}

TEST_F(RunsTest, ATemporaryFileLeftByAnEarlierRunIsReplacedNotInstalled) {
  platform.AddFile("c:\\windows\\system32\\a.dll", {.content = "old a"});
  platform.AddFile("c:\\windows\\system32\\a.dll.kalvenor-copy", {.content = "torn"});
  Start();
  Click(SetupId::cmdBlindCopy);
  EXPECT_EQ(LogLines().size(), 8u) << "no failed line";
  EXPECT_EQ(platform.Content("c:\\windows\\system32\\a.dll"), "new a");
  EXPECT_FALSE(HasTemporaryFiles());
}

TEST_F(RunsTest, ALockedTargetIsReportedOnDelete) {
  platform.AddFile("c:\\windows\\system32\\a.dll", {.locked = true});
  Start();
  Click(SetupId::cmdRemove);
  EXPECT_EQ(LogLines().at(4),
            "|      failed: The process cannot access the file because it is being used by "
            "another process.");
  EXPECT_TRUE(platform.HasFile("c:\\windows\\system32\\a.dll"));
}

// No run starts without the run lock: not while another run holds it, nor where it cannot be
// made at all; each says why, and the next run takes the lock they left free.
TEST_F(RunsTest, ARunStartsOnlyWithTheRunLock) {
  Start();
  {
    auto other = platform.LockRuns();
    ASSERT_TRUE(other.ok());
    Click(SetupId::cmdInstall);
    EXPECT_EQ(LogLines().at(0),
              "|      failed: another Kalvenor run is in progress: try again when it has ended");
  }
  Key('x');
  platform.lockFailure =
      platform::SystemError{3, "the journal's store C:\\ProgramData\\Kalvenor is missing"};
  Click(SetupId::cmdInstall);
  EXPECT_EQ(LogLines().at(0),
            "|      failed: the run cannot start: the journal's store C:\\ProgramData\\Kalvenor is "
            "missing");
  EXPECT_TRUE(platform.started.empty());
  EXPECT_FALSE(platform.HasFile("c:\\windows\\system32\\a.dll"));
  Key('x');
  platform.lockFailure.reset();
  Click(SetupId::cmdInstall);
  EXPECT_TRUE(platform.HasFile("c:\\windows\\system32\\a.dll")) << Log();
}

TEST_F(RunsTest, AToolGoneAfterStartUpFailsEachItemButEndsTheRun) {
  Start();
  ASSERT_TRUE(platform.Delete(kTool).ok());
  Click(SetupId::cmdInstall);
  const Strings lines = LogLines();
  ASSERT_EQ(lines.size(), 16u);
  EXPECT_EQ(lines[5], "|      failed: The system cannot find the file specified.");
  EXPECT_TRUE(lines[6].starts_with("|      cause: "));
  EXPECT_EQ(lines[12], "|      failed: The system cannot find the file specified.");
  EXPECT_EQ(lines.back(), kDone);
  ClickSurface();
  EXPECT_TRUE(Enabled(SetupId::cmdInstall));
}

// Unquoted, a blank in the tool's own path would split it: the tool would try to register the
// rest of its path. Only then is the path quoted, so every ordinary line stays as it is.
TEST_F(RunsTest, AToolPathWithABlankIsQuoted) {
  platform.SetEnv("WINDIR", "C:\\My Windows");
  platform.AddFolder("C:\\My Windows\\system32");
  platform.AddFile("C:\\My Windows\\system32\\regsvr32.exe");
  Start();
  Click(SetupId::cmdInstall);
  const std::string tool = "\"c:\\my windows\\system32\\regsvr32.exe\"";
  const std::string target = " /s \"c:\\my windows\\system32\\a.dll\"";
  ASSERT_EQ(platform.started.size(), 2u);
  EXPECT_EQ(platform.started[0].first, "c:\\my windows\\system32\\regsvr32.exe");
  EXPECT_EQ(platform.started[0].second, tool + target);
  EXPECT_EQ(LogLines().at(4), "OP> ShellAndWait " + tool + target);
}

// Two listed files with one name: the later one is what the system directory keeps.
TEST_F(RunsTest, SameNameFromTwoFoldersEndsWithTheLaterCopy) {
  platform.AddFolder("D:\\x");
  platform.AddFile("D:\\x\\a.dll", {.content = "from x"});
  Start();
  Click(SetupId::chkAutoManual);
  setup->Arrray_Add("C:\\Kalvenor\\a.dll");
  setup->Arrray_Add("D:\\x\\a.dll");
  Click(SetupId::cmdBlindCopy);
  EXPECT_EQ(platform.Content("c:\\windows\\system32\\a.dll"), "from x");
}

// Each component goes to the system directory of its own bitness and is registered by the tool
// there, in either build; where that directory is missing, it is not copied and the run goes on.
TEST_F(SetupFixture, EachComponentGoesWhereWindowsLoadsItsBitness) {
  const auto image = [](inspect::Machine machine) {
    const std::vector<std::byte> bytes = PeWriter(machine).Build();
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  };
  platform.AddFile("C:\\Kalvenor\\a32.dll", {.content = image(inspect::Machine::X86)});
  platform.AddFile("C:\\Kalvenor\\a64.dll", {.content = image(inspect::Machine::X64)});
  const struct {
    int bits;
    const char* otherDir;
    bool otherTool;
  } cases[] = {{32, "C:\\WINDOWS\\Sysnative", true},
               {64, "C:\\WINDOWS\\SysWOW64", true},
               {32, "C:\\WINDOWS\\Sysnative", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.bits << " " << c.otherTool);
    platform::AppInfo app = platform.App();
    app.bits = c.bits;
    platform.SetApp(app);
    platform.AddFolder(c.otherDir);
    const std::string other = AsciiLower(c.otherDir);
    if (c.otherTool) platform.AddFile(other + "\\regsvr32.exe");
    platform.started.clear();
    Start();
    Click(SetupId::cmdInstall);  // automatic mode: a32.dll and a64.dll
    const std::string own = kSystem32;
    const std::string ownFile = own + (c.bits == 32 ? "\\a32.dll" : "\\a64.dll");
    const std::string otherFile = other + (c.bits == 32 ? "\\a64.dll" : "\\a32.dll");
    EXPECT_TRUE(platform.HasFile(ownFile)) << Log();
    EXPECT_EQ(platform.HasFile(otherFile), c.otherTool) << Log();
    Strings tools;
    for (const auto& [program, commandLine] : platform.started) tools.push_back(program);
    Strings expected{own + "\\regsvr32.exe"};  // a32.dll's and a64.dll's, in the list's order
    if (c.otherTool)
      expected.insert(c.bits == 32 ? expected.end() : expected.begin(), other + "\\regsvr32.exe");
    EXPECT_EQ(tools, expected);
    const char* bits = c.bits == 32 ? "64-bit" : "32-bit";
    EXPECT_NE(
        Log().find(c.otherTool ? std::string("|      a ") + bits + " component: into the " + bits +
                                     " system directory, registered by its regsvr32.exe"
                               : std::string("|      failed: a ") + bits + " component"),
        std::string::npos)
        << Log();
    const auto view =
        c.bits == 32 ? platform::RegistryView::Bits64 : platform::RegistryView::Bits32;
    EXPECT_EQ(platform.RegistryDword(platform::RegistryRoot::LocalMachine, view,
                                     journal::kSharedDllsKey, otherFile),
              c.otherTool ? std::optional<std::uint32_t>(1) : std::nullopt);
    for (const std::string& file : {ownFile, otherFile, other + "\\regsvr32.exe"}) {
      (void)platform.Delete(file);
    }
    for (const auto each : {platform::RegistryView::Bits32, platform::RegistryView::Bits64}) {
      for (const char* key : {journal::kSharedDllsKey, journal::kHeldSharesKey}) {
        (void)platform.WriteRegistryTree(platform::RegistryRoot::LocalMachine, each, key, {});
      }
    }
    ClickSurface();
  }
}

// Every tool starts in the system directory whose tool it is, never in the program's current
// folder: a DLL the component needs that lies only there would let it register, and then fail
// every client once that folder is gone; one planted there would load into the elevated tool.
TEST_F(RunsTest, EveryToolStartsInItsSystemDirectory) {
  platform.SetCurDir(kAppFolder);
  for (const char* command : {"/install", "/remove", "/undo"}) {
    SCOPED_TRACE(command);
    platform.startedIn.clear();
    const std::vector<std::string> args = command == std::string("/undo")
                                              ? Strings{command, "/quiet"}
                                              : Strings{command, "/quiet", "a.dll"};
    EXPECT_EQ(RunCommandLine(args), cli::kExitDone);
    // As the system names it, whatever WINDIR says.
    EXPECT_EQ(platform.startedIn, Strings{platform.SystemFoldersOf().system});
  }
}

// A system directory that others may change (a WINDIR of the user's own, say) ends the run
// before its first change, with one line that names who may: nothing copied, journaled or
// started.
TEST_F(RunsTest, ASystemDirectoryOthersMayChangeRefusesTheRun) {
  platform.SetCurDir(kAppFolder);
  EXPECT_EQ(RunCommandLine({"/install", "/quiet", "a.dll"}), cli::kExitDone);
  const std::optional<std::string> installed = journal::Store(platform).LastRun();
  ASSERT_TRUE(installed);
  platform.LetOthersChange("C:\\WINDOWS\\system32", {"PC\\user", "its owner PC\\user"});
  platform.AddFile("C:\\Kalvenor\\b.dll", {.content = "new b"});
  const std::string refused =
      "|      failed: the run cannot start: the system directory c:\\windows\\system32 may be "
      "changed by others than administrators (PC\\user, its owner PC\\user), so nothing is "
      "copied into it nor started from it";
  for (const Strings& args :
       {Strings{"/install", "/quiet", "/log:C:\\ProgramData\\run.log", "b.dll"},
        Strings{"/remove", "/quiet", "/log:C:\\ProgramData\\run.log", "a.dll"},
        Strings{"/undo", "/quiet", "/log:C:\\ProgramData\\run.log"}}) {
    SCOPED_TRACE(args[0]);
    platform.started.clear();
    EXPECT_EQ(RunCommandLine(args), cli::kExitFailed);
    EXPECT_NE(platform.Content("C:\\ProgramData\\run.log").find(refused + "\r\n"),
              std::string::npos)
        << platform.Content("C:\\ProgramData\\run.log");
    EXPECT_TRUE(platform.started.empty());
    EXPECT_FALSE(platform.HasFile("c:\\windows\\system32\\b.dll"));
    EXPECT_TRUE(platform.HasFile("c:\\windows\\system32\\a.dll"));
    EXPECT_EQ(journal::Store(platform).LastRun(), installed);
  }
}

// A WINDIR on another machine's share, or one taken from the current folder, names no system
// directory of this Windows.
TEST_F(RunsTest, ASystemDirectoryNotOnThisMachinesDrivesRefusesTheRun) {
  for (const char* windows : {"\\\\server\\share\\Windows", "Windows"}) {
    SCOPED_TRACE(windows);
    platform.SetEnv("WINDIR", windows);
    platform.AddFile(std::string(windows) + "\\system32\\regsvr32.exe");
    EXPECT_EQ(RunCommandLine(
                  {"/install", "/quiet", "/log:C:\\ProgramData\\run.log", "C:\\Kalvenor\\a.dll"}),
              cli::kExitFailed);
    EXPECT_NE(platform.Content("C:\\ProgramData\\run.log")
                  .find("is no full path on this machine's drives"),
              std::string::npos)
        << platform.Content("C:\\ProgramData\\run.log");
    EXPECT_TRUE(platform.started.empty());
  }
}

}  // namespace
}  // namespace kalvenor::testing
