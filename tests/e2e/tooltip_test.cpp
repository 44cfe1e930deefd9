// Hover help: resting the real pointer on a run button or the mode toggle shows its help in the
// tip window, which unrolls below the Exit button, stays until the pointer leaves for the bare
// window or the tip is clicked, and floats above other windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "harness.h"
#include "help/help_texts.h"

namespace kalvenor::e2e {
namespace {

constexpr wchar_t kTipClass[] = L"KalvenorTip";
// The Exit button's place in the client area at 96 DPI, where the tip's corner goes.
constexpr POINT kExitCorner{409, 238};
constexpr int kMargins = 8;  // 60 twips on each side
// A spot of the window's own surface: between Overwrite copy and Install.
constexpr POINT kBareSurface{109, 270};
// How long a tip that should not change is watched.
constexpr auto kSettle = 300ms;

// A real left click where the pointer is: the system finds the window under it.
void ClickAtPointer() {
  INPUT clicks[2]{};
  clicks[0].type = clicks[1].type = INPUT_MOUSE;
  clicks[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
  clicks[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
  ASSERT_EQ(::SendInput(2, clicks, sizeof(INPUT)), 2u);
}

class HoverTip : public ::testing::Test {
 protected:
  void SetUp() override {
    // The pointer stays off the window while it comes up, and goes back off it at the end, so
    // that no tip appears uncalled for in this test or the next.
    ParkPointer();
    folder.Write(L"a.dll");
    app.emplace(folder);
    tip = app->FindWindowOfClass(kTipClass).value_or(Window());
    ASSERT_TRUE(tip) << "no tip window";
    ASSERT_EQ(app->Main().Dpi(), 96u) << "the tip's place holds at 96 DPI only";
  }
  void TearDown() override { ParkPointer(); }

  static void ParkPointer() { ::SetCursorPos(0, 0); }

  // The label lies on top of the border drawn round the whole tip.
  Window Label() const { return tip.Children().front(); }
  std::wstring TipText() const { return Label().Text(); }

  struct Sample {
    PixelRect rect;
    std::chrono::steady_clock::time_point at;
  };

  // The tip's place and size from when it shows `text` until it has unrolled: shown at its full
  // size, it collapses and grows back. Should the collapse go unseen, a full height that holds
  // for a while means the same. Empty when the tip never showed the text.
  std::vector<Sample> WatchUnrolling(const std::wstring& text) const {
    using Clock = std::chrono::steady_clock;
    std::vector<Sample> samples;
    bool collapsed = false;
    std::optional<Clock::time_point> fullSince;
    for (const auto deadline = Clock::now() + kTimeout; Clock::now() < deadline; ::Sleep(1)) {
      if (!tip.Visible() || TipText() != text) continue;
      samples.push_back({tip.Rect(), Clock::now()});
      const Sample& last = samples.back();
      if (last.rect.height != Label().Rect().height + kMargins) {
        collapsed = true;
      } else if (collapsed) {
        return samples;
      } else if (!fullSince) {
        fullSince = last.at;
      } else if (last.at - *fullSince > kSettle) {
        return samples;
      }
    }
    return {};
  }

  // Points at `control` and waits for the tip to show `text` fully unrolled.
  void HoverUntilShown(SetupId control, const std::wstring& text) {
    app->Control(control).PointAt();
    ASSERT_FALSE(WatchUnrolling(text).empty())
        << "tip visible " << tip.Visible() << ", text \"" << Narrow(TipText()) << "\"";
  }

  // Watches the tip for a while: does it stay as it is?
  bool StaysShowing(const std::wstring& text) const {
    return !WaitUntil([&] { return !tip.Visible() || TipText() != text; }, kSettle);
  }

  TempFolder folder;
  std::optional<App> app;
  Window tip;
};

// ---- Which help

struct HoverCase {
  const char* name;
  SetupId control;
  int helpIndex;
  bool manualMode;
};

void PrintTo(const HoverCase& hover, std::ostream* out) { *out << hover.name; }

class HelpOfEachControl : public HoverTip, public ::testing::WithParamInterface<HoverCase> {};

TEST_P(HelpOfEachControl, ShowsItsTextForTheMode) {
  if (GetParam().manualMode) {
    // The run buttons take the pointer only when enabled: pick a file first.
    const Window add = app->Control(SetupId::cmdListAdd);
    app->Control(SetupId::chkAutoManual).Click();
    ASSERT_TRUE(WaitUntil([&] { return add.Visible(); })) << "no manual mode";
    add.Click();
    ChooseInFileDialog(app->WaitForWindowTitled(L"Select DLL or OCX to be installed"),
                       folder.PathOf(L"a.dll"));
    ASSERT_TRUE(WaitUntil([&] { return app->Control(SetupId::cmdInstall).Enabled(); }));
  }
  HoverUntilShown(GetParam().control, Widen(HelpText(GetParam().helpIndex, GetParam().manualMode)));
}

INSTANTIATE_TEST_SUITE_P(
    HoverTip, HelpOfEachControl,
    ::testing::Values(HoverCase{"InstallAutomatic", SetupId::cmdInstall, 1, false},
                      HoverCase{"RemoveAutomatic", SetupId::cmdRemove, 2, false},
                      HoverCase{"OverwriteCopyAutomatic", SetupId::cmdBlindCopy, 3, false},
                      HoverCase{"ModeToggleAutomatic", SetupId::chkAutoManual, 4, false},
                      HoverCase{"InstallManual", SetupId::cmdInstall, 1, true},
                      HoverCase{"RemoveManual", SetupId::cmdRemove, 2, true},
                      HoverCase{"OverwriteCopyManual", SetupId::cmdBlindCopy, 3, true},
                      HoverCase{"ModeToggleManual", SetupId::chkAutoManual, 4, true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Where and how

TEST_F(HoverTip, IsATopMostToolWindowBelowExitAboveTheMainWindow) {
  HoverUntilShown(SetupId::cmdInstall, Widen(HelpText(1, false)));

  const LONG_PTR style = tip.Style();
  EXPECT_TRUE(style & WS_POPUP);
  EXPECT_FALSE(style & (WS_CAPTION | WS_BORDER | WS_THICKFRAME | WS_DLGFRAME)) << std::hex << style;
  const LONG_PTR exStyle = ::GetWindowLongPtrW(tip.Handle(), GWL_EXSTYLE);
  EXPECT_TRUE(exStyle & WS_EX_TOPMOST);
  EXPECT_TRUE(exStyle & WS_EX_TOOLWINDOW) << "it would get a task-bar button";
  EXPECT_EQ(Window(::GetAncestor(tip.Handle(), GA_PARENT)), Window(::GetDesktopWindow()));

  const PixelRect main = app->Main().Rect(), at = tip.Rect(), label = Label().Rect();
  EXPECT_EQ(at.left, main.left + kExitCorner.x);
  EXPECT_EQ(at.top, main.top + kExitCorner.y);
  EXPECT_EQ(label.left, kMargins / 2);
  EXPECT_EQ(label.top, kMargins / 2);
  EXPECT_EQ(at.width, label.width + kMargins);
  EXPECT_EQ(at.height, label.height + kMargins);

  // Above the main window: it comes first going down the z-order.
  bool mainBelow = false;
  for (HWND below = ::GetWindow(tip.Handle(), GW_HWNDNEXT); below && !mainBelow;
       below = ::GetWindow(below, GW_HWNDNEXT)) {
    mainBelow = below == app->Main().Handle();
  }
  EXPECT_TRUE(mainBelow) << "the tip lies below the main window";
  // The main window keeps the keyboard.
  EXPECT_EQ(app->Focus(), app->Control(SetupId::cmdBlindCopy));
}

TEST_F(HoverTip, UnrollsDownwardFromAFixedTopEdge) {
  app->Control(SetupId::cmdRemove).PointAt();
  const std::vector<Sample> samples = WatchUnrolling(Widen(HelpText(2, false)));
  ASSERT_FALSE(samples.empty()) << "the tip never unrolled";
  const PixelRect full = samples.back().rect;

  // Shown, it collapses and grows back in steps; its top-left corner never moves.
  std::vector<int> heights;
  for (const Sample& sample : samples) {
    EXPECT_EQ(sample.rect.left, full.left);
    EXPECT_EQ(sample.rect.top, full.top);
    if (heights.empty() || heights.back() != sample.rect.height) {
      heights.push_back(sample.rect.height);
    }
  }
  const auto lowest = std::min_element(heights.begin(), heights.end());
  EXPECT_TRUE(std::is_sorted(lowest, heights.end())) << ::testing::PrintToString(heights);
  const long steps = std::count_if(lowest, heights.end(),
                                   [&](int height) { return height > 0 && height < full.height; });
  EXPECT_GE(steps, 1) << "seen no step between " << *lowest << " and " << full.height
                      << " px: " << ::testing::PrintToString(heights);
  const auto unrolling =
      std::chrono::duration_cast<std::chrono::milliseconds>(samples.back().at - samples.front().at);
  std::printf("tip unrolled in %lld ms through %ld intermediate heights seen\n",
              static_cast<long long>(unrolling.count()), steps);
  RecordProperty("unroll_ms", static_cast<int>(unrolling.count()));
}

// ---- How long it stays

TEST_F(HoverTip, StaysOverOtherControlsAndGoesOnTheBareWindow) {
  const std::wstring install = Widen(HelpText(1, false));
  HoverUntilShown(SetupId::cmdInstall, install);

  app->Control(SetupId::cmdRemove).PointAt();
  EXPECT_TRUE(StaysShowing(install)) << "now \"" << Narrow(TipText()) << "\"";

  app->Main().PointAt(kBareSurface);
  EXPECT_TRUE(WaitUntil([&] { return !tip.Visible(); })) << "the tip stays on the bare window";

  // Gone, it shows the next control's help.
  HoverUntilShown(SetupId::cmdRemove, Widen(HelpText(2, false)));
}

// A click on its label or on its margin: both are the tip.
class ClickOnTheTip : public HoverTip, public ::testing::WithParamInterface<bool> {};

TEST_P(ClickOnTheTip, HidesIt) {
  const bool onLabel = GetParam();
  const std::wstring text = Widen(HelpText(3, false));
  HoverUntilShown(SetupId::cmdBlindCopy, text);

  const POINT spot = onLabel ? POINT{Label().Rect().left + 2, Label().Rect().top + 2}
                             : POINT{kMargins / 4, kMargins / 4};
  tip.PointAt(spot);
  ASSERT_TRUE(StaysShowing(text)) << "pointing at the tip hid it";
  ClickAtPointer();
  EXPECT_TRUE(WaitUntil([&] { return !tip.Visible(); })) << "the click did not hide the tip";
}

INSTANTIATE_TEST_SUITE_P(HoverTip, ClickOnTheTip, ::testing::Bool(), [](const auto& info) {
  return std::string(info.param ? "Label" : "Margin");
});

}  // namespace
}  // namespace kalvenor::e2e
