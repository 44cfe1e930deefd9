// Components no one here wrote, installed and removed as a user would, with the system's own
// tool: Wine's COM servers, which hold noncreatable classes, classes that other files serve and
// classes served out of process, must show no failed line; MinGW's C++ runtime, which is no
// component at all, must fail with its causes.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "base/text.h"
#include "platform/win32/win32_system.h"
#include "run_support.h"

namespace kalvenor::e2e {
namespace {

// Each registers and works; several declare classes they do not serve themselves.
constexpr const wchar_t* kCorpus[] = {
    L"atl.dll",         L"comsvcs.dll",  L"gameux.dll",   L"hnetcfg.dll", L"ieframe.dll",
    L"jscript.dll",     L"mmcndmgr.dll", L"msado15.dll",  L"msxml.dll",   L"msxml2.dll",
    L"msxml3.dll",      L"msxml4.dll",   L"msxml6.dll",   L"oledb32.dll", L"pstorec.dll",
    L"sapi.dll",        L"scrobj.dll",   L"scrrun.dll",   L"shdocvw.dll", L"taskschd.dll",
    L"uianimation.dll", L"vbscript.dll", L"wbemdisp.dll", L"winhttp.dll", L"wuapi.dll",
    L"dhtmled.ocx",     L"hhctrl.ocx",   L"msscript.ocx", L"wshom.ocx",
};
constexpr wchar_t kDictionary[] = L"{EE09B103-97E0-11CF-978F-00A02463E06F}";  // scrrun.dll's

// The folders tests/e2e/run.sh names: of this build's bitness, as Windows paths.
std::wstring FolderOf(const wchar_t* x86, const wchar_t* x64) {
  return EnvironmentVariable(sizeof(void*) == 8 ? x64 : x86);
}

// Installing a copy takes the prefix's own registration of these classes; a new registration
// of the prefix's files gives it back.
class Corpus : public ::testing::Test {
 protected:
  void TearDown() override {
    const std::wstring system = OwnSystemDirectory();
    for (const wchar_t* name : kCorpus) {
      ExitCodeOf(system + L"\\regsvr32.exe", L"regsvr32.exe /s \"" + system + L"\\" + name + L"\"");
    }
  }

