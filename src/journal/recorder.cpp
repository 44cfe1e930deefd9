#include "journal/recorder.h"

#include <set>

#include "base/sha256.h"
#include "base/text.h"
#include "inspect/pe_image.h"
#include "inspect/verification.h"
#include "lib/lib_filesystem.h"
#include "platform/registry_views.h"

namespace kalvenor::journal {
namespace {

std::string HexOf(const std::vector<std::byte>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const std::byte b : bytes) {
    hex += kDigits[std::to_integer<unsigned>(b) >> 4];
    hex += kDigits[std::to_integer<unsigned>(b) & 0xF];
  }
  return hex;
}

Record ShareRecord(const std::string& target, const ShareChange& change) {
  return {
      kinds::kShare,
      {target, change.before.name, CountText(change.before.value), CountText(change.after.value),
       change.before.held ? "1" : "0", change.after.held ? "1" : "0", ViewText(change.view)}};
}

}  // namespace

platform::Result<SetAside> SetAsideInUse(platform::System& system, const std::string& target) {
  SetAside setAside{target + ".kalvenor-old", system.ProgramsUsing(target), std::nullopt};
  for (int n = 2; File_Exists(system, setAside.aside); ++n) {
    setAside.aside = target + ".kalvenor-old" + std::to_string(n);
  }
  platform::Status renamed = system.Rename(target, setAside.aside);
  if (!renamed.ok()) return renamed.error();
  return setAside;
}

void DeleteAtRestart(platform::System& system, SetAside& setAside) {
  platform::Status scheduled = system.DeleteAtRestart(setAside.aside);
  if (!scheduled.ok()) setAside.notScheduled = scheduled.error();
}

platform::Status Recorder::Begin(const std::string& runKind, const std::string& systemDir) {
  writer_.reset();
  toolAhead_.clear();
  keptKeys_.clear();
  keeping_.clear();
  footprint_ = {};
  classesByFile_.clear();
  namesBefore_.clear();
  Store store(system_);
  auto folder = store.NewRun();
  prunedNotUndone_ = store.PrunedNotUndone();
  if (!folder.ok()) return folder.error();
  Writer writer(system_, folder.value());
  // Undo by the other build would look into the other system directory and registry view.
  platform::Status written =
      writer.Write({{kinds::kRun, {runKind, systemDir, std::to_string(system_.App().bits)}}});
  if (!written.ok()) {
    // Undo's refusal of the run says why from it; without it, the folder alone still refuses.
    (void)system_.WriteNew(folder.value() + "\\" + kNoJournalName, "");
    return written;
  }
  writer_.emplace(std::move(writer));
  return platform::Done{};
}

const std::string& Recorder::Folder() const { return writer_->Folder(); }

// The records of one step go to the disk together, before the step: one flush a step.
platform::Status Recorder::Write(const std::vector<Record>& records) {
  if (!writer_) return platform::Done{};
  platform::Status written = writer_->Write(records);
  // A key counts as kept only once its records are on the disk.
  if (written.ok()) keptKeys_.merge(keeping_);
  keeping_.clear();
  if (written.ok()) return written;
  return platform::SystemError{written.error().code,
                               "the run's journal cannot be written: " + written.error().message};
}

platform::Result<Record> Recorder::BackUp(const std::string& target,
                                          std::optional<platform::FileVersion>* version) {
  if (!File_Exists(system_, target)) return Record{kinds::kAbsent, {target}};
  auto backup = writer_->Backup(target, version);
  if (!backup.ok()) {
    return platform::SystemError{backup.error().code,
                                 "the file cannot be backed up: " + backup.error().message};
  }
  return std::move(backup.value());
}

platform::Result<Recorder::CopyRecorded> Recorder::BeforeCopy(const CopyBeside& copy,
                                                              const std::string& target,
                                                              const AfterCopy& after) {
  if (!writer_) return CopyRecorded{!File_Exists(system_, target), std::nullopt};
  std::optional<platform::FileVersion> replaced;
  auto saved = BackUp(target, &replaced);
  if (!saved.ok()) return saved.error();
  const bool absent = saved.value().kind == kinds::kAbsent;
  std::vector<Record> records{std::move(saved.value()), {kinds::kCopy, {target, copy.sha256}}};
  if (after.share) records.push_back(ShareRecord(target, *after.share));
  // The copy brings these bytes: the tool's records are read from them.
  if (after.tool) AddToolRecords(*after.tool, &copy.head, records);
  platform::Status written = Write(records);
  if (!written.ok()) return written.error();
  if (after.tool) toolAhead_ = target;
  CopyRecorded recorded{absent, std::nullopt};
  const auto image = inspect::ReadPeImage(copy.head);
  if (replaced && image && image->version && *replaced > *image->version) {
    recorded.downgrade = Downgrade{*replaced, *image->version};
  }
  return recorded;
}

