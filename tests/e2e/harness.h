#pragma once
// Runs the real program in a folder of its own and reads and drives its windows from outside,
// the way a person or an accessibility tool would: through standard window messages only.

#include <windows.h>

#include <chrono>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/win32/handles.h"
#include "platform/win32/text.h"
#include "setup/setup_layout.h"

namespace kalvenor::e2e {

using namespace std::chrono_literals;

// ---- What is under test

// The program and the folder of the sample components, as Windows paths. Set once by main from
// the command line or from KALVENOR_EXE and KALVENOR_SAMPLES.
struct Locations {
  std::wstring exe;
  std::wstring samples;
};
Locations& UnderTest();
std::wstring SamplePath(std::wstring_view name);

// ---- Waiting

inline constexpr std::chrono::milliseconds kTimeout = 5s;

// Polls `condition` with short sleeps until it holds or `timeout` has passed; says which.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = kTimeout);

// Polls `read` until it returns `expected` or `timeout` has passed, and returns the last value
// read: EXPECT_EQ(expected, AwaitValue(...)) then shows what was there instead.
template <class Read, class T>
auto AwaitValue(Read read, const T& expected, std::chrono::milliseconds timeout = kTimeout) {
  auto value = read();
  WaitUntil(
      [&] {
        value = read();
        return value == expected;
      },
      timeout);
  return value;
}

// ---- Text

using win32::Narrow;  // UTF-8, for failure messages
using win32::Widen;
std::wstring LowerCase(std::wstring_view text);
std::wstring EnvironmentVariable(const wchar_t* name);  // empty when not set
// Deletes the folder with all in it; false where anything stays.
bool RemoveTree(const std::wstring& path);
// Deletes the runs the journal's store holds, so that each test begins with a store that prunes
// nothing: the store keeps only the newest runs, and names each run it drops that was not undone.
void ForgetStoredRuns();

// ---- Handles

// The program's own owner: closes once, knows its empty value.
using win32::UniqueHandle;

// ---- Files

// A fresh folder under the temp directory, removed with everything in it at the end. Its name
// has capitals and a blank, as real install folders often do.
class TempFolder {
 public:
  TempFolder();
  // With a name of this beginning instead, e.g. one without blanks.
  explicit TempFolder(std::wstring_view namePrefix);
  // In the folder `base` (a drive's root, say) instead of the temp directory.
  TempFolder(std::wstring_view namePrefix, std::wstring base);
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::wstring& Path() const { return path_; }
  // `relative` below the folder; sub-folders separated by backslashes.
  std::wstring PathOf(std::wstring_view relative) const;

  // Each returns the full path of what it made.
  std::wstring Copy(const std::wstring& source, std::wstring_view relative) const;
  std::wstring Write(std::wstring_view relative, std::string_view bytes = {}) const;
  std::wstring MakeFolder(std::wstring_view relative) const;
  // Adds FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM, ... to what the entry has.
  void AddAttributes(std::wstring_view relative, DWORD attributes) const;

 private:
  std::wstring path_;
};

// ---- Windows of the program

struct PixelRect {
  int left = 0, top = 0, width = 0, height = 0;
  bool operator==(const PixelRect&) const = default;
};
void PrintTo(const PixelRect& rect, std::ostream* out);

// A window of the program under test. Every read is a query or message the system answers for
// any process; a window that stops answering fails the test instead of hanging it.
class Window {
 public:
  Window() = default;
  explicit Window(HWND handle) : handle_(handle) {}
  HWND Handle() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  bool operator==(const Window&) const = default;

  std::wstring ClassName() const;
  std::wstring Text() const;  // caption, or the whole text of an edit control
  int Id() const;
  LONG_PTR Style() const;
  bool Visible() const;  // on the screen: itself and all its parents shown
  bool Enabled() const;
  PixelRect Rect() const;  // in the parent's client area; on the screen for a top-level one
  SIZE ClientSize() const;
  UINT Dpi() const;
  // BST_CHECKED, BST_UNCHECKED, ... of a check box. The owner-drawn mode toggle keeps its
  // state to itself: its caption tells it.
  int CheckState() const;
  std::vector<std::wstring> Items() const;  // a list box's items, top to bottom

