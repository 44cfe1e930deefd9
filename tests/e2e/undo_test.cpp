// Undo after what others did since the run, end to end with the system's own tool: another
// copy registered later keeps its classes, a journal saved again by an editor is the same
// journal, and one edited to name files outside the run's places changes nothing there.
#include <gtest/gtest.h>

#include <functional>

#include "journal/journal.h"
#include "lib/lib_filesystem.h"
#include "platform/win32/win32_system.h"
#include "run_support.h"
#include "samples/sample_clsids.h"

namespace kalvenor::e2e {
namespace {

using sample::kNormalClsidString;

constexpr wchar_t kDictionary[] = L"{EE09B103-97E0-11CF-978F-00A02463E06F}";  // scrrun.dll's

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, from.size(), to);
  }
  return text;
}

class Undo : public ::testing::Test {
 protected:
  Undo() : exe(folder.Copy(UnderTest().exe, L"kalvenor.exe")) {}
  void TearDown() override {
    DeleteClsid(kNormalClsidString);
    // Wine's own registration of the prefix's copy, which the tests' copies took over.
    const std::wstring system = OwnSystemDirectory();
    ExitCodeOf(system + L"\\regsvr32.exe", L"regsvr32.exe /s \"" + system + L"\\scrrun.dll\"");
  }
  // Runs the program with `arguments` into the test's own Windows directory; the run's log.
  std::string Run(const std::wstring& arguments, DWORD exitCode) const {
    const std::wstring log = folder.PathOf(L"run.log");
    ::DeleteFileW(log.c_str());
    const Ended ended =
        RunUnattended(exe, arguments + L" /quiet /log:run.log", windows, folder.Path());
    const std::string text = FileExists(log) ? FileContent(log) : std::string();
    EXPECT_EQ(ended.exitCode, exitCode) << Narrow(arguments) << "\n" << text;
    return text;
  }
  bool Register(const std::wstring& file) const {
    return ExitCodeOf(windows.Tool(), L"regsvr32.exe /s " + Quoted(file)) == 0u;
  }
  std::string LastRun() { return journal::Store(system).LastRun().value_or(""); }
  std::string HashOf(const std::wstring& path) {
    return journal::Sha256Of(system, Narrow(path)).value();
  }

  win32::Win32System system;
  PrivateWindows windows;
  TempFolder folder;
  std::wstring exe;
};

// Another copy of the component registered after the run keeps its classes, with a note for
// each key Undo leaves; the rest of the run is undone, and so marked.
TEST_F(Undo, ALaterRegistrationOfAnotherCopyKeepsItsClasses) {
  const std::wstring wine = EnvironmentVariable(sizeof(void*) == 8 ? L"KALVENOR_WINE_DLLS_X64"
                                                                   : L"KALVENOR_WINE_DLLS_X86");
  const struct {
    std::wstring source, name, clsid;
    bool inPlace;  // a file of the name is in the system directory, registered, before the run
  } cases[] = {
      {SamplePath(L"kalvenor_sample.dll"), L"comp.dll", kNormalClsidString, false},
      {SamplePath(L"kalvenor_sample.dll"), L"comp.dll", kNormalClsidString, true},
      {wine + L"\\scrrun.dll", L"scrrun.dll", kDictionary, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.name) + (c.inPlace ? ", in place" : ""));
    const std::wstring target = windows.Target(c.name), newer = SamplePath(L"sample_newer.dll");
    if (c.inPlace) {
      ASSERT_TRUE(Register(windows.PutCopy(newer, c.name)));
    }
    const TempFolder items, other;
    Run(L"/install " + Quoted(items.Copy(c.source, c.name)), 0);
    const std::string run = LastRun();
    const std::wstring copy = other.Copy(c.source, c.name);
    ASSERT_TRUE(Register(copy));

    const std::string log = Run(L"/undo", 0);
    EXPECT_EQ(LowerCase(InprocServer(c.clsid).value_or(L"")), LowerCase(copy)) << log;
    // In the letter case of the type library or of the registry, as the journal has it.
    EXPECT_NE(LowerCase(Widen(log))
                  .find(LowerCase(
                      L"|      another registration changed HKEY_LOCAL_MACHINE\\Software\\Classes\\"
                      L"CLSID\\" +
                      c.clsid + L" since the run, so it stays as Undo found it")),
              std::wstring::npos)
        << log;
    EXPECT_EQ(log.find("failed"), std::string::npos) << log;
    EXPECT_TRUE(c.inPlace ? SameContent(target, newer) : !FileExists(target));
    EXPECT_TRUE(journal::WasUndone(journal::ReadJournal(system, run)));
  }
}

// Saved again with a byte-order mark, the journal is the same journal; edited to name a file
// outside the system directory, or a backup outside the run's folder, it changes nothing there.
TEST_F(Undo, AJournalIsReadAsWrittenAndNothingOutsideIsTouched) {
  const std::wstring target = windows.Target(L"comp.dll");
  const std::wstring source = folder.Copy(SamplePath(L"kalvenor_sample.dll"), L"comp.dll");
  const std::wstring newer = SamplePath(L"sample_newer.dll");
  // The run's own bytes, and a file the edited journal gives as the backup, with its hash.
  const TempFolder mine;
  const std::wstring precious = mine.Copy(source, L"precious.dll");
  const std::wstring planted = mine.Copy(SamplePath(L"sample_plain.dll"), L"planted.dll");
  const struct {
    const char* name;
    bool inPlace;  // the newer sample is in the system directory before the run
    std::function<std::string(const std::string& journal, const std::string& run)> edit;
    std::wstring failed;  // Undo's failed step; none when it undoes the run
    std::wstring kept;    // a file with the run's own bytes after Undo; none when it goes
  } cases[] = {
      {"a byte-order mark", false, [](auto& j, auto&) { return "\xEF\xBB\xBF" + j; }, L"", L""},
      {"a target outside", false,
       [&](auto& j, auto&) { return Replaced(j, Narrow(target), Narrow(precious)); },
       Line(L"> Keeping file " + precious) +
           FailedLine(L"it lies in no system directory, so no run changed it: Undo leaves it "
                      L"alone"),
       precious},
      {"a backup outside", true,
       [&](auto& j, auto& run) {
         return Replaced(Replaced(j, run + "\\1-comp.dll", Narrow(planted)), HashOf(newer),
                         HashOf(planted));
       },
       Line(L"> Keeping file " + target) +
           FailedLine(L"its backup " + planted +
                      L" lies outside the run's folder, so it is not put back: Undo leaves the "
                      L"file alone"),
       target},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.inPlace) windows.PutCopy(newer, L"comp.dll");
    Run(L"/install comp.dll", 0);
    const std::string run = LastRun(), journal = run + "\\" + journal::kJournalName;
    ASSERT_TRUE(
        File_WriteReplacing(system, journal, c.edit(FileContent(Widen(journal)), run)).ok());
    const std::wstring log = Widen(Run(L"/undo", c.failed.empty() ? 0 : 1603));
    EXPECT_NE(log.find(c.failed), std::wstring::npos) << Narrow(log);
    EXPECT_TRUE(c.kept.empty() ? !FileExists(target) && !InprocServer(kNormalClsidString)
                               : FileExists(c.kept) && SameContent(c.kept, source))
        << Narrow(log);
    ::DeleteFileW(target.c_str());
    DeleteClsid(kNormalClsidString);
  }
}

}  // namespace
}  // namespace kalvenor::e2e
