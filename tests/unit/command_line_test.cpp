// The command line of unattended runs, and the JSON lines their report writes.
#include <gtest/gtest.h>

#include <variant>

#include "cli/command_line.h"
#include "cli/report.h"
#include "platform/memory/memory_platform.h"
#include "setup_fixture.h"

namespace kalvenor::testing {
namespace {

using cli::ParseArguments;

TEST(CommandLineArguments, ReadAsDeploymentToolsWriteThem) {
  const auto parsed = ParseArguments({"/INSTALL", "/Quiet", "/log:out\\run.log",
                                      "/json:D:\\run.json", "a.dll", "C:\\Parts", "\\root.ocx"},
                                     "C:\\Work");
  ASSERT_TRUE(std::holds_alternative<cli::Arguments>(parsed));
  const auto& arguments = std::get<cli::Arguments>(parsed);
  EXPECT_EQ(arguments.command, cli::Command::Install);
  EXPECT_TRUE(arguments.quiet);
  EXPECT_EQ(arguments.logFile, "C:\\Work\\out\\run.log");
  EXPECT_EQ(arguments.jsonFile, "D:\\run.json");
  EXPECT_EQ(arguments.items,
            (std::vector<std::string>{"C:\\Work\\a.dll", "C:\\Parts", "C:\\root.ocx"}));

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

}  // namespace
}  // namespace kalvenor::testing
