// The command line of unattended runs, and the JSON lines their report writes.
#include <gtest/gtest.h>

#include <tuple>
#include <variant>

#include "cli/command_line.h"
#include "cli/report.h"
#include "cli/unattended.h"
#include "journal/journal.h"
#include "platform/memory/memory_platform.h"
#include "setup_fixture.h"

namespace kalvenor::testing {
namespace {

using cli::ParseArguments;

TEST(CommandLineArguments, ReadAsDeploymentToolsWriteThem) {
  const auto parsed =
      ParseArguments({"/INSTALL", "/Quiet", "/log:out\\run.log", "/json:D:\\run.json", "a.dll",
                      "C:\\Parts", "\\root.ocx", "sub\\..\\.\\b.dll", "C:/pkg/"},
                     "C:\\Work\\");
  ASSERT_TRUE(std::holds_alternative<cli::Arguments>(parsed));
  const auto& arguments = std::get<cli::Arguments>(parsed);
  EXPECT_EQ(arguments.command, cli::Command::Install);
  EXPECT_TRUE(arguments.quiet);
  EXPECT_EQ(arguments.logFile, "C:\\Work\\out\\run.log");
  EXPECT_EQ(arguments.jsonFile, "D:\\run.json");
  EXPECT_EQ(arguments.items,
            (std::vector<std::string>{"C:\\Work\\a.dll", "C:\\Parts", "C:\\root.ocx",
                                      "C:\\Work\\b.dll", "C:\\pkg"}));

  const auto capture = ParseArguments(
      {"/capture", "/WXS:out.wxs", "/reg:D:\\x.reg", "/Manifest:app.exe.manifest", "a.dll"},
      "C:\\Work\\");
  ASSERT_TRUE(std::holds_alternative<cli::Arguments>(capture));
  const engine::Exports& exports = std::get<cli::Arguments>(capture).exports;
  EXPECT_EQ(exports.wxs, "C:\\Work\\out.wxs");
  EXPECT_EQ(exports.reg, "D:\\x.reg");
  EXPECT_EQ(exports.manifest, "C:\\Work\\app.exe.manifest");

  const std::vector<std::string> bad[] = {{"a.dll"},
                                          {"/install"},
                                          {"/install", "/remove", "a.dll"},
                                          {"/undo", "a", "b"},
                                          {"/install", "/log:", "a.dll"},
                                          {"/install", "/s", "a.dll"},
                                          {"/capture", "a.dll"},
                                          {"/capture", "/wxs:", "a.dll"},
                                          {"/install", "/reg:x.reg", "a.dll"}};
  for (const auto& args : bad) {
    EXPECT_TRUE(std::holds_alternative<std::string>(ParseArguments(args, "C:\\")))
        << ::testing::PrintToString(args);
  }
}

// A quote only groups, and a backslash before one is a folder's: file names hold no quote.
TEST(CommandLineArguments, SplitWithQuotesThatOnlyGroup) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {R"("C:\Program Files\k.exe" /install "C:\pkg\" /quiet)",
       {"/install", "C:\\pkg\\", "/quiet"}},
      {R"(k.exe /log:"C:\a b\x.log" a"b c"d)", {"/log:C:\\a b\\x.log", "ab cd"}},
      {"k.exe \"\" \ta.dll\t\t\"open to the end ", {"", "a.dll", "open to the end "}},
  };
  for (const auto& [line, words] : cases) EXPECT_EQ(cli::SplitArguments(line), words) << line;
}

TEST(CommandLineReport, OneJsonObjectAStep) {
  const engine::StepRecord step{"2026-12-07T09:05:03Z",
                                "register",
                                "",
                                "c:\\sys\\\"odd\".dll",
                                3,
                                std::nullopt,
                                {"regsvr32.exe exit code 3, the file could not be loaded"},
                                {"needs a\tb.dll"},
                                {}};
  EXPECT_EQ(
      cli::JsonObject(step),
      "{\"time\":\"2026-12-07T09:05:03Z\",\"step\":\"register\",\"source\":\"\","
      "\"target\":\"c:\\\\sys\\\\\\\"odd\\\".dll\",\"result\":\"failed\",\"exitCode\":3,"
      "\"count\":null,\"failed\":[\"regsvr32.exe exit code 3, the file could not be loaded\"],"
      "\"causes\":[\"needs a\\u0009b.dll\"],\"notes\":[]}");
}

// The records and the log come from the same calls: each step line opens a record, the lines
// under it fill it, and a failure outside any step is a record of the run.
TEST_F(SetupFixture, EachStepOfTheLogIsARecord) {
  struct Records final : engine::RunObserver {
    void OnLogLine(std::string_view) override {}
    void OnStep(const engine::StepRecord& step) override { steps.push_back(step); }
    std::vector<engine::StepRecord> steps;
  } records;
  platform.AddFile("C:\\Kalvenor\\a.dll");
  platform.onStart = [](const std::string&, const std::string&) {
    return platform::memory::ProcessScript{.exitCode = 3};
  };
  engine::Engine engine(services);
  engine.AddObserver(records);
  (void)engine.Run({.items = {"C:\\Kalvenor\\a.dll", "C:\\gone.dll"}, .foldersAllowed = true});
  std::vector<std::string> kinds;
  for (const engine::StepRecord& step : records.steps)
    kinds.push_back(step.kind + " " + step.source + step.target);
  EXPECT_EQ(kinds, (std::vector<std::string>{"not-found C:\\gone.dll",
                                             "copy C:\\Kalvenor\\a.dllc:\\windows\\system32\\a.dll",
                                             "register c:\\windows\\system32\\a.dll"}));
  ASSERT_EQ(records.steps.size(), 3u);
  EXPECT_EQ(records.steps[0].failed, std::vector<std::string>{"File not found"});
  EXPECT_EQ(records.steps[2].exitCode, 3u);
  EXPECT_EQ(records.steps[2].failed.front(),
            "regsvr32.exe exit code 3, the file could not be loaded");
  EXPECT_TRUE(records.steps[2].time.ends_with("Z"));
}