platform::Status Recorder::BeforeReplacingNew(const std::string& target) {
  if (!writer_) return platform::Done{};
  auto saved = BackUp(target);
  if (!saved.ok()) return saved.error();
  return Write({std::move(saved.value())});
}

platform::Status Recorder::BeforeSetAside(const std::string& target) {
  return Write({{kinds::kSetAside, {target}}});
}

platform::Status Recorder::BeforeDelete(const std::string& target) {
  if (!writer_ || !File_Exists(system_, target)) return platform::Done{};
  auto saved = BackUp(target);
  if (!saved.ok()) return saved.error();
  return Write({std::move(saved.value()), {kinds::kDelete, {target}}});
}

platform::Status Recorder::BeforeTool(const inspect::Component& component) {
  if (!writer_) return platform::Done{};
  if (std::exchange(toolAhead_, {}) == component.copy) return platform::Done{};
  std::vector<Record> records;
  AddToolRecords(component, nullptr, records);
  return Write(records);
}

void Recorder::AddToolRecords(const inspect::Component& component,
                              const std::vector<std::byte>* image, std::vector<Record>& records) {
  // Without a type library there is nothing to read: Undo then takes the file for registered.
  inspect::RegistrationBefore before = inspect::ReadRegistrationBefore(system_, component, image);
  const std::vector<inspect::ClassServer>& servers = before.servers;
  bool pointed = false;
  for (const inspect::ClassServer& server : servers) {
    pointed = pointed || server.toCopy;
    records.push_back({kinds::kClass, {component.copy, server.clsid, server.server}});
  }
  if (!servers.empty())
    records.push_back({kinds::kRegistered, {component.copy, pointed ? "1" : "0"}});
  KeepKeys(component.copy, std::move(before.footprint), records);
  // Last: Undo trusts the records before it only when it is there.
  records.push_back(
      {component.registering ? kinds::kRegister : kinds::kUnregister, {component.copy}});
}

void Recorder::KeepKeys(const std::string& target, inspect::RegistryFootprint footprint,
                        std::vector<Record>& records) {
  for (const std::string& clsid : ClassesOf(footprint.view, AsciiLower(File_GetName(target)))) {
    const std::string key = "CLSID\\" + clsid;
    footprint.keys.push_back(key);
    for (std::string& progId : inspect::ProgIdsOf(system_, footprint.view, key)) {
      footprint.keys.push_back(std::move(progId));
    }
  }
  AddProgIdVersions(footprint);
  for (const std::string& key : footprint.keys) {
    // A key both views share is kept in both at once, before either's tool writes it: Wine keeps
    // some of those apart, and on Windows the two records are of one key.
    for (const platform::RegistryView view :
         platform::ViewsSharing(platform::RegistryRoot::MachineClasses, footprint.view, key)) {
      const std::string id = ViewText(view) + AsciiLower(key);
      if (keptKeys_.contains(id)) {
        // Kept by an earlier step, whose tool's records of it hold no longer once this tool runs:
        // a run cut short in this step knows nothing of it.
        for (const platform::RegistryRoot hive : kHives) {
          records.push_back(
              {kinds::kLeft,
               {target, HiveText(hive), ViewText(view), key, std::string(kinds::kToolRunning)}});
        }
        continue;
      }
      if (!keeping_.insert(id).second) continue;
      // Each hive apart: a class of the user's comes back as the user's, one of the machine's as
      // the machine's.
      for (const platform::RegistryRoot hive : kHives) {
        auto tree = system_.ReadRegistryTree(hive, view, key);
        // A key that cannot be read is not kept: Undo then leaves it as it finds it.
        if (!tree.ok()) continue;
        records.push_back(
            {kinds::kKey, {target, ViewText(view), key, tree.value() ? "1" : "0", HiveText(hive)}});
        if (!tree.value()) continue;
        for (const std::string& subkey : tree.value()->keys) {
          if (!subkey.empty()) records.push_back({kinds::kSubkey, {ViewText(view), key, subkey}});
        }
        for (const platform::RegistryValue& value : tree.value()->values) {
          records.push_back({kinds::kValue,
                             {ViewText(view), key, value.key, value.name,
                              std::to_string(value.type), HexOf(value.data)}});
        }
      }
    }
  }
  footprint_ = std::move(footprint);
}

