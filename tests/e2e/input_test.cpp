// Keyboard and mouse reach the window as a person's would: through the program's own message
// loop, which previews keys and lets the dialog manager handle access keys only with Alt.
#include <gtest/gtest.h>

#include "harness.h"

namespace kalvenor::e2e {
namespace {

class Input : public ::testing::Test {
 protected:
  void SetUp() override {
    folder.Write(L"a.dll");
    app.emplace(folder);
  }

  void ExpectEndedNormally() {
    ASSERT_TRUE(app->WaitForExit()) << "the program is still running";
    EXPECT_EQ(app->ExitCode(), 0u);
  }

  TempFolder folder;
  std::optional<App> app;
};

TEST_F(Input, EscapeEndsTheProgram) {
  app->PressKey(VK_ESCAPE);
  ExpectEndedNormally();
}

TEST_F(Input, AltWithAnAccessKeyPressesItsButton) {
  app->PressAltKey('E');  // &Exit
  ExpectEndedNormally();
}

TEST_F(Input, PlainLetterPressesNoButton) {
  const Window install = app->Control(SetupId::cmdInstall);
  ASSERT_EQ(app->Focus(), app->Control(SetupId::cmdBlindCopy));
  // The character a plain E key types; posted straight, so that the Tab after it queues behind.
  app->TypeChar(L'e');
  app->PressKey(VK_TAB);
  // Had the letter pressed Exit, the window would be gone before the Tab could move the focus.
  EXPECT_EQ(AwaitValue([&] { return app->Focus(); }, install), install);
}

TEST_F(Input, ClickingTheSilentBoxUnticksIt) {
  const Window silent = app->Control(SetupId::chkSilent);
  silent.Click();
  EXPECT_EQ(AwaitValue([&] { return silent.CheckState(); }, BST_UNCHECKED), BST_UNCHECKED);
  EXPECT_EQ(app->Focus(), silent);
}

TEST_F(Input, ClickingExitEndsTheProgram) {
  app->Control(SetupId::cmdQuit).Click();
  ExpectEndedNormally();
}

}  // namespace
}  // namespace kalvenor::e2e
