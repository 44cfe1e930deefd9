// The Setup window as it starts in a folder with one component: its frame, every control where
// the design puts it, no label over another, the tab order and the focus.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which it depends on.
#include <tlhelp32.h>

#include <algorithm>
#include <cmath>

#include "harness.h"

namespace kalvenor::e2e {
namespace {

// The design is in twips; at 96 DPI a pixel is 15 twips.
constexpr int kTwipsPerPixel = 15;

constexpr PixelRect Pixels(int left, int top, int width, int height) {
  return {left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
          height / kTwipsPerPixel};
}

// The file list's place, which the operations log shares.
constexpr PixelRect kFileArea = Pixels(150, 1425, 6225, 1815);

struct ControlDesign {
  const char* name;
  SetupId id;
  const wchar_t* className;
  const wchar_t* caption;
  bool visible;
  bool enabled;
  PixelRect rect;
  bool sizesToText;  // a label fits its text: only its left and top are designed
};

// Every control as the window starts in automatic mode with a non-empty list.
const ControlDesign kDesign[] = {
    {"txtOperations", SetupId::txtOperations, L"Edit", L"", false, true, kFileArea, false},
    {"cmdListClear", SetupId::cmdListClear, L"Button", L"&Clear list", false, true,
     Pixels(6525, 1890, 975, 375), false},
    {"chkSilent", SetupId::chkSilent, L"Button", L"Regsvr32 &silent mode (display no message box)",
     true, true, Pixels(90, 765, 4980, 240), false},
    {"cmdListAdd", SetupId::cmdListAdd, L"Button", L"Add &File...", false, true,
     Pixels(6525, 1425, 975, 375), false},
    {"cmdQuit", SetupId::cmdQuit, L"Button", L"&Exit", true, true, Pixels(6135, 3570, 1365, 960),
     false},
    {"Frame2", SetupId::Frame2, L"Static", L"", true, true, Pixels(0, 1245, 7755, 60), false},
    {"cmdBlindCopy", SetupId::cmdBlindCopy, L"Button", L"&Overwrite copy", true, true,
     Pixels(150, 3570, 1365, 960), false},
    {"chkAutoManual", SetupId::chkAutoManual, L"Button", L"&Automatic mode on", true, true,
     Pixels(6525, 90, 1005, 1065), false},
    {"fileList", SetupId::fileList, L"ListBox", L"", true, true, kFileArea, false},
    {"cmdRemove", SetupId::cmdRemove, L"Button", L"&Remove", true, true,
     Pixels(3360, 3570, 1365, 960), false},
    {"cmdInstall", SetupId::cmdInstall, L"Button", L"&Install", true, true,
     Pixels(1755, 3570, 1365, 960), false},
    {"Frame1", SetupId::Frame1, L"Static", L"", true, true, Pixels(0, 3300, 7755, 60), false},
    {"imgManual", SetupId::imgManual, L"Static", L"", false, true, Pixels(5985, 120, 480, 480),
     false},
    {"imgAutomatic", SetupId::imgAutomatic, L"Static", L"", false, true,
     Pixels(5985, 705, 480, 480), false},
    {"lblWinSystem", SetupId::lblWinSystem, L"Static", nullptr, true, true, Pixels(1575, 90, 0, 0),
     true},
    {"lblRegsvrFile", SetupId::lblRegsvrFile, L"Static", nullptr, true, true,
     Pixels(1575, 375, 0, 0), true},
    {"Label2", SetupId::Label2, L"Static", L"Register server exe:", true, true,
     Pixels(90, 375, 0, 0), true},
    {"Label1", SetupId::Label1, L"Static", L"Windows system dir:", true, true, Pixels(90, 90, 0, 0),
     true},
};

// No label runs under another: a caption that grows in the window's font pushes the value
// label beside it right.
void ExpectNoTwoLabelsOverlap(const App& app) {
  const SetupId labels[] = {SetupId::Label1, SetupId::lblWinSystem, SetupId::Label2,
                            SetupId::lblRegsvrFile};
  for (SetupId one : labels) {
    for (SetupId other : labels) {
      const PixelRect a = app.Control(one).Rect(), b = app.Control(other).Rect();
      EXPECT_TRUE(one == other || a.left + a.width <= b.left || b.left + b.width <= a.left ||
                  a.top + a.height <= b.top || b.top + b.height <= a.top)
          << Id(one) << " overlaps " << Id(other);
    }
  }
}

class StartedWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    folder.Copy(SamplePath(L"kalvenor_sample.dll"), L"a.dll");
    app.emplace(folder);
    ASSERT_EQ(app->Main().Dpi(), 96u) << "the design sizes hold at 96 DPI only";
  }

