#pragma once
// The registry keys of an Undo: each key a run's tools may have written goes back to how it stood
// before the run where it still holds what the run left, and stays as Undo found it where another
// registration changed it since.

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "journal/journal.h"
#include "journal/undo.h"
#include "platform/system.h"

namespace kalvenor::journal {

// A registry key as it stood before the run's first step on it; no tree when it did not exist.
struct KeyState {
  platform::RegistryRoot hive = platform::RegistryRoot::ClassesRoot;  // older journals: HKCR
  platform::RegistryView view = platform::RegistryView::Bits32;
  std::string key;
  std::optional<platform::RegistryTree> tree;
};

// Each key as the run's tools left it, its TreeDigest, by hive, view and key in lower case.
using KeyId = std::tuple<platform::RegistryRoot, platform::RegistryView, std::string>;
KeyId IdOf(platform::RegistryRoot hive, platform::RegistryView view, std::string_view key);
using LeftKeys = std::map<KeyId, std::string>;
// The keys an earlier Undo of the run found changed by another registration, where one began.
using ChangedKeys = std::optional<std::set<KeyId>>;

// Whether a journal's key is one that registrations write: a class, an interface or a type
// library of HKCR, or a ProgID.
bool IsClassKey(std::string_view key);

// A key Undo answers for, as it found it before its own steps, which rewrite keys.
struct KeyFound {
  KeyState before;
  std::optional<std::string> left;  // as the run's tools left it; unknown to older journals
  bool runs = true;  // it still holds that, and goes back to how it stood before the run
  std::optional<platform::RegistryTree> found;  // otherwise it stays so
  bool unknown = false;  // the run did not keep it: how it stood before is not known
};

// The keys of one file as Undo finds them; with them the ProgIDs that its classes going back
// name, which the run did not keep and which stay as Undo finds them.
std::vector<KeyFound> FindKeys(const platform::System& system, const std::vector<KeyState>& keys,
                               const LeftKeys& left, const ChangedKeys& changed);

// Once Undo's steps on the file are done: the keys another registration changed as Undo found
// them, each with a note, and, where `restore`, the run's as they stood before the run. False,
// with a failed line, where a key cannot be written.
bool RestoreKeys(platform::System& system, UndoSteps& steps, const std::string& target,
                 const std::vector<KeyFound>& keys, bool restore);

// The run's keys as Undo left them, as `left` records of `target`, for a later Undo of the run;
// with `toolsAhead`, before Undo's steps, whose tools may write any of them: an Undo cut short
// there leaves them the run's.
std::vector<Record> LeftRecords(const platform::System& system, const std::string& target,
                                const std::vector<KeyFound>& keys, bool toolsAhead);

// The records of the keys another registration changed, for a later Undo of the run.
std::vector<Record> ChangedRecords(const std::vector<KeyFound>& keys);

}  // namespace kalvenor::journal