// A quiet run has no window to show a box in: a missing tool is a failed line, not a box that
// would hold a deployment tool up.
TEST_F(SetupFixture, AQuietRunWithoutTheToolFailsInItsLogWithoutAMessageBox) {
  (void)platform.Delete("C:\\WINDOWS\\system32\\regsvr32.exe");
  platform.AddFolder("C:");
  platform.AddFile("C:\\Kalvenor\\a.dll");
  EXPECT_EQ(RunCommandLine({"/install", "/quiet", "/log:C:\\run.log", "C:\\Kalvenor\\a.dll"}),
            cli::kExitFailed);
  EXPECT_TRUE(platform.messageBoxes.empty());
  EXPECT_TRUE(
      platform.Content("C:\\run.log")
          .starts_with("|      failed: File not found: \\regsvr32.exe in system directory"));
  EXPECT_FALSE(platform.HasFile("c:\\windows\\system32\\a.dll"));
}

// Every item must give components: anything else is a failed step, and a run left with none
// runs nothing and keeps no journal. A quiet run shows no box on any of these paths.
TEST_F(SetupFixture, AnUnattendedRunNeverReportsNothingAsDone) {
  for (const char* folder : {"C:", "C:\\pkg", "C:\\empty"}) platform.AddFolder(folder);
  platform.AddFile("C:\\pkg\\a.dll");
  platform.AddFile("C:\\pkg\\controls.ax");
  // The items, the exit code, the tool's runs (and a journal if any), a line of the log.
  const std::tuple<std::vector<std::string>, int, std::size_t, const char*> cases[] = {
      {{"C:\\pkg\\typo"}, 1603, 0, "> File not found C:\\pkg\\typo"},
      {{"C:\\empty\\"}, 1603, 0, "> Adding folder C:\\empty\r\n|      failed: it holds no"},
      {{"C:\\pkg\\controls.ax"}, 1603, 0, "> Adding file C:\\pkg\\controls.ax\r\n|      failed: "},
      {{"C:\\pkg\\a.dll", "c:\\PKG\\A.DLL", "C:\\pkg"}, 0, 1, "> Registering file "},
      {{"C:\\pkg\\a.dll", "C:\\empty"}, 1603, 1, "> Adding folder C:\\empty"},
  };
  for (const auto& [items, exitCode, toolRuns, logged] : cases) {
    SCOPED_TRACE(::testing::PrintToString(items));
    std::vector<std::string> args{"/install", "/quiet", "/log:C:\\run.log"};
    args.insert(args.end(), items.begin(), items.end());
    const auto lastRun = journal::Store(platform).LastRun();
    const std::size_t started = platform.started.size();
    EXPECT_EQ(RunCommandLine(args), exitCode);
    EXPECT_EQ(platform.started.size() - started, toolRuns);
    EXPECT_EQ(journal::Store(platform).LastRun() != lastRun, toolRuns > 0);
    EXPECT_NE(platform.Content("C:\\run.log").find(logged), std::string::npos);
  }
  EXPECT_TRUE(platform.messageBoxes.empty());
}

// A report file that fails half-way ends its own reporting alone, and the run ends in 1622 since
// its steps worked.
TEST_F(SetupFixture, AReportFileThatFailsHalfWayEndsItsOwnReportingAlone) {
  platform.AddFolder("C:");
  platform.AddFile("C:\\Kalvenor\\a.dll");
  platform.AddFile("C:\\Kalvenor\\b.dll");
  for (const auto& [failing, other] :
       {std::pair{"C:\\run.log", "C:\\run.json"}, {"C:\\run.json", "C:\\run.log"}}) {
    // From the first tool run on, a.dll's, the file takes no more lines: its disk is full.
    platform.onStart = [&](const std::string&, const std::string&) {
      platform.FailHeldWrites(failing, platform::memory::MemoryError(112));
      return platform::memory::ProcessScript{};
    };
    EXPECT_EQ(RunCommandLine({"/install", "/quiet", "/log:C:\\run.log", "/json:C:\\run.json",
                              "C:\\Kalvenor\\a.dll", "C:\\Kalvenor\\b.dll"}),
              cli::kExitLogFailed);
    EXPECT_NE(platform.Content(other).find("b.dll"), std::string::npos) << platform.Content(other);
    platform.FailHeldWrites(failing, std::nullopt);
  }
}

// A failure outside the steps keeps to /quiet too, and never writes a /log: file by its name:
// only a run that opened it under the run lock, having judged it, writes there.
TEST(CommandLineStop, AQuietFailureShowsNoBoxAndLeavesTheLog) {
  platform::memory::MemoryPlatform platform;
  platform.AddFolder("C:");
  platform.AddFile("C:\\run.log", {.content = "an older run\r\n"});
  EXPECT_EQ(cli::StopUnattended(platform, {"/Quiet", "/log:run.log"}, "it broke",
                                [](const std::string&) { FAIL(); }),
            cli::kExitFailed);
  EXPECT_EQ(platform.Content("C:\\run.log"), "an older run\r\n");
}

}  // namespace
}  // namespace kalvenor::testing
