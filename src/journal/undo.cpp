#include "journal/undo.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <set>
#include <vector>

#include "base/text.h"
#include "inspect/verification.h"
#include "journal/journal.h"
#include "journal/shares.h"
#include "journal/undo_keys.h"
#include "lib/lib_filesystem.h"
#include "paths/paths.h"

namespace kalvenor::journal {
namespace {

using platform::RegistryRoot;
using platform::RegistryTree;
using platform::RegistryView;

struct Share {
  std::string name;
  std::optional<std::uint32_t> before, after;
  bool heldBefore = false, heldAfter = false;
  RegistryView view = RegistryView::Bits32;
};

// What the run did to one file, gathered from its records.
struct Change {
  std::string target;
  std::optional<Record> backup;     // the file as it was before the run's first step on it
  bool absent = false;              // there was none
  std::vector<std::string> copies;  // SHA-256 of what the run's copies put there
  bool movedAway = false;           // the run deleted it, or renamed it aside while it was in use
  bool registered = false, unregistered = false;
  std::optional<bool> pointedBefore;       // a class pointed at it; unknown without a type library
  std::vector<std::string> classes;        // the CLSIDs its type library lets clients create
  std::optional<std::string> countBefore;  // older journals: the count before, "-" for none
  std::vector<Share> shares;
  bool shareUnreadable = false;  // a share record with a field not as the run writes it
  // What Kalvenor's Install had put there before the run: the record's name, view and text
  // (nothing for none); nothing where the run did not change it.
  struct Installed {
    std::string name;
    RegistryView view = RegistryView::Bits32;
    std::optional<std::string> before;
  };
  std::optional<Installed> installed;
  std::vector<KeyState> keys;  // what its tool may have changed in the registry
  bool undone = false;         // an earlier Undo finished with it
};

std::vector<std::byte> BytesOfHex(std::string_view hex) {
  std::vector<std::byte> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    unsigned value = 0;
    std::from_chars(hex.data() + i, hex.data() + i + 2, value, 16);
    bytes.push_back(static_cast<std::byte>(value));
  }
  return bytes;
}

// The share of a record; nothing when a field is not as the run writes it, since a count read
// wrong would be given back wrong, or taken for others'.
std::optional<Share> ShareOf(const Record& record, RegistryView ownView) {
  auto count = [](const std::string& text, std::optional<std::uint32_t>& value) {
    value = CountFromText(text);
    return value || text == "-";
  };
  auto flag = [](const std::string& text, bool& value) {
    value = text == "1";
    return value || text == "0";
  };
  Share share{record.Field(1)};
  // Journals of earlier versions name no view: the tool's.
  const auto view = record.fields.size() > 6 ? ViewFromText(record.Field(6)) : ownView;
  if (share.name.empty() || !view || !count(record.Field(2), share.before) ||
      !count(record.Field(3), share.after) || !flag(record.Field(4), share.heldBefore) ||
      !flag(record.Field(5), share.heldAfter)) {
    return std::nullopt;
  }
  share.view = *view;
  // A mark without a count held nothing, though earlier versions wrote it as held.
  share.heldBefore = share.heldBefore && share.before;
  return share;
}

// What the run did, file by file, and each registry key as its tools left it.
struct Journaled {
  std::vector<Change> changes;
  LeftKeys left;
  ChangedKeys changed;
};

Journaled ChangesOf(const std::vector<Record>& records, RegistryView ownView) {
  Journaled journaled;
  std::vector<Change>& changes = journaled.changes;
  auto of = [&](const std::string& target) -> Change& {
    auto found = std::find_if(changes.begin(), changes.end(), [&](const Change& change) {
      return AsciiLower(change.target) == AsciiLower(target);
    });
    if (found != changes.end()) return *found;
    return changes.emplace_back(Change{target});
  };
  // The keys of a tool's step count only once the step's own record follows them: a run cut
  // short in between wrote a part of them, and never ran the tool.
  std::vector<std::pair<std::string, KeyState>> pending;
  // A key's subkeys and values follow its record.
  auto pendingKey = [&](const Record& record) -> KeyState* {
    if (pending.empty()) return nullptr;
    KeyState& state = pending.back().second;
    const bool same = ViewFromText(record.Field(0)) == state.view &&
                      AsciiLower(state.key) == AsciiLower(record.Field(1));
    return same ? &state : nullptr;
  };
  for (const Record& record : records) {
    const std::string& target = record.Field(0);
    if (record.kind == kinds::kBackup) {
      Change& change = of(target);
      // After "absent", a backup of the run's own copy (a later step on the same target) is not
      // how the file stood; one of other bytes is a file that came while the copy was placed,
      // which the copy replaced.
      const bool runsCopy = std::find(change.copies.begin(), change.copies.end(),
                                      record.Field(2)) != change.copies.end();
      if (change.absent && runsCopy) continue;
      if (!change.backup) change.backup = record;
      change.absent = false;
    } else if (record.kind == kinds::kAbsent) {
      Change& change = of(target);
      if (!change.backup) change.absent = true;
    } else if (record.kind == kinds::kCopy) {
      of(target).copies.push_back(record.Field(1));
    } else if (record.kind == kinds::kDelete || record.kind == kinds::kSetAside) {
      of(target).movedAway = true;
    } else if (record.kind == kinds::kRegister || record.kind == kinds::kUnregister) {
      Change& change = of(target);
      (record.kind == kinds::kRegister ? change.registered : change.unregistered) = true;
      for (auto& [owner, state] : pending) of(owner).keys.push_back(std::move(state));
      pending.clear();
    } else if (record.kind == kinds::kClass) {
      of(target).classes.push_back(record.Field(1));
    } else if (record.kind == kinds::kNewKey) {
      const auto hive = HiveFromText(record.Field(1));
      const auto view = ViewFromText(record.Field(2));
      if (hive && view) of(target).keys.push_back({*hive, *view, record.Field(3), std::nullopt});
    } else if (record.kind == kinds::kRegistered) {
      Change& change = of(target);
      if (!change.pointedBefore) change.pointedBefore = record.Field(1) == "1";
    } else if (record.kind == kinds::kCount) {
      Change& change = of(target);
      if (!change.countBefore) change.countBefore = record.Field(1);
    } else if (record.kind == kinds::kInstalled) {
      Change& change = of(target);
      const std::optional<RegistryView> view = ViewFromText(record.Field(2));
      if (!change.installed && view && !record.Field(1).empty()) {
        const std::string& before = record.Field(3);
        change.installed = Change::Installed{record.Field(1), *view,
                                             before.empty() ? std::nullopt : std::optional(before)};
      }
    } else if (record.kind == kinds::kShare) {
      Change& change = of(target);
      if (std::optional<Share> share = ShareOf(record, ownView)) {
        change.shares.push_back(std::move(*share));
      } else {
        change.shareUnreadable = true;
      }
    } else if (record.kind == kinds::kKey) {
      const auto view = ViewFromText(record.Field(1));
      const auto hive = record.fields.size() < 5 ? std::optional(RegistryRoot::ClassesRoot)
                                                 : HiveFromText(record.Field(4));
      if (view && hive) {
        KeyState state{*hive, *view, record.Field(2), std::nullopt};
        if (record.Field(3) == "1") state.tree = RegistryTree{{""}, {}};
        pending.emplace_back(target, std::move(state));
      }
    } else if (record.kind == kinds::kLeft) {
      const auto hive = HiveFromText(record.Field(1));
      const auto view = ViewFromText(record.Field(2));
      // A key whose step was cut short while its tool ran: what the tool left is not known.
      if (hive && view && record.Field(4) == kinds::kToolRunning) {
        journaled.left.erase(IdOf(*hive, *view, record.Field(3)));
      } else if (hive && view) {
        journaled.left[IdOf(*hive, *view, record.Field(3))] = record.Field(4);
      }
    } else if (record.kind == kinds::kChangedSince) {
      if (!journaled.changed) journaled.changed.emplace();
      const auto hive = HiveFromText(record.Field(0));
      const auto view = ViewFromText(record.Field(1));
      if (hive && view) journaled.changed->insert(IdOf(*hive, *view, record.Field(2)));
    } else if (record.kind == kinds::kSubkey) {
      if (KeyState* state = pendingKey(record); state && state->tree) {
        state->tree->keys.push_back(record.Field(2));
      }
    } else if (record.kind == kinds::kValue) {
      KeyState* state = pendingKey(record);
      std::uint32_t type = 0;
      const std::string& typeText = record.Field(4);
      std::from_chars(typeText.data(), typeText.data() + typeText.size(), type);
      if (state && state->tree) {
        state->tree->values.push_back(
            {record.Field(2), record.Field(3), type, BytesOfHex(record.Field(5))});
      }
    } else if (record.kind == kinds::kFileUndone) {
      of(target).undone = true;
    }
  }
  return journaled;
}

// The file as Undo finds it: missing, its SHA-256 and size, or why it cannot be read.
struct Found {
  bool exists = false;
  std::optional<std::string> hash;
  std::uint64_t bytes = 0;
  std::optional<platform::SystemError> unreadable;
};
Found Look(platform::System& system, const std::string& path) {
  if (!File_Exists(system, path)) return {};
  Found found{true};
  auto hash = Sha256Of(system, path, nullptr, &found.bytes);
  if (hash.ok()) {
    found.hash = hash.value();
  } else {
    found.unreadable = hash.error();
  }
  return found;
}

// Why Undo cannot replace or delete the file at `target` (`exists`), or put a backup of
// `backupBytes` back there; nothing when it can. Asked before Undo changes anything of the file,
// so that it is undone whole or not at all.
std::optional<std::string> WhyFileStepFails(platform::System& system, const std::string& target,
                                            bool exists, std::optional<std::uint64_t> backupBytes) {
  if (exists) {
    const platform::Status opened = system.OpenForDelete(target);
    if (!opened.ok()) return "it cannot be replaced or deleted (" + opened.error().message + ")";
  }
  if (!backupBytes) return std::nullopt;
  platform::Result<std::uint64_t> room = system.FreeBytes(paths::FolderOf(target));
  if (!room.ok()) {
    return "the room for its backup beside it cannot be checked (" + room.error().message + ")";
  }
  if (room.value() >= *backupBytes) return std::nullopt;
  return "its folder's disk has no room for its backup (" + std::to_string(*backupBytes) +
         " bytes)";
}

void KeepingFile(UndoSteps& steps, const std::string& target, std::string_view why) {
  steps.Begin("keep", target, "> Keeping file " + target);
  steps.Failed(why);
}

void LogCount(UndoSteps& steps, const std::string& target, std::optional<std::uint32_t> count) {
  if (!count) return steps.Begin("count", target, "> Removing shared count of " + target);
  steps.Begin("count", target,
              "> Restoring shared count of " + target + " to " + std::to_string(*count), count);
}

// A count Undo sets, and what it writes to the log.
struct CountWrite {
  std::string name;
  RegistryView view = RegistryView::Bits32;
  SharedCount count;
  bool logged = true;
};

// What giving back the run's shares writes, never setting an old number: others may have counted
// the file meanwhile. Nothing is written yet: the file step comes first.
std::vector<CountWrite> SharesToGiveBack(platform::System& system, SharedCounts& counts,
                                         const Change& change) {
  std::vector<CountWrite> writes;
  // Each count as the writes before leave it.
  auto current = [&](const std::string& name, RegistryView view) {
    for (auto write = writes.rbegin(); write != writes.rend(); ++write) {
      if (write->view == view && AsciiLower(write->name) == AsciiLower(name)) return write->count;
    }
    return counts.Read(name, view);
  };
  for (auto share = change.shares.rbegin(); share != change.shares.rend(); ++share) {
    const SharedCount now = current(share->name, share->view);
    SharedCount undone = now;
    if (share->heldAfter && !share->heldBefore) {
      if (!now.held) continue;  // the run ended before it took the share
      // The run's own share goes; one left over a count the run made is the install that
      // found the file in place, which had no count before either.
      if (now.value) {
        // A count the run's share replaced rather than raised (one a file long gone left behind)
        // comes back, with what others counted since.
        const std::uint32_t replaced =
            share->before && share->after != *share->before + 1 ? *share->before : 0;
        const std::uint32_t left = *now.value - 1 + replaced;
        const bool noneBefore = !share->before && share->after == 2u && left == 1;
        undone.value = left == 0 || noneBefore ? std::nullopt : std::optional(left);
      }
      undone.held = false;
    } else if (share->heldBefore && !share->heldAfter) {
      if (now.held) continue;  // the run ended before it gave the share back
      if (share->before) undone.value = now.value.value_or(0) + 1;
      undone.held = true;
    }
    if (undone.value == now.value && undone.held == now.held) continue;
    writes.push_back({share->name, share->view, undone, undone.value != now.value});
  }
  // Older journals kept the count before the run.
  if (change.countBefore) {
    const std::optional<std::uint32_t> count = CountFromText(*change.countBefore);
    const RegistryView view = inspect::ViewOf(inspect::ToolMachine(system));
    writes.push_back({change.target, view,
                      SharedCount{change.target, count, current(change.target, view).held}});
  }
  return writes;
}

// Sets the counts, and what a detection reads as the Install's as it was: with the share given
// back, it counts for nothing; with an earlier Install's, for that one again.
bool GiveBackShares(SharedCounts& counts, UndoSteps& steps, const Change& change,
                    const std::vector<CountWrite>& writes) {
  for (const CountWrite& write : writes) {
    if (write.logged) LogCount(steps, change.target, write.count.value);
    platform::Status set = counts.Write(write.name, write.count, write.view);
    if (!set.ok()) {
      steps.Failed(set.error().message);
      return false;
    }
  }
  if (change.installed) {
    const platform::Status set = counts.WriteInstalled(
        change.installed->name, change.installed->view, change.installed->before);
    if (!set.ok()) {
      steps.Begin("count", change.target, "> Restoring what Kalvenor installed at " + change.target,
                  std::nullopt);
      steps.Failed(set.error().message);
      return false;
    }
  }
  return true;
}

// Whether a class the journal knows of the file, in either hive, still leads to it: where none
// does, another registration took them over since, and /u would delete keys of theirs that the
// journal never saved (AppID, Licenses). Without such classes, as the tool's run would have it.
bool ClassesLeadToFile(platform::System& system, const Change& change) {
  std::vector<std::pair<RegistryView, std::string>> classes;
  for (const KeyState& state : change.keys) {
    if (IsClassKey(state.key) && AsciiLower(state.key).starts_with("clsid\\")) {
      classes.emplace_back(state.view, state.key.substr(6));
    }
  }
  // A class record names no view: that of the file's class keys, which have one view each, or
  // its tool's.
  const RegistryView view =
      classes.empty() ? inspect::ViewOf(inspect::ToolMachine(system)) : classes.front().first;
  for (const std::string& clsid : change.classes) classes.emplace_back(view, clsid);
  if (classes.empty()) return true;
  return std::any_of(classes.begin(), classes.end(), [&](const auto& each) {
    // Paths compared as the tool of the class's view wrote them, whatever this build's bitness.
    const inspect::Component file{
        .copy = change.target,
        .systemDir = paths::FolderOf(change.target),
        .registering = false,
        .tool = each.first == RegistryView::Bits64 ? inspect::Machine::X64 : inspect::Machine::X86};
    return std::any_of(std::begin(kHives), std::end(kHives), [&](RegistryRoot hive) {
      return inspect::ServedByCopy(system, file, hive, each.first, each.second);
    });
  });
}

// Whether another registration took the classes of the run's copy over since: one changed, and
// none leads to the copy. Every key the registration writes is then that registration's.
bool TakenOver(platform::System& system, const Change& change, const std::vector<KeyFound>& keys) {
  const bool classChanged = std::any_of(keys.begin(), keys.end(), [](const KeyFound& key) {
    return !key.runs && AsciiLower(key.before.key).starts_with("clsid\\");
  });
  return change.registered && classChanged && !ClassesLeadToFile(system, change);
}

// What Undo did to one file.
enum class Undone { Done, Kept, Failed };

// Puts the backup back or deletes the run's copy; a read-only attribute on the run's own copy,
// set since, is cleared first. True when there was nothing to do.
bool TakeFileStep(platform::System& system, UndoSteps& steps, const Change& change, bool copyBack,
                  bool deleteAdded, bool runs, const std::string& saved) {
  if (!copyBack && !deleteAdded) return true;
  platform::FileState state = system.StateOf(change.target);
  if (runs && state.readOnly) {
    state.readOnly = false;
    const platform::Status cleared = system.SetAttributes(change.target, state);
    if (!cleared.ok()) {
      steps.Begin("keep", change.target, "> Keeping file " + change.target);
      steps.Failed("its read-only attribute cannot be cleared: " + cleared.error().message);
      return false;
    }
  }
  return copyBack ? steps.CopyBack(saved, change.target) : steps.Delete(change.target);
}

Undone UndoFile(platform::System& system, SharedCounts& counts, UndoSteps& steps,
                const Change& change) {
  // Everything is checked before anything changes: a file Undo cannot finish stays untouched,
  // with its registration.
  if (change.shareUnreadable) {
    KeepingFile(steps, change.target,
                "a record of its shared count in the journal cannot be read, so Undo leaves it and "
                "its registration alone");
    return Undone::Failed;
  }
  const bool touched = change.backup || change.absent;
  const Found now = Look(system, change.target);
  if (now.unreadable) {
    KeepingFile(steps, change.target,
                "it cannot be read (" + now.unreadable->message +
                    "), so Undo leaves it and its registration alone");
    return Undone::Failed;
  }
  const std::optional<std::string> before =
      change.backup ? std::optional(change.backup->Field(2)) : std::nullopt;
  const bool runs = now.hash && std::find(change.copies.begin(), change.copies.end(), *now.hash) !=
                                    change.copies.end();
  const bool asBefore = !touched || now.hash == before;
  // Gone since the run deleted it, or renamed it aside while a program held it; a file someone
  // removed after the run's copy is not brought back.
  const bool removed = !now.exists && change.backup && change.movedAway;
  if (!runs && !asBefore && !removed) {
    KeepingFile(steps, change.target, "it changed since the run, so Undo leaves it alone");
    return Undone::Failed;
  }
  const std::string saved = change.backup ? change.backup->Field(1) : std::string();
  const bool copyBack = change.backup && !asBefore;
  const Found backup = copyBack ? Look(system, saved) : Found{};
  if (copyBack && backup.hash != before) {
    KeepingFile(steps, change.target,
                "the backup " + saved +
                    " is not the file the run saved (its SHA-256 differs), so it is not put back");
    return Undone::Failed;
  }
  const bool deleteAdded = change.absent && runs;
  const std::vector<CountWrite> shares = SharesToGiveBack(system, counts, change);
  // A file the run added stays where other programs count on it beyond the count before the
  // run, once the run's share is given back, looked up by the name and view the run's steps gave
  // it.
  if (deleteAdded) {
    const Share* first = change.shares.empty() ? nullptr : &change.shares.front();
    const RegistryView view = first ? first->view : inspect::ViewOf(inspect::ToolMachine(system));
    const std::string& name = first ? first->name : change.target;
    const std::uint32_t countBefore = first ? first->before.value_or(0) : 0;
    std::optional<std::uint32_t> count = counts.Read(name, view).value;
    for (const CountWrite& write : shares) {
      if (write.view == view && AsciiLower(write.name) == AsciiLower(name)) {
        count = write.count.value;
      }
    }
    if (count && *count > countBefore) {
      if (!GiveBackShares(counts, steps, change, shares)) return Undone::Failed;
      steps.Begin("keep", change.target, "> Keeping file " + change.target);
      steps.Note("its shared count is now " + std::to_string(*count) +
                 ": other installed programs count on it");
      return Undone::Kept;
    }
  }
  if (copyBack || deleteAdded) {
    const auto why = WhyFileStepFails(system, change.target, now.exists,
                                      copyBack ? std::optional(backup.bytes) : std::nullopt);
    if (why) {
      KeepingFile(steps, change.target, *why + ", so Undo leaves it and its registration alone");
      return Undone::Failed;
    }
  }
  // Unregistered only where one of its classes still leads to it: otherwise (another product took
  // them over, or the run's registration never made them lead there) regsvr32.exe /u would
  // delete keys the journal never saved, of whatever registration holds them now.
  const bool noneLeads = change.registered && runs && !ClassesLeadToFile(system, change);
  const bool unregistering = change.registered && runs && !noneLeads;
  if (noneLeads) {
    steps.Begin("registry", change.target, "> Not unregistering file " + change.target);
    steps.Note(
        "none of its classes leads to it, and regsvr32.exe /u would delete keys of theirs that "
        "the journal never saved");
  }
  // A file whose unregistration failed stays as it is, its classes pointing at it and its counts
  // as they are.
  if (unregistering && !steps.Registration(change.target, false)) return Undone::Failed;
  if (!TakeFileStep(system, steps, change, copyBack, deleteAdded, runs, saved)) {
    // The run's copy stays: not left without the registration its clients need.
    if (unregistering && File_Exists(system, change.target)) {
      steps.Note("the file stays as the run left it, so it is registered again");
      (void)steps.Registration(change.target, true);
    }
    return Undone::Failed;
  }
  // The file as it was is back: where its classes pointed at it, they do again.
  const bool toolRan = change.registered || change.unregistered;
  // Nor where none leads to the run's copy: the tool would take them from what holds them now.
  if (!change.absent && toolRan && !noneLeads && change.pointedBefore.value_or(true) &&
      File_Exists(system, change.target) && !steps.Registration(change.target, true)) {
    return Undone::Failed;
  }
  // Last, once the file is as before: the shares given back.
  return GiveBackShares(counts, steps, change, shares) ? Undone::Done : Undone::Failed;
}

// Why Undo must not act on what the journal says of a file: nothing of it is done where it names
// what no run writes.
std::optional<std::string> Outside(const platform::System& system,
                                   const paths::WindowsFolders& folders, const std::string& folder,
                                   const Change& change) {
  if (!folders.InSystemFolder(system, change.target)) {
    return "it lies in no system directory, so no run changed it: Undo leaves it alone";
  }
  if (change.backup && !paths::InFolder(system, change.backup->Field(1), folder)) {
    return "its backup " + change.backup->Field(1) +
           " lies outside the run's folder, so it is not put back: Undo leaves the file alone";
  }
  for (const KeyState& state : change.keys) {
    if (!IsClassKey(state.key)) {
      return "the journal names the registry key " + state.key +
             ", which no registration of it writes: Undo leaves the file alone";
    }
  }
  return std::nullopt;
}

}  // namespace