  int FocusedId() const { return app->Focus().Id(); }

  TempFolder folder;
  std::optional<App> app;
};

TEST_F(StartedWindow, FrameIsAFixedDialogCentredOnTheScreen) {
  const Window main = app->Main();
  EXPECT_EQ(main.Text(), L"Kalvenor 1.0.4");
  const SIZE client = main.ClientSize();
  EXPECT_EQ(client.cx, 509);
  EXPECT_EQ(client.cy, 312);

  const LONG_PTR style = main.Style();
  EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_FALSE(style & WS_THICKFRAME) << "resizable";
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_FALSE(style & WS_MINIMIZEBOX);

  RECT work{};
  ASSERT_TRUE(::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0));
  const PixelRect frame = main.Rect();
  EXPECT_NEAR(frame.left + frame.width / 2, (work.left + work.right) / 2, 1);
  EXPECT_NEAR(frame.top + frame.height / 2, (work.top + work.bottom) / 2, 1);
}

TEST_F(StartedWindow, HoverTipIsReadyButHidden) {
  const std::optional<Window> tip = app->FindWindowOfClass(L"KalvenorTip");
  ASSERT_TRUE(tip);
  EXPECT_FALSE(tip->Visible());
}

// The shell is loaded only once something is dropped: at start-up it would cost milliseconds.
TEST_F(StartedWindow, TakesDropsWithoutLoadingTheShell) {
  EXPECT_TRUE(::GetWindowLongPtrW(app->Main().Handle(), GWL_EXSTYLE) & WS_EX_ACCEPTFILES);
  UniqueHandle modules(::CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, app->ProcessId()));
  ASSERT_NE(modules.get(), INVALID_HANDLE_VALUE);
  MODULEENTRY32W module{sizeof module};
  std::vector<std::wstring> names;
  for (BOOL more = ::Module32FirstW(modules.get(), &module); more;
       more = ::Module32NextW(modules.get(), &module)) {
    names.push_back(LowerCase(module.szModule));
  }
  EXPECT_EQ(std::count(names.begin(), names.end(), L"user32.dll"), 1) << "no module list read";
  EXPECT_EQ(std::count(names.begin(), names.end(), L"shell32.dll"), 0);
}

TEST_F(StartedWindow, EveryControlIsAsDesigned) {
  const std::vector<Window> children = app->Main().Children();
  EXPECT_EQ(children.size(), std::size(kDesign)) << "a control too many or too few";
  for (const ControlDesign& design : kDesign) {
    SCOPED_TRACE(design.name);
    const Window control = app->Control(design.id);
    EXPECT_EQ(LowerCase(control.ClassName()), LowerCase(design.className));
    if (design.caption) {
      EXPECT_EQ(control.Text(), design.caption);
    }
    EXPECT_EQ(control.Visible(), design.visible);
    EXPECT_EQ(control.Enabled(), design.enabled);
    const PixelRect rect = control.Rect();
    if (design.sizesToText) {
      // A value label (its text varies) moves right when the caption beside it grows.
      if (design.caption) {
        EXPECT_EQ(rect.left, design.rect.left);
      }
      EXPECT_EQ(rect.top, design.rect.top);
    } else {
      EXPECT_EQ(rect, design.rect);
    }
  }
  ExpectNoTwoLabelsOverlap(*app);
}

TEST_F(StartedWindow, SilentModeStartsTicked) {
  EXPECT_EQ(app->Control(SetupId::chkSilent).CheckState(), BST_CHECKED);
}

