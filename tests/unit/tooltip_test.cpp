#include <gtest/gtest.h>

#include "help/frm_tooltip.h"
#include "help/help_texts.h"
#include "setup_fixture.h"

namespace kalvenor::testing {
namespace {

using platform::memory::MemoryForm;
using Heights = std::vector<platform::Twips>;

const std::string kSevenLines = "1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n7";

// A bare owner window for the tip.
class Owner final : public platform::FormEvents {
 public:
  explicit Owner(MemoryPlatform& platform) {
    platform::FormDescription desc;
    desc.clientWidth = 3000;
    desc.clientHeight = 2000;
    form = platform.CreateForm(desc, *this);
    form->Show();
  }
  void OnClick(int) override {}
  void OnMouseMove(int) override {}
  void OnKeyPress(int) override {}
  void OnUnload(bool&) override {}
  std::unique_ptr<platform::Form> form;
};

class ToolTipTest : public ::testing::Test {
 protected:
  MemoryForm& Tip() { return static_cast<MemoryForm&>(tip.Window()); }
  platform::Control& Label() { return Tip().Item(static_cast<int>(TipId::lblToolTip)); }
  platform::Control& Border() { return Tip().Item(static_cast<int>(TipId::ttBorder)); }
  void MoveOwner(platform::Twips left, platform::Twips top) {
    owner.form->Move({left, top, 3000, 2000});
  }