  std::vector<Window> Children() const;  // the direct children, in z-order (the tab order)
  Window Child(int id) const;            // throws when there is none

  // Left button down and up at the centre, posted to the control as a mouse click is: the
  // program's message loop sees them first, then the control presses and notifies its parent.
  // The pointer does not arrive first (no WM_MOUSEMOVE), so hover help stays out of it.
  // A hidden or disabled control cannot be clicked: that throws.
  void Click() const;

  // Moves the real pointer to the centre of the window, or to a point of its client area, as a
  // person's mouse would: the window under the pointer gets WM_MOUSEMOVE.
  void PointAt() const;
  void PointAt(POINT client) const;

 private:
  LRESULT Send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;

  HWND handle_ = nullptr;
};

// Its id, class and caption, for failure messages.
void PrintTo(const Window& window, std::ostream* out);

// The top-level windows of a process that `wanted` accepts.
std::vector<HWND> TopLevelWindows(DWORD processId, std::function<bool(HWND)> wanted);

// ---- The common file-open dialog

// Types `name` into the file name field of a file-open dialog and presses Open, as a person
// typing a name and pressing Enter would.
void ChooseInFileDialog(const Window& dialog, std::wstring_view name);

// ---- The program

// How to start the program.
struct Launch {
  // Changes to this process's environment for the program: a value sets the variable, none
  // removes it.
  std::vector<std::pair<std::wstring, std::optional<std::wstring>>> environment;
  std::wstring arguments;  // after the program's quoted path
};

// The program under test, copied into a folder and started there; closed at the end. Starting
// returns once the main window is up and the program waits for input, so its start-up is over.
class App {
 public:
  explicit App(const std::wstring& folder, const Launch& launch = {});
  explicit App(const TempFolder& folder, const Launch& launch = {}) : App(folder.Path(), launch) {}
  ~App();
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  const std::wstring& ExePath() const { return exe_; }
  DWORD ProcessId() const { return processId_; }
  Window Main() const { return main_; }
  Window Control(SetupId id) const { return main_.Child(Id(id)); }
  Window Focus() const;  // the window with the keyboard focus in the program, if any

  // Shorthands for the two views of the file area.
  std::vector<std::wstring> ListItems() const { return Control(SetupId::fileList).Items(); }
  std::wstring Log() const { return Control(SetupId::txtOperations).Text(); }

  // Another top-level window of the program (a message box, a dialog) with this exact title.
  std::optional<Window> FindWindowTitled(std::wstring_view title) const;
  Window WaitForWindowTitled(std::wstring_view title,
                             std::chrono::milliseconds timeout = kTimeout) const;
  // A top-level window of the program of this class, shown or not (KalvenorTip: the hover tip).
  std::optional<Window> FindWindowOfClass(std::wstring_view className) const;

  // Keys, posted to the focused window as the keyboard would. The program translates them
  // itself, so a key that types a character brings its WM_CHAR too, queued when the key is
  // handled: behind whatever was posted meanwhile.
  void PressKey(WORD virtualKey) const;
  // The key with Alt held, as for an access key: WM_SYSKEYDOWN / WM_SYSKEYUP.
  void PressAltKey(WORD virtualKey) const;
  // A character alone, without its key.
  void TypeChar(wchar_t character) const;

  // Asks the main window to close (WM_CLOSE) and waits for the program to end.
  bool Close(std::chrono::milliseconds timeout = kTimeout);
  bool WaitForExit(std::chrono::milliseconds timeout = kTimeout) const;
  // Ends the program at once, as a crash or a power cut would.
  void Kill();
  bool Running() const;
  std::optional<DWORD> ExitCode() const;  // once ended

 private:
  void Start(const std::wstring& folder, const Launch& launch);
  void PostToFocus(UINT message, WPARAM wParam, LPARAM lParam) const;

  std::wstring exe_;
  UniqueHandle process_;
  DWORD processId_ = 0;
  Window main_;
};

}  // namespace kalvenor::e2e
