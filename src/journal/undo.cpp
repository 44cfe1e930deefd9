#include "journal/undo.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <vector>

#include "journal/journal.h"
#include "journal/recorder.h"
#include "lib/lib_filesystem.h"
#include "lib/text.h"

namespace kalvenor::journal {
namespace {

// What the run did to one file, gathered from its records.
struct Change {
  std::string target;
  std::optional<Record> backup;     // the file as it was before the run's first step on it
  bool absent = false;              // there was none
  std::vector<std::string> copies;  // SHA-256 of what the run's copies put there
  bool registered = false, unregistered = false;
  std::optional<bool> pointedBefore;       // a class pointed at it; unknown without a type library
  std::optional<std::string> countBefore;  // "-" for none
};

std::vector<Change> ChangesOf(const std::vector<Record>& records) {
  std::vector<Change> changes;
  auto of = [&](const std::string& target) -> Change& {
    auto found = std::find_if(changes.begin(), changes.end(), [&](const Change& change) {
      return AsciiLower(change.target) == AsciiLower(target);
    });
    if (found != changes.end()) return *found;
    return changes.emplace_back(Change{target});
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
    } else if (record.kind == kinds::kRegister) {
      of(target).registered = true;
    } else if (record.kind == kinds::kUnregister) {
      of(target).unregistered = true;
    } else if (record.kind == kinds::kRegistered) {
      Change& change = of(target);
      if (!change.pointedBefore) change.pointedBefore = record.Field(1) == "1";
    } else if (record.kind == kinds::kCount) {
      Change& change = of(target);
      if (!change.countBefore) change.countBefore = record.Field(1);
    }
  }
  return changes;
}

std::optional<std::string> HashOf(platform::System& system, const std::string& path) {
  if (!File_Exists(system, path)) return std::nullopt;
  auto hash = Sha256Of(system, path);
  return hash.ok() ? std::optional(hash.value()) : std::nullopt;
}

std::optional<std::uint32_t> CountOf(std::string_view text) {
  std::uint32_t count = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return count;
}

void Undo(platform::System& system, UndoSteps& steps, const Change& change) {
  const bool touched = change.backup || change.absent;
  const std::optional<std::string> now = HashOf(system, change.target);
  const std::optional<std::string> before =
      change.backup ? std::optional(change.backup->Field(2)) : std::nullopt;
  const bool runs =
      now && std::find(change.copies.begin(), change.copies.end(), *now) != change.copies.end();
  const bool asBefore = !touched || now == before;
  // Gone since the run deleted it, or renamed it aside while a program held it.
  const bool removed = !now && change.backup;
  if (!runs && !asBefore && !removed) {
    steps.Log("> Keeping file " + change.target);
    steps.Log("|      it changed since the run, so Undo leaves it alone");
    return;
  }
  if (change.registered && runs) steps.Registration(change.target, false);
  bool restored = asBefore;
  if (change.backup && !asBefore) {
    const std::string& saved = change.backup->Field(1);
    if (HashOf(system, saved) != before) {
      steps.Log("> Keeping file " + change.target);
      steps.Failed("the backup " + saved +
                   " is not the file the run saved (its SHA-256 differs), so it is not put back");
      return;
    }
    restored = steps.CopyBack(saved, change.target);
  } else if (change.absent && runs) {
    steps.Delete(change.target);
  }
  // The file as it was is back: where its classes pointed at it, they do again.
  const bool toolRan = change.registered || change.unregistered;
  if (restored && !change.absent && toolRan && change.pointedBefore.value_or(true) &&
      File_Exists(system, change.target)) {
    steps.Registration(change.target, true);
  }
  if (change.countBefore) {
    const std::optional<std::uint32_t> count = CountOf(*change.countBefore);
    steps.Log(count ? "> Restoring shared count of " + change.target + " to " + *change.countBefore
                    : "> Removing shared count of " + change.target);
    platform::Status set = SetSharedCount(system, change.target, count);
    if (!set.ok()) steps.Failed(set.error().message);
  }
}

}  // namespace

void UndoRun(platform::System& system, UndoSteps& steps, const std::string& folder) {
  std::size_t unreadable = 0;
  const std::vector<Record> records = ReadJournal(system, folder, &unreadable);
  steps.Log("> Undoing the run of " + folder);
  if (const auto refused = WhyNotUndo(system.App(), records)) return steps.Failed(*refused);
  if (unreadable) {
    steps.Failed(std::to_string(unreadable) + " lines of its journal cannot be read: what " +
                 "they record is not undone");
  }
  if (records.empty() || WasUndone(records)) {
    steps.Failed(records.empty() ? "its journal holds nothing to undo" : "it was undone already");
    return;
  }
  const std::vector<Change> changes = ChangesOf(records);
  for (auto change = changes.rbegin(); change != changes.rend(); ++change) {
    Undo(system, steps, *change);
  }
  platform::Status marked = Writer(system, folder).Write({{kinds::kUndone, {}}});
  if (!marked.ok()) steps.Failed("it cannot be marked undone: " + marked.error().message);
}

}  // namespace kalvenor::journal
