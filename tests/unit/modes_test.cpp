#include <gtest/gtest.h>

#include "lib/lib_dialog_fileopen.h"
#include "setup_fixture.h"

namespace kalvenor::testing {
namespace {

using Strings = std::vector<std::string>;

class ModesTest : public SetupFixture {
 protected:
  platform::Picture TogglePicture() {
    return dynamic_cast<platform::memory::MemoryCheckBox&>(Item(SetupId::chkAutoManual))
        .ShownPicture();
  }
  void AddFile(std::optional<std::string> choice) {
    platform.nextDialogChoice = std::move(choice);
    Click(SetupId::cmdListAdd);
  }
};

TEST_F(ModesTest, StartsInAutomaticModeWithTheSilentSwitch) {
  platform.AddFile("C:\\Kalvenor\\a.dll");
  Start();
  EXPECT_EQ(Item(SetupId::chkAutoManual).Caption(), "&Automatic mode on");
  EXPECT_EQ(TogglePicture(), platform::Picture::Automatic);
  EXPECT_FALSE(Visible(SetupId::cmdListAdd));
  EXPECT_FALSE(Visible(SetupId::cmdListClear));
  EXPECT_TRUE(Visible(SetupId::fileList));
  EXPECT_FALSE(Visible(SetupId::txtOperations));
  EXPECT_EQ(platform.FocusedControl(), Id(SetupId::cmdBlindCopy));
  EXPECT_EQ(setup->SilentSwitch(), " /s ");
}

TEST_F(ModesTest, SwitchingModesKeepsTheManualSelection) {
  platform.AddFile("C:\\Kalvenor\\a.dll");
  Start();
  Click(SetupId::chkAutoManual);
  EXPECT_EQ(Item(SetupId::chkAutoManual).Caption(), "M&anual mode on");
  EXPECT_EQ(TogglePicture(), platform::Picture::Manual);
  EXPECT_TRUE(Visible(SetupId::cmdListAdd));
  EXPECT_TRUE(Visible(SetupId::cmdListClear));
  EXPECT_TRUE(ListItems().empty());
  EXPECT_EQ(CommandStates(),
            (std::vector<bool>{false, false, false, false, true, true, true, true}));
  EXPECT_EQ(platform.FocusedControl(), Id(SetupId::cmdListAdd));

  AddFile("D:\\one.dll");
  AddFile("D:\\two.ocx");
  Click(SetupId::chkAutoManual);
  EXPECT_EQ(ListItems(), Strings{"C:\\Kalvenor\\a.dll"});
  EXPECT_EQ(platform.FocusedControl(), Id(SetupId::cmdBlindCopy));
  EXPECT_FALSE(Visible(SetupId::cmdListAdd));
  Click(SetupId::chkAutoManual);
  EXPECT_EQ(ListItems(), (Strings{"D:\\one.dll", "D:\\two.ocx"}));
}

TEST_F(ModesTest, AddFileTakesComponentEndingsInAnyLetterCase) {
  Start();
  Click(SetupId::chkAutoManual);
  AddFile("D:\\lib\\x.dll");
  AddFile("  D:\\lib\\padded.ocx  ");
  AddFile("D:\\lib\\y.Dll");
  AddFile("D:\\lib\\X.OCX");
  AddFile("D:\\lib\\notes.txt");
  AddFile("D:\\lib\\nodotdll");
  AddFile(std::nullopt);  // Cancel
  AddFile("dll");
  AddFile("  ");
  EXPECT_EQ(ListItems(), (Strings{"D:\\lib\\x.dll", "D:\\lib\\padded.ocx", "D:\\lib\\y.Dll",
                                  "D:\\lib\\X.OCX", "D:\\lib\\nodotdll", "dll"}));
}

TEST_F(ModesTest, AddFileAsksTheDialogForOneFileFromTheCurrentDirectory) {
  platform.SetCurDir("E:\\work");
  Start();
  Click(SetupId::chkAutoManual);
  AddFile("E:\\work\\a.dll");
  ASSERT_EQ(platform.dialogRequests.size(), 1u);
  const platform::FileOpenRequest& request = platform.dialogRequests[0];
  EXPECT_EQ(request.title, "Select DLL or OCX to be installed");
  EXPECT_EQ(request.filterName, "Select DLL or OCX");
  EXPECT_EQ(request.filterPattern, "*.*");
  EXPECT_EQ(request.initialDir, "E:\\work");
  EXPECT_EQ(request.fileBuffer, '\0' + std::string(253, ' '));
}

TEST_F(ModesTest, PathsLongerThanTheDialogLimitAreNotAdded) {
  Start();
  Click(SetupId::chkAutoManual);
  const std::string fits = "D:\\" + std::string(247, 'a') + ".dll";  // 254 characters
  ASSERT_EQ(fits.size(), kFileOpenMaxPath);
  AddFile(fits);
  AddFile(fits.substr(0, 3) + "b" + fits.substr(3));
  EXPECT_EQ(ListItems(), Strings{fits});
}

TEST_F(ModesTest, ClearListForgetsTheSelectionButNotTheMode) {
  Start();
  Click(SetupId::chkAutoManual);
  AddFile("D:\\a.dll");
  Click(SetupId::cmdListClear);
  EXPECT_TRUE(setup->Array_IsEmpty());
  EXPECT_TRUE(ListItems().empty());
  EXPECT_EQ(CommandStates(),
            (std::vector<bool>{false, false, false, false, true, true, true, true}));
  EXPECT_EQ(Item(SetupId::chkAutoManual).Caption(), "M&anual mode on");
  Click(SetupId::chkAutoManual);
  Click(SetupId::chkAutoManual);
  EXPECT_TRUE(ListItems().empty());
}

TEST_F(ModesTest, SilentSwitchFollowsItsCheckBox) {
  Start();
  Click(SetupId::chkSilent);
  EXPECT_EQ(setup->SilentSwitch(), " ");
  Click(SetupId::chkSilent);
  EXPECT_EQ(setup->SilentSwitch(), " /s ");
}

// The focus cannot go to a disabled Overwrite copy: the mode toggle takes it instead.
TEST_F(ModesTest, FocusFallsBackToTheModeToggleWhenTheListIsEmpty) {
  Start();
  EXPECT_FALSE(Enabled(SetupId::cmdBlindCopy));
  EXPECT_EQ(platform.FocusedControl(), Id(SetupId::chkAutoManual));
}

TEST(StringCutAtNull, CutsAtTheFirstNul) {
  using namespace std::string_literals;
  EXPECT_EQ(String_CutAtNull("C:\\a.dll"), "C:\\a.dll");
  EXPECT_EQ(String_CutAtNull("\0abc"s), "");
  EXPECT_EQ(String_CutAtNull("C:\\a.dll\0   \0x"s), "C:\\a.dll");
  EXPECT_EQ(String_CutAtNull(""), "");
}

}  // namespace
}  // namespace kalvenor::testing
