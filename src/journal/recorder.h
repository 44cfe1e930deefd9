#pragma once
// What a run writes into its journal before each step, and the safeguards of the steps that
// replace or delete files: shared counts, and files that running programs hold.

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "inspect/registration_tool.h"
#include "inspect/verification.h"
#include "journal/journal.h"
#include "journal/shares.h"
#include "platform/version_resource.h"

namespace kalvenor::journal {

// A file that a running program holds, renamed aside so that its name is free; the system
// deletes it at the next restart.
struct SetAside {
  std::string aside;                                  // its new name
  std::vector<std::string> programs;                  // those that hold it, where the system tells
  std::optional<platform::SystemError> notScheduled;  // why it is not deleted at restart
};
// Renames the file aside, to a free name beside it.
platform::Result<SetAside> SetAsideInUse(platform::System& system, const std::string& target);
// Has the system delete the file set aside at the next restart, or says why it will not.
void DeleteAtRestart(platform::System& system, SetAside& setAside);

// What follows a copy in its step, journaled with it in one flush: the share it takes of its
// target, and the tool that then registers the target (an Install).
struct AfterCopy {
  std::optional<ShareChange> share;
  std::optional<inspect::Component> tool;
};

class Recorder {
 public:
  explicit Recorder(platform::System& system) : system_(system) {}

  // Opens a new run's journal; the reason when none can be kept, and the run goes on
  // without one.
  platform::Status Begin(const std::string& runKind, const std::string& systemDir);
  // The runs that Begin took out of the store although they were not undone.
  const std::vector<std::string>& PrunedNotUndone() const { return prunedNotUndone_; }
  bool Active() const { return writer_.has_value(); }
  void End() { writer_.reset(); }
  const std::string& Folder() const;  // of the open journal

  // Each returns why the step must not be taken: its record could not be written, or the
  // file it replaces or deletes could not be backed up. Before a copy, made beside the target
  // and about to take its name, also whether it was journaled as adding the file, and the
  // versions when it replaces a newer file by an older one.
  struct Downgrade {
    platform::FileVersion from, to;
  };
  struct CopyRecorded {
    bool absent = false;  // no file was there: the copy must replace none that comes meanwhile
    std::optional<Downgrade> downgrade;
  };
  platform::Result<CopyRecorded> BeforeCopy(const CopyBeside& copy, const std::string& target,
                                            const AfterCopy& after = {});
  // A file came where the copy was journaled as adding one: it is backed up before it is
  // replaced, as any other.
  platform::Status BeforeReplacingNew(const std::string& target);
  // Before a running program's file is renamed aside to free its name.
  platform::Status BeforeSetAside(const std::string& target);
  // The copy did not take place: the tool's records journaled with it describe a file that is
  // not there, so BeforeTool writes them anew for the file that is.
  void CopyFailed() { toolAhead_.clear(); }
  platform::Status BeforeDelete(const std::string& target);
  // Before the tool runs: how the component's classes stand, and the registry keys its type
  // library names as they stood before the run's first step on them.
  platform::Status BeforeTool(const inspect::Component& component);
  platform::Status BeforeShare(const std::string& target, const ShareChange& change);
  platform::Status BeforeInstalled(const std::string& target, const std::string& name,
                                   platform::RegistryView view,
                                   const std::optional<std::string>& before,
                                   const std::optional<std::string>& after);
  // Once the tool has ended, whether it worked or not: the keys it may have written, as it left
  // them.
  platform::Status AfterTool(const std::string& target);

 private:
  platform::Status Write(const std::vector<Record>& records);
  // The tool's records: how the classes stand, the keys it may write, and the step itself.
  void AddToolRecords(const inspect::Component& component, const std::vector<std::byte>* image,
                      std::vector<Record>& records);
  // The record of the file as it is: a backup of it, or that there is none.
  platform::Result<Record> BackUp(const std::string& target,
                                  std::optional<platform::FileVersion>* version = nullptr);

  // The records of each key's tree, for the keys this run has not kept yet; the footprint is
  // the tool's, whose keys AfterTool reads again.
  void KeepKeys(const std::string& target, inspect::RegistryFootprint footprint,
                std::vector<Record>& records);

  // The other ProgIDs a registration of the footprint's may write: what each ProgID's CurVer
  // names, and its versions ("Name.N") that HKCR held before the run.
  void AddProgIdVersions(inspect::RegistryFootprint& footprint);
  // The records of the ProgIDs among `keys` that the run did not keep and that HKCR did not hold
  // before the run: Undo may delete those.
  void AddNewKeys(const std::string& target, const std::vector<std::string>& keys,
                  std::vector<Record>& records);

  // The classes registered to a file of this name (lower case) in the view: a component's
  // registration takes them over although its type library may not name them. Read once a run.
  std::vector<std::string> ClassesOf(platform::RegistryView view, const std::string& fileName);

  platform::System& system_;
  std::optional<Writer> writer_;
  std::vector<std::string> prunedNotUndone_;
  std::string toolAhead_;                 // the target whose tool records went with its copy's
  std::set<std::string> keptKeys_;        // view and key, lower case
  std::set<std::string> keeping_;         // those of the records not written yet
  inspect::RegistryFootprint footprint_;  // of the tool step journaled last
  std::map<platform::RegistryView, std::multimap<std::string, std::string>> classesByFile_;
  // The keys at HKCR's root in each view, by their names in lower case, as the run's first tool
  // step found them; none where they could not be listed (HKCR is never empty).
  std::map<platform::RegistryView, std::map<std::string, std::string>> namesBefore_;
};

}  // namespace kalvenor::journal