// The tab order is the z-order of the tab stops; the hidden ones keep their places for manual
// mode.
TEST_F(StartedWindow, TabStopsAreInTheDesignedOrder) {
  std::vector<int> tabStops;
  for (const Window& child : app->Main().Children()) {
    if (child.Style() & WS_TABSTOP) tabStops.push_back(child.Id());
  }
  const std::vector<int> expected{Id(SetupId::chkSilent),    Id(SetupId::chkAutoManual),
                                  Id(SetupId::cmdListAdd),   Id(SetupId::cmdListClear),
                                  Id(SetupId::cmdBlindCopy), Id(SetupId::cmdInstall),
                                  Id(SetupId::cmdRemove),    Id(SetupId::cmdQuit),
                                  Id(SetupId::fileList),     Id(SetupId::txtOperations)};
  EXPECT_EQ(tabStops, expected);
}

TEST_F(StartedWindow, FocusStartsOnOverwriteCopyAndTabWalksTheVisibleControls) {
  ASSERT_EQ(FocusedId(), Id(SetupId::cmdBlindCopy));
  const std::vector<int> expected{Id(SetupId::cmdInstall),  Id(SetupId::cmdRemove),
                                  Id(SetupId::cmdQuit),     Id(SetupId::fileList),
                                  Id(SetupId::chkSilent),   Id(SetupId::chkAutoManual),
                                  Id(SetupId::cmdBlindCopy)};
  std::vector<int> walked;
  for (int step : expected) {
    const int before = FocusedId();
    app->PressKey(VK_TAB);
    WaitUntil([&] { return FocusedId() != before; });
    walked.push_back(FocusedId());
    if (walked.back() != step) break;
  }
  EXPECT_EQ(walked, expected);
}

// At 150 % and 200 %: every rectangle scales with the twips, the fonts with it, and no caption
// is cut. Wine takes the screen's DPI (LogPixels) when its session starts, so the test command
// runs this suite in a session of its own for each, with KALVENOR_DPI naming it.
class ScaledWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::wstring dpi = EnvironmentVariable(L"KALVENOR_DPI");
    if (dpi.empty()) GTEST_SKIP() << "set KALVENOR_DPI and LogPixels to run it";
    dpi_ = std::stoi(dpi);
    folder.Copy(SamplePath(L"kalvenor_sample.dll"), L"a.dll");
    app.emplace(folder);
  }
  int Scaled(int twips) const { return static_cast<int>(std::lround(twips * dpi_ / 1440.0)); }

  int dpi_ = 96;
  TempFolder folder;
  std::optional<App> app;
};

TEST_F(ScaledWindow, GeometryAndFontsScaleAndNoCaptionIsCut) {
  ASSERT_EQ(app->Main().Dpi(), static_cast<UINT>(dpi_));
  const SIZE client = app->Main().ClientSize();
  EXPECT_EQ(client.cx, Scaled(7635));
  EXPECT_EQ(client.cy, Scaled(4680));
  for (const ControlDesign& design : kDesign) {
    SCOPED_TRACE(design.name);
    const PixelRect rect = app->Control(design.id).Rect();
    const PixelRect twips{design.rect.left * kTwipsPerPixel, design.rect.top * kTwipsPerPixel,
                          design.rect.width * kTwipsPerPixel, design.rect.height * kTwipsPerPixel};
    if (design.caption) {  // value labels move
      EXPECT_NEAR(rect.left, Scaled(twips.left), 1);
    }
    EXPECT_NEAR(rect.top, Scaled(twips.top), 1);
    if (!design.sizesToText) {
      EXPECT_NEAR(rect.width, Scaled(twips.width), 1);
      EXPECT_NEAR(rect.height, Scaled(twips.height), 1);
    }
  }
  // A label sizes itself to its text in the window's font: at this DPI, its height is the
  // scaled font's, and its whole caption lies inside the window.
  const PixelRect label = app->Control(SetupId::Label1).Rect();
  EXPECT_GE(label.height, Scaled(165));
  for (SetupId id : {SetupId::Label1, SetupId::Label2, SetupId::lblWinSystem,
                     SetupId::lblRegsvrFile, SetupId::chkSilent}) {
    const PixelRect rect = app->Control(id).Rect();
    EXPECT_LE(rect.left + rect.width, client.cx) << Id(id);
  }
  ExpectNoTwoLabelsOverlap(*app);
}

}  // namespace
}  // namespace kalvenor::e2e
