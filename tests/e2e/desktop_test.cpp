// The window as part of the desktop: files dropped onto it, and the log's menu, which copies
// the log to the clipboard or saves it, at the done prompt and without leaving it.
#include <windows.h>
// After windows.h, which it depends on.
#include <shellapi.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <cstring>

#include "platform/win32/win32_form.h"
#include "platform/win32/win32_system.h"
#include "platform/win32/win32_toolkit.h"
#include "run_support.h"
#include "setup/frm_setup.h"

namespace kalvenor::e2e {
namespace {

// A drop as a file manager hands it over: a DROPFILES record with the wide paths after it,
// each ended by a NUL, the list by another. The receiver frees it.
HGLOBAL MakeDrop(const std::vector<std::wstring>& paths) {
  std::wstring list;
  for (const std::wstring& path : paths) list += path + L'\0';
  list += L'\0';
  const std::size_t bytes = sizeof(DROPFILES) + list.size() * sizeof(wchar_t);
  HGLOBAL memory = ::GlobalAlloc(GHND, bytes);
  auto* drop = static_cast<DROPFILES*>(::GlobalLock(memory));
  drop->pFiles = sizeof(DROPFILES);
  drop->fWide = TRUE;
  std::memcpy(reinterpret_cast<char*>(drop) + sizeof(DROPFILES), list.data(),
              list.size() * sizeof(wchar_t));
  ::GlobalUnlock(memory);
  return memory;
}

std::optional<std::wstring> ClipboardText() {
  if (!::OpenClipboard(nullptr)) return std::nullopt;
  std::optional<std::wstring> text;
  if (HANDLE data = ::GetClipboardData(CF_UNICODETEXT)) {
    if (const auto* chars = static_cast<const wchar_t*>(::GlobalLock(data))) {
      text = chars;
      ::GlobalUnlock(data);
    }
  }
  ::CloseClipboard();
  return text;
}

class Desktop : public ::testing::Test {
 protected:
  void Start() { app.emplace(folder, windows.ForProgram()); }
  PrivateWindows windows;
  TempFolder folder;
  std::optional<App> app;
};

// Wine hands a posted HDROP over as the bare handle, which means nothing in another process, so
// the window is built here, in this process, from the program's own code: its Setup window on
// the Win32 toolkit, with a drop made as a file manager makes one.
TEST(Drop, DroppedFilesAndFoldersJoinTheManualListOfTheLiveWindow) {
  TempFolder dropped;
  const std::wstring one = dropped.Write(L"one.dll");
  const std::wstring notes = dropped.Write(L"notes.txt");
  const std::wstring parts = dropped.MakeFolder(L"Parts");
  const std::wstring part = dropped.Write(L"Parts\\part.ocx");
  win32::Win32System system;
  win32::Win32Toolkit toolkit(::GetModuleHandleW(nullptr));
  platform::Services services{toolkit, system};
  engine::Engine engine(services);
  Selection selection;
  frmSetup setup(services, engine, selection);
  const HWND window = static_cast<win32::Win32Form&>(setup.Window()).Handle();

  ::PostMessageW(window, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({one, notes, parts})), 0);
  toolkit.DoEvents();
  auto& list = setup.Window().ListBoxItem(Id(SetupId::fileList));
  std::vector<std::wstring> items;
  for (std::size_t i = 0; i < list.ListCount(); ++i) items.push_back(Widen(list.List(i)));
  EXPECT_EQ(items, (std::vector{one, part}));
  EXPECT_EQ(setup.Window().CheckBoxItem(Id(SetupId::chkAutoManual)).Value(), 1);
}

TEST_F(Desktop, TheLogIsCopiedAndSavedAtTheDonePrompt) {
  const std::wstring source = folder.Write(L"comp.dll", "not a component");
  Start();
  const std::wstring log = RunToEnd(*app, SetupId::cmdBlindCopy);

  ASSERT_TRUE(PickFromLogMenu(*app, 1));
  EXPECT_EQ(AwaitValue([] { return ClipboardText(); }, std::optional(log)), log);

  TempFolder saved;
  const std::wstring file = saved.Path() + L"\\run.log";
  ASSERT_TRUE(PickFromLogMenu(*app, 2));
  ChooseInFileDialog(app->WaitForWindowTitled(L"Save the log"), file);
  ASSERT_TRUE(WaitUntil([&] { return FileExists(file); }));
  EXPECT_EQ(Widen(FileContent(file)), log) << "UTF-8 with CR LF, as the log shows it";
  EXPECT_EQ(app->Log(), log);
  EXPECT_TRUE(app->Control(SetupId::txtOperations).Visible()) << "the done prompt was left";
}

}  // namespace
}  // namespace kalvenor::e2e
