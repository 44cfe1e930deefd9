// While a run is busy and after it: the commands stay off until a click on the window or a key
// brings the list back, and neither Esc nor the close command cuts a run short.
#include <gtest/gtest.h>

#include "run_support.h"
#include "samples/sample_clsids.h"

namespace kalvenor::e2e {
namespace {

using Names = std::vector<std::wstring>;

class DoneState : public ::testing::Test {
 protected:
  void TearDown() override { DeleteClsid(sample::kSlowClsidString); }

  void Start() { app.emplace(folder, windows.ForProgram()); }

  // Whether all eight commands are in this state.
  bool AllCommands(bool enabled) const {
    for (SetupId command : kCommands) {
      if (app->Control(command).Enabled() != enabled) return false;
    }
    return true;
  }
  // Starts an Install of sample_slow.dll and returns once the tool is at work on it.
  std::wstring StartSlowInstall() {
    const std::wstring source = folder.Copy(SamplePath(L"sample_slow.dll"), L"slow.dll");
    Start();
    app->Control(SetupId::cmdInstall).Click();
    EXPECT_TRUE(WaitUntil(
        [&] { return app->Log().find(L"OP> ShellAndWait") != std::wstring::npos; }, kRunTimeout));
    return source;
  }

  PrivateWindows windows;
  TempFolder folder;
  std::optional<App> app;
};

TEST_F(DoneState, CommandsStayOffUntilAClickBringsBackTheRefilledList) {
  const std::wstring slow = StartSlowInstall();
  EXPECT_TRUE(AllCommands(false)) << "during the run";
  EXPECT_FALSE(app->Control(SetupId::fileList).Visible());

  AwaitDone(*app);
  EXPECT_TRUE(AllCommands(false)) << "at the done prompt";
  const std::wstring added = folder.Write(L"added.ocx");

  ClickSurface(*app);
  EXPECT_EQ(AwaitValue([&] { return app->ListItems(); }, Names{slow, added}), (Names{slow, added}));
  EXPECT_TRUE(WaitUntil([&] { return AllCommands(true); }));
  EXPECT_TRUE(ListBack(*app));
}

TEST_F(DoneState, AKeyOrEscapeReturnsToTheListWhereEscapeExits) {
  const std::wstring source = folder.Write(L"a.dll", "a");
  Start();
  const std::wstring log = CopyLines(source, windows.Target(L"a.dll")) + DoneLines();
  ASSERT_EQ(RunToEnd(*app, SetupId::cmdBlindCopy), log);
  app->PressKey('K');
  EXPECT_TRUE(WaitUntil([&] { return ListBack(*app); }));
  EXPECT_EQ(app->ListItems(), Names{source});

  ASSERT_EQ(RunToEnd(*app, SetupId::cmdBlindCopy), log);
  app->PressKey(VK_ESCAPE);
  EXPECT_TRUE(WaitUntil([&] { return ListBack(*app); }));
  app->Main().Text();  // a round trip: anything more the key did is over
  EXPECT_TRUE(app->Running()) << "Esc at the done prompt closed the program";

  app->PressKey(VK_ESCAPE);
  ASSERT_TRUE(app->WaitForExit());
  EXPECT_EQ(app->ExitCode(), 0u);
}

// Esc and the close command arrive while the tool registers: the program takes them (it keeps
// answering), ignores them, and the run ends as it would have.
TEST_F(DoneState, EscapeAndCloseWaitWhileARunIsBusy) {
  const std::wstring slow = StartSlowInstall();
  app->PressKey(VK_ESCAPE);
  ::PostMessageW(app->Main().Handle(), WM_CLOSE, 0, 0);
  // The program answers this read inside the run's wait, which dispatches everything queued
  // before it goes back to waiting: with the log not done yet, both came during the run.
  ASSERT_EQ(app->Log().find(kDone), std::wstring::npos) << "the run was over before they came";

  const std::wstring target = windows.Target(L"slow.dll");
  EXPECT_EQ(AwaitDone(*app),
            CopyLines(slow, target) + RegisterLines(windows.Tool(), target) + DoneLines());
  EXPECT_EQ(InprocServer(sample::kSlowClsidString), target);
  // A key queues behind anything still pending; once it has brought the list back, nothing
  // sent during the run is left to close the program.
  app->PressKey('K');
  EXPECT_TRUE(WaitUntil([&] { return ListBack(*app); }));
  EXPECT_TRUE(app->Running());

  EXPECT_TRUE(app->Close()) << "outside a run the close command ends the program";
}

}  // namespace
}  // namespace kalvenor::e2e
