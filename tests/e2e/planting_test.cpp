// The program's folder is full of DLLs by design. A DLL there named like a system library must
// never load into the program: not at start-up, nor for the hover tip, the file dialog or a
// run. Each planted DLL is a copy of plant_marker.dll, which leaves "<name>.loaded" beside
// itself when loaded. Wine prefers its built-in libraries to most files of the same name, so the
// program runs with Wine set to take a native file where the search finds one; the control test
// shows that this setting works.
#include <gtest/gtest.h>

#include <algorithm>

#include "run_support.h"
#include "samples/sample_clsids.h"

namespace kalvenor::e2e {
namespace {

// What the window, its tip, the file dialog (and all it brings: the shell, common controls,
// themes) and a run might load after start-up. Not here: version.dll and imm32.dll, which
// Wine's own user32.dll loads while the program's imports are resolved, before any of its code
// runs, by the plain search order (Windows' user32.dll does not import the first, and the
// second is a known DLL there, loaded from the system directory only).
constexpr const wchar_t* kPlanted[] = {
    L"comctl32", L"comdlg32", L"cryptbase", L"dwmapi",        L"msimg32", L"oleacc",
    L"propsys",  L"shell32",  L"uxtheme",   L"windowscodecs", L"winmm",   L"winspool.drv",
};

std::wstring FileName(const wchar_t* planted) {
  const std::wstring name(planted);
  return name.find(L'.') == std::wstring::npos ? name + L".dll" : name;
}

// Wine's per-program setting that makes these programs take a native DLL of each planted name
// where the search finds one, before Wine's built-in library of that name. (The loader of a
// process started by another Wine process does not see WINEDLLOVERRIDES set by its parent.)
class NativeFirst {
 public:
  explicit NativeFirst(std::initializer_list<const wchar_t*> programs) {
    for (const wchar_t* program : programs) {
      const std::wstring key = std::wstring(kAppDefaults) + L"\\" + program + L"\\DllOverrides";
      HKEY overrides = nullptr;
      if (::RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                            &overrides, nullptr) != ERROR_SUCCESS) {
        throw std::runtime_error("cannot write " + Narrow(key));
      }
      for (const wchar_t* planted : kPlanted) {
        constexpr wchar_t kOrder[] = L"native,builtin";
        ::RegSetValueExW(overrides, planted, 0, REG_SZ, reinterpret_cast<const BYTE*>(kOrder),
                         sizeof kOrder);
      }
      ::RegCloseKey(overrides);
      programs_.emplace_back(program);
    }
  }
  ~NativeFirst() {
    for (const std::wstring& program : programs_) {
      ::RegDeleteTreeW(HKEY_CURRENT_USER, (std::wstring(kAppDefaults) + L"\\" + program).c_str());
    }
  }
  NativeFirst(const NativeFirst&) = delete;
  NativeFirst& operator=(const NativeFirst&) = delete;

 private:
  static constexpr wchar_t kAppDefaults[] = L"Software\\Wine\\AppDefaults";
  std::vector<std::wstring> programs_;
};

// A file built beside e2e_tests.exe.
std::wstring BesideTheTests(std::wstring_view name) {
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::wstring path = self;
  return path.substr(0, path.rfind(L'\\') + 1) + std::wstring(name);
}

// The markers left in a folder.
std::vector<std::wstring> Markers(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found{};
  HANDLE search = ::FindFirstFileExW((folder + L"\\*.loaded").c_str(), FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    names.emplace_back(found.cFileName);
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  return names;
}

class Planting : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const wchar_t* planted : kPlanted)
      folder.Copy(BesideTheTests(L"plant_marker.dll"), FileName(planted));
  }
  void TearDown() override { DeleteClsid(sample::kNormalClsidString); }

  PrivateWindows windows;
  TempFolder folder;
  NativeFirst nativeFirst{L"kalvenor.exe", L"plant_probe.exe"};
};

// A program that loads each planted name by the ordinary search, started in the planted folder
// with the program's overrides: every planted DLL loads and leaves its marker, so the markers
// would catch a program that searched its folder.
TEST_F(Planting, ControlAProgramThatSearchesItsFolderLoadsEachPlantedDll) {
  const std::wstring probe = folder.Copy(BesideTheTests(L"plant_probe.exe"), L"plant_probe.exe");
  std::wstring commandLine = L"plant_probe.exe";
  for (const wchar_t* planted : kPlanted) commandLine += L" " + FileName(planted);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  const BOOL ran = ::CreateProcessW(probe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                                    nullptr, folder.Path().c_str(), &startup, &started);
  ASSERT_TRUE(ran) << ::GetLastError();
  ::CloseHandle(started.hThread);
  const UniqueHandle process(started.hProcess);
  ASSERT_EQ(::WaitForSingleObject(process.get(), static_cast<DWORD>(kTimeout.count())),
            WAIT_OBJECT_0);
  DWORD missed = 0;
  ASSERT_TRUE(::GetExitCodeProcess(process.get(), &missed));
  EXPECT_EQ(missed, 0u) << "planted DLLs that did not load";

  std::vector<std::wstring> expected;
  for (const wchar_t* planted : kPlanted) expected.push_back(FileName(planted) + L".loaded");
  std::vector<std::wstring> markers = Markers(folder.Path());
  std::sort(markers.begin(), markers.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(markers, expected);
}

TEST_F(Planting, NoneLoadsIntoTheProgramFromStartToShutdown) {
  TempFolder elsewhere;
  const std::wstring picked = elsewhere.Copy(SamplePath(L"kalvenor_sample.dll"), L"picked.dll");
  Launch launch = windows.ForProgram();
  ::SetCursorPos(0, 0);  // off the window while it comes up
  std::optional<App> app(std::in_place, folder, launch);

  // The hover tip.
  app->Control(SetupId::cmdInstall).PointAt();
  const std::optional<Window> tip = app->FindWindowOfClass(L"KalvenorTip");
  ASSERT_TRUE(tip);
  EXPECT_TRUE(WaitUntil([&] { return tip->Visible(); })) << "no tip";
  ::SetCursorPos(0, 0);

  // The file dialog, cancelled and then used.
  SwitchToManualMode(*app);
  ASSERT_TRUE(AddFile(*app, std::nullopt));
  ASSERT_TRUE(AddFile(*app, picked));
  ASSERT_EQ(app->ListItems(), std::vector{picked});

  // A run, with the tool.
  const std::wstring target = windows.Target(L"picked.dll");
  EXPECT_EQ(RunToEnd(*app, SetupId::cmdInstall),
            CopyLines(picked, target) + RegisterLines(windows.Tool(), target) + DoneLines());
  EXPECT_EQ(InprocServer(sample::kNormalClsidString), target);
  EXPECT_TRUE(app->Close());
  app.reset();

  EXPECT_EQ(Markers(folder.Path()), std::vector<std::wstring>{});
  EXPECT_EQ(Markers(windows.System()), std::vector<std::wstring>{});
}

}  // namespace
}  // namespace kalvenor::e2e
