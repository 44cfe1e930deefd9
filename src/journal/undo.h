#pragma once
// Undo of a run from its journal: the files it replaced or deleted come back from their
// backups, the files it added go, registrations and shared counts return to how they stood.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "paths/windows_folders.h"
#include "platform/system.h"

namespace kalvenor::journal {

// The steps Undo takes, each shown in the log as a run's steps are.
class UndoSteps {
 public:
  // A step's first line, of this kind and on this file; the shared count it sets, if any.
  virtual void Begin(std::string_view kind, const std::string& target, std::string_view line,
                     std::optional<std::uint32_t> count = std::nullopt) = 0;
  // A line under the step.
  virtual void Note(std::string_view note) = 0;
  virtual void Failed(std::string_view why) = 0;
  // Each true when the step worked; a failed one has said why.
  virtual bool CopyBack(const std::string& backup, const std::string& target) = 0;
  virtual bool Delete(const std::string& target) = 0;
  virtual bool Registration(const std::string& target, bool registering) = 0;

 protected:
  ~UndoSteps() = default;
};

// Undoes the run whose journal is in `folder`, newest step first, and marks it undone. A file
// that changed since the run, or that cannot be read, is left alone with its registration, and
// so is one whose backup's bytes are not those the journal recorded, and one the journal names
// outside the system directories or with a backup outside `folder`: each with a failed line,
// and the run is then not marked undone, so that a later Undo does what is left.
void UndoRun(platform::System& system, const paths::WindowsFolders& folders, UndoSteps& steps,
             const std::string& folder);

}  // namespace kalvenor::journal
