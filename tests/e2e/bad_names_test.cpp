// Awkward and hostile file names, listed from the program's folder or picked in the real file
// dialog: each run ends at the done prompt with every step logged, the window keeps answering,
// and nothing in the system directory changes that the run was not asked to write.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "run_support.h"
#include "samples/sample_clsids.h"

namespace kalvenor::e2e {
namespace {

using Names = std::vector<std::wstring>;
using sample::kNormalClsidString;

constexpr wchar_t kNotLoadable[] = L"regsvr32.exe exit code 3, the file could not be loaded";

// The device NUL reads as an empty file.
std::wstring EmptyCause() { return CauseLine(L"the file is empty: copy a good file in its place"); }

class BadNames : public ::testing::Test {
 protected:
  // A file of someone else's in the system directory, which no run here may touch.
  void SetUp() override { windows.Put(L"keep.dll", "someone else's"); }
  void TearDown() override {
    EXPECT_EQ(FileContent(windows.Target(L"keep.dll")), "someone else's");
    DeleteClsid(kNormalClsidString);
    // The folder's clean-up uses plain paths, which miss these.
    app.reset();
    for (const std::wstring& name : verbatim) {
      EXPECT_TRUE(::DeleteFileW(Verbatim(name).c_str())) << Narrow(name);
    }
  }

  void Start() { app.emplace(folder, windows.ForProgram()); }

  // The system folder after a run that added `added` to it.
  Names SystemFilesWith(const Names& added) const {
    Names names{L"keep.dll", L"regsvr32.exe"};
    for (const std::wstring& name : added) names.push_back(LowerCase(name));
    std::sort(names.begin(), names.end());
    return names;
  }

  // A name the system would take for something else: only the \\?\ form of its path reaches
  // the file.
  std::wstring Verbatim(std::wstring_view name) const { return L"\\\\?\\" + folder.PathOf(name); }
  // A copy of the sample component under such a name in the program's folder.
  void CopyVerbatim(const wchar_t* name) {
    if (!::CopyFileW(SamplePath(L"kalvenor_sample.dll").c_str(), Verbatim(name).c_str(), TRUE)) {
      throw std::runtime_error("cannot make " + Narrow(name));
    }
    verbatim.push_back(name);
  }

