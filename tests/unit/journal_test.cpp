// The journal of a run and its Undo, shared counts and files in use, on the memory platform.
#include <gtest/gtest.h>

#include "journal/journal.h"
#include "journal/recorder.h"
#include "lib/sha256.h"
#include "setup_fixture.h"

namespace kalvenor::testing {
namespace {

using Strings = std::vector<std::string>;
using platform::RegistryRoot;
using platform::RegistryView;

constexpr char kTarget[] = "c:\\windows\\system32\\a.dll";
constexpr char kAdded[] = "c:\\windows\\system32\\b.dll";

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
  bool Logged(const std::string& line) {
    const Strings lines = LogLines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
};

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
    EXPECT_EQ(journal::ReadSharedCount(platform, kTarget).held, c.heldAfter);
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

// The store keeps the last 20 runs, oldest first out, however many fall in one second.
TEST_F(JournalTest, TheStoreKeepsTheLastTwentyRuns) {
  Start();
  for (int run = 0; run < 23; ++run) {
    Click(SetupId::cmdBlindCopy);
    ClickSurface();
  }
  const std::string root = "C:\\ProgramData\\Kalvenor\\runs\\";
  const Strings runs = platform.Dir(root + "*", platform::DirAttributes::Folders);
  EXPECT_EQ(runs.size(), 20u);
  EXPECT_FALSE(platform.HasFile(root + "20261207-090503-003\\journal.txt"));
  EXPECT_TRUE(platform.HasFile(root + "20261207-090503-023\\journal.txt"));
  EXPECT_EQ(journal::Store(platform).LastRun(), root + "20261207-090503-023");
}

TEST(Sha256, KnownDigests) {
  const std::string abc = "abc";
  auto bytes = [](const std::string& text) {
    return std::span(reinterpret_cast<const std::byte*>(text.data()), text.size());
  };
  EXPECT_EQ(Sha256Hex(bytes("")),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex(bytes(abc)),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex(bytes(std::string(56, 'a'))),
            "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
}

}  // namespace
}  // namespace kalvenor::testing
