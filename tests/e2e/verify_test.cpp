// Verification through the system, after an Install of copies of Wine's own COM servers: it
// holds with no false alarm in both bitnesses, each damage is found and worded, the lines of
// /detect reach the file or pipe that the starter gave as standard output, and a detection holds
// while Kalvenor's Install does, and only then.
#include <gtest/gtest.h>

#include <functional>

#include "run_support.h"
#include "samples/sample_clsids.h"

namespace kalvenor::e2e {
namespace {

constexpr wchar_t kDictionary[] = L"{EE09B103-97E0-11CF-978F-00A02463E06F}";  // scrrun.dll's
constexpr wchar_t kScripting[] = L"{420B2830-E718-11CF-893D-00A0C9054228}";   // its library
constexpr bool kOwn64 = sizeof(void*) == 8;
// The system DLLs the copies import, which a real system directory holds beside them.
constexpr const wchar_t* kImports[] = {
    L"advapi32.dll", L"kernel32.dll", L"ntdll.dll",    L"ole32.dll",  L"oleaut32.dll",
    L"scrrun.dll",   L"shell32.dll",  L"ucrtbase.dll", L"user32.dll", L"version.dll"};

std::wstring WineDlls(bool x64) {
  return EnvironmentVariable(x64 ? L"KALVENOR_WINE_DLLS_X64" : L"KALVENOR_WINE_DLLS_X86");
}

void SetString(HKEY root, const std::wstring& key, const std::wstring& value, REGSAM view) {
  HKEY opened = nullptr;
  ASSERT_EQ(::RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr,
                              &opened, nullptr),
            ERROR_SUCCESS);
  ::RegSetValueExW(opened, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  ::RegCloseKey(opened);
}

void DeleteTree(HKEY root, const std::wstring& key, REGSAM view) {
  HKEY opened = nullptr;
  if (::RegOpenKeyExW(root, key.c_str(), 0, KEY_ALL_ACCESS | view, &opened) != ERROR_SUCCESS) {
    return;
  }
  ::RegDeleteTreeW(opened, nullptr);
  ::RegCloseKey(opened);
  ::RegDeleteKeyExW(root, key.c_str(), view, 0);
}

class Verify : public ::testing::Test {
 public:
  Verify() : exe(folder.Copy(UnderTest().exe, L"kalvenor.exe")) {
    const std::wstring wine = WineDlls(kOwn64);
    scrrun = pkg.Copy(wine + L"\\scrrun.dll", L"vscrrun.dll");
    pkg.Copy(wine + L"\\wshom.ocx", L"vwshom.ocx");
    pkg.Copy(SamplePath(L"sample_sibling.dll"), L"sample_sibling.dll");
    // Its library names IUnknown, which Wine registers without a proxy/stub class.
    pkg.Copy(SamplePath(L"kalvenor_sample.dll"), L"kalvenor_sample.dll");
    // Its helper is in place before it, as another package would have put it.
    windows.PutCopy(SamplePath(L"sample_sibling_helper.dll"), L"sample_sibling_helper.dll");
  }
  // The prefix's own servers take their classes back; no per-user class stays.
  void TearDown() override {
    DeleteTree(HKEY_CURRENT_USER, std::wstring(L"Software\\Classes\\CLSID\\") + kDictionary, 0);
    DeleteClsid(sample::kNormalClsidString);
    for (const std::wstring& system : {OwnSystemDirectory(), OtherRealSystem()}) {
      if (system.empty()) continue;
      for (const wchar_t* name : {L"scrrun.dll", L"wshom.ocx"}) {
        ExitCodeOf(system + L"\\regsvr32.exe",
                   L"regsvr32.exe /s \"" + system + L"\\" + name + L"\"");
      }
    }
  }
  // The other bitness's real system directory as this process reaches it; empty with none.
  static std::wstring OtherRealSystem() {
    wchar_t folder[MAX_PATH];
    const UINT length = kOwn64 ? ::GetSystemWow64DirectoryW(folder, MAX_PATH)
                               : ::GetSystemWindowsDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    const std::wstring system = std::wstring(folder) + (kOwn64 ? L"" : L"\\sysnative");
    return FileExists(system + L"\\regsvr32.exe") ? system : std::wstring();
  }
  Ended Run(const std::wstring& arguments) const {
    return RunUnattended(exe, arguments, windows, folder.Path());
  }
  // Installs the package; the private system directories get the DLLs the copies import.
  void Install() {
    ASSERT_EQ(Run(L"/install /quiet /log:install.log " + Quoted(pkg.Path())).exitCode, 0u)
        << FileContent(folder.PathOf(L"install.log"));
    for (const wchar_t* name : kImports) {
      ::CopyFileW((OwnSystemDirectory() + L"\\" + name).c_str(), windows.Target(name).c_str(),
                  TRUE);
    }
  }

