#include <gtest/gtest.h>

#include "setup_fixture.h"

namespace kalvenor::testing {
namespace {

using Strings = std::vector<std::string>;
const std::vector<bool> kAllEnabled(8, true);
const std::vector<bool> kFileCommandsOff{false, false, false, false, true, true, true, true};

class FileListTest : public SetupFixture {};

TEST_F(FileListTest, AutomaticListHasDllsThenOcxsOfTheProgramFolderOnly) {
  platform.AddFile("C:\\Kalvenor\\b.ocx");
  platform.AddFile("C:\\Kalvenor\\a.dll");
  platform.AddFile("C:\\Kalvenor\\UPPER.DLL");
  platform.AddFile("C:\\Kalvenor\\readme.txt");
  platform.AddFile("C:\\Kalvenor\\a.dll.bak");
  platform.AddFile("C:\\Kalvenor\\hidden.dll", {.hidden = true});
  platform.AddFile("C:\\Kalvenor\\sys.ocx", {.system = true});
  platform.AddFolder("C:\\Kalvenor\\folder.dll");
  platform.AddFile("C:\\Kalvenor\\folder.dll\\inner.dll");
  platform.AddFile("C:\\Other\\c.dll");
  Start();
  EXPECT_EQ(ListItems(),
            (Strings{"C:\\Kalvenor\\a.dll", "C:\\Kalvenor\\UPPER.DLL", "C:\\Kalvenor\\b.ocx"}));
  EXPECT_EQ(CommandStates(), kAllEnabled);
}

TEST_F(FileListTest, EmptyFolderDisablesOnlyTheFileCommands) {
  Start();
  EXPECT_TRUE(ListItems().empty());
  EXPECT_EQ(CommandStates(), kFileCommandsOff);
}

TEST_F(FileListTest, FolderIsReadAnewOnEveryFill) {
  platform.AddFile("C:\\Kalvenor\\a.dll");
  Start();
  platform.AddFile("C:\\Kalvenor\\b.dll");
  ASSERT_EQ(platform.Delete("C:\\Kalvenor\\a.dll").ok(), true);
  Click(SetupId::chkAutoManual);
  Click(SetupId::chkAutoManual);
  EXPECT_EQ(ListItems(), Strings{"C:\\Kalvenor\\b.dll"});
}

TEST_F(FileListTest, ManualArrayKeepsOrderAndDuplicates) {
  Start();
  Click(SetupId::chkAutoManual);
  EXPECT_TRUE(setup->Array_IsEmpty());
  EXPECT_EQ(CommandStates(), kFileCommandsOff);

  setup->Arrray_Add("D:\\x\\one.dll");
  EXPECT_FALSE(setup->Array_IsEmpty());
  EXPECT_EQ(ListItems(), Strings{"D:\\x\\one.dll"});
  EXPECT_EQ(CommandStates(), kAllEnabled);

  setup->Arrray_Add("D:\\y\\two.ocx");
  setup->Arrray_Add("D:\\x\\one.dll");
  EXPECT_EQ(ListItems(), (Strings{"D:\\x\\one.dll", "D:\\y\\two.ocx", "D:\\x\\one.dll"}));
}

TEST_F(FileListTest, ListsMoreEntriesThanSixteenBitCountersHold) {
  for (int i = 0; i < 33000; ++i) platform.AddFile("C:\\Kalvenor\\f" + std::to_string(i) + ".dll");
  Start();
  const Strings items = ListItems();
  ASSERT_EQ(items.size(), 33000u);
  EXPECT_EQ(items.back(), "C:\\Kalvenor\\f32999.dll");
}

}  // namespace
}  // namespace kalvenor::testing
