// Drops onto the window, the log's menu and the task-bar button.
#include <gtest/gtest.h>

#include "platform/memory/memory_form.h"
#include "setup_fixture.h"

namespace kalvenor::testing {
namespace {

using Strings = std::vector<std::string>;
using platform::Progress;
using platform::memory::MemoryError;
using platform::memory::MemoryForm;
using platform::memory::ProcessScript;
using Shown = MemoryForm::ProgressShown;

class DesktopTest : public SetupFixture {
 protected:
  DesktopTest() {
    platform.AddFile("C:\\Kalvenor\\a.dll", {.content = "a"});
    platform.AddFolder("D:");
    platform.AddFolder("D:\\Parts");
    platform.AddFile("D:\\Parts\\p.ocx");
    platform.AddFile("D:\\Parts\\readme.txt");
    platform.AddFile("D:\\one.dll");
    platform.AddFolder("C:\\Users");
    platform.AddFolder("C:\\Users\\user");
    platform.AddFolder("C:\\Users\\user\\Documents");
  }
  MemoryForm& Form() { return static_cast<MemoryForm&>(setup->Window()); }
  void Drop(const Strings& paths) { platform.Drop(setup->Window(), paths); }
  void Menu(std::size_t choice) {
    platform.nextMenuChoice = choice;
    platform.ContextMenu(setup->Window(), Id(SetupId::txtOperations));
  }
};

TEST_F(DesktopTest, ADropSwitchesToManualModeAndAddsFilesAndFolderComponentsInOrder) {
  Start();
  Drop({" D:\\one.dll ", "D:\\Parts", "D:\\Parts\\readme.txt", "D:\\X.OCX"});
  EXPECT_EQ(Item(SetupId::chkAutoManual).Caption(), "M&anual mode on");
  EXPECT_EQ(ListItems(), (Strings{"D:\\one.dll", "D:\\Parts\\p.ocx", "D:\\X.OCX"}));
  EXPECT_TRUE(Enabled(SetupId::cmdInstall));
}

TEST_F(DesktopTest, DropsAreRefusedWhileARunIsBusyAndBringTheListBackWhenDone) {
  Start();
  platform.onStart = [&](const std::string&, const std::string&) {
    ProcessScript script;
    script.onStart = [&] {
      EXPECT_FALSE(Form().AcceptsDrops());
      Drop({"D:\\one.dll"});
    };
    return script;
  };
  Click(SetupId::cmdInstall);
  ASSERT_TRUE(setup->Done());
  EXPECT_TRUE(Form().AcceptsDrops());
  Drop({"D:\\one.dll"});
  EXPECT_FALSE(setup->Done());
  EXPECT_TRUE(Visible(SetupId::fileList));
  EXPECT_EQ(ListItems(), Strings{"D:\\one.dll"}) << "the drop during the run was not refused";
}

TEST_F(DesktopTest, NoDropsWhenTheToolIsMissing) {
  platform.Delete("C:\\WINDOWS\\system32\\regsvr32.exe").value();
  Start();
  EXPECT_FALSE(Form().AcceptsDrops());
}

TEST_F(DesktopTest, TheMenuCopiesAndSavesTheLogWithoutLeavingTheDonePrompt) {
  Start();
  Click(SetupId::cmdBlindCopy);
  ASSERT_TRUE(setup->Done());
  Menu(0);
  EXPECT_EQ(platform.menus.back(), (Strings{"Copy all", "Save as...", "Undo this run"}));
  EXPECT_EQ(platform.clipboard, Log());

  platform.nextSaveChoice = "C:\\Users\\user\\Documents\\run.log";
  Menu(1);
  ASSERT_EQ(platform.saveRequests.size(), 1u);
  EXPECT_EQ(platform.saveRequests[0].fileName, "kalvenor-20261207-090503.log");
  EXPECT_EQ(platform.saveRequests[0].initialDir, "C:\\Users\\user\\Documents");
  EXPECT_EQ(platform.Content("C:\\Users\\user\\Documents\\run.log"), Log());
  EXPECT_TRUE(setup->Done());
  EXPECT_TRUE(Visible(SetupId::txtOperations));
}

TEST_F(DesktopTest, AFailedSaveSaysSoAndKeepsTheLog) {
  Start();
  Click(SetupId::cmdBlindCopy);
  const std::string log = Log();
  platform.nextSaveChoice = "C:\\Users\\user\\Documents\\run.log";
  platform.FailNextWrite(MemoryError(112));
  Menu(1);
  ASSERT_EQ(platform.messageBoxes.size(), 1u);
  EXPECT_NE(platform.messageBoxes[0].find("There is not enough space on the disk."),
            std::string::npos);
  EXPECT_EQ(Log(), log);
  EXPECT_TRUE(setup->Done());
}

TEST_F(DesktopTest, TheTaskBarShowsProgressTurnsRedOnAFailureAndClearsWhenDone) {
  platform.AddFile("C:\\Kalvenor\\b.dll", {.content = "b"});
  Start();
  std::vector<Shown> seen;
  platform.onStart = [&](const std::string&, const std::string&) {
    seen.push_back(Form().ShownProgress());
    ProcessScript script;
    script.exitCode = 5;
    return script;
  };
  platform.SetActive(nullptr);  // the user works elsewhere
  Click(SetupId::cmdInstall);
  EXPECT_EQ(seen, (std::vector<Shown>{{Progress::Normal, 0, 2}, {Progress::Error, 1, 2}}));
  EXPECT_EQ(Form().ShownProgress(), Shown{});
  EXPECT_EQ(Form().Flashes(), 1);

  // A listed file that has gone since is a failed step too.
  ClickSurface();
  platform.Delete("C:\\Kalvenor\\a.dll").value();
  Click(SetupId::cmdInstall);
  EXPECT_EQ(seen.back(), (Shown{Progress::Error, 1, 2}));
}

}  // namespace
}  // namespace kalvenor::testing