  PrivateWindows windows;
  TempFolder folder;
};

TEST_F(Corpus, WinesComServersInstallAndRemoveWithoutAFailedLine) {
  const std::wstring wine = FolderOf(L"KALVENOR_WINE_DLLS_X86", L"KALVENOR_WINE_DLLS_X64");
  ASSERT_FALSE(wine.empty()) << "tests/e2e/run.sh names the folder of Wine's own DLLs";
  for (const wchar_t* name : kCorpus) folder.Copy(wine + L"\\" + name, name);
  App app(folder, windows.ForProgram());
  ASSERT_EQ(app.ListItems().size(), std::size(kCorpus));

  constexpr auto kCorpusTimeout = 5min;
  const std::wstring installed = RunToEnd(app, SetupId::cmdInstall, kCorpusTimeout);
  ASSERT_TRUE(installed.ends_with(DoneLines())) << Narrow(installed);
  EXPECT_EQ(installed.find(L"failed: "), std::wstring::npos) << Narrow(installed);
  EXPECT_EQ(InprocServer(kDictionary), windows.Target(L"scrrun.dll"));

  ClickSurface(app);
  ASSERT_TRUE(WaitUntil([&] { return ListBack(app); }));
  const std::wstring removed = RunToEnd(app, SetupId::cmdRemove, kCorpusTimeout);
  ASSERT_TRUE(removed.ends_with(DoneLines())) << Narrow(removed);
  EXPECT_EQ(removed.find(L"failed: "), std::wstring::npos) << Narrow(removed);
  EXPECT_EQ(windows.SystemFiles(), std::vector<std::wstring>{L"regsvr32.exe"});
}

// /verify of every server the Install put in place holds as the Install's proof does: a class
// left out while the others are registered, a class another file of the family serves, a
// library registered to another file of the family and a class served out of process are no
// failures. Wine: ieframe.dll's library is registered to shdocvw.dll, and the 64-bit prefix has
// no 32-bit view of its own classes to compare with, as a 64-bit Windows would.
TEST_F(Corpus, VerifyOfEveryInstalledServerHasNoFailedLine) {
  const std::wstring wine = FolderOf(L"KALVENOR_WINE_DLLS_X86", L"KALVENOR_WINE_DLLS_X64");
  ASSERT_FALSE(wine.empty()) << "tests/e2e/run.sh names the folder of Wine's own DLLs";
  TempFolder pkg;
  for (const wchar_t* name : kCorpus) pkg.Copy(wine + L"\\" + name, name);
  const std::wstring exe = folder.Copy(UnderTest().exe, L"kalvenor.exe");
  const Ended installed = RunUnattended(
      exe, L"/install /quiet /log:install.log " + Quoted(pkg.Path()), windows, folder.Path());
  const std::string installLog = FileContent(folder.PathOf(L"install.log"));
  ASSERT_EQ(installed.exitCode, 0u) << installLog;
  ASSERT_EQ(installLog.find("failed: "), std::string::npos) << installLog;
  const Ended verified = RunUnattended(exe, L"/verify /quiet /log:verify.log " + Quoted(pkg.Path()),
                                       windows, folder.Path());
  const std::string log = FileContent(folder.PathOf(L"verify.log"));
  EXPECT_EQ(log.find("failed: "), std::string::npos) << log;
  EXPECT_EQ(verified.exitCode, 0u) << log;
  std::size_t steps = 0;
  for (std::size_t at = 0; (at = log.find("> Verifying file ", at)) != std::string::npos; ++at) {
    ++steps;
  }
  EXPECT_EQ(steps, std::size(kCorpus)) << log;
}

// The keys of HKCR that registrations write, each as "key\\name=type:bytes", sorted.
std::vector<std::string> ClassesRootLines() {
  win32::Win32System system;
  const auto view =
      sizeof(void*) == 8 ? platform::RegistryView::Bits64 : platform::RegistryView::Bits32;
  std::vector<std::string> lines;
  for (const char* root : {"CLSID", "Interface", "TypeLib"}) {
    auto tree = system.ReadRegistryTree(platform::RegistryRoot::ClassesRoot, view, root);
    EXPECT_TRUE(tree.ok() && tree.value()) << root;
    if (!tree.ok() || !tree.value()) continue;
    for (const std::string& key : tree.value()->keys)
      lines.push_back(std::string(root) + "\\" + key);
    for (const platform::RegistryValue& value : tree.value()->values) {
      std::string line = std::string(root) + "\\" + value.key + "\\" + value.name + "=" +
                         std::to_string(value.type) + ":";
      for (const std::byte b : value.data) line += std::to_string(std::to_integer<int>(b)) + ",";
      lines.push_back(std::move(line));
    }
  }
  for (std::string& line : lines) line = AsciiLower(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Components that share interfaces and type libraries, installed over their own copies and
// undone: whatever order Undo registers them in, the registry is as it was.
TEST_F(Corpus, UndoLeavesTheRegistryAsItWas) {
  const std::wstring wine = FolderOf(L"KALVENOR_WINE_DLLS_X86", L"KALVENOR_WINE_DLLS_X64");
  for (const wchar_t* name : {L"scrrun.dll", L"msxml3.dll", L"wshom.ocx"}) {
    folder.Copy(wine + L"\\" + name, name);
    windows.PutCopy(wine + L"\\" + name, name);
  }
  const std::vector<std::string> before = ClassesRootLines();
  App app(folder, windows.ForProgram());
  const std::wstring installed = RunToEnd(app, SetupId::cmdInstall);
  ASSERT_EQ(installed.find(L"failed: "), std::wstring::npos) << Narrow(installed);
  ASSERT_TRUE(PickFromLogMenu(app, 3));  // Undo this run
  ASSERT_TRUE(WaitUntil([&] { return app.Log().starts_with(L"> Undoing the run of "); }));
  const std::wstring undone = AwaitDone(app);
  EXPECT_EQ(undone.find(L"failed: "), std::wstring::npos) << Narrow(undone);
  std::vector<std::string> after = ClassesRootLines(), lost, added;
  std::set_difference(before.begin(), before.end(), after.begin(), after.end(),
                      std::back_inserter(lost));
  std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                      std::back_inserter(added));
  EXPECT_EQ(lost, std::vector<std::string>{});
  EXPECT_EQ(added, std::vector<std::string>{});
}

TEST_F(Corpus, TheCppRuntimeIsNoComponentAndNeedsItsCompanions) {
  const std::wstring mingw = FolderOf(L"KALVENOR_MINGW_X86", L"KALVENOR_MINGW_X64");
  ASSERT_FALSE(mingw.empty()) << "tests/e2e/run.sh names the folder of MinGW's runtime DLLs";
  TempFolder alone;
  const std::wstring source = alone.Copy(mingw + L"\\libstdc++-6.dll", L"libstdc++-6.dll");
  App app(folder, windows.ForProgram());
  SwitchToManualMode(app);
  ASSERT_TRUE(AddFile(app, source));
  const std::wstring target = windows.Target(L"libstdc++-6.dll");

  const std::wstring log = RunToEnd(app, SetupId::cmdInstall);
  const std::wstring expected =
      CopyLines(source, target) + RegisterLines(windows.Tool(), target) +
      FailedLine(L"regsvr32.exe exit code 3, the file could not be loaded") +
      CauseLine(
          L"exports no DllRegisterServer, so it is no self-registering component: install "
          L"it the way its vendor describes") +
      CauseLine(L"needs libgcc_s_");
  ASSERT_TRUE(log.starts_with(expected.substr(0, expected.size() - 2))) << Narrow(log);
  EXPECT_NE(log.find(L"|      cause: needs libwinpthread-1.dll, which is in none of the folders"),
            std::wstring::npos)
      << Narrow(log);
}

}  // namespace
}  // namespace kalvenor::e2e
