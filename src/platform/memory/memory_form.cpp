#include "platform/memory/memory_form.h"

#include <algorithm>
#include <stdexcept>

#include "platform/form_unload.h"

namespace kalvenor::platform::memory {
namespace {

// A label fits its text: the longest line wide, one line height per line.
Rect FitLabel(Rect bounds, std::string_view text) {
  std::size_t longest = 0, lines = 1, current = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 2, "\r\n") == 0) {
      longest = std::max(longest, current);
      current = 0;
      ++lines;
      ++i;
    } else if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      ++current;
    }
  }
  longest = std::max(longest, current);
  bounds.width = static_cast<Twips>(longest) * kCharWidth;
  bounds.height = static_cast<Twips>(lines) * kLineHeight;
  return bounds;
}

bool Focusable(ControlType type) {
  switch (type) {
    case ControlType::Label:
    case ControlType::Separator:
    case ControlType::Image:
    case ControlType::Shape: return false;
    default: return true;
  }
}

}  // namespace

template <class Interface>
void MemoryControl<Interface>::SetCaption(std::string_view caption) {
  state_.desc.caption = caption;
  if (state_.desc.type == ControlType::Label) {
    state_.desc.bounds = FitLabel(state_.desc.bounds, caption);
  }
}

template <class Interface>
bool MemoryControl<Interface>::CanTakeFocus() const {
  return Focusable(state_.desc.type) && state_.visible && state_.enabled && form_.Visible() &&
         form_.Loaded();
}

template <class Interface>
bool MemoryControl<Interface>::SetFocus() {
  if (!CanTakeFocus()) return false;
  platform_.SetFocused(this, &form_, state_.desc.id);
  return true;
}

template class MemoryControl<Control>;
template class MemoryControl<ListBox>;
template class MemoryControl<TextBox>;
template class MemoryControl<CheckBox>;
template class MemoryControl<Image>;

MemoryForm::MemoryForm(MemoryPlatform& platform, const FormDescription& desc, FormEvents& events)
    : platform_(platform),
      events_(events),
      desc_(desc),
      caption_(desc.caption),
      bounds_{0, 0, desc.clientWidth, desc.clientHeight} {
  for (const ControlDescription& control : desc.controls) {
    std::unique_ptr<Control> made;
    switch (control.type) {
      case ControlType::ListBox:
        made = std::make_unique<MemoryListBox>(platform, *this, control);
        break;
      case ControlType::LogBox:
        made = std::make_unique<MemoryTextBox>(platform, *this, control);
        break;
      case ControlType::CheckBox:
      case ControlType::PictureCheckBox:
        made = std::make_unique<MemoryCheckBox>(platform, *this, control);
        break;
      case ControlType::Image:
        made = std::make_unique<MemoryImage>(platform, *this, control);
        break;
      default: made = std::make_unique<MemoryPlain>(platform, *this, control);
    }
    controls_.emplace(control.id, std::move(made));
  }
  platform_.FormLoaded(this);
}

MemoryForm::~MemoryForm() {
  if (loaded_) platform_.FormUnloaded(this);
}

Control& MemoryForm::Item(int id) {
  auto found = controls_.find(id);
  if (found == controls_.end()) throw std::out_of_range("no control with this id");
  return *found->second;
}

template <class T>
T& MemoryForm::As(int id) {
  T* typed = dynamic_cast<T*>(&Item(id));
  if (!typed) throw std::logic_error("control of another type");
  return *typed;
}

void MemoryForm::Show() {
  if (!loaded_) return;
  if (desc_.centredOnFirstShow && !shownOnce_) {
    bounds_.left = (kScreenWidth - bounds_.width) / 2;
    bounds_.top = (kScreenHeight - bounds_.height) / 2;
  }
  shownOnce_ = true;
  visible_ = true;
}

void MemoryForm::Move(const Rect& bounds) {
  heights_.push_back(bounds.height);
  bounds_ = bounds;
}

void MemoryForm::Unload() {
  UnloadForm(
      unloading_, events_, [this] { return loaded_; },
      [this] {
        loaded_ = false;
        visible_ = false;
        platform_.FormUnloaded(this);
      });
}

}  // namespace kalvenor::platform::memory
