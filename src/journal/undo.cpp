#include "journal/undo.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <tuple>
#include <vector>

#include "base/text.h"
#include "inspect/verification.h"
#include "journal/journal.h"
#include "journal/shares.h"
#include "lib/lib_filesystem.h"

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

// A registry key as it stood before the run's first step on it; no tree when it did not exist.
struct KeyState {
  RegistryView view = RegistryView::Bits32;
  std::string key;
  std::optional<RegistryTree> tree;
};

// What the run did to one file, gathered from its records.
struct Change {
  std::string target;
  std::optional<Record> backup;     // the file as it was before the run's first step on it
  bool absent = false;              // there was none
  std::vector<std::string> copies;  // SHA-256 of what the run's copies put there
  bool registered = false, unregistered = false;
  std::optional<bool> pointedBefore;       // a class pointed at it; unknown without a type library
  std::optional<std::string> countBefore;  // older journals: the count before, "-" for none
  std::vector<Share> shares;
  bool shareUnreadable = false;  // a share record with a field not as the run writes it
  std::vector<KeyState> keys;    // what its tool may have changed in the registry
  bool undone = false;           // an earlier Undo finished with it
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

std::vector<Change> ChangesOf(const std::vector<Record>& records, RegistryView ownView) {
  std::vector<Change> changes;
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
  auto pendingKey = [&](const Record& record) -> KeyState* {
    const auto view = ViewFromText(record.Field(0));
    for (auto& [target, state] : pending) {
      if (view == state.view && AsciiLower(state.key) == AsciiLower(record.Field(1))) return &state;
    }
    return nullptr;
  };
  for (const Record& record : records) {
    const std::string& target = record.Field(0);
    if (record.kind == kinds::kBackup) {
      Change& change = of(target);
      if (!change.backup && !change.absent) change.backup = record;
    } else if (record.kind == kinds::kAbsent) {
      Change& change = of(target);
      if (!change.backup) change.absent = true;
    } else if (record.kind == kinds::kCopy) {
      of(target).copies.push_back(record.Field(1));
    } else if (record.kind == kinds::kRegister || record.kind == kinds::kUnregister) {
      Change& change = of(target);
      (record.kind == kinds::kRegister ? change.registered : change.unregistered) = true;
      for (auto& [owner, state] : pending) of(owner).keys.push_back(std::move(state));
      pending.clear();
    } else if (record.kind == kinds::kRegistered) {
      Change& change = of(target);
      if (!change.pointedBefore) change.pointedBefore = record.Field(1) == "1";
    } else if (record.kind == kinds::kCount) {
      Change& change = of(target);
      if (!change.countBefore) change.countBefore = record.Field(1);
    } else if (record.kind == kinds::kShare) {
      Change& change = of(target);
      if (std::optional<Share> share = ShareOf(record, ownView)) {
        change.shares.push_back(std::move(*share));
      } else {
        change.shareUnreadable = true;
      }
    } else if (record.kind == kinds::kKey) {
      if (const auto view = ViewFromText(record.Field(1))) {
        KeyState state{*view, record.Field(2), std::nullopt};
        if (record.Field(3) == "1") state.tree = RegistryTree{{""}, {}};
        pending.emplace_back(target, std::move(state));
      }
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
  return changes;
}

// The file as Undo finds it: missing, its SHA-256, or why it cannot be read.
struct Found {
  bool exists = false;
  std::optional<std::string> hash;
  std::optional<platform::SystemError> unreadable;
};
Found Look(platform::System& system, const std::string& path) {
  if (!File_Exists(system, path)) return {};
  auto hash = Sha256Of(system, path);
  if (!hash.ok()) return {true, std::nullopt, hash.error()};
  return {true, hash.value(), std::nullopt};
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

// Gives back what the run did to the shared counts, never setting an old number: others may
// have counted the file meanwhile.
bool GiveBackShares(platform::System& system, SharedCounts& counts, UndoSteps& steps,
                    const Change& change) {
  for (auto share = change.shares.rbegin(); share != change.shares.rend(); ++share) {
    const SharedCount now = counts.Read(share->name, share->view);
    SharedCount undone = now;
    if (share->heldAfter && !share->heldBefore) {
      if (!now.held) continue;  // the run ended before it took the share
      // The run's own share goes; one left over a count the run made is the install that
      // found the file in place, which had no count before either.
      if (now.value) {
        const std::uint32_t left = *now.value - 1;
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
    if (undone.value != now.value) LogCount(steps, change.target, undone.value);
    platform::Status set = counts.Write(share->name, undone, share->view);
    if (!set.ok()) {
      steps.Failed(set.error().message);
      return false;
    }
  }
  // Older journals kept the count before the run.
  if (change.countBefore) {
    const std::optional<std::uint32_t> count = CountFromText(*change.countBefore);
    LogCount(steps, change.target, count);
    const RegistryView view = inspect::ViewOf(inspect::ToolMachine(system));
    const SharedCount old{change.target, count, counts.Read(change.target, view).held};
    platform::Status set = counts.Write(change.target, old, view);
    if (!set.ok()) {
      steps.Failed(set.error().message);
      return false;
    }
  }
  return true;
}

// What Undo did to one file.
enum class Undone { Done, Kept, Failed };

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
  // Gone since the run deleted it, or renamed it aside while a program held it.
  const bool removed = !now.exists && change.backup;
  if (!runs && !asBefore && !removed) {
    KeepingFile(steps, change.target, "it changed since the run, so Undo leaves it alone");
    return Undone::Failed;
  }
  const std::string saved = change.backup ? change.backup->Field(1) : std::string();
  if (change.backup && !asBefore && Look(system, saved).hash != before) {
    KeepingFile(steps, change.target,
                "the backup " + saved +
                    " is not the file the run saved (its SHA-256 differs), so it is not put back");
    return Undone::Failed;
  }

  if (!GiveBackShares(system, counts, steps, change)) return Undone::Failed;
  // A file the run added stays where other programs count on it now.
  if (change.absent && runs) {
    const RegistryView view = change.shares.empty() ? inspect::ViewOf(inspect::ToolMachine(system))
                                                    : change.shares.back().view;
    const std::string& name = change.shares.empty() ? change.target : change.shares.back().name;
    if (const auto count = counts.Read(name, view).value) {
      steps.Begin("keep", change.target, "> Keeping file " + change.target);
      steps.Note("its shared count is now " + std::to_string(*count) +
                 ": other installed programs count on it");
      return Undone::Kept;
    }
  }
  bool done = true;
  if (change.registered && runs) done = steps.Registration(change.target, false) && done;
  bool restored = asBefore;
  if (change.backup && !asBefore) {
    restored = steps.CopyBack(saved, change.target);
    done = done && restored;
  } else if (change.absent && runs) {
    done = steps.Delete(change.target) && done;
  }
  // The file as it was is back: where its classes pointed at it, they do again.
  const bool toolRan = change.registered || change.unregistered;
  if (restored && !change.absent && toolRan && change.pointedBefore.value_or(true) &&
      File_Exists(system, change.target)) {
    done = steps.Registration(change.target, true) && done;
  }
  return done ? Undone::Done : Undone::Failed;
}

// A tree in one order, names without letter case, so that two reads of one key compare equal.
RegistryTree Sorted(RegistryTree tree) {
  for (std::string& key : tree.keys) key = AsciiLower(key);
  std::sort(tree.keys.begin(), tree.keys.end());
  auto order = [](const platform::RegistryValue& value) {
    return std::tuple(AsciiLower(value.key), AsciiLower(value.name));
  };
  std::sort(tree.values.begin(), tree.values.end(),
            [&](const auto& a, const auto& b) { return order(a) < order(b); });
  return tree;
}

bool Same(const std::optional<RegistryTree>& a, const std::optional<RegistryTree>& b) {
  if (!a || !b) return !a && !b;
  const RegistryTree x = Sorted(*a), y = Sorted(*b);
  if (x.keys != y.keys || x.values.size() != y.values.size()) return false;
  for (std::size_t i = 0; i < x.values.size(); ++i) {
    const auto &p = x.values[i], &q = y.values[i];
    if (AsciiLower(p.key) != AsciiLower(q.key) || AsciiLower(p.name) != AsciiLower(q.name) ||
        p.type != q.type || p.data != q.data) {
      return false;
    }
  }
  return true;
}

// The keys the file registers, as they stood before the run, whatever order the
// registrations of the run and of Undo wrote them in; ProgIDs that the run's registration added
// for its classes go.
bool RestoreKeys(platform::System& system, UndoSteps& steps, const Change& change) {
  std::vector<KeyState> wanted = change.keys;
  auto kept = [&](RegistryView view, const std::string& key) {
    return std::any_of(wanted.begin(), wanted.end(), [&](const KeyState& state) {
      return state.view == view && AsciiLower(state.key) == AsciiLower(key);
    });
  };
  for (const KeyState& state : change.keys) {
    if (!AsciiLower(state.key).starts_with("clsid\\")) continue;
    const std::string clsid = AsciiLower(state.key.substr(6));
    for (const std::string& progId : inspect::ProgIdsOf(system, state.view, state.key)) {
      const auto pointsBack =
          system.RegistryString(RegistryRoot::ClassesRoot, state.view, progId + "\\CLSID", "");
      if (!kept(state.view, progId) && pointsBack && AsciiLower(*pointsBack) == clsid) {
        wanted.push_back({state.view, progId, std::nullopt});
      }
    }
  }
  std::vector<const KeyState*> changed;
  for (const KeyState& state : wanted) {
    auto now = system.ReadRegistryTree(RegistryRoot::ClassesRoot, state.view, state.key);
    if (!now.ok() || !Same(now.value(), state.tree)) changed.push_back(&state);
  }
  if (changed.empty()) return true;
  steps.Begin("registry", change.target, "> Restoring registry keys of " + change.target);
  steps.Note(std::to_string(changed.size()) + " of the keys it registers, as they stood before " +
             "the run");
  bool done = true;
  for (const KeyState* state : changed) {
    platform::Status written =
        system.WriteRegistryTree(RegistryRoot::ClassesRoot, state->view, state->key, state->tree);
    if (!written.ok()) {
      steps.Failed("HKEY_CLASSES_ROOT\\" + state->key +
                   " cannot be put back: " + written.error().message);
      done = false;
    }
  }
  return done;
}

}  // namespace

void UndoRun(platform::System& system, UndoSteps& steps, const std::string& folder) {
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
  const std::vector<Change> changes =
      ChangesOf(records, inspect::ViewOf(inspect::ToolMachine(system)));
  Writer journal(system, folder);
  SharedCounts counts(system);
  bool complete = unreadable == 0;
  std::vector<const Change*> done;
  for (auto change = changes.rbegin(); change != changes.rend(); ++change) {
    if (change->undone) continue;
    const Undone undone = UndoFile(system, counts, steps, *change);
    complete = complete && undone != Undone::Failed;
    if (undone == Undone::Done) {
      done.push_back(&*change);
    } else if (undone == Undone::Kept) {
      (void)journal.Write({{kinds::kFileUndone, {change->target}}});
    }
  }
  // The registry last: every registration Undo runs may have rewritten keys others share.
  for (const Change* change : done) {
    if (!RestoreKeys(system, steps, *change)) {
      complete = false;
      continue;
    }
    platform::Status marked = journal.Write({{kinds::kFileUndone, {change->target}}});
    if (!marked.ok()) complete = false;
  }
  // An Undo that could not finish leaves the run to be undone again: a retry does what is left.
  if (!complete) return;
  platform::Status marked = journal.Write({{kinds::kUndone, {}}});
  if (!marked.ok()) steps.Failed("it cannot be marked undone: " + marked.error().message);
}

}  // namespace kalvenor::journal