void UndoRun(platform::System& system, const paths::WindowsFolders& folders, UndoSteps& steps,
             const std::string& folder) {
  std::size_t unreadable = 0;
  const std::vector<Record> records = ReadJournal(system, folder, &unreadable);
  steps.Begin("undo", folder, "> Undoing the run of " + folder);
  if (records.empty()) {
    steps.Failed(WhyNoRecords(system, folder));
    return steps.Note("an older run is undone by naming it: kalvenor.exe /undo <its folder>");
  }
  if (const auto refused = WhyNotUndo(system.App(), records)) return steps.Failed(*refused);
  if (unreadable) {
    steps.Failed(std::to_string(unreadable) + " lines of its journal cannot be read: what " +
                 "they record is not undone");
  }
  if (WasUndone(records)) return steps.Failed("it was undone already");
  const Journaled journaled = ChangesOf(records, inspect::ViewOf(inspect::ToolMachine(system)));
  Writer journal(system, folder);
  SharedCounts counts(system);
  bool complete = unreadable == 0;
  // Newest first; the keys as Undo finds them, before its registrations rewrite them.
  struct File {
    const Change& change;
    std::optional<std::string> outside;
    std::vector<KeyFound> keys;
    Undone undone = Undone::Failed;
  };
  std::vector<File> files;
  for (auto change = journaled.changes.rbegin(); change != journaled.changes.rend(); ++change) {
    if (change->undone) continue;
    File& file = files.emplace_back(File{*change, Outside(system, folders, folder, *change)});
    if (!file.outside)
      file.keys = FindKeys(system, change->keys, journaled.left, journaled.changed);
    if (!file.outside && TakenOver(system, *change, file.keys)) {
      for (KeyFound& key : file.keys) key.runs = false;
    }
  }
  // Before the first step: what another registration changed stays so for a later Undo too, and
  // the keys Undo's tools may write are the run's for one cut short.
  std::vector<Record> ahead;
  if (!journaled.left.empty() && !journaled.changed) {
    for (const File& file : files) {
      for (Record& record : ChangedRecords(file.keys)) ahead.push_back(std::move(record));
    }
    if (ahead.empty()) ahead.push_back({kinds::kChangedSince, {}});
  }
  for (const File& file : files) {
    for (Record& record : LeftRecords(system, file.change.target, file.keys, true)) {
      ahead.push_back(std::move(record));
    }
  }
  if (platform::Status written = journal.Write(ahead); !written.ok()) {
    return steps.Failed("what Undo finds cannot be written into the run's journal (" +
                        written.error().message + "), so Undo takes no step");
  }
  for (File& file : files) {
    if (file.outside) {
      KeepingFile(steps, file.change.target, *file.outside);
    } else {
      file.undone = UndoFile(system, counts, steps, file.change);
    }
    complete = complete && file.undone != Undone::Failed;
    if (file.undone == Undone::Kept) {
      (void)journal.Write({{kinds::kFileUndone, {file.change.target}}});
    }
  }
  // The registry last: every registration Undo runs may have rewritten keys others share.
  for (const File& file : files) {
    if (file.undone == Undone::Kept) continue;
    const bool undone = file.undone == Undone::Done;
    const bool restored = RestoreKeys(system, steps, file.change.target, file.keys, undone);
    // The run's keys as this Undo left them: an Undo that runs again takes for the run's only
    // those that still hold that.
    std::vector<Record> records = LeftRecords(system, file.change.target, file.keys, false);
    if (restored && undone) records.push_back({kinds::kFileUndone, {file.change.target}});
    platform::Status marked = journal.Write(records);
    complete = complete && restored && undone && marked.ok();
  }
  // An Undo that could not finish leaves the run to be undone again: a retry does what is left.
  if (!complete) return;
  platform::Status marked = journal.Write({{kinds::kUndone, {}}});
  if (!marked.ok()) steps.Failed("it cannot be marked undone: " + marked.error().message);
}

}  // namespace kalvenor::journal
