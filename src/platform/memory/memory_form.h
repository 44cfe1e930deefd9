#pragma once
// Windows and controls of the in-memory toolkit: plain records of their properties.

#include <map>
#include <memory>
#include <string>

#include "platform/memory/memory_platform.h"

namespace kalvenor::platform::memory {

// What every control keeps, whatever its type.
struct ControlState {
  ControlDescription desc;
  bool visible = true;
  bool enabled = true;
};

template <class Interface>
class MemoryControl : public Interface {
 public:
  MemoryControl(MemoryPlatform& platform, Form& form, const ControlDescription& desc)
      : platform_(platform), form_(form) {
    state_.desc = desc;
    state_.visible = desc.visible;
  }
  int Id() const { return state_.desc.id; }
  ControlType Type() const { return state_.desc.type; }
  std::string Caption() const override { return state_.desc.caption; }
  void SetCaption(std::string_view caption) override;
  bool Visible() const override { return state_.visible; }
  void SetVisible(bool visible) override {
    state_.visible = visible;
    LoseFocusUnlessAble();
  }
  bool Enabled() const override { return state_.enabled; }
  void SetEnabled(bool enabled) override {
    state_.enabled = enabled;
    LoseFocusUnlessAble();
  }
  bool SetFocus() override;
  Rect Bounds() const override { return state_.desc.bounds; }
  void Move(const Rect& bounds) override { state_.desc.bounds = bounds; }

 protected:
  bool CanTakeFocus() const;
  void LoseFocusUnlessAble() {
    if (platform_.Focused() == this && !CanTakeFocus()) platform_.SetFocused(nullptr, nullptr, 0);
  }
  MemoryPlatform& platform_;
  Form& form_;
  ControlState state_;
};

class MemoryListBox final : public MemoryControl<ListBox> {
 public:
  using MemoryControl::MemoryControl;
  void Clear() override { items_.clear(); }
  void AddItem(std::string_view item) override { items_.emplace_back(item); }
  std::size_t ListCount() const override { return items_.size(); }
  std::string List(std::size_t index) const override { return items_.at(index); }

 private:
  std::vector<std::string> items_;
};

class MemoryTextBox final : public MemoryControl<TextBox> {
 public:
  using MemoryControl::MemoryControl;
  std::string Text() const override { return text_; }
  void SetText(std::string_view text) override {
    text_ = text;
    selStart_ = 0;
  }
  void Append(std::string_view text) override {
    text_ += text;
    selStart_ = text_.size();
  }
  std::size_t SelStart() const override { return selStart_; }

 private:
  std::string text_;
  std::size_t selStart_ = 0;
};

class MemoryCheckBox final : public MemoryControl<CheckBox> {
 public:
  MemoryCheckBox(MemoryPlatform& platform, Form& form, const ControlDescription& desc)
      : MemoryControl(platform, form, desc), value_(desc.value), picture_(desc.picture) {}
  int Value() const override { return value_; }
  void SetValue(int value) override { value_ = value; }
  void SetPicture(Picture picture) override { picture_ = picture; }
  Picture ShownPicture() const { return picture_; }

 private:
  int value_;
  Picture picture_;
};

class MemoryImage final : public MemoryControl<Image> {
 public:
  using MemoryControl::MemoryControl;
  Picture GetPicture() const override { return state_.desc.picture; }
};

using MemoryPlain = MemoryControl<Control>;

class MemoryForm final : public Form {
 public:
  MemoryForm(MemoryPlatform& platform, const FormDescription& desc, FormEvents& events);
  ~MemoryForm() override;

  Control& Item(int id) override;
  ListBox& ListBoxItem(int id) override { return As<ListBox>(id); }
  TextBox& TextBoxItem(int id) override { return As<TextBox>(id); }
  CheckBox& CheckBoxItem(int id) override { return As<CheckBox>(id); }
  Image& ImageItem(int id) override { return As<Image>(id); }

  std::string Caption() const override { return caption_; }
  void SetCaption(std::string_view caption) override { caption_ = caption; }
  void Show() override;
  void Hide() override { visible_ = false; }
  bool Visible() const override { return visible_; }
  Rect Bounds() const override { return bounds_; }
  void Move(const Rect& bounds) override;
  void SetFocus() override {
    ++focusRequests_;
    platform_.SetActive(this);
  }
  bool SetTopMost(bool topMost) override {
    topMost_ = topMost;
    return loaded_;
  }
  void Unload() override;
  bool Loaded() const override { return loaded_; }
  void AcceptDrops(bool accept) override { acceptsDrops_ = accept; }
  void SetProgress(Progress state, std::size_t done, std::size_t total) override {
    progress_ = {state, done, total};
  }
  bool IsForeground() const override { return platform_.ActiveForm() == this; }
  void FlashUntilActive() override { ++flashes_; }
  void AddSystemMenuCommand(int command, std::string_view caption) override {
    systemMenu_.emplace_back(command, caption);
  }

  struct ProgressShown {
    Progress state = Progress::None;
    std::size_t done = 0, total = 0;
    friend bool operator==(const ProgressShown&, const ProgressShown&) = default;
  };
  bool AcceptsDrops() const { return acceptsDrops_; }
  const ProgressShown& ShownProgress() const { return progress_; }
  int Flashes() const { return flashes_; }
  // The program's own commands in the system menu, and choosing one as the user would.
  const std::vector<std::pair<int, std::string>>& SystemMenu() const { return systemMenu_; }
  void ChooseSystemMenu(int command) { events_.OnSystemMenuCommand(command); }
  bool TopMost() const { return topMost_; }
  FormEvents& Events() { return events_; }
  int FocusRequests() const { return focusRequests_; }
  // Every height the window was given, in order (the unroll shows here).
  const std::vector<Twips>& Heights() const { return heights_; }

 private:
  template <class T>
  T& As(int id);

  MemoryPlatform& platform_;
  FormEvents& events_;
  FormDescription desc_;
  std::map<int, std::unique_ptr<Control>> controls_;
  std::string caption_;
  Rect bounds_;
  std::vector<Twips> heights_;
  int focusRequests_ = 0;
  bool visible_ = false;
  bool shownOnce_ = false;
  bool topMost_ = false;
  bool loaded_ = true;
  bool unloading_ = false;
  bool acceptsDrops_ = false;
  ProgressShown progress_;
  int flashes_ = 0;
  std::vector<std::pair<int, std::string>> systemMenu_;
};

}  // namespace kalvenor::platform::memory
