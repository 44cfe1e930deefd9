// The memory platform's toolkit: windows, the event queue, dialogs and the simulated user. Its
// system is defined by concern in memory_files.cpp, memory_registry.cpp, memory_processes.cpp,
// memory_security.cpp and memory_environment.cpp.
#include "platform/memory/memory_platform.h"

#include <utility>

#include "platform/memory/memory_form.h"

namespace kalvenor::platform::memory {

MemoryPlatform::MemoryPlatform() = default;
MemoryPlatform::~MemoryPlatform() = default;

std::unique_ptr<Form> MemoryPlatform::CreateForm(const FormDescription& desc, FormEvents& events) {
  return std::make_unique<MemoryForm>(*this, desc, events);
}

std::vector<Form*> MemoryPlatform::Forms() { return {forms_.begin(), forms_.end()}; }

void MemoryPlatform::FormLoaded(MemoryForm* form) {
  forms_.push_back(form);
  everLoaded_ = true;
}

void MemoryPlatform::FormUnloaded(MemoryForm* form) {
  std::erase(forms_, form);
  if (focusForm_ == form) SetFocused(nullptr, nullptr, 0);
}

void MemoryPlatform::DoEvents() {
  ++doEventsCalls;
  // Only what is waiting now; events posted by these handlers wait for the next pass.
  std::deque<std::function<void()>> waiting;
  waiting.swap(events_);
  for (auto& event : waiting) event();
}

void MemoryPlatform::WaitForEvents(std::uint32_t milliseconds) {
  if (events_.empty()) ticks_ += milliseconds;
}

void MemoryPlatform::MsgBox(Form&, std::string_view text, std::string_view title, MsgBoxStyle) {
  messageBoxes.push_back(std::string(title) + "\n" + std::string(text));
}

void MemoryPlatform::OwnerlessMsgBox(std::string_view text, std::string_view title, MsgBoxStyle) {
  messageBoxes.push_back(std::string(title) + "\n" + std::string(text));
}

std::optional<std::string> MemoryPlatform::FileOpenDialog(Form&, const FileOpenRequest& request) {
  dialogRequests.push_back(request);
  std::optional<std::string> choice = std::move(nextDialogChoice);
  nextDialogChoice.reset();
  if (!choice || choice->size() > request.fileBuffer.size()) return std::nullopt;
  std::string buffer = request.fileBuffer;
  buffer.replace(0, choice->size() + 1, *choice + '\0');
  return buffer;
}

std::optional<std::string> MemoryPlatform::FileSaveDialog(Form&, const FileSaveRequest& request) {
  saveRequests.push_back(request);
  return std::exchange(nextSaveChoice, std::nullopt);
}

std::optional<std::size_t> MemoryPlatform::PopupMenu(Form&, const std::vector<std::string>& items) {
  menus.push_back(items);
  return std::exchange(nextMenuChoice, std::nullopt);
}

Status MemoryPlatform::SetClipboardText(Form&, std::string_view text) {
  clipboard = text;
  return Done{};
}

void MemoryPlatform::Drop(Form& form, const std::vector<std::string>& paths) {
  auto& memoryForm = static_cast<MemoryForm&>(form);
  if (memoryForm.AcceptsDrops()) memoryForm.Events().OnDropFiles(paths);
}

void MemoryPlatform::ContextMenu(Form& form, int controlId) {
  static_cast<MemoryForm&>(form).Events().OnContextMenu(controlId);
}

void MemoryPlatform::SetFocused(const Control* control, const Form* form, int id) {
  focused_ = control;
  focusForm_ = form;
  focusedId_ = id;
}

void MemoryPlatform::Click(Form& form, int controlId) {
  auto& memoryForm = static_cast<MemoryForm&>(form);
  if (controlId != FormEvents::kSurface) {
    Control& control = form.Item(controlId);
    if (!control.Visible() || !control.Enabled()) return;
    (void)control.SetFocus();
    if (auto* check = dynamic_cast<CheckBox*>(&control))
      check->SetValue(check->Value() == 1 ? 0 : 1);
  }
  memoryForm.Events().OnClick(controlId);
}

// As on Windows, a disabled control does not take the mouse: its window's surface does.
void MemoryPlatform::MouseMove(Form& form, int controlId) {
  if (controlId != FormEvents::kSurface && !form.Item(controlId).Enabled()) {
    controlId = FormEvents::kSurface;
  }
  static_cast<MemoryForm&>(form).Events().OnMouseMove(controlId);
}

void MemoryPlatform::KeyPress(Form& form, int key) {
  static_cast<MemoryForm&>(form).Events().OnKeyPress(key);
}

}  // namespace kalvenor::platform::memory
