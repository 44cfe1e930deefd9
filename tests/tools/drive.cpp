// Drives Kalvenor from outside for the screenshot script, with standard window messages only.
// Runs inside the Wine virtual desktop, so the program it starts shares that desktop:
//   kalvenor_drive <kalvenor.exe> <hand-shake folder>
// It starts the program, writes "ready" once the window is up, waits for "shot1" from the
// script, clicks Install, writes the log to "log.txt" (UTF-8) and "done" once the log shows the
// done prompt, waits for "shot2", and closes the window.
#include <windows.h>

#include <string>

namespace {

constexpr int kInstall = 111;  // control ids of the Setup window
constexpr int kLog = 101;

bool WaitFor(auto condition) {
  for (int tries = 0; tries < 600; ++tries) {
    if (condition()) return true;
    ::Sleep(50);
  }
  return false;
}

bool Exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void Write(const std::wstring& path, const std::wstring& text = {}) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  std::string bytes(
      static_cast<std::size_t>(::WideCharToMultiByte(
          CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr)),
      '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(),
                        static_cast<int>(bytes.size()), nullptr, nullptr);
  DWORD written = 0;
  ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  ::CloseHandle(file);
}

// By message, since GetWindowText does not read the text of another process's controls.
std::wstring Text(HWND window) {
  std::wstring text(static_cast<std::size_t>(::SendMessageW(window, WM_GETTEXTLENGTH, 0, 0)) + 1,
                    L'\0');
  text.resize(static_cast<std::size_t>(
      ::SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()))));
  return text;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 1;
  const std::wstring program = argv[1], folder = std::wstring(argv[2]) + L"\\";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  std::wstring commandLine = L"\"" + program + L"\"";
  if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &started)) {
    return 2;
  }
  ::CloseHandle(started.hThread);
  HWND window = nullptr;
  const bool up = WaitFor([&] { return (window = ::FindWindowW(L"KalvenorWindow", nullptr)); });
  ::Sleep(500);  // let it paint
  Write(folder + L"ready");
  if (up && WaitFor([&] { return Exists(folder + L"shot1"); })) {
    ::PostMessageW(::GetDlgItem(window, kInstall), BM_CLICK, 0, 0);
    WaitFor([&] {
      return Text(::GetDlgItem(window, kLog)).find(L"Done. Click on the form") !=
             std::wstring::npos;
    });
    ::Sleep(500);
    Write(folder + L"log.txt", Text(::GetDlgItem(window, kLog)));
    Write(folder + L"done");
    WaitFor([&] { return Exists(folder + L"shot2"); });
  }
  ::PostMessageW(window, WM_CLOSE, 0, 0);
  ::WaitForSingleObject(started.hProcess, 10000);
  ::CloseHandle(started.hProcess);
  return up ? 0 : 3;
}
