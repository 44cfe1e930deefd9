#include "setup/setup_layout.h"

namespace kalvenor {

using platform::ControlDescription;
using platform::ControlType;
using platform::Picture;
using platform::SeparatorLine;

namespace {

constexpr platform::Colour kGray{128, 128, 128};
constexpr platform::Colour kWhite{255, 255, 255};

// The two value labels show their text in bold.
const platform::Font kValueFont{"MS Sans Serif", 8.25f, true};

// The design widths of the two caption labels.
constexpr platform::Twips kWinSystemCaptionWidth = 1440;
constexpr platform::Twips kRegsvrCaptionWidth = 1410;

// Each caption label with its design width, and the value label beside it.
struct CaptionedValue {
  SetupId caption;
  platform::Twips width;
  SetupId value;
};
constexpr CaptionedValue kCaptionedValues[] = {
    {SetupId::Label1, kWinSystemCaptionWidth, SetupId::lblWinSystem},
    {SetupId::Label2, kRegsvrCaptionWidth, SetupId::lblRegsvrFile}};

ControlDescription Control(SetupId id, ControlType type, const char* caption, platform::Rect bounds,
                           int tabIndex) {
  ControlDescription desc;
  desc.id = Id(id);
  desc.type = type;
  desc.caption = caption;
  desc.bounds = bounds;
  desc.tabIndex = tabIndex;
  return desc;
}

ControlDescription Hidden(ControlDescription desc) {
  desc.visible = false;
  return desc;
}

ControlDescription WithPicture(ControlDescription desc, Picture picture) {
  desc.picture = picture;
  return desc;
}

// An etched rule: a gray line with a white line one pixel (15 twips) below it.
ControlDescription Separator(SetupId id, platform::Twips top, int tabIndex,
                             std::vector<SeparatorLine> lines) {
  ControlDescription desc = Control(id, ControlType::Separator, "", {0, top, 7755, 60}, tabIndex);
  desc.lines = std::move(lines);
  return desc;
}

ControlDescription ValueLabel(SetupId id, const char* placeholder, platform::Rect bounds,
                              int tabIndex) {
  ControlDescription desc = Control(id, ControlType::Label, placeholder, bounds, tabIndex);
  desc.font = kValueFont;
  return desc;
}

}  // namespace

platform::FormDescription SetupFormDescription() {
  platform::FormDescription form;
  form.caption = "Setup";
  form.style = platform::FormStyle::FixedDialog;
  form.clientWidth = 7635;
  form.clientHeight = 4680;
  form.icon = Picture::Setup;
  form.centredOnFirstShow = true;

  ControlDescription silent =
      Control(SetupId::chkSilent, ControlType::CheckBox,
              "Regsvr32 &silent mode (display no message box)", {90, 765, 4980, 240}, 0);
  silent.value = 1;

  form.controls = {
      Hidden(Control(SetupId::txtOperations, ControlType::LogBox, "", {1110, 1965, 2550, 900}, 9)),
      Hidden(Control(SetupId::cmdListClear, ControlType::Button, "&Clear list",
                     {6525, 1890, 975, 375}, 3)),
      silent,
      Hidden(Control(SetupId::cmdListAdd, ControlType::Button, "Add &File...",
                     {6525, 1425, 975, 375}, 2)),
      WithPicture(Control(SetupId::cmdQuit, ControlType::PictureButton, "&Exit",
                          {6135, 3570, 1365, 960}, 7),
                  Picture::Exit),
      Separator(SetupId::Frame2, 1245, 12, {{30, kGray}, {45, kWhite}}),
      WithPicture(Control(SetupId::cmdBlindCopy, ControlType::PictureButton, "&Overwrite copy",
                          {150, 3570, 1365, 960}, 4),
                  Picture::OverwriteCopy),
      WithPicture(Control(SetupId::chkAutoManual, ControlType::PictureCheckBox,
                          "&Automatic mode on", {6525, 90, 1005, 1065}, 1),
                  Picture::Automatic),
      Control(SetupId::fileList, ControlType::ListBox, "", {150, 1425, 6225, 1815}, 8),
      WithPicture(Control(SetupId::cmdRemove, ControlType::PictureButton, "&Remove",
                          {3360, 3570, 1365, 960}, 6),
                  Picture::Remove),
      WithPicture(Control(SetupId::cmdInstall, ControlType::PictureButton, "&Install",
                          {1755, 3570, 1365, 960}, 5),
                  Picture::Install),
      Separator(SetupId::Frame1, 3300, 10, {{45, kWhite}, {30, kGray}}),
      Hidden(WithPicture(Control(SetupId::imgManual, ControlType::Image, "", {5985, 120, 480, 480},
                                 platform::kNoTabStop),
                         Picture::Manual)),
      Hidden(WithPicture(Control(SetupId::imgAutomatic, ControlType::Image, "",
                                 {5985, 705, 480, 480}, platform::kNoTabStop),
                         Picture::Automatic)),
      ValueLabel(SetupId::lblWinSystem, "c:\\windows\\system32", {1575, 90, 1860, 195}, 15),
      ValueLabel(SetupId::lblRegsvrFile, "c:\\windows\\system32\\regsvr32.exe",
                 {1575, 375, 3045, 195}, 14),
      Control(SetupId::Label2, ControlType::Label,
              "Register server exe:", {90, 375, kRegsvrCaptionWidth, 195}, 13),
      Control(SetupId::Label1, ControlType::Label,
              "Windows system dir:", {90, 90, kWinSystemCaptionWidth, 195}, 11),
  };
  return form;
}

void MakeRoomForCaptions(platform::Form& form) {
  for (const auto& [caption, width, value] : kCaptionedValues) {
    const platform::Twips grown = form.Item(Id(caption)).Bounds().width - width;
    if (grown <= 0) continue;
    platform::Control& label = form.Item(Id(value));
    platform::Rect bounds = label.Bounds();
    bounds.left += grown;
    label.Move(bounds);
  }
}

}  // namespace kalvenor
