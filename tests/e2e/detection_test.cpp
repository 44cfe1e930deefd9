// Detection as Intune and Configuration Manager run it after each install and uninstall, through
// the system and Wine's real regsvr32.exe: copies of Wine's own scrrun.dll and wshom.ocx are
// detected while Kalvenor's Install of them holds, and only then.
#include <gtest/gtest.h>

#include <functional>

#include "run_support.h"

namespace kalvenor::e2e {
namespace {

constexpr bool kOwn64 = sizeof(void*) == 8;
// The system DLLs the copies import, which a real system directory holds beside them.
constexpr const wchar_t* kImports[] = {L"advapi32.dll", L"kernel32.dll", L"ntdll.dll",
                                       L"ole32.dll",    L"oleaut32.dll", L"scrrun.dll",
                                       L"shell32.dll",  L"ucrtbase.dll", L"user32.dll"};

class Detection : public ::testing::Test {
 public:
  Detection() : exe(folder.Copy(UnderTest().exe, L"kalvenor.exe")) {
    const std::wstring wine =
        EnvironmentVariable(kOwn64 ? L"KALVENOR_WINE_DLLS_X64" : L"KALVENOR_WINE_DLLS_X86");
    scrrun = pkg.Copy(wine + L"\\scrrun.dll", L"vscrrun.dll");
    pkg.Copy(wine + L"\\wshom.ocx", L"vwshom.ocx");
    for (const wchar_t* name : kImports) {
      ::CopyFileW((OwnSystemDirectory() + L"\\" + name).c_str(), windows.Target(name).c_str(),
                  TRUE);
    }
  }
  // Wine's own servers take their classes back.
  void TearDown() override {
    for (const wchar_t* name : {L"scrrun.dll", L"wshom.ocx"}) {
      ExitCodeOf(OwnSystemDirectory() + L"\\regsvr32.exe",
                 L"regsvr32.exe /s \"" + OwnSystemDirectory() + L"\\" + name + L"\"");
    }
  }
  Ended Run(const std::wstring& arguments) const {
    return RunUnattended(exe, arguments, windows, folder.Path());
  }
  // The detection command the Install gave, after the program's path.
  std::wstring Install() {
    const Ended installed = Run(L"/install /quiet /log:install.log " + Quoted(pkg.Path()));
    const std::string log = FileContent(folder.PathOf(L"install.log"));
    EXPECT_EQ(installed.exitCode, 0u) << log;
    const std::string with = " /verify /detect ";
    const std::size_t at = log.find(with);
    EXPECT_NE(at, std::string::npos) << log;
    if (at == std::string::npos) return {};
    return Widen(log.substr(at + 1, log.find("\r\n", at) - at - 1));
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

struct Case {
  const char* name;
  // What happens before the detection, and the detection's arguments after /verify /detect.
  std::function<std::wstring(Detection&)> before;
  bool detected;
};

class Detections : public Detection, public ::testing::WithParamInterface<Case> {};

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
        Case{"AsTheInstallNamedIt", [](Detection& t) { return t.Install(); }, true},
        Case{"ByNameAlone",
             [](Detection& t) {
               t.Install();
               return std::wstring(L"/verify /detect vscrrun.dll vwshom.ocx");
             },
             true},
        Case{"ACopyPlacedAndRegisteredByHand",
             [](Detection& t) {
               t.PlaceByHand();
               return std::wstring(L"/verify /detect vscrrun.dll");
             },
             false},
        Case{"ANewerVersionAskedFor",
             [](Detection& t) {
               t.Install();
               return std::wstring(L"/verify /detect vscrrun.dll@9999.0");
             },
             false},
        Case{"RemovedAndKeptForAnotherProgram",
             [](Detection& t) {
               const std::wstring detection = t.Install();
               HKEY counts = nullptr;
               EXPECT_EQ(
                   ::RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                                     L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs", 0,
                                     nullptr, 0, KEY_SET_VALUE, nullptr, &counts, nullptr),
                   ERROR_SUCCESS);
               const std::wstring target = t.windows.Target(L"vscrrun.dll");
               const DWORD two = 2;
               ::RegSetValueExW(counts, target.c_str(), 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&two), sizeof two);
               ::RegCloseKey(counts);
               EXPECT_EQ(t.Run(L"/remove /quiet " + Quoted(t.scrrun)).exitCode, 0u);
               EXPECT_TRUE(FileExists(target));
               return detection;
             },
             false},
        Case{"UndoneOverACopyThatWasThereBefore",
             [](Detection& t) {
               t.PlaceByHand();
               const std::wstring detection = t.Install();
               EXPECT_EQ(t.Run(L"/undo /quiet").exitCode, 0u);
               EXPECT_TRUE(FileExists(t.windows.Target(L"vscrrun.dll")));
               return detection;
             },
             false},
        // A copy of this bitness put by hand into the other bitness's folder, where no program
        // loads it. Where the machine has no other tool, that folder is not looked at at all.
        Case{"WithAStrayCopyInTheOtherFolder",
             [](Detection& t) {
               if (const auto other = t.windows.AddOtherSystem()) {
                 ::CopyFileW(t.scrrun.c_str(), (*other + L"\\vscrrun.dll").c_str(), FALSE);
               }
               return t.Install();
             },
             true}),
    [](const auto& info) { return std::string(info.param.name); });

// The answer's contract whatever happens: no window nor prompt to wait at, nothing on standard
// output when the check could not run; and a second uninstall finds its work done.
TEST_F(Detection, EndsByItselfAndSaysNothingButTheAnswer) {
  const std::wstring detection = Install();
  // Without /quiet: it ends by itself, with no one to click.
  EXPECT_NE(Run(detection.substr(0, detection.find(L" vscrrun")) + L" vscrrun.dll").output, "");
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
