// The file list as the program starts in automatic mode: the .dll and then the .ocx files of
// its own folder, and the commands that depend on it.
#include <gtest/gtest.h>

#include <set>

#include "harness.h"

namespace kalvenor::e2e {
namespace {

using Names = std::set<std::wstring>;

TEST(AutomaticList, HoldsTheDllsThenTheOcxsOfTheProgramFolder) {
  TempFolder folder;
  folder.Copy(SamplePath(L"kalvenor_sample.dll"), L"a.dll");
  folder.Write(L"b.ocx", "MZ");
  folder.Write(L"UPPER.DLL");
  folder.Write(L"c.OCX");
  folder.Write(L"r.ocx");
  folder.AddAttributes(L"r.ocx", FILE_ATTRIBUTE_READONLY);
  folder.Write(L"readme.txt");
  folder.Write(L"a.dll_old");
  folder.Write(L"h.dll");
  folder.AddAttributes(L"h.dll", FILE_ATTRIBUTE_HIDDEN);
  folder.Write(L"s.dll");
  folder.AddAttributes(L"s.dll", FILE_ATTRIBUTE_SYSTEM);
  folder.MakeFolder(L"x.dll");
  folder.Write(L"x.dll\\inner.dll");
  App app(folder);

  // Within one pattern the order is the directory's own.
  const std::vector<std::wstring> items = app.ListItems();
  ASSERT_EQ(items.size(), 5u) << ::testing::PrintToString(items);
  EXPECT_EQ(Names(items.begin(), items.begin() + 2),
            (Names{folder.PathOf(L"a.dll"), folder.PathOf(L"UPPER.DLL")}));
  EXPECT_EQ(Names(items.begin() + 2, items.end()),
            (Names{folder.PathOf(L"b.ocx"), folder.PathOf(L"c.OCX"), folder.PathOf(L"r.ocx")}));

  for (SetupId command : {SetupId::cmdInstall, SetupId::cmdRemove, SetupId::cmdBlindCopy,
                          SetupId::cmdQuit, SetupId::chkAutoManual, SetupId::chkSilent}) {
    EXPECT_TRUE(app.Control(command).Enabled()) << "control " << Id(command);
  }
  EXPECT_EQ(app.Focus(), app.Control(SetupId::cmdBlindCopy));
}

TEST(AutomaticList, PathsBeyondAsciiAreListedExactly) {
  TempFolder root;
  const std::wstring folder = root.MakeFolder(L"\u00c4rger \u2211 \u65e5\u672c");
  root.Write(L"\u00c4rger \u2211 \u65e5\u672c\\\u00f6l \u0436.dll");
  App app(folder);
  EXPECT_EQ(app.ListItems(), std::vector<std::wstring>{folder + L"\\\u00f6l \u0436.dll"});
}

// A path wider than the list is reached by scrolling sideways; a short one brings no scroll bar.
TEST(AutomaticList, ScrollsSidewaysOnlyForPathsWiderThanTheList) {
  for (const auto& [name, scrolls] :
       {std::pair{std::wstring(L"a.dll"), false}, {std::wstring(150, L'w') + L".dll", true}}) {
    TempFolder folder;
    folder.Write(name);
    App app(folder);
    EXPECT_EQ((app.Control(SetupId::fileList).Style() & WS_HSCROLL) != 0, scrolls) << name.size();
  }
}

TEST(AutomaticList, EmptyFolderLeavesOnlyExitAndTheModeSwitchesEnabled) {
  TempFolder folder;
  folder.Write(L"readme.txt");
  App app(folder);

  EXPECT_TRUE(app.ListItems().empty()) << ::testing::PrintToString(app.ListItems());
  for (SetupId command :
       {SetupId::cmdInstall, SetupId::cmdRemove, SetupId::cmdBlindCopy, SetupId::cmdListClear}) {
    EXPECT_FALSE(app.Control(command).Enabled()) << "control " << Id(command);
  }
  for (SetupId command : {SetupId::cmdQuit, SetupId::chkAutoManual, SetupId::chkSilent}) {
    EXPECT_TRUE(app.Control(command).Enabled()) << "control " << Id(command);
  }
  // Overwrite copy cannot take the focus; the mode toggle is next in line.
  EXPECT_EQ(app.Focus(), app.Control(SetupId::chkAutoManual));
}

}  // namespace
}  // namespace kalvenor::e2e