  MemoryPlatform platform;
  platform::Services services{platform, platform};
  Owner owner{platform};
  frmToolTip tip{services};
};

TEST_F(ToolTipTest, LoadsHiddenTopMostWithTheLabelAtTheCorner) {
  EXPECT_FALSE(tip.Visible());
  EXPECT_TRUE(Tip().TopMost());
  EXPECT_EQ(Label().Bounds().left, 0);
  EXPECT_EQ(Label().Bounds().top, 0);
}

TEST_F(ToolTipTest, UnrollsDownwardThenTakesItsFullHeight) {
  MoveOwner(100, 200);
  tip.SetToolTip(*owner.form, kSevenLines, 300, 400);
  EXPECT_TRUE(tip.Visible());
  EXPECT_EQ(Tip().Heights(),
            (Heights{1485, 0, 0, 136, 273, 409, 546, 682, 819, 955, 1092, 1228, 1365, 1485}));
  const platform::Rect label = Label().Bounds();
  EXPECT_EQ(label.height, 1365);
  EXPECT_EQ(label.left, 60);
  EXPECT_EQ(label.top, 60);
  EXPECT_EQ(Tip().Bounds(), (platform::Rect{400, 600, label.width + 120, 1485}));
  EXPECT_EQ(Border().Bounds(), (platform::Rect{0, 0, label.width + 120, 1485}));
  // Eleven pauses of 5 ms, measured on the tick count.
  EXPECT_GE(platform.doEventsCalls, 22);
}

TEST_F(ToolTipTest, PlacementRoundsHalvesToEven) {
  MoveOwner(100.5f, 101.5f);
  tip.SetToolTip(*owner.form, "x", 300, 300);
  EXPECT_EQ(Tip().Bounds().left, 400);
  EXPECT_EQ(Tip().Bounds().top, 402);
}

TEST_F(ToolTipTest, IgnoresNewTextsWhileVisible) {
  tip.SetToolTip(*owner.form, "first", 0, 0);
  const std::size_t moves = Tip().Heights().size();
  tip.SetToolTip(*owner.form, "second\r\nline", 500, 500);
  EXPECT_EQ(Label().Caption(), "first");
  EXPECT_EQ(Tip().Heights().size(), moves);
}

TEST_F(ToolTipTest, AClickOnTheLabelOrTheMarginHidesIt) {
  for (int target : {static_cast<int>(TipId::lblToolTip), platform::FormEvents::kSurface}) {
    tip.SetToolTip(*owner.form, "text", 0, 0);
    ASSERT_TRUE(tip.Visible());
    platform.Click(tip.Window(), target);
    EXPECT_FALSE(tip.Visible());
  }
}

TEST_F(ToolTipTest, HiddenDuringTheUnrollItStaysHidden) {
  platform.Post([&] { tip.Hide(); });
  tip.SetToolTip(*owner.form, kSevenLines, 0, 0);
  EXPECT_FALSE(tip.Visible());
  EXPECT_EQ(Tip().Heights().back(), 1485);
}

// A new tip shown from inside an interrupted unroll finishes first; the interrupted unroll then
// goes on with the new label, and its caller places the window from its own arguments.
TEST_F(ToolTipTest, ANewTipInsideAnInterruptedUnrollWins) {
  platform.Post([&] {
    tip.Hide();
    tip.SetToolTip(*owner.form, "one line", 1000, 1000);
  });
  tip.SetToolTip(*owner.form, kSevenLines, 0, 0);
  EXPECT_TRUE(tip.Visible());
  EXPECT_EQ(Label().Caption(), "one line");
  EXPECT_EQ(Tip().Bounds().left, 0);
  EXPECT_EQ(Tip().Bounds().height, 195 + 120);
}

class HoverHelpTest : public SetupFixture {
 protected:
  void Hover(int control) { platform.MouseMove(setup->Window(), control); }
  void Hover(SetupId id) { Hover(Id(id)); }
  std::string TipText() {
    return setup->ToolTip().Window().Item(static_cast<int>(TipId::lblToolTip)).Caption();
  }
};

TEST_F(HoverHelpTest, EachRunButtonExplainsItselfInTheCurrentMode) {
  platform.AddFile("C:\\Kalvenor\\a.dll");
  Start();
  const struct {
    SetupId control;
    int index;
  } sources[] = {{SetupId::cmdInstall, 1}, {SetupId::cmdRemove, 2}, {SetupId::cmdBlindCopy, 3}};
  for (bool manual : {false, true}) {
    for (const auto& source : sources) {
      Hover(source.control);
      ASSERT_TRUE(setup->ToolTip().Visible());
      EXPECT_EQ(TipText(), HelpText(source.index, manual));
      Hover(platform::FormEvents::kSurface);
      EXPECT_FALSE(setup->ToolTip().Visible());
    }
    Click(SetupId::chkAutoManual);
    setup->Arrray_Add("D:\\b.dll");  // enable the run buttons in manual mode too
  }
}

TEST_F(HoverHelpTest, TipSitsAtTheExitButtonsOffsetFromTheWindow) {
  Start();
  Hover(SetupId::chkAutoManual);
  const platform::Rect window = setup->Window().Bounds();
  const platform::Rect exit = Item(SetupId::cmdQuit).Bounds();
  EXPECT_EQ(setup->ToolTip().Window().Bounds().left,
            platform::RoundHalfEven(window.left + exit.left));
  EXPECT_EQ(setup->ToolTip().Window().Bounds().top, platform::RoundHalfEven(window.top + exit.top));
  EXPECT_EQ(TipText().substr(0, 37), "Switch from automatic to manual mode.");
}

TEST_F(HoverHelpTest, TheTextStaysUntilTheTipIsHidden) {
  platform.AddFile("C:\\Kalvenor\\a.dll");
  Start();
  Hover(SetupId::cmdInstall);
  Hover(SetupId::cmdRemove);
  Click(SetupId::chkAutoManual);
  EXPECT_EQ(TipText(), HelpText(1, false));
  Hover(platform::FormEvents::kSurface);
  Hover(SetupId::chkAutoManual);
  EXPECT_EQ(TipText(), HelpText(4, false));
}

TEST_F(HoverHelpTest, MovingOverTheBareWindowMovesTheFocusOnlyWhenItHidesTheTip) {
  platform.AddFile("C:\\Kalvenor\\a.dll");
  Start();
  auto& window = static_cast<MemoryForm&>(setup->Window());
  const int before = window.FocusRequests();
  Hover(platform::FormEvents::kSurface);
  EXPECT_EQ(window.FocusRequests(), before);
  Hover(SetupId::cmdInstall);
  const int shown = window.FocusRequests();
  Hover(platform::FormEvents::kSurface);
  EXPECT_EQ(window.FocusRequests(), shown + 1);
}

TEST(HelpTexts, AreExactLineByLine) {
  EXPECT_EQ(HelpText(1, true),
            "<Manual mode>\r\n\r\nInstall will be performed as \r\na copy file followed by a "
            "regserver.");
  EXPECT_EQ(HelpText(4, true),
            "Switch from automatic to manual mode.\r\n> With automatic mode, files are "
            "selected\r\n    from the directory of this program.\r\n> With manual mode, you "
            "manually select files.\r\n    And that's all you do manually... :-)");
  EXPECT_EQ(HelpText(2, false).substr(HelpText(2, false).rfind("\r\n") + 2),
            "followed by a delete file from the system directory.");
  EXPECT_EQ(HelpText(0, false), "");
}

}  // namespace
}  // namespace kalvenor::testing