  // Installs the package; the detection command the Install gave, after the program's path.
  std::wstring InstallForDetection() {
    Install();
    const std::string log = FileContent(folder.PathOf(L"install.log"));
    const std::size_t at = log.find(" /verify /detect ");
    EXPECT_NE(at, std::string::npos) << log;
    if (at == std::string::npos) return {};
    // As PowerShell hands it on: its quotes taken off.
    std::string command = log.substr(at + 1, log.find("\r\n", at) - at - 1);
    std::erase(command, '\'');
    return Widen(command);
  }
  // A copy put in place and registered by hand, as another installer leaves one.
  void PlaceByHand() const {
    ::CopyFileW(scrrun.c_str(), windows.Target(L"vscrrun.dll").c_str(), FALSE);
    EXPECT_EQ(
        ExitCodeOf(windows.Tool(), L"regsvr32.exe /s \"" + windows.Target(L"vscrrun.dll") + L"\""),
        std::optional<DWORD>(0));
  }

  PrivateWindows windows;
  TempFolder folder, pkg;
  std::wstring exe, scrrun;
};

TEST_F(Verify, HoldsAfterAnInstallOfBothBitnessesWithNoFalseAlarm) {
  const std::optional<std::wstring> other = windows.AddOtherSystem();
  if (other) {
    pkg.Copy(WineDlls(!kOwn64) + L"\\scrrun.dll", L"oscrrun.dll");
    pkg.Copy(WineDlls(!kOwn64) + L"\\wshom.ocx", L"owshom.ocx");
  }
  Install();
  if (other) {
    for (const wchar_t* name : kImports) {
      ::CopyFileW((OtherRealSystem() + L"\\" + name).c_str(), (*other + L"\\" + name).c_str(),
                  TRUE);
    }
  }
  const Ended verified = Run(L"/verify /quiet /log:run.log /json:run.json " + Quoted(pkg.Path()));
  const std::string log = FileContent(folder.PathOf(L"run.log"));
  EXPECT_EQ(verified.exitCode, 0u) << log;
  EXPECT_EQ(log.find("failed"), std::string::npos) << log;
  EXPECT_NE(log.find("> Verifying file " + Narrow(windows.Target(L"vwshom.ocx"))),
            std::string::npos)
      << log;
  const Ended detected = Run(L"/verify /detect /quiet " + Quoted(pkg.Path()));
  EXPECT_EQ(detected.exitCode, 0u);
  const std::size_t components = other ? 6 : 4;
  std::size_t lines = 0;
  for (std::size_t at = 0; (at = detected.output.find("Verified ", at)) != std::string::npos;
       ++at) {
    ++lines;
  }
  EXPECT_EQ(lines, components) << detected.output;
  // By name, with the package gone, through the copy of the program the Install kept in the
  // store: against what the Install put there.
  const std::wstring kept = EnvironmentVariable(L"ProgramData") + L"\\Kalvenor\\kalvenor.exe";
  ASSERT_TRUE(SameContent(kept, exe));
  ASSERT_TRUE(::DeleteFileW(scrrun.c_str()));
  EXPECT_EQ(RunUnattended(kept, L"/verify /quiet /log:run.log vscrrun.dll", windows, folder.Path())
                .exitCode,
            0u)
      << FileContent(folder.PathOf(L"run.log"));
}

// /activate creates each class that the proof counts, in a helper of the component's bitness:
// scrrun's own (Wine's registers Encoder to itself but does not serve it), a factory that fails
// with its HRESULT, and one that never returns, stopped at the time limit. Without it, none runs.
TEST_F(Verify, ActivateCreatesEachClassAndWordsWhatFails) {
  pkg.Copy(SamplePath(L"sample_nofactory.dll"), L"sample_nofactory.dll");
  pkg.Copy(SamplePath(L"sample_hangfactory.dll"), L"sample_hangfactory.dll");
  Install();
  (void)Run(L"/verify /quiet /log:run.log " + Quoted(pkg.Path()));
  EXPECT_EQ(FileContent(folder.PathOf(L"run.log")).find("created"), std::string::npos);
  const Ended verified = Run(L"/verify /activate /quiet /log:run.log " + Quoted(pkg.Path()));
  const std::string log = FileContent(folder.PathOf(L"run.log"));
  EXPECT_EQ(verified.exitCode, 1603u) << log;
  for (const std::string& line :
       {"|      class Dictionary " + Narrow(kDictionary) + " created",
        std::string("|      class FileSystemObject {0D43FE01-F093-11CF-8940-00A0C9054228} created"),
        std::string("|      failed: class Encoder {32DA2B15-CFED-11D1-B747-00C04FC2B085} cannot "
                    "be created: 0x80040111"),
        std::string("|      failed: class SampleComponent {63709560-B232-4B8B-9539-830DBF9EFA03} "
                    "cannot be created: 0x80004001"),
        std::string("|      failed: the creation of class SampleComponent "
                    "{5044C27B-96C0-40A9-AEE6-E025FD823835} did not end within 30 seconds, and "
                    "was stopped")}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  }
}

struct Damage {
  const char* name;
  std::function<void(Verify&)> damage;
  std::function<std::string(Verify&)> line;  // what follows "failed: "
  bool detected = false;  // a user's own: a detection still finds the package installed
};

class VerifyDamages : public Verify, public ::testing::WithParamInterface<Damage> {};

TEST_P(VerifyDamages, EachIsFoundAndWorded) {
  Install();
  GetParam().damage(*this);
  const Ended verified = Run(L"/verify /quiet /log:run.log " + Quoted(pkg.Path()));
  const std::string log = FileContent(folder.PathOf(L"run.log"));
  EXPECT_EQ(verified.exitCode, 1603u) << log;
  EXPECT_NE(log.find("|      failed: " + GetParam().line(*this)), std::string::npos) << log;
  const Ended detected = Run(L"/verify /detect /quiet " + Quoted(pkg.Path()));
  EXPECT_EQ(detected.exitCode, 0u);
  EXPECT_EQ(detected.output.empty(), !GetParam().detected) << detected.output;
}

std::string Target(Verify& t, const wchar_t* name) { return Narrow(t.windows.Target(name)); }
const std::wstring kClassKey = std::wstring(L"CLSID\\") + kDictionary;
const std::string kClass = "class Dictionary " + Narrow(kDictionary) + " ";

INSTANTIATE_TEST_SUITE_P(
    Table, VerifyDamages,
    ::testing::Values(
        Damage{"Deleted",
               [](Verify& t) { ::DeleteFileW(t.windows.Target(L"vscrrun.dll").c_str()); },
               [](Verify&) { return std::string("it is not in place"); }},
        Damage{"OtherBytes",
               [](Verify& t) {
                 ::CopyFileW(t.pkg.PathOf(L"vwshom.ocx").c_str(),
                             t.windows.Target(L"vscrrun.dll").c_str(), FALSE);
               },
               [](Verify& t) { return "its bytes are not those of " + Narrow(t.scrrun); }},
        Damage{"ClassToAnotherCopy",
               [](Verify&) {
                 SetString(HKEY_CLASSES_ROOT, kClassKey + L"\\InprocServer32",
                           L"C:\\elsewhere\\vscrrun.dll", OwnView());
               },
               [](Verify& t) {
                 return kClass + "is registered to C:\\elsewhere\\vscrrun.dll, not to " +
                        Target(t, L"vscrrun.dll");
               }},
        Damage{"ClassOnlyInTheOtherView",
               [](Verify& t) {
                 DeleteClsid(kDictionary);
                 SetString(HKEY_CLASSES_ROOT, kClassKey + L"\\InprocServer32",
                           t.windows.Target(L"vscrrun.dll"), OtherView());
               },
               [](Verify&) {
                 return kClass + "is registered only in the " + (kOwn64 ? "32" : "64") +
                        "-bit registry view";
               }},
        Damage{"ProgIdToAnotherClass",
               [](Verify&) {
                 SetString(HKEY_CLASSES_ROOT, L"Scripting.Dictionary\\CLSID",
                           L"{00000000-1111-2222-3333-444444444444}", OwnView());
               },
               [](Verify&) {
                 return std::string(
                     "ProgID Scripting.Dictionary leads to class "
                     "{00000000-1111-2222-3333-444444444444}, which is not "
                     "registered");
               }},
        Damage{"TypeLibraryKeyGone",
               [](Verify&) {
                 for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
                   DeleteTree(HKEY_CLASSES_ROOT, std::wstring(L"TypeLib\\") + kScripting, view);
                 }
               },
               [](Verify&) {
                 return "its type library " + Narrow(kScripting) + " is not registered for";
               }},
        Damage{"DependencyRemoved",
               [](Verify& t) {
                 ::DeleteFileW(t.windows.Target(L"sample_sibling_helper.dll").c_str());
               },
               [](Verify&) {
                 return std::string(
                     "needs sample_sibling_helper.dll, which is in none of the "
                     "folders Windows searches");
               }},
        Damage{"PerUserClassShadows",
               [](Verify&) {
                 SetString(HKEY_CURRENT_USER,
                           L"Software\\Classes\\" + kClassKey + L"\\InprocServer32",
                           L"C:\\elsewhere\\vscrrun.dll", 0);
               },
               [](Verify&) {
                 return kClass + "has a registration of its own in HKCU\\Software\\Classes, " +
                        "to C:\\elsewhere\\vscrrun.dll";
               },
               true}),
    [](const auto& info) { return std::string(info.param.name); });

// As PowerShell and deployment agents give it: a file, then a pipe.
TEST_F(Verify, DetectionLinesReachAFileGivenAsStandardOutput) {
  Install();
  const std::wstring out = folder.PathOf(L"out.txt");
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE file = ::CreateFileW(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = startup.hStdError = file;
  std::wstring commandLine = Quoted(exe) + L" /verify /detect /quiet " + Quoted(scrrun);
  const std::wstring ownWindows = EnvironmentVariable(L"WINDIR");
  ::SetEnvironmentVariableW(L"WINDIR", windows.WindowsDir().c_str());
  PROCESS_INFORMATION started{};
  const BOOL ok = ::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                                   nullptr, folder.Path().c_str(), &startup, &started);
  ::SetEnvironmentVariableW(L"WINDIR", ownWindows.c_str());
  ::CloseHandle(file);
  ASSERT_TRUE(ok);
  ::WaitForSingleObject(started.hProcess, 120000);
  DWORD exitCode = 1;
  ::GetExitCodeProcess(started.hProcess, &exitCode);
  ::CloseHandle(started.hProcess);
  ::CloseHandle(started.hThread);
  EXPECT_EQ(exitCode, 0u);
  const std::string line = "Verified " + Narrow(windows.Target(L"vscrrun.dll")) + "\r\n";
  EXPECT_EQ(FileContent(out), line);
  EXPECT_EQ(Run(L"/verify /detect /quiet " + Quoted(scrrun)).output, line);
}

// ---- Detection as Intune and Configuration Manager run it after each install and uninstall:
// detected while Kalvenor's Install holds, and only then.

struct Case {
  const char* name;
  // What happens before the detection, and the detection's arguments after /verify /detect.
  std::function<std::wstring(Verify&)> before;
  bool detected;
};

class Detections : public Verify, public ::testing::WithParamInterface<Case> {};

TEST_P(Detections, AnswerWhetherKalvenorsInstallHolds) {
  const std::wstring detection = GetParam().before(*this);
  const Ended detected = Run(detection + L" /log:detect.log");
  const std::string log = FileContent(folder.PathOf(L"detect.log"));
  EXPECT_EQ(detected.exitCode, 0u) << log;
  EXPECT_EQ(detected.errors, "") << log;
  const std::string scrrunLine = "Verified " + Narrow(windows.Target(L"vscrrun.dll")) + "\r\n";
  EXPECT_EQ(detected.output.find(scrrunLine) != std::string::npos, GetParam().detected)
      << detected.output << log;
  if (!GetParam().detected) {
    EXPECT_EQ(detected.output, "") << log;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Detections,
    ::testing::Values(
        Case{"AsTheInstallNamedIt", [](Verify& t) { return t.InstallForDetection(); }, true},
        Case{"ByNameAlone",
             [](Verify& t) {
               t.InstallForDetection();
               return std::wstring(L"/verify /detect vscrrun.dll vwshom.ocx");
             },
             true},
        Case{"ACopyPlacedAndRegisteredByHand",
             [](Verify& t) {
               t.PlaceByHand();
               return std::wstring(L"/verify /detect vscrrun.dll");
             },
             false},
        Case{"ANewerVersionAskedFor",
             [](Verify& t) {
               t.InstallForDetection();
               return std::wstring(L"/verify /detect vscrrun.dll@9999.0");
             },
             false},
        Case{"RemovedAndKeptForAnotherProgram",
             [](Verify& t) {
               const std::wstring detection = t.InstallForDetection();
               // Another program counts on it too.
               const std::wstring target = t.windows.Target(L"vscrrun.dll");
               const DWORD two = 2;
               EXPECT_EQ(::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSharedDlls, target.c_str(),
                                           REG_DWORD, &two, sizeof two),
                         ERROR_SUCCESS);
               EXPECT_EQ(t.Run(L"/remove /quiet " + Quoted(t.scrrun)).exitCode, 0u);
               EXPECT_TRUE(FileExists(target));
               return detection;
             },
             false},
        Case{"UndoneOverACopyThatWasThereBefore",
             [](Verify& t) {
               t.PlaceByHand();
               const std::wstring detection = t.InstallForDetection();
               EXPECT_EQ(t.Run(L"/undo /quiet").exitCode, 0u);
               EXPECT_TRUE(FileExists(t.windows.Target(L"vscrrun.dll")));
               return detection;
             },
             false},
        // A copy of this bitness put by hand into the other bitness's folder, where no program
        // loads it. Where the machine has no other tool, that folder is not looked at at all.
        Case{"WithAStrayCopyInTheOtherFolder",
             [](Verify& t) {
               if (const auto other = t.windows.AddOtherSystem()) {
                 ::CopyFileW(t.scrrun.c_str(), (*other + L"\\vscrrun.dll").c_str(), FALSE);
               }
               return t.InstallForDetection();
             },
             true}),
    [](const auto& info) { return std::string(info.param.name); });

// The answer's contract whatever happens: no window nor prompt to wait at, nothing on standard
// output when the check could not run; and a second uninstall finds its work done.
TEST_F(Verify, DetectionEndsByItselfAndSaysNothingButTheAnswer) {
  const std::wstring detection = InstallForDetection();
  // Without /quiet: it ends by itself, with no one to click.
  EXPECT_NE(Run(L"/verify /detect vscrrun.dll").output, "");
  // A log another program holds: no answer, and standard output stays empty.
  const std::wstring held = folder.PathOf(L"held.log");
  const UniqueHandle holder(::CreateFileW(held.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
  const Ended refused = Run(detection + L" /log:" + Quoted(held));
  EXPECT_EQ(refused.exitCode, 1622u);
  EXPECT_EQ(refused.output, "");
  EXPECT_NE(refused.errors, "");
  EXPECT_EQ(Run(L"/remove /quiet " + Quoted(pkg.Path())).exitCode, 0u);
  const Ended again = Run(L"/remove /quiet /log:again.log " + Quoted(pkg.Path()));
  EXPECT_EQ(again.exitCode, 0u) << FileContent(folder.PathOf(L"again.log"));
  EXPECT_NE(FileContent(folder.PathOf(L"again.log")).find("|      already removed"),
            std::string::npos);
}

}  // namespace
}  // namespace kalvenor::e2e
