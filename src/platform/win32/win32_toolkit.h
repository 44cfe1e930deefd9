#pragma once
// The window toolkit on Win32: the message loop, the loaded windows and the modal dialogs.

#include <windows.h>

#include <exception>
#include <vector>

#include "platform/toolkit.h"
#include "platform/win32/handles.h"

namespace kalvenor::win32 {

class Win32Form;

// Work a control puts off until the program has nothing else to do.
class IdleWork {
 public:
  virtual void WhenIdle() = 0;

 protected:
  ~IdleWork() = default;
};

class Win32Toolkit final : public platform::Toolkit {
 public:
  explicit Win32Toolkit(HINSTANCE instance) : instance_(instance) {}

  // Runs the message loop until the last window has been unloaded.
  int Run();

  std::unique_ptr<platform::Form> CreateForm(const platform::FormDescription& desc,
                                             platform::FormEvents& events) override;
  std::vector<platform::Form*> Forms() override;
  void DoEvents() override;
  void WaitForEvents(std::uint32_t milliseconds) override;
  void MsgBox(platform::Form& owner, std::string_view text, std::string_view title,
              platform::MsgBoxStyle style) override;
  void OwnerlessMsgBox(std::string_view text, std::string_view title,
                       platform::MsgBoxStyle style) override;
  std::optional<std::string> FileOpenDialog(platform::Form& owner,
                                            const platform::FileOpenRequest& request) override;
  std::optional<std::string> FileSaveDialog(platform::Form& owner,
                                            const platform::FileSaveRequest& request) override;
  std::optional<std::size_t> PopupMenu(platform::Form& owner,
                                       const std::vector<std::string>& items) override;
  platform::Status SetClipboardText(platform::Form& owner, std::string_view text) override;

  // For the windows.
  HINSTANCE Instance() const { return instance_; }
  void Loaded(Win32Form* form) { forms_.push_back(form); }
  void Unloaded(Win32Form* form);
  // Keeps an exception from crossing a window procedure; whatever dispatched the message (Run,
  // DoEvents, a dialog or menu) rethrows it once it returns, and WaitForEvents before it sleeps.
  void Fail(std::exception_ptr failure);
  // Runs `work` once, the next time the message loop finds no message waiting; whoever asks
  // forgets it before it goes.
  void AskWhenIdle(IdleWork& work);
  void Forget(IdleWork& work);

 private:
  void Dispatch(MSG& message);
  void RethrowFailure();
  // A function of comdlg32, which is loaded from the system directory on first use.
  void* DialogFunction(const char* name);

  HINSTANCE instance_;
  std::vector<Win32Form*> forms_;
  std::exception_ptr failure_;
  std::vector<IdleWork*> idle_;
  UniqueModule dialogs_;  // comdlg32, loaded from the system directory on first use
};

}  // namespace kalvenor::win32
