// One program for both bitnesses, end to end with the real tool of each: every component lands
// in the system folder of its own bitness, is registered there in its own registry view, and
// Undo and Remove follow it.
#include <gtest/gtest.h>

#include "run_support.h"
#include "samples/sample_clsids.h"

namespace kalvenor::e2e {
namespace {

using sample::kNormalClsidString;

constexpr wchar_t kDictionary[] = L"{EE09B103-97E0-11CF-978F-00A02463E06F}";  // scrrun.dll's
constexpr wchar_t kScriptingLibrary[] = L"TypeLib\\{420B2830-E718-11CF-893D-00A0C9054228}";

std::wstring OfBits(const wchar_t* x86, const wchar_t* x64, bool own) {
  return EnvironmentVariable((sizeof(void*) == 8) == own ? x64 : x86);
}

std::optional<std::wstring> Lower(const std::optional<std::wstring>& path) {
  return path ? std::optional(LowerCase(*path)) : std::nullopt;
}

class Bitness : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const REGSAM view : {OwnView(), OtherView()}) DeleteClsid(kNormalClsidString, view);
  }
  PrivateWindows windows;
  TempFolder folder;
};

// The samples of both builds and Wine's scrrun.dll of both bitnesses, in one folder and one run.
TEST_F(Bitness, AMixedFolderInstallsIsUndoneAndRemovedInOneRun) {
  const std::optional<std::wstring> other = windows.AddOtherSystem();
  if (!other) GTEST_SKIP() << "this machine runs no programs of the other bitness";
  std::wstring samples = UnderTest().samples;
  const std::wstring own = sizeof(void*) == 8 ? L"\\x64\\" : L"\\x86\\";
  const std::wstring otherSamples =
      samples.replace(samples.rfind(own), own.size(), sizeof(void*) == 8 ? L"\\x86\\" : L"\\x64\\");
  folder.Copy(SamplePath(L"kalvenor_sample.dll"), L"own.dll");
  folder.Copy(otherSamples + L"\\kalvenor_sample.dll", L"other.dll");
  folder.Copy(OfBits(L"KALVENOR_WINE_DLLS_X86", L"KALVENOR_WINE_DLLS_X64", true) + L"\\scrrun.dll",
              L"scrrun_own.dll");
  folder.Copy(OfBits(L"KALVENOR_WINE_DLLS_X86", L"KALVENOR_WINE_DLLS_X64", false) + L"\\scrrun.dll",
              L"scrrun_other.dll");
  const auto dictionaryBefore =
      std::pair(InprocServer(kDictionary), InprocServer(kDictionary, OtherView()));
  // One key of both views, on Windows as under Wine (see OwnView).
  const auto libraryBefore = std::pair(ClassesTreeText(kScriptingLibrary, OwnView()),
                                       ClassesTreeText(kScriptingLibrary, OtherView()));
  App app(folder, windows.ForProgram());

  const std::wstring installed = RunToEnd(app, SetupId::cmdInstall);
  EXPECT_EQ(installed.find(L"failed"), std::wstring::npos) << Narrow(installed);
  const std::wstring otherTarget = *other + L"\\other.dll";
  EXPECT_NE(installed.find(Line(L"|      to " + otherTarget)), std::wstring::npos);
  EXPECT_EQ(Lower(InprocServer(kNormalClsidString)), windows.Target(L"own.dll"));
  EXPECT_EQ(Lower(InprocServer(kNormalClsidString, OtherView())), otherTarget);
  EXPECT_EQ(Lower(InprocServer(kDictionary)), windows.Target(L"scrrun_own.dll"));
  EXPECT_EQ(Lower(InprocServer(kDictionary, OtherView())), *other + L"\\scrrun_other.dll");

  ASSERT_TRUE(PickFromLogMenu(app, 3));  // Undo this run
  ASSERT_TRUE(WaitUntil([&] { return app.Log().starts_with(L"> Undoing the run of "); }));
  const std::wstring undone = AwaitDone(app);
  EXPECT_EQ(undone.find(L"failed"), std::wstring::npos) << Narrow(undone);
  EXPECT_FALSE(FileExists(otherTarget));
  EXPECT_EQ(InprocServer(kNormalClsidString, OtherView()), std::nullopt);
  EXPECT_EQ(std::pair(InprocServer(kDictionary), InprocServer(kDictionary, OtherView())),
            dictionaryBefore);
  EXPECT_EQ(std::pair(ClassesTreeText(kScriptingLibrary, OwnView()),
                      ClassesTreeText(kScriptingLibrary, OtherView())),
            libraryBefore);
  EXPECT_EQ(undone.find(L"another registration changed"), std::wstring::npos) << Narrow(undone);

  ClickSurface(app);
  ASSERT_TRUE(WaitUntil([&] { return ListBack(app); }));
  ASSERT_EQ(RunToEnd(app, SetupId::cmdInstall).find(L"failed"), std::wstring::npos);
  ClickSurface(app);
  ASSERT_TRUE(WaitUntil([&] { return ListBack(app); }));
  const std::wstring removed = RunToEnd(app, SetupId::cmdRemove);
  EXPECT_EQ(removed.find(L"failed"), std::wstring::npos) << Narrow(removed);
  EXPECT_EQ(windows.SystemFiles(), std::vector<std::wstring>{L"regsvr32.exe"});
  EXPECT_FALSE(FileExists(otherTarget));
  EXPECT_EQ(InprocServer(kNormalClsidString, OtherView()), std::nullopt);
  // The prefix's own registration of scrrun.dll, which the Remove took, comes back.
  ExitCodeOf(OwnSystemDirectory() + L"\\regsvr32.exe",
             L"regsvr32.exe /s \"" + OwnSystemDirectory() + L"\\scrrun.dll\"");
}

// Without a system folder of the other bitness (32-bit Windows, or a 64-bit one without its
// 32-bit part), such a component is not copied, and the run goes on.
TEST_F(Bitness, WithoutTheOtherSystemFolderAComponentOfItsBitnessIsNotCopied) {
  std::wstring samples = UnderTest().samples;
  const std::wstring own = sizeof(void*) == 8 ? L"\\x64\\" : L"\\x86\\";
  samples.replace(samples.rfind(own), own.size(), sizeof(void*) == 8 ? L"\\x86\\" : L"\\x64\\");
  const std::wstring source = folder.Copy(samples + L"\\kalvenor_sample.dll", L"other.dll");
  folder.Copy(SamplePath(L"kalvenor_sample.dll"), L"own.dll");
  App app(folder, windows.ForProgram());
  const std::wstring bits = sizeof(void*) == 8 ? L"32-bit" : L"64-bit";
  const std::wstring log = RunToEnd(app, SetupId::cmdInstall);
  EXPECT_TRUE(
      log.starts_with(Line(L"> Copying file " + source) +
                      FailedLine(L"a " + bits + L" component, and this Windows has no " + bits +
                                 L" system directory with a regsvr32.exe: it is not copied")))
      << Narrow(log);
  EXPECT_NE(log.find(RegisterLines(windows.Tool(), windows.Target(L"own.dll"))),
            std::wstring::npos);
  EXPECT_EQ(windows.SystemFiles(), (std::vector<std::wstring>{L"own.dll", L"regsvr32.exe"}));
}

}  // namespace
}  // namespace kalvenor::e2e
