#pragma once
// The window toolkit the program's logic runs on. Two implementations: Win32 (the real
// program) and in-memory (unit tests). All geometry in twips; all text UTF-8.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/form_description.h"
#include "platform/system.h"
#include "platform/types.h"

namespace kalvenor::platform {

class Control {
 public:
  virtual ~Control() = default;
  virtual std::string Caption() const = 0;
  virtual void SetCaption(std::string_view caption) = 0;
  virtual bool Visible() const = 0;
  virtual void SetVisible(bool visible) = 0;
  virtual bool Enabled() const = 0;
  virtual void SetEnabled(bool enabled) = 0;
  // False when the control cannot take the focus (hidden or disabled).
  [[nodiscard]] virtual bool SetFocus() = 0;
  virtual Rect Bounds() const = 0;
  virtual void Move(const Rect& bounds) = 0;
};

class ListBox : public Control {
 public:
  virtual void Clear() = 0;
  virtual void AddItem(std::string_view item) = 0;
  virtual std::size_t ListCount() const = 0;
  virtual std::string List(std::size_t index) const = 0;

  // A refill in one piece: the screen shows the list before and after it, nothing between.
  class Refill {
   public:
    explicit Refill(ListBox& list) : list_(list) { list_.HoldRedraw(true); }
    ~Refill() { list_.HoldRedraw(false); }
    Refill(const Refill&) = delete;
    Refill& operator=(const Refill&) = delete;

   private:
    ListBox& list_;
  };

 protected:
  // Stops redrawing the list while held, and redraws it once when released.
  virtual void HoldRedraw(bool /*held*/) {}
};

class TextBox : public Control {
 public:
  virtual std::string Text() const = 0;
  virtual void SetText(std::string_view text) = 0;
  // Appends at the very end whatever the caret or selection, then puts the caret after the
  // new text and scrolls it into view.
  virtual void Append(std::string_view text) = 0;
  virtual std::size_t SelStart() const = 0;
};

class CheckBox : public Control {
 public:
  virtual int Value() const = 0;
  // Sets the value without raising a click.
  virtual void SetValue(int value) = 0;
  virtual void SetPicture(Picture picture) = 0;
};

class Image : public Control {
 public:
  virtual Picture GetPicture() const = 0;
};

// What a window reports to its logic. Control ids come from the window's FormDescription; 0 is the
// window's own surface.
class FormEvents {
 public:
  static constexpr int kSurface = 0;
  virtual void OnClick(int controlId) = 0;
  virtual void OnMouseMove(int controlId) = 0;
  // Every character key, whichever control has the focus (key preview).
  virtual void OnKeyPress(int key) = 0;
  // The window is about to be unloaded; set `cancel` to keep it.
  virtual void OnUnload(bool& cancel) = 0;
  // Files or folders dropped onto the window while it accepts drops, in the order dropped.
  virtual void OnDropFiles(const std::vector<std::string>& /*paths*/) {}
  // The user asked for a control's context menu (right click, Shift+F10 or the menu key).
  virtual void OnContextMenu(int /*controlId*/) {}
  // A command the program added to the window's system menu was chosen.
  virtual void OnSystemMenuCommand(int /*command*/) {}

 protected:
  ~FormEvents() = default;
};

// What the window's task-bar button shows of a run.
enum class Progress { None, Normal, Error };

class Form {
 public:
  virtual ~Form() = default;
  virtual Control& Item(int id) = 0;
  virtual ListBox& ListBoxItem(int id) = 0;
  virtual TextBox& TextBoxItem(int id) = 0;
  virtual CheckBox& CheckBoxItem(int id) = 0;
  virtual Image& ImageItem(int id) = 0;

  virtual std::string Caption() const = 0;
  virtual void SetCaption(std::string_view caption) = 0;
  virtual void Show() = 0;
  virtual void Hide() = 0;
  virtual bool Visible() const = 0;
  // Outer rectangle on the screen.
  virtual Rect Bounds() const = 0;
  virtual void Move(const Rect& bounds) = 0;
  // Activates the window and gives it the keyboard focus.
  virtual void SetFocus() = 0;
  // Places the window above (or back among) the windows that are not top-most.
  [[nodiscard]] virtual bool SetTopMost(bool topMost) = 0;
  // Asks the window's logic, then destroys the window; does nothing while already unloading.
  virtual void Unload() = 0;
  virtual bool Loaded() const = 0;

  // Whether files dropped from a file manager reach OnDropFiles; refused drops show the
  // no-drop cursor.
  virtual void AcceptDrops(bool accept) = 0;
  // The task-bar button's progress: `done` of `total`, in `state`; None clears it.
  virtual void SetProgress(Progress state, std::size_t done, std::size_t total) = 0;
  // Whether the user works in this window now.
  virtual bool IsForeground() const = 0;
  // Flashes the task-bar button until the user comes back to the window.
  virtual void FlashUntilActive() = 0;
  // Adds a command of the program's own to the window's system menu, after a separator;
  // choosing it reaches OnSystemMenuCommand. `command` is from 1 to 0xEFF.
  virtual void AddSystemMenuCommand(int command, std::string_view caption) = 0;
};

enum class MsgBoxStyle { Critical };

struct FileOpenRequest {
  std::string filterName;
  std::string filterPattern;
  std::string title;
  std::string initialDir;
  // What the dialog starts from and writes the chosen path into, ended by a NUL; its length
  // is the longest path that can come back.
  std::string fileBuffer;
};

struct FileSaveRequest {
  std::string title;
  std::string filterName;
  std::string filterPattern;
  std::string defaultExtension;  // without the dot
  std::string initialDir;
  std::string fileName;  // proposed
};

class Toolkit {
 public:
  virtual ~Toolkit() = default;
  virtual std::unique_ptr<Form> CreateForm(const FormDescription& desc, FormEvents& events) = 0;
  // The loaded windows, in the order in which they were loaded.
  virtual std::vector<Form*> Forms() = 0;
  // Processes the events that are waiting, then returns.
  virtual void DoEvents() = 0;
  // Sleeps until an event arrives or `milliseconds` have passed.
  virtual void WaitForEvents(std::uint32_t milliseconds) = 0;
  // A modal message box over `owner` with one OK button.
  virtual void MsgBox(Form& owner, std::string_view text, std::string_view title,
                      MsgBoxStyle style) = 0;
  // The same with no window to own it, where the program shows none.
  virtual void OwnerlessMsgBox(std::string_view text, std::string_view title,
                               MsgBoxStyle style) = 0;
  // Shows the modal file-open dialog; the file buffer as the dialog left it, or nothing on
  // Cancel or failure.
  virtual std::optional<std::string> FileOpenDialog(Form& owner,
                                                    const FileOpenRequest& request) = 0;
  // The standard save dialog; the chosen path, or nothing on Cancel or failure.
  virtual std::optional<std::string> FileSaveDialog(Form& owner,
                                                    const FileSaveRequest& request) = 0;
  // A menu of `items` at the mouse pointer, over `owner`; the index chosen, nothing for none.
  virtual std::optional<std::size_t> PopupMenu(Form& owner,
                                               const std::vector<std::string>& items) = 0;
  // Puts `text` on the clipboard as text.
  virtual Status SetClipboardText(Form& owner, std::string_view text) = 0;
};

}  // namespace kalvenor::platform
