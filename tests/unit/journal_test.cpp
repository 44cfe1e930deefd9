// The journal of a run and its Undo, shared counts and files in use, on the memory platform.
#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "base/sha256.h"
#include "journal/journal.h"
#include "journal/recorder.h"
#include "pe_writer.h"
#include "setup_fixture.h"

namespace kalvenor::testing {
namespace {

using Strings = std::vector<std::string>;
using platform::RegistryRoot;
using platform::RegistryView;
using platform::memory::MemoryError;
using platform::memory::ProcessScript;

constexpr char kTarget[] = "c:\\windows\\system32\\a.dll";
constexpr char kAdded[] = "c:\\windows\\system32\\b.dll";
constexpr char kClass[] = "CLSID\\{A1}";  // a class of a.dll

class JournalTest : public SetupFixture {
 protected:
  JournalTest() {
    platform.AddFile("C:\\Kalvenor\\a.dll", {.content = "run's a"});
    platform.AddFile("C:\\Kalvenor\\b.dll", {.content = "run's b"});
  }
  std::optional<std::uint32_t> Count(const char* path) {
    return platform.RegistryDword(RegistryRoot::LocalMachine, RegistryView::Bits32,
                                  journal::kSharedDllsKey, path);
  }
  void SetCount(const char* path, std::uint32_t count) {
    (void)platform.SetRegistryDword(RegistryRoot::LocalMachine, RegistryView::Bits32,
                                    journal::kSharedDllsKey, path, count);
  }
  // The registry keys the last run's journal keeps in the 32-bit view, by the file whose
  // registration may write them.
  std::map<std::string, Strings> KeptKeys() {
    std::map<std::string, Strings> kept;
    for (const journal::Record& record :
         journal::ReadJournal(platform, journal::Store(platform).LastRun().value_or(""))) {
      if (record.kind == journal::kinds::kKey && record.Field(4) == "machine" &&
          record.Field(1) == "32") {
        kept[record.Field(0)].push_back(record.Field(2));
      }
    }
    return kept;
  }
  bool Logged(const std::string& line) {
    const Strings lines = LogLines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  void SetMark(const char* path) {
    (void)platform.SetRegistryDword(RegistryRoot::LocalMachine, RegistryView::Bits32,
                                    journal::kHeldSharesKey, path, 1);
  }
  // No target, and no count or mark of any file.
  void Forget() {
    (void)platform.Delete(kTarget);
    for (const char* key : {journal::kSharedDllsKey, journal::kHeldSharesKey}) {
      (void)platform.WriteRegistryTree(RegistryRoot::LocalMachine, RegistryView::Bits32, key, {});
    }
  }
  void UndoLastRun() {
    ClickSurface();
    static_cast<platform::memory::MemoryForm&>(setup->Window()).ChooseSystemMenu(1);
  }
  // Changes the last run's journal, as an editor or a fault of the disk might.
  void EditJournal(const std::string& from, const std::string& to) {
    const std::string file = journal::Store(platform).LastRun().value_or("") + "\\journal.txt";
    std::string text = platform.Content(file);
    ASSERT_NE(text.find(from), std::string::npos) << text;
    platform.AddFile(file, {.content = text.replace(text.find(from), from.size(), to)});
  }
};

// A file with the System attribute is there like any other: backed up before it is replaced or
// deleted, its count kept, and brought back by Undo with its attributes.
TEST_F(JournalTest, AFileWithTheSystemAttributeIsBackedUpAndComesBackAsItWas) {
  for (const bool remove : {true, false}) {
    SCOPED_TRACE(remove);
    platform.AddFile(kTarget, {.content = "others'", .hidden = true, .system = true});
    if (!remove) SetCount(kTarget, 3);
    Start();
    Click(remove ? SetupId::cmdRemove : SetupId::cmdInstall);
    EXPECT_EQ(platform.HasFile(kTarget), !remove) << Log();
    ClickSurface();
    static_cast<platform::memory::MemoryForm&>(setup->Window()).ChooseSystemMenu(1);
    EXPECT_EQ(platform.Content(kTarget), "others'") << Log();
    EXPECT_EQ(platform.StateOf(kTarget),
              (platform::FileState{.exists = true, .hidden = true, .system = true}));
    EXPECT_EQ(Count(kTarget), remove ? std::nullopt : std::optional<std::uint32_t>(3));
    ClickSurface();
  }
}

// Kalvenor is one program in the counts: one share, taken once, given back once; a file that
// others count on stays, registered. `held`: Kalvenor holds a share.
TEST_F(JournalTest, OneShareForKalvenorAndAFileOthersCountOnStaysRegistered) {
  const char* const kSpelled = "%WINDIR%\\System32\\sub\\..\\A.DLL";
  const struct {
    bool inPlace;
    std::optional<std::uint32_t> before;
    bool held, install;
    std::optional<std::uint32_t> after;
    bool heldAfter, kept;
    const char* countName = kTarget;
  } cases[] = {
      {false, std::nullopt, false, true, 1, true, true},  // a new file
      {false, 7, false, true, 1, true, true},             // a count left behind by a file long gone
      {true, std::nullopt, false, true, 2, true, true},   // found in place: installed once before
      {true, 3, false, true, 4, true, true},
      {true, 3, true, true, 3, true, true},    // installed again: no second share
      {true, 2, true, false, 1, false, true},  // another program counts on it
      {true, 1, true, false, std::nullopt, false, false},
      {true, 2, false, false, 2, false, true},  // none of the count is Kalvenor's
      {true, std::nullopt, false, false, std::nullopt, false, false},
      {true, 1, true, false, std::nullopt, false, false, kSpelled},  // another installer's spelling
      {true, 1, true, false, std::nullopt, false, false, "C:\\Windows\\SysWOW64\\a.dll"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.inPlace << " " << c.before.value_or(0) << " " << c.held
                                      << " " << c.install << " " << c.countName);
    if (c.inPlace) platform.AddFile(kTarget, {.content = "before"});
    if (c.before) SetCount(c.countName, *c.before);
    if (c.held)
      (void)platform.SetRegistryDword(RegistryRoot::LocalMachine, RegistryView::Bits32,
                                      journal::kHeldSharesKey, kTarget, 1);
    Start();
    Click(SetupId::cmdListClear);  // automatic mode: the program's folder lists a.dll, b.dll
    Click(c.install ? SetupId::cmdInstall : SetupId::cmdRemove);
    EXPECT_EQ(Count(c.countName), c.after);
    EXPECT_EQ(journal::SharedCounts(platform).Read(kTarget, RegistryView::Bits32).held,
              c.heldAfter);
    EXPECT_EQ(platform.HasFile(kTarget), c.kept);
    const bool keeping = !c.install && c.kept;
    EXPECT_EQ(Logged("> Keeping file " + std::string(kTarget)), keeping) << Log();
    EXPECT_EQ(Logged("> Unregistering file " + std::string(kTarget)), !c.install && !keeping);
    for (const char* name : {kTarget, c.countName}) {
      (void)platform.DeleteRegistryValue(RegistryRoot::LocalMachine, RegistryView::Bits32,
                                         journal::kSharedDllsKey, name);
      (void)platform.DeleteRegistryValue(RegistryRoot::LocalMachine, RegistryView::Bits32,
                                         journal::kHeldSharesKey, name);
    }
    (void)platform.Delete(kTarget);
    ClickSurface();
  }
}

// A mark whose count a cleaner removed holds no share: Install takes one as for a file with no
// count and Undo gives it back, also after a run of an earlier version, which wrote it as held. A
// share record that does not read as the run wrote it is a failed line, not a count of others'.
TEST_F(JournalTest, AMarkWithoutACountHoldsNoShareAndADamagedShareRecordIsAFailedLine) {
  const struct {
    bool inPlace, marked;
    const char *record, *edited;         // a record of the journal, and what it is made
    std::optional<std::uint32_t> count;  // after Undo
  } cases[] = {
      {false, true, "", "", std::nullopt},
      {true, true, "", "", std::nullopt},
      {true, true, "a.dll\t-\t2\t0", "a.dll\t-\t2\t1", std::nullopt},
      {false, false, "a.dll\t-\t1\t0\t1\t32", "a.dll\t-\tone\t0\t1\t32", 1},
      {false, false, "a.dll\t-\t1\t0\t1\t32", "a.dll\t-\t1\t0\tyes\t32", 1},
      {false, false, "a.dll\t-\t1\t0\t1\t32", "a.dll\t-\t1\t0\t1\t16", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.inPlace << " " << c.edited);
    if (c.inPlace) platform.AddFile(kTarget, {.content = "before"});
    if (c.marked) SetMark(kTarget);
    Start();
    Click(SetupId::cmdInstall);
    EditJournal(c.record, c.edited);
    ClickSurface();
    static_cast<platform::memory::MemoryForm&>(setup->Window()).ChooseSystemMenu(1);
    EXPECT_EQ(Count(kTarget), c.count) << Log();
    EXPECT_EQ(platform.HasFile(kTarget), c.inPlace || c.count) << Log();
    EXPECT_EQ(Logged("|      failed: a record of its shared count in the journal cannot be read, "
                     "so Undo leaves it and its registration alone"),
              c.count.has_value());
    Forget();
    ClickSurface();
  }
}

// Unregistered as asked, a file that others count on beyond Kalvenor's share says what they meet.
TEST_F(JournalTest, UnregisteringAFileOthersCountOnSaysWhatTheyMeet) {
  platform.AddFolder("C:");
  // The count, whether Kalvenor holds a share of it, the tool's exit code; whether it is said.
  const std::tuple<std::uint32_t, bool, std::uint32_t, bool> cases[] = {
      {2, true, 0, true}, {1, true, 0, false}, {1, false, 3, false}};
  for (const auto& [count, held, toolExit, noted] : cases) {
    platform.AddFile(kTarget);
    SetCount(kTarget, count);
    if (held) SetMark(kTarget);
    platform.onStart = [&](const std::string&, const std::string&) {
      return platform::memory::ProcessScript{.exitCode = toolExit};
    };
    (void)RunCommandLine({"/unregister", "/quiet", "/log:C:\\run.log", "C:\\Kalvenor\\a.dll"});
    const std::string note =
        "|      its shared count is 2: other installed programs count on it, "
        "and meet \"Class not registered\" until it is registered again\r\n";
    EXPECT_EQ(platform.Content("C:\\run.log").find(note) != std::string::npos, noted);
    Forget();
  }
}

// Undo takes the newest run: where that one cannot be undone it says why and which run it is, and
// undoes no older one, which is undone by naming it in the journal's store.
TEST_F(JournalTest, UndoRefusesANewestRunWithoutAJournalAndTakesAnOlderOneByName) {
  platform.AddFolder("C:");
  platform.AddFile(kTarget, {.content = "before"});
  const std::string root = "C:\\ProgramData\\Kalvenor\\runs\\", older = "000001-20261207T080503Z";
  ASSERT_EQ(RunCommandLine({"/copy", "/quiet", "C:\\Kalvenor\\a.dll"}), 0);
  // The newest run's journal, unwritable (none), deleted ("") or made this; why Undo refuses it.
  const std::pair<const char*, const char*> cases[] = {
      {nullptr, "it kept no journal"},
      {"", "its journal is missing"},
      {"run\tcopy\r\n", "its journal holds no record that can be read"}};
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto [journal, why] = cases[i];
    const std::string newest = "00000" + std::to_string(i + 2) + "-20261207T080503Z";
    if (!journal) platform.FailNextWrite(MemoryError(112));
    ASSERT_EQ(RunCommandLine({"/copy", "/quiet", "C:\\Kalvenor\\b.dll"}), 0);
    if (journal && *journal)
      platform.AddFile(root + newest + "\\journal.txt", {.content = journal});
    if (journal && !*journal) (void)platform.Delete(root + newest + "\\journal.txt");
    EXPECT_EQ(RunCommandLine({"/undo", "/quiet", "/log:C:\\run.log"}), 1603);
    EXPECT_TRUE(platform.Content("C:\\run.log")
                    .starts_with("> Undoing the run of " + root + newest +
                                 "\r\n|      failed: the run " + newest +
                                 " cannot be undone: " + why + "\r\n"))
        << platform.Content("C:\\run.log");
  }
  EXPECT_EQ(RunCommandLine({"/undo", "/quiet", "C:\\Elsewhere\\" + older}), 1603);
  EXPECT_EQ(platform.Content(kTarget), "run's a");
  EXPECT_EQ(RunCommandLine({"/undo", "/quiet", older}), 0);
  EXPECT_EQ(platform.Content(kTarget), "before");
}

TEST_F(JournalTest, AFileInUseIsRenamedAsideAndGoesAtTheRestart) {
  platform.AddFile(kTarget, {.content = "loaded", .loaded = true});
  Start();
  Click(SetupId::cmdBlindCopy);
  const std::string aside = std::string(kTarget) + ".kalvenor-old";
  EXPECT_EQ(platform.Content(kTarget), "run's a");
  EXPECT_EQ(platform.Content(aside), "loaded");
  EXPECT_EQ(platform.deletedAtRestart, Strings{aside});
  EXPECT_TRUE(Logged("|      in use by a running program, which Windows does not name"));
  EXPECT_TRUE(Logged("|      renamed it to " + aside + ", which goes at the next restart; " +
                     "programs started from now on get the new file"));
  const Strings lines = LogLines();
  EXPECT_EQ(lines.at(lines.size() - 3),
            "Restart Windows to finish: the files that were in use go then.");
  EXPECT_EQ(Log().find("failed"), std::string::npos) << Log();
}

// The new file is made beside the one in use before anything is renamed; where it cannot take
// the name, the old one gets it back, and only a roll-back that fails too leaves it aside.
TEST_F(JournalTest, AFileInUseIsSetAsideOnlyOnceTheNewOneIsMadeAndGetsItsNameBack) {
  const std::string aside = std::string(kTarget) + ".kalvenor-old";
  const std::string denied = "|      failed: Access is denied.";
  const struct {
    std::size_t renamesBefore, renamesFailing;  // renames that work, then those that fail
    bool copyFails;
    Strings failed;
    const char* left;  // the file that holds the old content
  } cases[] = {
      {0, 0, true, {"|      failed: There is not enough space on the disk."}, kTarget},
      {0, 1, false, {denied}, kTarget},  // it cannot be set aside
      {1, 1, false, {denied}, kTarget},  // the new one cannot take its name
      {1,
       2,
       false,
       {denied, "|      failed: renamed it to " + aside +
                    ", which cannot be renamed back (Access is denied.): give it back its name "
                    "a.dll"},
       aside.c_str()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.renamesBefore << " " << c.renamesFailing);
    platform.AddFile(kTarget, {.content = "loaded", .loaded = true});
    if (c.copyFails) platform.FailNextCopy(platform::memory::MemoryError(112));
    platform.FailRenames(c.renamesBefore, c.renamesFailing, platform::memory::MemoryError(5));
    Start();
    Click(SetupId::cmdBlindCopy);
    Strings failed;
    for (const std::string& line : LogLines()) {
      if (line.starts_with("|      failed: ")) failed.push_back(line);
    }
    EXPECT_EQ(failed, c.failed) << Log();
    EXPECT_EQ(platform.Content(c.left), "loaded");
    EXPECT_EQ(platform.HasFile(aside), c.left == aside.c_str());
    for (const std::string& file : platform.Files()) {
      EXPECT_EQ(file.find(".kalvenor-copy"), std::string::npos) << file;
    }
    EXPECT_TRUE(platform.deletedAtRestart.empty());
    EXPECT_FALSE(Logged("|      in use by a running program, which Windows does not name"));
    ClickSurface();
    (void)platform.Delete(aside);
  }
}

// A file of many pieces is read a piece at a time, backed up whole and brought back whole.
TEST_F(JournalTest, AFileOfAnySizeIsBackedUpAPieceAtATimeAndComesBackWhole) {
  std::string big(2 * platform::kPieceBytes + 5, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i % 251);
  platform.AddFile(kTarget, {.content = big});
  Start();
  Click(SetupId::cmdBlindCopy);
  EXPECT_EQ(platform.Content(kTarget), "run's a");
  EXPECT_LE(platform.largestRead, platform::kPieceBytes);
  const auto records = journal::ReadJournal(platform, journal::Store(platform).LastRun().value());
  const auto backup = std::find_if(records.begin(), records.end(), [](const auto& record) {
    return record.kind == journal::kinds::kBackup;
  });
  ASSERT_NE(backup, records.end());
  EXPECT_EQ(backup->Field(2), Sha256Hex(std::as_bytes(std::span(big))));
  ClickSurface();
  static_cast<platform::memory::MemoryForm&>(setup->Window()).ChooseSystemMenu(1);
  EXPECT_EQ(Log().find("failed"), std::string::npos) << Log();
  EXPECT_TRUE(platform.Content(kTarget) == big);
}

// Classes another file of the component's name serves may be taken over: their keys are kept.
TEST_F(JournalTest, TheKeysOfClassesOfAFileOfTheSameNameAreKept) {
  for (const auto& [clsid, server] : {std::pair{"{A1}", "\"C:\\Old Place\\A.DLL\" "},
                                      {"{A2}", "a.dll"},
                                      {"{B1}", "C:\\Old\\b.dll"},
                                      {"{C1}", "C:\\Old\\xa.dll"}}) {
    platform.SetRegistryString(RegistryRoot::ClassesRoot, RegistryView::Bits32,
                               std::string("CLSID\\") + clsid + "\\InprocServer32", "", server);
  }
  Start();
  Click(SetupId::cmdListClear);  // automatic mode: the program's folder lists a.dll, b.dll
  Click(SetupId::cmdInstall);
  std::map<std::string, Strings> kept = KeptKeys();
  EXPECT_EQ(kept[kTarget], (Strings{"CLSID\\{A1}", "CLSID\\{A2}"}));
  EXPECT_EQ(kept[kAdded], Strings{"CLSID\\{B1}"});
}

// A copy that fails leaves the file in place to be registered: the keys its own type library
// names are kept, not those of the file that was not copied.
TEST_F(JournalTest, AFailedCopyKeepsTheKeysOfTheFileInPlace) {
  const auto image =
      PeWriter(inspect::Machine::X86).Dll(true).TypeLibrary(TypeLibrary("Old")).Build();
  platform.AddFile(
      kTarget, {.content = std::string(reinterpret_cast<const char*>(image.data()), image.size()),
                .readOnly = true});
  Start();
  Click(SetupId::cmdInstall);
  EXPECT_EQ(KeptKeys()[kTarget],
            (Strings{"CLSID\\{069D1E67-6900-4A01-BC80-D77EE99E1CF4}", "Old.Old",
                     "TypeLib\\{069D1E67-6900-4A01-BC80-D77EE99E1CF4}"}))
      << Log();
}

// The program may end after any record of the journal: a new instance's Undo of the last run
// still puts back every file and count as it was.
TEST_F(JournalTest, UndoRestoresAfterARunCutShortAtEveryRecord) {
  struct Killed {};
  for (int records = 1;; ++records) {
    SCOPED_TRACE(records);
    platform.AddFile(kTarget, {.content = "before"});
    SetCount(kTarget, 5);
    int appended = 0;
    platform.onAppend = [&] {
      if (++appended > records) throw Killed{};
    };
    bool killed = false;
    try {
      Start();
      Click(SetupId::cmdInstall);
    } catch (const Killed&) {
      killed = true;
    }
    platform.onAppend = nullptr;
    setup.reset();
    Start();
    setup->Window();  // a new instance, then "Undo the last run"
    static_cast<platform::memory::MemoryForm&>(setup->Window()).ChooseSystemMenu(1);
    EXPECT_EQ(platform.Content(kTarget), "before") << Log();
    EXPECT_FALSE(platform.HasFile(kAdded)) << Log();
    EXPECT_EQ(Count(kTarget), 5u);
    EXPECT_EQ(Count(kAdded), std::nullopt);
    if (!killed) break;
  }
}

TEST_F(JournalTest, UndoLeavesAChangedFileAndAChangedBackupAlone) {
  platform.AddFile(kTarget, {.content = "before"});
  Start();
  Click(SetupId::cmdBlindCopy);
  const std::string folder = *journal::Store(platform).LastRun();
  // A backup changed behind the program's back is not put into the system directory.
  platform.AddFile(folder + "\\1-a.dll", {.content = "planted"});
  (void)platform.Delete(kAdded);
  platform.AddFile(kAdded, {.content = "changed since"});
  platform.nextMenuChoice = 2;
  platform.ContextMenu(setup->Window(), Id(SetupId::txtOperations));
  EXPECT_EQ(platform.Content(kTarget), "run's a");
  EXPECT_EQ(platform.Content(kAdded), "changed since");
  EXPECT_TRUE(Logged("|      failed: the backup " + folder +
                     "\\1-a.dll is not the file the run saved (its SHA-256 differs), so it is "
                     "not put back"));
  EXPECT_TRUE(Logged("|      failed: it changed since the run, so Undo leaves it alone")) << Log();
  // Not undone: a retry, once the backup is mended, finishes.
  EXPECT_EQ(journal::Store(platform).LastRun(), folder);
  platform.AddFile(folder + "\\1-a.dll", {.content = "before"});
  (void)platform.Delete(kAdded);
  platform.nextMenuChoice = 2;
  ClickSurface();
  static_cast<platform::memory::MemoryForm&>(setup->Window()).ChooseSystemMenu(1);
  EXPECT_EQ(platform.Content(kTarget), "before") << Log();
  EXPECT_FALSE(journal::Store(platform).LastRun()) << Log();
}

// The keys of a class as the tool and others write them, each hive apart; Undo gives back each
// as itself, never a key that a class's value merely names, and a retry after a failed Undo
// still finds the run's keys its own.
TEST_F(JournalTest, UndoGivesBackEachHiveAsItselfAndOnlyTheKeysOfItsClasses) {
  const std::string server = std::string(kClass) + "\\InprocServer32";
  // The tool registers the class of a.dll through HKCR, and /u deletes it.
  platform.onStart = [&](const std::string&, const std::string& commandLine) {
    const bool unregistering = commandLine.find(" /u ") != std::string::npos;
    if (commandLine.find("a.dll") != std::string::npos && unregistering) {
      (void)platform.WriteRegistryTree(RegistryRoot::ClassesRoot, RegistryView::Bits32, kClass,
                                       std::nullopt);
    } else if (commandLine.find("a.dll") != std::string::npos) {
      platform.SetRegistryString(RegistryRoot::ClassesRoot, RegistryView::Bits32, server, "",
                                 kTarget);
    }
    return platform::memory::ProcessScript{};
  };
  constexpr auto kMachine = RegistryRoot::MachineClasses, kUser = RegistryRoot::UserClasses;
  struct Value {
    RegistryRoot hive;
    std::string key, data;  // the key's default value
  };
  const struct {
    const char* name;
    SetupId command;
    // Before the run and after it; each is there after Undo.
    std::vector<Value> before, between;
    bool retried = false;  // after an Undo whose copy back failed
  } cases[] = {
      {"a class of the user's and one of the machine's",
       SetupId::cmdRemove,
       {{kUser, server, kTarget}, {kMachine, server, "C:\\Old\\a.dll"}},
       {}},
      {"a ProgID value that names the classes' key",
       SetupId::cmdInstall,
       {{kMachine, server, kTarget}, {kMachine, "CLSID\\{A1}\\ProgID", "CLSID"}},
       {{kMachine, "CLSID\\{Z9}\\InprocServer32", "C:\\Other\\z.dll"}}},
      {"a retry", SetupId::cmdInstall, {{kMachine, server, kTarget}}, {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform.AddFile(kTarget, {.content = "before"});
    for (const Value& value : c.before) {
      platform.SetRegistryString(value.hive, RegistryView::Bits32, value.key, "", value.data);
    }
    Start();
    Click(c.command);
    for (const Value& value : c.between) {
      platform.SetRegistryString(value.hive, RegistryView::Bits32, value.key, "", value.data);
    }
    for (const bool failing : {c.retried, false}) {
      if (failing) platform.FailNextCopy(platform::memory::MemoryError(112));
      ClickSurface();
      static_cast<platform::memory::MemoryForm&>(setup->Window()).ChooseSystemMenu(1);
      if (!c.retried) break;
    }
    EXPECT_EQ(Log().find("failed"), std::string::npos) << Log();
    EXPECT_EQ(platform.Content(kTarget), "before");
    for (const std::vector<Value>& values : {c.before, c.between}) {
      for (const Value& value : values) {
        EXPECT_EQ(platform.RegistryString(value.hive, RegistryView::Bits32, value.key, ""),
                  value.data)
            << value.key;
      }
    }
    for (const RegistryRoot hive : {kMachine, kUser}) {
      (void)platform.WriteRegistryTree(hive, RegistryView::Bits32, "CLSID", std::nullopt);
    }
    ClickSurface();
  }
}

// What another registration changed between the run and its Undo stays as Undo finds it, and the
// run's own keys go back, wherever the run was cut short, after an Undo that failed, and for a
// type library the 32-bit and 64-bit copies of one component share, as both views share it.
struct KeysCase {
  const char* killedAt;  // the file whose tool was running when the run was cut short
  bool retried;          // after an Undo whose copy back failed
  bool othersRegister;   // another program registers the class of a.dll before the last Undo
};
class UndoKeysTest : public JournalTest, public ::testing::WithParamInterface<KeysCase> {};

TEST_P(UndoKeysTest, OthersKeysStayAndTheRunsGoBack) {
  struct Killed {};
  const KeysCase& c = GetParam();
  const std::string server = std::string(kClass) + "\\InprocServer32";
  const std::string library = "TypeLib\\{069D1E67-6900-4A01-BC80-D77EE99E1CF4}";
  for (const auto& [file, machine] : {std::pair{"lib32.dll", inspect::Machine::X86},
                                      std::pair{"lib64.dll", inspect::Machine::X64}}) {
    const auto image = PeWriter(machine).Dll(true).TypeLibrary(TypeLibrary("Lib")).Build();
    platform.AddFile(
        std::string("C:\\Kalvenor\\") + file,
        {.content = std::string(reinterpret_cast<const char*>(image.data()), image.size())});
  }
  platform.AddFolder("C:\\WINDOWS\\Sysnative");
  platform.AddFile("C:\\WINDOWS\\Sysnative\\regsvr32.exe");
  platform.AddFile(kTarget, {.content = "before"});
  platform.SetRegistryString(RegistryRoot::MachineClasses, RegistryView::Bits32, server, "",
                             kTarget);
  platform.SetRegistryString(RegistryRoot::MachineClasses, RegistryView::Bits32,
                             library + "\\1.0\\0\\win32", "", "C:\\Old\\lib.dll");
  auto libraryBefore =
      platform.ReadRegistryTree(RegistryRoot::MachineClasses, RegistryView::Bits32, library);
  bool installing = true;
  platform.onStart = [&](const std::string& tool, const std::string& commandLine) {
    if (installing && c.killedAt && commandLine.find(c.killedAt) != std::string::npos) {
      throw Killed{};
    }
    const bool removing = commandLine.find(" /u ") != std::string::npos;
    const RegistryView view =
        tool.find("sysnative") != std::string::npos ? RegistryView::Bits64 : RegistryView::Bits32;
    if (commandLine.find("\\a.dll") != std::string::npos) {
      if (removing) {
        (void)platform.WriteRegistryTree(RegistryRoot::ClassesRoot, view, kClass, std::nullopt);
      } else {
        platform.SetRegistryString(RegistryRoot::ClassesRoot, view, server, "", kTarget);
      }
    } else if (commandLine.find("\\lib") != std::string::npos) {
      if (removing) {
        (void)platform.WriteRegistryTree(RegistryRoot::ClassesRoot, view, library, std::nullopt);
      } else {
        platform.SetRegistryString(
            RegistryRoot::ClassesRoot, view,
            library + (view == RegistryView::Bits64 ? "\\1.0\\0\\win64" : "\\1.0\\0\\win32"), "",
            commandLine);
      }
    }
    return platform::memory::ProcessScript{};
  };
  Start();
  try {
    Click(SetupId::cmdInstall);  // automatic mode: a.dll, b.dll, lib32.dll, lib64.dll
  } catch (const Killed&) {
  }
  installing = false;
  auto undo = [&] {
    Start();
    static_cast<platform::memory::MemoryForm&>(setup->Window()).ChooseSystemMenu(1);
  };
  if (c.retried) {
    platform.FailNextCopy(MemoryError(112));
    undo();
  }
  const char* other = "C:\\Other\\a.dll";
  if (c.othersRegister) {
    platform.SetRegistryString(RegistryRoot::ClassesRoot, RegistryView::Bits32, server, "", other);
  }
  undo();
  EXPECT_EQ(platform.Content(kTarget), "before") << Log();
  EXPECT_EQ(platform.RegistryString(RegistryRoot::ClassesRoot, RegistryView::Bits32, server, ""),
            c.othersRegister ? other : kTarget)
      << Log();
  EXPECT_EQ(Log().find("another registration changed HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID"
                       "\\{A1} since the run") == std::string::npos,
            !c.othersRegister)
      << Log();
  for (const RegistryView view : {RegistryView::Bits32, RegistryView::Bits64}) {
    EXPECT_EQ(platform.ReadRegistryTree(RegistryRoot::MachineClasses, view, library).value(),
              libraryBefore.value())
        << Log();
  }
}

// A type library both builds share; cut short in a later step; a retry after a later
// registration.
INSTANTIATE_TEST_SUITE_P(Table, UndoKeysTest,
                         ::testing::Values(KeysCase{nullptr, false, false},
                                           KeysCase{"b.dll", false, true},
                                           KeysCase{nullptr, true, true}));

// An Undo may end after any record or tool of its own: the next one finishes it, and the run's keys
// that its tools rewrote go back as they stood.
TEST_F(JournalTest, AnUndoCutShortAtEveryRecordAndToolIsFinishedByTheNext) {
  struct Killed {};
  const std::string server = std::string(kClass) + "\\InprocServer32";
  std::function<void()> kill;
  platform.onStart = [&](const std::string&, const std::string& commandLine) {
    if (commandLine.find("\\a.dll") != std::string::npos) {
      const bool removing = commandLine.find(" /u ") != std::string::npos;
      (void)platform.WriteRegistryTree(RegistryRoot::ClassesRoot, RegistryView::Bits32, kClass,
                                       std::nullopt);
      if (!removing) {
        platform.SetRegistryString(RegistryRoot::ClassesRoot, RegistryView::Bits32, server, "",
                                   kTarget);
      }
    }
    if (kill) kill();
    return platform::memory::ProcessScript{};
  };
  platform.AddFile(kTarget, {.content = "before"});
  platform.SetRegistryString(RegistryRoot::MachineClasses, RegistryView::Bits32, server, "",
                             "C:\\Old\\a.dll");
  auto undo = [&] {
    Start();
    static_cast<platform::memory::MemoryForm&>(setup->Window()).ChooseSystemMenu(1);
  };
  for (int events = 1, happened = 0; happened >= events - 1; ++events) {
    SCOPED_TRACE(events);
    Start();
    Click(SetupId::cmdInstall);
    happened = 0;
    kill = [&] {
      if (++happened == events) throw Killed{};
    };
    platform.onAppend = kill;
    try {
      undo();
    } catch (const Killed&) {
    }
    platform.onAppend = kill = nullptr;
    undo();
    EXPECT_EQ(platform.Content(kTarget), "before") << Log();
    EXPECT_EQ(platform.RegistryString(RegistryRoot::ClassesRoot, RegistryView::Bits32, server, ""),
              "C:\\Old\\a.dll")
        << Log();
    EXPECT_FALSE(journal::Store(platform).LastRun()) << Log();
  }
}

// Before its tool the run keeps the ProgIDs a registration may take over: Library.Class of the
// type library's names, their CurVer and the versions HKCR holds. Undo leaves one it did not keep
// as it finds it, unless HKCR did not hold it before the run; it unregisters the copy only where a
// class still leads to it, in any form: /u would delete keys of others that it never kept.
TEST_F(JournalTest, UndoGivesBackTheProgIdsItKeptAndUnregistersOnlyWhatLeadsToTheCopy) {
  constexpr auto kClasses = RegistryRoot::ClassesRoot, kMachine = RegistryRoot::MachineClasses;
  constexpr auto k32 = RegistryView::Bits32;
  const std::string grid = "{069D1E67-6900-4A01-BC80-D77EE99E1CF4}", server = "CLSID\\" + grid;
  const std::string inProcess = server + "\\InprocServer32";
  const auto image =
      PeWriter(inspect::Machine::X86).Dll(true).TypeLibrary(TypeLibrary("Grid")).Build();
  platform.AddFile(
      "C:\\Kalvenor\\a.dll",
      {.content = std::string(reinterpret_cast<const char*>(image.data()), image.size())});
  using Value = std::pair<std::string, std::string>;  // a key's default value ("": none)
  auto set = [&](const Value& value) {
    if (!value.second.empty())
      platform.SetRegistryString(kClasses, k32, value.first, "", value.second);
  };
  const Value curVer = {"Grid.Grid\\CurVer", "Grid.Grid.7"}, other = {"Other.Thing", "x"};
  const Value absent = {"Grid.Grid.8\\CLSID", ""};
  const struct {
    std::string progId;  // the class's, beside Grid.Grid
    Value before;
    std::string between;  // the class's server, set after the run
    Value after;          // once undone
    bool noted = false, unregistered = true;
  } cases[] = {
      {"Grid.Grid.8", curVer, "", curVer},  // grid 8 takes grid 7's Grid.Grid over
      {"Grid.Grid.8", {"Grid.Grid.8", "8"}, "", {"Grid.Grid.8", "8"}},
      {"Grid.Control", {"Grid.Control", "x"}, "", {"Grid.Control\\CLSID", grid}, true},
      {"Grid.Control", other, "", {"Grid.Control\\CLSID", ""}},
      {"Grid.Control", {}, "", {"Grid.Control\\CLSID", grid}, true},  // HKCR not listed
      {"Grid.Grid.8", other, "\"\\\\?\\C:\\WINDOWS\\SYSTEM32\\A.DLL\"", absent},
      // Another product's copy took the classes over: what they name is its own now.
      {"Grid.Grid.8", other, "C:\\Other\\grid.dll", {"Grid.Grid.8\\CLSID", grid}, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    set(c.before);
    platform.onStart = [&](const std::string&, const std::string& commandLine) {
      if (commandLine.find(" /u ") == std::string::npos) {
        for (const Value& value : {Value{inProcess, kTarget},
                                   {server + "\\ProgID", c.progId},
                                   {"Grid.Grid\\CurVer", c.progId},
                                   {c.progId + "\\CLSID", grid}})
          set(value);
      } else if (commandLine.find("a.dll") != std::string::npos) {
        (void)platform.WriteRegistryTree(kClasses, k32, server, std::nullopt);
      }
      return platform::memory::ProcessScript{};
    };
    Start();
    Click(SetupId::cmdInstall);
    set({inProcess, c.between});
    ClickSurface();
    static_cast<platform::memory::MemoryForm&>(setup->Window()).ChooseSystemMenu(1);
    EXPECT_EQ(platform.RegistryString(kClasses, k32, c.after.first, "").value_or(""),
              c.after.second)
        << Log();
    EXPECT_EQ(Logged("> Unregistering file " + std::string(kTarget)), c.unregistered);
    EXPECT_EQ(Log().find("Grid.Control was not saved before the run") != std::string::npos,
              c.noted);
    EXPECT_EQ(Log().find("failed"), std::string::npos) << Log();
    for (const std::string& key : platform.RegistrySubkeys(kMachine, k32, ""))
      (void)platform.WriteRegistryTree(kMachine, k32, key, std::nullopt);
    ClickSurface();
  }
}

// The store keeps the last 20 runs, oldest first out, however many fall in one second; a clock
// turned back and a file of the next run's name change neither order nor folder.
TEST_F(JournalTest, TheStoreKeepsTheLastTwentyRunsInItsOwnOrder) {
  Start();
  const std::string root = "C:\\ProgramData\\Kalvenor\\runs\\";
  for (int run = 0; run < 24; ++run) {
    if (run == 23) platform.SetUtcNow({2026, 12, 6, 23, 0, 0});
    if (run == 23) platform.AddFile(root + "000024-20261206T230000Z");
    Click(SetupId::cmdBlindCopy);
    ClickSurface();
  }
  const Strings runs = platform.Dir(root + "*", platform::DirAttributes::Folders);
  EXPECT_EQ(runs.size(), 20u);
  EXPECT_FALSE(platform.HasFile(root + "000004-20261207T080503Z\\journal.txt"));
  EXPECT_TRUE(platform.HasFile(root + "000023-20261207T080503Z\\journal.txt"));
  EXPECT_EQ(journal::Store(platform).LastRun(), root + "000025-20261206T230000Z");
}

// What others could have put at the store's place (a file; a folder, with a run never to be
// read) is moved aside, and the run journals into a store made anew; where it cannot be moved
// (a file held open), the run does not start: without the store there is no run lock. The
// line names what holds it where the system says.
TEST_F(JournalTest, AStoreOthersCouldChangeIsMovedAsideUnreadAndMadeAnew) {
  const std::string store = "C:\\ProgramData\\Kalvenor";
  const std::string moved = "|      the journal's store " + store +
                            " could be changed by others, so it was moved to " + store +
                            ".untrusted-20261207T080503Z";
  const std::string stuck = "|      failed: the run cannot start: " + store +
                            " may be changed by others than administrators and SYSTEM, and "
                            "cannot be moved aside";
  const std::string held = ": " + platform::memory::MemoryError(32).message;
  const std::string said[] = {moved + " and made anew", moved + "-2 and made anew", stuck + held,
                              stuck + ", in use by C:\\Tools\\scan.exe, notepad.exe" + held};
  Start();
  for (int i = 0; i < 4; ++i) {
    (void)platform.Rename(store, store + ".earlier" + std::to_string(i));
    if (i == 1) platform.AddFolder(store);
    if (i == 1) platform.LetOthersChange(store, {"its owner PC\\user"});
    if (i == 1) platform.AddFolder(store + "\\runs\\000009-20261207T080503Z");
    if (i == 3)
      platform.AddFile(store, {.locked = true, .heldBy = {"C:\\Tools\\scan.exe", "notepad.exe"}});
    if (i == 0 || i == 2) platform.AddFile(store, {.locked = i == 2});
    Click(SetupId::cmdBlindCopy);
    EXPECT_EQ(LogLines().front(), said[i]);
    EXPECT_EQ(journal::Store(platform).LastRun(),
              i < 2 ? std::optional(store + "\\runs\\000001-20261207T080503Z") : std::nullopt);
    EXPECT_EQ(Log().find("> Copying file") == std::string::npos, i >= 2) << Log();
    ClickSurface();
  }
}

// Saved again by an editor, with a byte-order mark or LF line ends, a journal is the same
// journal; one whose first line is no record of its run does not tell which build made it.
TEST_F(JournalTest, UndoLeavesARunOfTheOtherBuildToThatBuild) {
  const std::string otherBuild =
      "|      failed: this run was made by the x86 build of Kalvenor: undo it with that build";
  const auto lf = [](std::string journal) {
    std::erase(journal, '\r');
    return journal;
  };
  const struct {
    std::function<std::string(std::string)> edit;
    int bits;             // of the build that undoes the run
    std::string refused;  // the failed line; empty when the run is undone
  } cases[] = {
      {[](std::string j) { return j; }, 64, otherBuild},
      {[](std::string j) { return "\xEF\xBB\xBF" + j; }, 64, otherBuild},
      {lf, 64, otherBuild},
      {[](std::string j) { return "ru" + j; }, 64,
       "|      failed: the first line of its journal is no record of the run, so it does not "
       "tell which build of Kalvenor made it"},
      {[&](std::string j) { return "\xEF\xBB\xBF" + lf(j); }, 32, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.refused + " " + std::to_string(c.bits));
    platform.SetApp({kAppFolder, "Kalvenor", 1, 0, 4, 32});
    platform.AddFile(kTarget, {.content = "before"});
    Start();
    Click(SetupId::cmdBlindCopy);
    const std::string folder = *journal::Store(platform).LastRun();
    const std::string journal = folder + "\\journal.txt";
    platform.AddFile(journal, {.content = c.edit(platform.Content(journal))});
    platform.SetApp({kAppFolder, "Kalvenor", 1, 0, 4, c.bits});
    static_cast<platform::memory::MemoryForm&>(setup->Window()).ChooseSystemMenu(1);
    const bool refused = !c.refused.empty();
    EXPECT_EQ(platform.Content(kTarget), refused ? "run's a" : "before") << Log();
    if (refused) {
      EXPECT_EQ(LogLines().at(1), c.refused);
    }
    EXPECT_EQ(Log().find("failed") == std::string::npos, !refused) << Log();
    EXPECT_EQ(journal::WasUndone(journal::ReadJournal(platform, folder)), !refused);
  }
  // A journal of an earlier version does not say: it is the program's own.
  EXPECT_EQ(journal::WhyNotUndo(platform.App(), {{journal::kinds::kRun, {"copy", kSystem32}}}),
            std::nullopt);
}

// Undo checks that it can put the backup back before it changes anything; a file step that
// fails after the unregistration registers the run's copy again, and a failed unregistration
// keeps the file as it is.
TEST_F(JournalTest, UndoTakesAFileStepWholeOrNotAtAll) {
  const struct {
    const char *said, *content, *tools;  // a part of the log, the target after Undo, and the
                                         // tools Undo ran: "u" to unregister, "r" to register
    std::function<void()> beforeUndo;
  } cases[] = {
      {"it cannot be replaced or deleted (Access is denied.)", "run's a", "",
       [&] { platform.AddFile(kTarget, {.content = "run's a", .denied = true}); }},
      {"no room for its backup (6 bytes)", "run's a", "", [&] { platform.SetFreeBytes(5); }},
      {"> Registering file", "before", "ur",
       [&] { platform.AddFile(kTarget, {.content = "run's a", .readOnly = true}); }},
      {"|      the file stays as the run left it, so it is registered again", "run's a", "ur",
       [&] { platform.FailNextCopy(MemoryError(112)); }},
      {"exit code 5", "run's a", "u",
       [&] { platform.onStart = [](auto&, auto&) { return ProcessScript{.exitCode = 5}; }; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.said);
    platform.AddFile(kTarget, {.content = "before"});
    Start();
    Click(SetupId::cmdInstall);
    const std::optional<std::uint32_t> counted = Count(kTarget);
    c.beforeUndo();
    platform.started.clear();
    UndoLastRun();
    EXPECT_EQ(platform.Content(kTarget), c.content) << Log();
    // A file left as the run left it keeps the run's share.
    if (c.content == std::string("run's a")) {
      EXPECT_EQ(Count(kTarget), counted) << Log();
    }
    EXPECT_NE(Log().find(c.said), std::string::npos) << Log();
    std::string tools;
    for (const auto& [program, line] : platform.started) {
      if (line.find(kTarget) == std::string::npos) continue;  // b.dll's
      tools += line.find(" /u ") != std::string::npos ? 'u' : 'r';
    }
    EXPECT_EQ(tools, c.tools);
    platform.onStart = nullptr;
    platform.SetFreeBytes(std::uint64_t{1} << 40);
    platform.AddFile(kTarget);
    Forget();
    ClickSurface();
  }
}

// Two files of one name copied in one run onto a target there was none at: Undo deletes it,
// rather than putting back the first copy the second one replaced.
TEST_F(JournalTest, UndoDeletesATargetTheRunCopiedTwice) {
  platform.AddFile("C:\\Other\\a.dll", {.content = "other a"});
  ASSERT_EQ(RunCommandLine({"/copy", "/quiet", "C:\\Kalvenor\\a.dll", "C:\\Other\\a.dll"}), 0);
  EXPECT_EQ(RunCommandLine({"/undo", "/quiet"}), 0);
  EXPECT_FALSE(platform.HasFile(kTarget));
}

// Undo finds what the run placed, whatever changed while its step was journaled (the source, a
// file that came where there was none, the power, gone at the next step), and brings a file
// back only where the run moved it away, and a count as it stood, one a file long gone left too.
TEST_F(JournalTest, UndoBringsBackWhatTheRunChangedAndNothingElse) {
  const struct {
    SetupId command;
    std::optional<std::string> before, undone;  // the target before the run and after Undo
    int append;  // before this append to the journal `meanwhile` happens; 0: after the run
    std::function<void()> meanwhile;
    std::optional<std::uint32_t> count;  // before the run and after Undo
  } cases[] = {
      {SetupId::cmdBlindCopy, "before", "before", 2,
       [&] { platform.AddFile("C:\\Kalvenor\\a.dll", {.content = "changed"}); }},
      {SetupId::cmdBlindCopy,
       {},
       "came",
       2,
       [&] { platform.AddFile(kTarget, {.content = "came"}); }},
      {SetupId::cmdBlindCopy, "before", "before", 3, [&] { platform.CutPower(); }},
      {SetupId::cmdBlindCopy, "before", {}, 0, [&] { (void)platform.Delete(kTarget); }},
      {SetupId::cmdRemove, "before", "before", 0, [] {}},
      {SetupId::cmdInstall, {}, {}, 0, [] {}, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.undone.value_or("-") << " " << c.append);
    if (c.before) platform.AddFile(kTarget, {.content = *c.before});
    if (c.count) SetCount(kTarget, *c.count);
    int appended = 0;
    platform.onAppend = [&] {
      if (++appended == c.append) c.meanwhile();
    };
    Start();
    Click(c.command);
    platform.onAppend = nullptr;
    if (c.append == 0) c.meanwhile();
    UndoLastRun();
    EXPECT_EQ(platform.HasFile(kTarget) ? std::optional(platform.Content(kTarget)) : std::nullopt,
              c.undone)
        << Log();
    EXPECT_EQ(Count(kTarget), c.count);
    platform.AddFile("C:\\Kalvenor\\a.dll", {.content = "run's a"});
    Forget();
    ClickSurface();
  }
}

// An Overwrite copy of the other bitness takes no share, and Undo looks its count up where the
// run would: a file another product came to count on stays.
TEST_F(JournalTest, UndoFindsTheCountOfACopyOfTheOtherBitnessWhereTheRunDid) {
  const std::string wow64 = "c:\\windows\\syswow64", copy = wow64 + "\\a32.dll";
  const std::vector<std::byte> image = PeWriter(inspect::Machine::X86).Build();
  platform.AddFile(
      "C:\\Kalvenor\\a32.dll",
      {.content = std::string(reinterpret_cast<const char*>(image.data()), image.size())});
  platform.AddFolder(wow64);
  platform.AddFile(wow64 + "\\regsvr32.exe");
  platform.SetApp({kAppFolder, "Kalvenor", 1, 0, 4, 64});
  for (const bool counted : {false, true}) {
    Start();
    Click(SetupId::cmdBlindCopy);
    if (counted) {
      (void)platform.SetRegistryDword(RegistryRoot::LocalMachine, RegistryView::Bits32,
                                      journal::kSharedDllsKey, copy, 1);
    }
    UndoLastRun();
    EXPECT_EQ(platform.HasFile(copy), counted) << Log();
    ClickSurface();
  }
}

// Remove gives back Kalvenor's share only once the file goes: one whose unregistration failed
// stays, its class pointing at it, with its count.
TEST_F(JournalTest, RemoveGivesBackItsShareOnlyOnceTheFileGoes) {
  for (const std::uint32_t toolExit : {0u, 5u}) {
    platform.AddFile(kTarget);
    SetCount(kTarget, 1);
    SetMark(kTarget);
    if (toolExit) {
      platform.SetRegistryString(RegistryRoot::ClassesRoot, RegistryView::Bits32,
                                 std::string(kClass) + "\\InprocServer32", "", kTarget);
    }
    platform.onStart = [&](auto&, auto&) { return ProcessScript{.exitCode = toolExit}; };
    Start();
    Click(SetupId::cmdRemove);
    EXPECT_EQ(platform.HasFile(kTarget), toolExit != 0) << Log();
    EXPECT_EQ(Count(kTarget), toolExit ? std::optional(1u) : std::nullopt);
    Forget();
    ClickSurface();
  }
}

// A run taken out of the store goes whole, files of any attributes too, and one that was not
// undone is named in the log of the run that took it out.
TEST_F(JournalTest, PruningTakesARunWholeAndNamesOneThatWasNotUndone) {
  const std::string first = "000001-20261207T080503Z", second = "000002-20261207T080503Z";
  const std::string folder = "C:\\ProgramData\\Kalvenor\\runs\\" + first;
  platform.AddFile(kTarget, {.content = "before", .hidden = true, .system = true});
  Start();
  for (int run = 1; run <= 22; ++run) {
    Click(SetupId::cmdBlindCopy);
    if (run == 1) platform.AddFile(folder + "\\kept.txt", {.readOnly = true});
    if (run == 2) UndoLastRun();  // never named
    EXPECT_EQ(Logged("|      the run " + first +
                     ", which was not undone, left the journal's "
                     "store, which keeps the last 20 runs: it can be undone no more"),
              run == 21);
    EXPECT_EQ(Log().find(second + ", which"), std::string::npos);
    EXPECT_EQ(platform.StateOf(folder).exists, run < 21);
    ClickSurface();
  }
}

// A value with tabs, line ends or a record's text stays one field of one record; a line cut
// short by a crash stays apart from what is appended after it; a line that is no record of its
// kind is refused.
TEST(JournalRecords, ForgedFieldsAndATornLineAddNoRecord) {
  MemoryPlatform platform;
  platform.AddFolder("C:\\run");
  // Lines that are no record of their kind, then one cut short.
  (void)platform.AppendDurably(
      "C:\\run\\journal.txt",
      "bogus\tx\r\nregister\r\nregister\ta\tb\r\nclass\ta\tb\r\ncopy\ta\t%4\r\n"
      "copy\ta\t%41\r\ncopy\ta\tb\x01\r\ncount\tc:\\a.dll\t1");
  const std::string forged[] = {
      "c:\\x.dll\r\nregister\tc:\\evil.dll", "\t\n", "100%", "%41", "\x01\x7f", ""};
  journal::Writer writer(platform, "C:\\run");
  for (const std::string& value : forged) {
    ASSERT_TRUE(writer.Write({{journal::kinds::kClass, {kTarget, "{C}", value}}}).ok());
  }
  std::size_t unreadable = 0;
  const auto records = journal::ReadJournal(platform, "C:\\run", &unreadable);
  ASSERT_EQ(records.size(), std::size(forged));
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].fields, (Strings{kTarget, "{C}", forged[i]}));
  }
  EXPECT_EQ(unreadable, 7u);
}

// With the processor's SHA instructions and without, whole and in pieces that end inside a
// block, at its end and across several blocks.
TEST(Sha256, KnownDigests) {
  const struct {
    std::string text;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(300, 'k'), "17b16d8ef494060fefa36a6a41567b8c32d213a17e02b7eeae86158cc4495461"},
  };
  for (const bool extensions : {true, false}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(::testing::Message() << extensions << " " << c.text.size());
      const auto bytes = std::as_bytes(std::span(c.text));
      Sha256 whole(extensions), pieces(extensions);
      whole.Add(bytes);
      EXPECT_EQ(whole.Hex(), c.digest);
      for (std::size_t at = 0, size = 1; at < bytes.size(); at += size, size = size * 3 + 1) {
        pieces.Add(bytes.subspan(at, std::min(size, bytes.size() - at)));
      }
      EXPECT_EQ(pieces.Hex(), c.digest);
    }
  }
}

}  // namespace
}  // namespace kalvenor::testing
