// Why a registration failed, and proof that it worked, end to end with the system's own tool:
// each fixture gets its cause in the log, and the lying components end in a failed line.
#include <gtest/gtest.h>

#include <functional>

#include "run_support.h"
#include "samples/sample_clsids.h"

namespace kalvenor::e2e {
namespace {

constexpr wchar_t kNotLoadable[] = L"regsvr32.exe exit code 3, the file could not be loaded";
constexpr wchar_t kNoEntryPoint[] =
    L"regsvr32.exe exit code 4, the file has no registration entry point";

struct Fixture {
  const char* name;
  // Picked with Add File from a folder of its own, rather than listed from the program's.
  bool picked;
  // Puts the listed file (and whatever lies beside it) into the folder; returns its name there.
  std::function<std::wstring(const TempFolder&)> place;
  const wchar_t* failed;  // the tool's failed line, or none when it reports success
  // The line after it, where … stands for the copy's path: a cause, or, after a success, the
  // failed line that the check of the registration adds. A picked file's path ends it.
  const wchar_t* line;
};

void PrintTo(const Fixture& fixture, std::ostream* out) { *out << fixture.name; }

std::wstring CopyOf(const TempFolder& folder, const wchar_t* sample) {
  folder.Copy(SamplePath(sample), sample);
  return sample;
}

const Fixture kFixtures[] = {
    {"MissingDependency", false, [](auto& f) { return CopyOf(f, L"sample_missingdep.dll"); },
     kNotLoadable,
     L"cause: needs kalvenor_absent.dll, which is in none of the folders Windows searches: "
     L"install what provides it, or copy it into "},
    {"SiblingLeftBehind", true,
     [](auto& f) {
       CopyOf(f, L"sample_sibling_helper.dll");
       return CopyOf(f, L"sample_sibling.dll");
     },
     kNotLoadable, L"cause: needs sample_sibling_helper.dll, which lies beside "},
    {"NoEntryPoint", false, [](auto& f) { return CopyOf(f, L"sample_noentry.dll"); }, kNoEntryPoint,
     L"cause: exports no DllRegisterServer, so it is no self-registering component: install it "
     L"the way its vendor describes"},
    {"TextFile", false,
     [](auto& f) {
       f.Write(L"text.dll", "a text file under a library's name");
       return std::wstring(L"text.dll");
     },
     kNotLoadable, L"cause: no Windows DLL at all: remove it from the list"},
    {"ZeroBytes", false,
     [](auto& f) {
       f.Write(L"empty.dll");
       return std::wstring(L"empty.dll");
     },
     kNotLoadable, L"cause: the file is empty: copy a good file in its place"},
    {"ReportsSuccessRegistersNothing", false,
     [](auto& f) { return CopyOf(f, L"sample_silent.dll"); }, nullptr,
     L"failed: class SampleComponent {5B0E8C4D-3F21-4A7E-9D16-2C8B7A54E301} of … is not "
     L"registered, although regsvr32.exe reported success"},
    {"RegistersAnotherPath", false, [](auto& f) { return CopyOf(f, L"sample_elsewhere.dll"); },
     nullptr,
     L"failed: class SampleComponent {A3C7E915-6D48-4B2F-8E03-91F4D2B6C702} is registered to "
     L"C:\\elsewhere\\sample_elsewhere.dll, not to …"},
    {"EntryPointFails", false, [](auto& f) { return CopyOf(f, L"sample_regfail.dll"); },
     L"regsvr32.exe exit code 5, the registration entry point reported an error",
     L"cause: its registration code reported an error"},
};

class Inspection : public ::testing::TestWithParam<Fixture> {
 protected:
  void TearDown() override {
    for (const wchar_t* clsid : {sample::kSilentClsidString, sample::kElsewhereClsidString}) {
      DeleteClsid(clsid);
    }
  }

  PrivateWindows windows;
  TempFolder folder;
};

TEST_P(Inspection, TheLogSaysWhatTheFileTells) {
  TempFolder elsewhere;
  const TempFolder& from = GetParam().picked ? elsewhere : folder;
  const std::wstring name = GetParam().place(from);
  const std::wstring source = from.PathOf(name), target = windows.Target(name);
  App app(folder, windows.ForProgram());
  if (GetParam().picked) {
    SwitchToManualMode(app);
    ASSERT_TRUE(AddFile(app, source));
  }
  const std::wstring log = RunToEnd(app, SetupId::cmdInstall);

  std::wstring expected = CopyLines(source, target) + RegisterLines(windows.Tool(), target);
  if (GetParam().failed) expected += FailedLine(GetParam().failed);
  std::wstring line = std::wstring(L"|      ") + GetParam().line;
  if (const std::size_t at = line.find(L'…'); at != std::wstring::npos) {
    line.replace(at, 1, target);
  }
  expected += line;
  if (GetParam().picked) expected += source;
  ASSERT_TRUE(log.starts_with(expected)) << Narrow(log);
  EXPECT_TRUE(log.ends_with(DoneLines()));
}

INSTANTIATE_TEST_SUITE_P(Fixtures, Inspection, ::testing::ValuesIn(kFixtures),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kalvenor::e2e
