#include <gtest/gtest.h>

#include "setup_fixture.h"

namespace kalvenor::testing {
namespace {

using platform::memory::ProcessScript;

constexpr char kMissingTool[] = "Kalvenor\nFile not found: \\regsvr32.exe in system directory";

struct SystemDirCase {
  const char* name;
  std::optional<std::string> windir;
  std::vector<std::string> tools;  // where regsvr32.exe is
  bool hidden;
  const char* winSystem;  // expected caption of the system directory label
  bool missing;
};

class SystemDirTest : public SetupFixture, public ::testing::WithParamInterface<SystemDirCase> {};

TEST_P(SystemDirTest, FindsTheRegistrationTool) {
  const SystemDirCase& c = GetParam();
  ASSERT_TRUE(platform.Delete("C:\\WINDOWS\\system32\\regsvr32.exe").ok());
  platform.SetEnv("WINDIR", c.windir);
  for (const std::string& tool : c.tools) platform.AddFile(tool, {.hidden = c.hidden});
  platform.AddFile("C:\\Kalvenor\\a.dll");
  Start();
  EXPECT_EQ(Item(SetupId::lblWinSystem).Caption(), c.winSystem);
  EXPECT_EQ(Item(SetupId::lblRegsvrFile).Caption(), std::string(c.winSystem) + "\\regsvr32.exe");
  if (c.missing) {
    EXPECT_EQ(platform.messageBoxes, std::vector<std::string>{kMissingTool});
    EXPECT_EQ(CommandStates(),
              (std::vector<bool>{false, false, false, true, true, true, false, true}));
    EXPECT_EQ(ListItems().size(), 1u);
    EXPECT_EQ(platform.FocusedControl(), Id(SetupId::cmdQuit));
  } else {
    EXPECT_TRUE(platform.messageBoxes.empty());
    EXPECT_EQ(CommandStates(), std::vector<bool>(8, true));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SystemDirTest,
    ::testing::Values(
        SystemDirCase{"System",
                      "C:\\WINDOWS",
                      {"C:\\WINDOWS\\SYSTEM\\regsvr32.exe"},
                      false,
                      "c:\\windows\\system",
                      false},
        SystemDirCase{"System32Only",
                      "C:\\WINDOWS",
                      {"C:\\WINDOWS\\SYSTEM32\\regsvr32.exe"},
                      false,
                      "c:\\windows\\system32",
                      false},
        SystemDirCase{"BothPreferSystem",
                      "C:\\WINDOWS",
                      {"C:\\WINDOWS\\SYSTEM\\regsvr32.exe", "C:\\WINDOWS\\SYSTEM32\\regsvr32.exe"},
                      false,
                      "c:\\windows\\system",
                      false},
        SystemDirCase{"HiddenCounts",
                      "C:\\WINDOWS",
                      {"C:\\WINDOWS\\SYSTEM\\regsvr32.exe"},
                      true,
                      "c:\\windows\\system",
                      false},
        SystemDirCase{"LeadingBlanksGo",
                      "  C:\\Win",
                      {"C:\\WIN\\SYSTEM32\\regsvr32.exe"},
                      false,
                      "c:\\win\\system32",
                      false},
        SystemDirCase{"TrailingBlankStays",
                      "C:\\Win ",
                      {"C:\\Win \\system\\regsvr32.exe"},
                      false,
                      "c:\\win \\system",
                      false},
        SystemDirCase{
            "Unset", std::nullopt, {"\\SYSTEM32\\regsvr32.exe"}, false, "\\system32", false},
        SystemDirCase{"Neither",
                      "C:\\WINDOWS",
                      {"C:\\WINDOWS\\regsvr32.exe"},
                      false,
                      "c:\\windows\\system",
                      true}),
    [](const auto& info) { return std::string(info.param.name); });

class StartupTest : public SetupFixture {};

TEST_F(StartupTest, TitleComesFromTheProgramsVersionRecords) {
  Start();
  EXPECT_EQ(setup->Window().Caption(), "Kalvenor 1.0.4");
  platform.SetApp({"C:\\Kalvenor", "Other", 2, 10, 300});
  Start();
  EXPECT_EQ(setup->Window().Caption(), "Other 2.10.300");
}

TEST_F(StartupTest, ShowsCentredWithTheLogOverTheList) {
  Start();
  const platform::Rect window = setup->Window().Bounds();
  EXPECT_EQ(window.left, (platform::memory::kScreenWidth - 7635) / 2);
  EXPECT_EQ(Item(SetupId::txtOperations).Bounds(), Item(SetupId::fileList).Bounds());
  EXPECT_TRUE(setup->Window().Visible());
  EXPECT_FALSE(setup->ToolTip().Visible());
}

TEST_F(StartupTest, EscapeAndTheCloseCommandEndTheProgram) {
  Start();
  Key('q');
  EXPECT_FALSE(platform.Ended());
  Key(27);
  EXPECT_TRUE(platform.Ended());
  EXPECT_FALSE(setup->ToolTip().Window().Loaded());

  Start();
  platform.Close(setup->Window());
  EXPECT_TRUE(platform.Ended());
}

TEST_F(StartupTest, EscapeInTheDoneStateOnlyReturnsToTheList) {
  platform.AddFile("C:\\Kalvenor\\a.dll");
  Start();
  Click(SetupId::cmdInstall);
  ASSERT_TRUE(setup->Done());
  Key(27);
  EXPECT_FALSE(setup->Done());
  EXPECT_FALSE(platform.Ended());
  EXPECT_TRUE(Visible(SetupId::fileList));
  Key(27);
  EXPECT_TRUE(platform.Ended());
}

TEST_F(StartupTest, AClickOnTheBareWindowLeavesTheDoneStateAndRefillsTheList) {
  platform.AddFile("C:\\Kalvenor\\a.dll");
  Start();
  Click(SetupId::cmdBlindCopy);
  platform.AddFile("C:\\Kalvenor\\late.dll");
  Click(SetupId::txtOperations);  // a click inside the log is not one on the window
  EXPECT_TRUE(setup->Done());
  ClickSurface();
  EXPECT_FALSE(setup->Done());
  EXPECT_EQ(ListItems(),
            (std::vector<std::string>{"C:\\Kalvenor\\a.dll", "C:\\Kalvenor\\late.dll"}));
  ClickSurface();  // outside the done state a click does nothing
  EXPECT_TRUE(Visible(SetupId::fileList));
}

// Escape and the close command wait for the run's end: a run cut off half-way would leave a
// copied file unregistered.
TEST_F(StartupTest, NothingEndsTheProgramDuringARun) {
  platform.AddFile("C:\\Kalvenor\\a.dll");
  platform.AddFile("C:\\Kalvenor\\b.dll");
  Start();
  platform.onStart = [&](const std::string&, const std::string&) {
    ProcessScript script;
    script.onStart = [&] {
      platform.Post([&] { Key(27); });
      platform.Post([&] { platform.Close(setup->Window()); });
      platform.Post([&] { ClickSurface(); });
    };
    return script;
  };
  Click(SetupId::cmdInstall);
  EXPECT_FALSE(platform.Ended());
  EXPECT_TRUE(setup->Done());
  EXPECT_EQ(platform.started.size(), 2u);
  EXPECT_EQ(LogLines().back(), "Done. Click on the form or hit any key.");
}

}  // namespace
}  // namespace kalvenor::testing