platform::Status Recorder::AfterTool(const std::string& target) {
  if (!writer_) return platform::Done{};
  std::vector<Record> records;
  std::set<std::string> seen;
  // The footprint, and the ProgIDs its classes name now, which the tool may have added.
  std::vector<std::string> keys = footprint_.keys;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const std::string key = keys[i];
    for (const platform::RegistryView view :
         platform::ViewsSharing(platform::RegistryRoot::MachineClasses, footprint_.view, key)) {
      if (!seen.insert(ViewText(view) + AsciiLower(key)).second) continue;
      for (const platform::RegistryRoot hive : kHives) {
        auto tree = system_.ReadRegistryTree(hive, view, key);
        // One that cannot be read is never taken for the run's: Undo leaves it as it finds it.
        records.push_back({kinds::kLeft,
                           {target, HiveText(hive), ViewText(view), key,
                            tree.ok() ? TreeDigest(tree.value()) : kinds::kUnread}});
        if (tree.ok() && tree.value() && AsciiLower(key).starts_with("clsid\\")) {
          for (std::string& progId : inspect::ProgIdsIn(*tree.value())) keys.push_back(progId);
        }
      }
    }
  }
  AddNewKeys(target, keys, records);
  if (records.empty()) records.push_back({kinds::kLeft, {target}});
  platform::Status written = Write(records);
  if (written.ok()) return written;
  return platform::SystemError{written.error().code,
                               written.error().message + ", so Undo takes the registry keys of " +
                                   "this run back to how they stood before it, even where others " +
                                   "changed them since"};
}

void Recorder::AddProgIdVersions(inspect::RegistryFootprint& footprint) {
  // Before the run's first tool: the names missing then were missing before the run.
  if (namesBefore_.empty()) {
    for (const auto view : {platform::RegistryView::Bits32, platform::RegistryView::Bits64}) {
      std::map<std::string, std::string>& names = namesBefore_[view];
      for (std::string& name :
           system_.RegistrySubkeys(platform::RegistryRoot::ClassesRoot, view, "")) {
        // Folded as the registry folds names, beyond ASCII too.
        names.emplace(system_.LowerCase(name), std::move(name));
      }
    }
  }
  const std::map<std::string, std::string>& names = namesBefore_[footprint.view];
  for (std::size_t i = 0, named = footprint.keys.size(); i < named; ++i) {
    const std::string progId = footprint.keys[i];
    if (!inspect::IsProgIdName(progId)) continue;
    const std::optional<std::string> current = system_.RegistryString(
        platform::RegistryRoot::ClassesRoot, footprint.view, progId + "\\CurVer", "");
    if (current && inspect::IsProgIdName(*current)) footprint.keys.push_back(*current);
    const std::string prefix = system_.LowerCase(progId) + ".";
    for (auto name = names.lower_bound(prefix);
         name != names.end() && name->first.starts_with(prefix); ++name) {
      if (name->first.size() > prefix.size() &&
          name->first.find_first_not_of("0123456789", prefix.size()) == std::string::npos) {
        footprint.keys.push_back(name->second);
      }
    }
  }
}

void Recorder::AddNewKeys(const std::string& target, const std::vector<std::string>& keys,
                          std::vector<Record>& records) {
  for (const std::string& key : keys) {
    if (!inspect::IsProgIdName(key)) continue;
    // In each view that shares it, as it was kept.
    for (const platform::RegistryView view :
         platform::ViewsSharing(platform::RegistryRoot::MachineClasses, footprint_.view, key)) {
      const auto names = namesBefore_.find(view);
      if (names == namesBefore_.end() || names->second.empty()) continue;  // nothing known missing
      const std::string id = ViewText(view) + AsciiLower(key);
      if (keptKeys_.contains(id) || names->second.contains(system_.LowerCase(key))) continue;
      // Kept as missing from now on: a later step on it finds it the run's.
      if (!keeping_.insert(id).second) continue;
      for (const platform::RegistryRoot hive : kHives) {
        records.push_back({kinds::kNewKey, {target, HiveText(hive), ViewText(view), key}});
      }
    }
  }
}

std::vector<std::string> Recorder::ClassesOf(platform::RegistryView view,
                                             const std::string& fileName) {
  auto [index, made] = classesByFile_.try_emplace(view);
  if (made) {
    // Each class's server alone, not the whole tree of every class with all its keys and
    // values: with thousands of classes, that is many times the reads.
    for (const std::string& clsid :
         system_.RegistrySubkeys(platform::RegistryRoot::ClassesRoot, view, "CLSID")) {
      std::optional<std::string> server = system_.RegistryString(
          platform::RegistryRoot::ClassesRoot, view, "CLSID\\" + clsid + "\\InprocServer32", "");
      if (!server) continue;
      std::erase(*server, '"');
      const std::size_t name = server->find_last_of("\\/");
      index->second.emplace(AsciiLower(TrimBlanks(server->substr(name + 1))), clsid);
    }
  }
  std::vector<std::string> clsids;
  for (auto [found, end] = index->second.equal_range(fileName); found != end; ++found) {
    clsids.push_back(found->second);
  }
  return clsids;
}

platform::Status Recorder::BeforeShare(const std::string& target, const ShareChange& change) {
  return Write({ShareRecord(target, change)});
}

platform::Status Recorder::BeforeInstalled(const std::string& target, const std::string& name,
                                           platform::RegistryView view,
                                           const std::optional<std::string>& before,
                                           const std::optional<std::string>& after) {
  return Write({{kinds::kInstalled,
                 {target, name, ViewText(view), before.value_or(""), after.value_or("")}}});
}

}  // namespace kalvenor::journal
