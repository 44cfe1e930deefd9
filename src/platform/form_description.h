#pragma once
// Declarative description of a window and its controls, from which each toolkit builds the
// real thing. Geometry in twips, relative to the container's client area.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

namespace kalvenor::platform {

enum class ControlType {
  Button,           // push button
  PictureButton,    // push button showing its picture above its caption
  CheckBox,         // ordinary check box
  PictureCheckBox,  // check box drawn as a toggle button with its picture above the caption
  ListBox,          // unsorted list
  LogBox,           // multi-line text with both scroll bars
  Label,            // sizes itself to its caption; lines break only at CR LF
  Separator,        // borderless strip holding horizontal lines
  Image,            // holds a picture
  Shape,            // outline rectangle in the window-text colour
};

struct Colour {
  std::uint8_t red = 0, green = 0, blue = 0;
};

// A horizontal line inside a Separator, at `y` twips below its top.
struct SeparatorLine {
  Twips y = 0;
  Colour colour;
};

struct Font {
  std::string face;  // empty: the toolkit's default font
  float points = 8.25f;
  bool bold = false;
};

inline constexpr int kNoTabStop = -1;

struct ControlDescription {
  int id = 0;
  ControlType type = ControlType::Button;
  std::string caption;
  Rect bounds;
  int tabIndex = kNoTabStop;
  bool visible = true;
  int value = 0;  // check boxes: 1 ticked
  Picture picture = Picture::None;
  Font font;
  std::vector<SeparatorLine> lines;  // Separator only
};

enum class FormStyle {
  FixedDialog,  // fixed single border, close command only
  Borderless,   // no caption or frame, tooltip background, no task-bar button
};

struct FormDescription {
  std::string caption;
  FormStyle style = FormStyle::FixedDialog;
  Twips clientWidth = 0;
  Twips clientHeight = 0;
  Picture icon = Picture::None;
  // Shown at the centre of the screen the first time, wherever the logic placed it before.
  bool centredOnFirstShow = false;
  std::vector<ControlDescription> controls;
};

}  // namespace kalvenor::platform
