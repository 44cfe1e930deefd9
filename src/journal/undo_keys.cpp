#include "journal/undo_keys.h"

#include <algorithm>

#include "base/text.h"
#include "inspect/verification.h"
#include "platform/registry_strings.h"

namespace kalvenor::journal {
namespace {

using platform::RegistryRoot;
using platform::RegistryTree;

std::string KeyName(const KeyState& state) {
  const char* root =
      state.hive == RegistryRoot::MachineClasses ? "HKEY_LOCAL_MACHINE\\Software\\Classes\\"
      : state.hive == RegistryRoot::UserClasses  ? "HKEY_CURRENT_USER\\Software\\Classes\\"
                                                 : "HKEY_CLASSES_ROOT\\";
  return root + state.key;
}

// The class a ProgID's tree names, in lower case.
std::string ClassNamed(const RegistryTree& progId) {
  for (const platform::RegistryValue& value : progId.values) {
    if (AsciiLower(value.key) == "clsid" && value.name.empty()) {
      return AsciiLower(platform::StringText(value.data));
    }
  }
  return {};
}

}  // namespace

KeyId IdOf(RegistryRoot hive, platform::RegistryView view, std::string_view key) {
  return {hive, view, AsciiLower(key)};
}

bool IsClassKey(std::string_view key) {
  const std::string lower = AsciiLower(key);
  for (const std::string_view holder : {"clsid\\", "interface\\", "typelib\\"}) {
    if (lower.starts_with(holder)) {
      const std::string_view name = std::string_view(lower).substr(holder.size());
      return !name.empty() && name.find('\\') == std::string_view::npos;
    }
  }
  return inspect::IsProgIdName(key);
}

std::vector<KeyFound> FindKeys(const platform::System& system, const std::vector<KeyState>& keys,
                               const LeftKeys& left, const ChangedKeys& changed) {
  auto leftAs = [&](const KeyState& state) -> std::optional<std::string> {
    const auto found = left.find(IdOf(state.hive, state.view, state.key));
    return found == left.end() ? std::nullopt : std::optional(found->second);
  };
  // Still as the run's tools left it, or an earlier Undo that gave it back; never one that Undo
  // found changed by another registration.
  auto runs = [&](const KeyFound& key) {
    if (changed && changed->contains(IdOf(key.before.hive, key.before.view, key.before.key))) {
      return false;
    }
    return !key.left || TreeDigest(key.found) == *key.left;
  };
  std::vector<KeyFound> found;
  for (const KeyState& state : keys) {
    KeyFound key{state, leftAs(state)};
    // One that cannot be read goes back as it stood, as with older journals.
    auto now = system.ReadRegistryTree(state.hive, state.view, state.key);
    // Unread after the tool and now: nothing tells what it holds, so Undo does not touch it.
    if (!now.ok() && key.left == kinds::kUnread) continue;
    if (now.ok()) key.found = std::move(now.value());
    key.runs = !now.ok() || runs(key);
    found.push_back(std::move(key));
  }
  // The ProgIDs of the classes as the run left them: those the run kept go back as they stood,
  // the others stay, since how they stood is not known. Never a key a class's value merely names.
  const std::size_t classes = found.size();
  for (std::size_t i = 0; i < classes; ++i) {
    if (!found[i].runs || !found[i].found ||
        !AsciiLower(found[i].before.key).starts_with("clsid\\")) {
      continue;
    }
    const KeyState owner = found[i].before;
    for (const std::string& progId : inspect::ProgIdsIn(*found[i].found)) {
      const KeyState added{owner.hive, owner.view, progId, std::nullopt};
      const bool kept = std::any_of(found.begin(), found.end(), [&](const KeyFound& key) {
        return IdOf(key.before.hive, key.before.view, key.before.key) ==
               IdOf(added.hive, added.view, added.key);
      });
      auto now = system.ReadRegistryTree(added.hive, added.view, added.key);
      if (kept || !now.ok() || !now.value()) continue;
      const bool pointsBack = ClassNamed(*now.value()) == AsciiLower(owner.key.substr(6));
      KeyFound key{added, leftAs(added), false, std::move(now.value()), true};
      // Older journals know no more: one that names another class is not the run's.
      if (!key.left && !pointsBack) continue;
      found.push_back(std::move(key));
    }
  }
  return found;
}

bool RestoreKeys(platform::System& system, UndoSteps& steps, const std::string& target,
                 const std::vector<KeyFound>& keys, bool restore) {
  std::vector<std::pair<const KeyFound*, const std::optional<RegistryTree>*>> writes;
  std::size_t others = 0;
  std::set<std::string> restored;  // by name: a key both views share counts once
  for (const KeyFound& key : keys) {
    if (key.runs && !restore) continue;
    others += key.runs ? 0 : 1;
    const std::optional<RegistryTree>& wanted = key.runs ? key.before.tree : key.found;
    auto now = system.ReadRegistryTree(key.before.hive, key.before.view, key.before.key);
    if (now.ok() && TreeDigest(now.value()) == TreeDigest(wanted)) continue;
    writes.emplace_back(&key, &wanted);
    if (key.runs) restored.insert(AsciiLower(KeyName(key.before)));
  }
  if (restored.empty() && others == 0) return true;
  steps.Begin("registry", target, "> Restoring registry keys of " + target);
  if (!restored.empty()) {
    steps.Note(std::to_string(restored.size()) +
               " of the keys it registers, as they stood before " + "the run");
  }
  // A key both views share is kept in each: one note of it.
  std::set<std::string> noted;
  for (const KeyFound& key : keys) {
    if (key.runs || !noted.insert(AsciiLower(KeyName(key.before))).second) continue;
    if (key.unknown) {
      steps.Note(KeyName(key.before) + " was not saved before the run, so it stays as Undo " +
                 "found it");
    } else if (key.left == kinds::kUnread) {
      steps.Note(KeyName(key.before) + " could not be read once the tool had ended, so it " +
                 "stays as Undo found it");
    } else {
      steps.Note("another registration changed " + KeyName(key.before) +
                 " since the run, so it stays as Undo found it");
    }
  }
  bool done = true;
  for (const auto& [key, wanted] : writes) {
    platform::Status written =
        system.WriteRegistryTree(key->before.hive, key->before.view, key->before.key, *wanted);
    if (!written.ok()) {
      steps.Failed(KeyName(key->before) + " cannot be put back: " + written.error().message);
      done = false;
    }
  }
  return done;
}

std::vector<Record> LeftRecords(const platform::System& system, const std::string& target,
                                const std::vector<KeyFound>& keys, bool toolsAhead) {
  std::vector<Record> records;
  for (const KeyFound& key : keys) {
    if (!key.runs) continue;
    std::string digest = kinds::kToolRunning;
    if (!toolsAhead) {
      auto now = system.ReadRegistryTree(key.before.hive, key.before.view, key.before.key);
      digest = now.ok() ? TreeDigest(now.value()) : kinds::kUnread;
    }
    records.push_back({kinds::kLeft,
                       {target, HiveText(key.before.hive), ViewText(key.before.view),
                        key.before.key, std::move(digest)}});
  }
  return records;
}

std::vector<Record> ChangedRecords(const std::vector<KeyFound>& keys) {
  std::vector<Record> records;
  for (const KeyFound& key : keys) {
    if (key.runs || key.unknown) continue;
    records.push_back({kinds::kChangedSince,
                       {HiveText(key.before.hive), ViewText(key.before.view), key.before.key}});
  }
  return records;
}

}  // namespace kalvenor::journal
