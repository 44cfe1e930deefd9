// The command line of unattended runs, and the JSON lines their report writes.
#include <gtest/gtest.h>

#include <variant>

#include "cli/command_line.h"
#include "cli/report.h"
#include "cli/unattended.h"
#include "platform/memory/memory_platform.h"
#include "setup_fixture.h"

namespace kalvenor::testing {
namespace {

using cli::ParseArguments;

TEST(CommandLineArguments, ReadAsDeploymentToolsWriteThem) {
  const auto parsed = ParseArguments(
      {"/INSTALL", "/Quiet", "/log:out\\run.log", "/json:D:\\run.json", "a.dll", "C:\\Parts",
       "\\root.ocx", "sub\\..\\.\\b.dll", "C:/pkg/", "\\\\srv\\share\\..\\c.ocx"},
      "C:\\Work\\");
  ASSERT_TRUE(std::holds_alternative<cli::Arguments>(parsed));
  const auto& arguments = std::get<cli::Arguments>(parsed);
  EXPECT_EQ(arguments.command, cli::Command::Install);
  EXPECT_TRUE(arguments.quiet);
  EXPECT_EQ(arguments.logFile, "C:\\Work\\out\\run.log");
  EXPECT_EQ(arguments.jsonFile, "D:\\run.json");
  EXPECT_EQ(arguments.items,
            (std::vector<std::string>{"C:\\Work\\a.dll", "C:\\Parts", "C:\\root.ocx",
                                      "C:\\Work\\b.dll", "C:\\pkg", "\\\\srv\\share\\c.ocx"}));

  const std::vector<std::string> bad[] = {{"a.dll"},
                                          {"/install"},
                                          {"/install", "/remove", "a.dll"},
                                          {"/undo", "a.dll"},
                                          {"/install", "/log:", "a.dll"},
                                          {"/install", "/s", "a.dll"}};
  for (const auto& args : bad) {
    EXPECT_TRUE(std::holds_alternative<std::string>(ParseArguments(args, "C:\\")))
        << ::testing::PrintToString(args);
  }
}

// Windows file names hold no quote: a quote only groups, and a backslash before one is a folder's.
TEST(CommandLineArguments, SplitWithQuotesThatOnlyGroup) {
  const struct {
    const char* line;
    std::vector<std::string> words;
  } cases[] = {
      {R"("C:\Program Files\k.exe" /install "C:\pkg\" /quiet)",
       {"/install", "C:\\pkg\\", "/quiet"}},
      {R"(k.exe /log:"C:\a b\x.log" a"b c"d)", {"/log:C:\\a b\\x.log", "ab cd"}},
      {"k.exe \"\" \ta.dll\t\t/quiet ", {"", "a.dll", "/quiet"}},
      {R"(k.exe "open to the end )", {"open to the end "}},
      {"k.exe", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(cli::SplitArguments(c.line), c.words) << c.line;
}

TEST(CommandLineReport, OneJsonObjectAStepWithTheToolsExitCodeAndCauses) {
  platform::memory::MemoryPlatform platform;
  platform.AddFolder("C:");
  cli::Report report(platform, "C:\\run.log", "C:\\run.json");
  ASSERT_TRUE(report.Open().ok());
  for (const char* line : {"> Registering file c:\\sys\\\"odd\".dll",
                           "OP> ShellAndWait regsvr32.exe /s \"c:\\sys\\\"odd\".dll\"",
                           "|      failed: regsvr32.exe exit code 3, the file could not be loaded",
                           "|      cause: needs a\tb.dll", "", "Done."}) {
    report.OnLogLine(line);
    if (std::string_view(line).starts_with("OP>")) report.OnToolExit(3);
  }
  report.Finish();
  EXPECT_EQ(platform.Content("C:\\run.json"),
            "{\"time\":\"2026-12-07T09:05:03\",\"step\":\"register\",\"source\":\"\","
            "\"target\":\"c:\\\\sys\\\\\\\"odd\\\".dll\",\"result\":\"failed\",\"exitCode\":3,"
            "\"failed\":[\"regsvr32.exe exit code 3, the file could not be loaded\"],"
            "\"causes\":[\"needs a\\u0009b.dll\"],\"notes\":[]}\r\n");
  EXPECT_TRUE(platform.Content("C:\\run.log").ends_with("\r\n\r\nDone.\r\n"));
}

// A quiet run has no window to show a box in: a missing tool is a failed line, not a box that
// would hold a deployment tool up.
TEST_F(SetupFixture, AQuietRunWithoutTheToolFailsInItsLogWithoutAMessageBox) {
  (void)platform.Delete("C:\\WINDOWS\\system32\\regsvr32.exe");
  platform.AddFile("C:\\Kalvenor\\a.dll");
  setup = std::make_unique<frmSetup>(services, false);
  setup->RunUnattended(frmSetup::Command::Install, {"C:\\Kalvenor\\a.dll"}, true);
  EXPECT_TRUE(platform.messageBoxes.empty());
  EXPECT_TRUE(setup->LastOutcome().failed);
  EXPECT_EQ(LogLines().front(),
            "|      failed: File not found: \\regsvr32.exe in system directory");
  EXPECT_FALSE(platform.HasFile("c:\\windows\\system32\\a.dll"));
}

// Every item must come to components: anything else is a failed step, and a run left with none
// runs nothing and keeps no journal. A quiet run shows no box on any of these paths.
TEST_F(SetupFixture, AnUnattendedRunNeverReportsNothingAsDone) {
  platform.AddFolder("C:");
  platform.AddFolder("C:\\pkg");
  platform.AddFile("C:\\pkg\\a.dll");
  platform.AddFile("C:\\pkg\\controls.ax");
  platform.AddFolder("C:\\empty");
  const auto runs = [&] {
    return platform.Dir("C:\\ProgramData\\Kalvenor\\runs\\*", platform::DirAttributes::Folders)
        .size();
  };
  const struct {
    std::vector<std::string> items;  // or options, after /install /quiet
    int exitCode;
    std::size_t toolRuns;
    const char* logged;  // a line of C:\run.log, when there is one
  } cases[] = {
      {{"C:\\pkg\\typo"}, 1603, 0, "> File not found C:\\pkg\\typo"},
      {{"C:\\empty\\"}, 1603, 0, "|      failed: it holds no .dll or .ocx file"},
      {{"C:\\pkg\\controls.ax"}, 1603, 0, "> Adding file C:\\pkg\\controls.ax"},
      {{"C:\\pkg\\*.dll"}, 1603, 0, "> File not found C:\\pkg\\*.dll"},
      {{"C:\\pkg\\a.dll", "c:\\PKG\\A.DLL", "C:\\pkg"},
       0,
       1,
       "Done. Click on the form or hit any key."},
      {{"C:\\pkg\\a.dll", "C:\\empty"}, 1603, 1, "> Adding folder C:\\empty"},
      {{"/json:c:\\RUN.LOG", "C:\\pkg\\a.dll"}, 87, 0, nullptr},
      {{"/log:C:\\nowhere\\run.log", "C:\\pkg\\a.dll"}, 1622, 0, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.items));
    std::vector<std::string> args{"/install", "/quiet", "/log:C:\\run.log"};
    args.insert(args.end(), c.items.begin(), c.items.end());
    const std::size_t runsBefore = runs(), started = platform.started.size();
    EXPECT_EQ(cli::RunCommandLine(services, args, [] { FAIL() << "a quiet run waited"; }),
              c.exitCode);
    EXPECT_EQ(platform.started.size() - started, c.toolRuns);
    EXPECT_EQ(runs() - runsBefore, c.toolRuns);
    if (c.logged) {
      EXPECT_NE(platform.Content("C:\\run.log").find(c.logged), std::string::npos);
    }
  }
  EXPECT_TRUE(platform.messageBoxes.empty());
}

// A failure outside the steps keeps to /quiet too, and leaves its reason in the /log: file.
TEST(CommandLineStop, TheReasonGoesToTheLogAndABoxOnlyWithoutQuiet) {
  platform::memory::MemoryPlatform platform;
  platform.AddFolder("C:\\Work");
  platform.SetCurDir("C:\\Work");
  for (const bool quiet : {true, false}) {
    for (const bool logStarted : {true, false}) {
      platform.AddFile("C:\\Work\\run.log", {.content = "before\r\n"});
      std::vector<std::string> boxes;
      const std::vector<std::string> args{"/install", quiet ? "/QUIET" : "/log:x", "/log:run.log"};
      EXPECT_EQ(cli::StopUnattended(platform, args, "it broke", logStarted,
                                    [&](const std::string& text) { boxes.push_back(text); }),
                cli::kExitFailed);
      EXPECT_EQ(boxes, quiet ? std::vector<std::string>{} : std::vector<std::string>{"it broke"});
      EXPECT_EQ(platform.Content("C:\\Work\\run.log"),
                std::string(logStarted ? "before\r\n" : "") + "|      failed: it broke\r\n");
    }
  }
}

}  // namespace
}  // namespace kalvenor::testing