  PrivateWindows windows;
  TempFolder folder;
  std::optional<App> app;
  std::vector<std::wstring> verbatim;
};

// ---- Names that install like any other

struct NamedComponents {
  const char* label;
  bool manual;  // picked in the file dialog, else listed from the program's folder
  std::vector<const wchar_t*> names;  // in the order the list shows them
  bool empty;                         // zero bytes instead of the sample component
};

void PrintTo(const NamedComponents& named, std::ostream* out) { *out << named.label; }

class InstallsUnderItsName : public BadNames,
                             public ::testing::WithParamInterface<NamedComponents> {};

TEST_P(InstallsUnderItsName, CopiedAndRegisteredOrRefusedByTheTool) {
  const NamedComponents& named = GetParam();
  Names sources, targets;
  for (const wchar_t* name : named.names) {
    sources.push_back(named.empty ? folder.Write(name)
                                  : folder.Copy(SamplePath(L"kalvenor_sample.dll"), name));
    targets.push_back(windows.Target(name));
  }
  Start();
  if (named.manual) {
    SwitchToManualMode(*app);
    for (const std::wstring& source : sources) ASSERT_TRUE(AddFile(*app, source));
  }
  ASSERT_EQ(app->ListItems(), sources);

  std::wstring log;
  for (std::size_t i = 0; i < sources.size(); ++i) {
    log += CopyLines(sources[i], targets[i]) + RegisterLines(windows.Tool(), targets[i]);
    if (named.empty) {
      log += FailedLine(kNotLoadable) + EmptyCause();
    }
  }
  EXPECT_EQ(RunToEnd(*app, SetupId::cmdInstall), log + DoneLines());
  EXPECT_TRUE(Answers(app->Main()));
  for (std::size_t i = 0; i < sources.size(); ++i) {
    EXPECT_TRUE(SameContent(targets[i], sources[i])) << Narrow(targets[i]);
  }
  EXPECT_EQ(InprocServer(kNormalClsidString),
            named.empty ? std::nullopt : std::optional(targets.back()));
  EXPECT_EQ(windows.SystemFiles(), SystemFilesWith(Names(named.names.begin(), named.names.end())));
}

// Blanks where trimming could eat them, and what a shell would read as operators or variables;
// Greek, CJK and an emoji beyond the basic plane (a surrogate pair in UTF-16).
constexpr wchar_t kBlanks[] = L" lead  100% & co;,^ .dll";
constexpr wchar_t kBeyondAscii[] = L"\u03b1\u03b2\u03b3 \u65e5\u672c \U0001F600.ocx";

INSTANTIATE_TEST_SUITE_P(
    BadNames, InstallsUnderItsName,
    ::testing::Values(NamedComponents{"BlanksListed", false, {kBlanks}, false},
                      NamedComponents{"BlanksPicked", true, {kBlanks}, false},
                      NamedComponents{"BeyondAsciiListed", false, {kBeyondAscii}, false},
                      NamedComponents{"BeyondAsciiPicked", true, {kBeyondAscii}, false},
                      NamedComponents{
                          "UpperCaseExtensions", false, {L"UPPER.DLL", L"Mixed.Ocx"}, false},
                      NamedComponents{"ZeroBytes", false, {L"empty.dll"}, true}),
    [](const auto& info) { return std::string(info.param.label); });

// A path of 250 characters, picked in the dialog, whose name alone is 100.
TEST_F(BadNames, LongPathIsPickedAndInstalled) {
  const std::wstring name = std::wstring(96, L'n') + L".dll";
  const std::size_t subfolder = 250 - folder.Path().size() - 2 - name.size();
  folder.MakeFolder(std::wstring(subfolder, L's'));
  const std::wstring source =
      folder.Copy(SamplePath(L"kalvenor_sample.dll"), std::wstring(subfolder, L's') + L"\\" + name);
  ASSERT_EQ(source.size(), 250u);
  Start();
  SwitchToManualMode(*app);
  ASSERT_TRUE(AddFile(*app, source));
  ASSERT_EQ(app->ListItems(), Names{source});
  const std::wstring target = windows.Target(name);

  EXPECT_EQ(RunToEnd(*app, SetupId::cmdInstall),
            CopyLines(source, target) + RegisterLines(windows.Tool(), target) + DoneLines());
  EXPECT_TRUE(Answers(app->Main()));
  EXPECT_EQ(InprocServer(kNormalClsidString), target);
  EXPECT_EQ(windows.SystemFiles(), SystemFilesWith({name}));
}

// ---- Names the system reads differently

// Real files named like devices are listed; the program's paths reach the device, which cannot
// be copied: each step fails in the log and nothing lands in the system directory. Names that
// end in a dot or a blank do not end in .dll and are not listed.
TEST_F(BadNames, DeviceNamesFailInTheLogAndWriteNothing) {
  for (const wchar_t* name : {L"NUL.dll", L"con.ocx", L"dot.dll.", L"blank.dll "}) {
    CopyVerbatim(name);
  }
  const std::wstring plain = folder.Copy(SamplePath(L"kalvenor_sample.dll"), L"plain.dll");
  Start();
  const std::wstring nul = folder.PathOf(L"NUL.dll"), con = folder.PathOf(L"con.ocx");
  const Names listed = app->ListItems();
  ASSERT_EQ(std::set(listed.begin(), listed.end()), (std::set{nul, plain, con}));
  ASSERT_EQ(listed.back(), con);

  std::wstring log;
  for (const std::wstring& source : listed) {
    const std::wstring target = windows.Target(source.substr(folder.Path().size() + 1));
    log += CopyLines(source, target);
    // The copy beside the target, "NUL.dll.kalvenor-copy-…", is the device too: it cannot be made.
    if (source == nul) log += FailedLine(SystemMessage(ERROR_ACCESS_DENIED));
    if (source == con) log += FailedLine(SystemMessage(ERROR_INVALID_HANDLE));
    log += RegisterLines(windows.Tool(), target);
    if (source == nul) log += FailedLine(kNotLoadable) + EmptyCause();
    // The device's handle cannot be read from: the system's words for that stand in the line.
    if (source == con) {
      log += FailedLine(kNotLoadable) +
             CauseLine(L"cannot be read (" + SystemMessage(ERROR_INVALID_HANDLE) +
                       L"): copy the component again");
    }
  }
  EXPECT_EQ(RunToEnd(*app, SetupId::cmdInstall), log + DoneLines());
  EXPECT_TRUE(Answers(app->Main()));
  EXPECT_EQ(windows.SystemFiles(), SystemFilesWith({L"plain.dll"}));
  for (const wchar_t* name : {L"NUL.dll", L"con.ocx"}) {
    EXPECT_TRUE(SameContent(Verbatim(name), plain)) << "the source changed: " << Narrow(name);
  }
}

// ---- Names typed into the dialog

enum class Typed { KeptAsFilter, NothingAdded, Listed };

struct TypedName {
  const char* label;
  const wchar_t* typed;
  bool inFolder;  // typed after the program's folder, else alone
  Typed outcome;
  const wchar_t* listed;  // below the program's folder
};

void PrintTo(const TypedName& name, std::ostream* out) { *out << name.label; }

class TypedInTheDialog : public BadNames, public ::testing::WithParamInterface<TypedName> {};

TEST_P(TypedInTheDialog, IsTakenOrRefusedSanely) {
  const TypedName& name = GetParam();
  folder.Copy(SamplePath(L"kalvenor_sample.dll"), L"comp.dll");
  folder.MakeFolder(L"sub");
  folder.Copy(SamplePath(L"kalvenor_sample.dll"), L"sub\\comp.dll");
  Start();
  SwitchToManualMode(*app);
  const std::wstring typed = name.inFolder ? folder.PathOf(name.typed) : name.typed;

  const bool taken = AddFile(*app, typed);
  ASSERT_TRUE(app->Running());
  EXPECT_TRUE(Answers(app->Main()));
  EXPECT_EQ(taken, name.outcome != Typed::KeptAsFilter);
  if (!taken) {
    EXPECT_FALSE(app->Main().Enabled()) << "the dialog is no longer modal";
    ASSERT_TRUE(CancelFileDialog(*app)) << "the dialog will not close";
  }
  if (name.outcome != Typed::Listed) {
    EXPECT_TRUE(app->ListItems().empty()) << ::testing::PrintToString(app->ListItems());
    EXPECT_FALSE(app->Control(SetupId::cmdInstall).Enabled());
    return;
  }
  const std::wstring item = folder.PathOf(name.listed);
  ASSERT_EQ(app->ListItems(), Names{item});
  // A path with a wildcard names no file, not even the one it would match.
  EXPECT_EQ(RunToEnd(*app, SetupId::cmdInstall), Line(L"> File not found " + item) + DoneLines());
  EXPECT_EQ(windows.SystemFiles(), SystemFilesWith({}));
}

INSTANTIATE_TEST_SUITE_P(
    BadNames, TypedInTheDialog,
    ::testing::Values(TypedName{"Star", L"*.dll", false, Typed::KeptAsFilter, nullptr},
                      TypedName{"QuestionMark", L"com?.dll", false, Typed::KeptAsFilter, nullptr},
                      TypedName{"StarInTheFolder", L"*.dll", true, Typed::KeptAsFilter, nullptr},
                      TypedName{"StarForAFolder", L"*\\comp.dll", true, Typed::Listed,
                                L"*\\comp.dll"},
                      TypedName{"TrailingDot", L"comp.dll.", true, Typed::NothingAdded, nullptr}),
    [](const auto& info) { return std::string(info.param.label); });

// A device name typed alone is taken as a file of the folder shown; the run fails it in the
// log and writes nothing.
TEST_F(BadNames, DeviceNameTypedAloneIsListedAndFailsInTheLog) {
  Start();
  SwitchToManualMode(*app);
  ASSERT_TRUE(AddFile(*app, L"NUL.dll"));
  const std::wstring item = folder.PathOf(L"NUL.dll");
  ASSERT_EQ(app->ListItems(), Names{item});
  const std::wstring target = windows.Target(L"NUL.dll");

  EXPECT_EQ(RunToEnd(*app, SetupId::cmdInstall),
            CopyLines(item, target) + FailedLine(SystemMessage(ERROR_ACCESS_DENIED)) +
                RegisterLines(windows.Tool(), target) + FailedLine(kNotLoadable) + EmptyCause() +
                DoneLines());
  EXPECT_EQ(windows.SystemFiles(), SystemFilesWith({}));
}

// Longer than the program's name buffer (254 characters): typed whole, or typed alone so that
// the dialog joins it to the folder shown. The program carries on either way, adding nothing.
// (Joined paths stay below MAX_PATH: beyond it, Wine's own dialog overruns a stack buffer of
// that size while joining them, before anything comes back to the program.)
TEST_F(BadNames, OverlongTypedNamesAddNothingAndLeaveTheProgramRunning) {
  Start();
  SwitchToManualMode(*app);
  const std::wstring whole =
      folder.Path() + L"\\" + std::wstring(255 - folder.Path().size() - 5, L'w') + L".dll";
  const std::wstring alone = std::wstring(258 - folder.Path().size() - 5, L'a') + L".dll";
  for (const std::wstring& typed : {whole, alone}) {
    SCOPED_TRACE(typed.size() == 255 ? "whole path" : "name alone");
    if (!AddFile(*app, typed) && app->Running()) {
      ASSERT_TRUE(CancelFileDialog(*app));
    }
    ASSERT_TRUE(app->Running()) << "the program ended, exit code 0x" << std::hex
                                << app->ExitCode().value_or(0);
    EXPECT_TRUE(Answers(app->Main()));
    EXPECT_TRUE(app->ListItems().empty()) << ::testing::PrintToString(app->ListItems());
  }
}

}  // namespace
}  // namespace kalvenor::e2e
