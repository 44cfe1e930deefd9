#pragma once
// What a run writes into its journal before each step, and the safeguards of the steps that
// replace or delete files: shared counts, and files that running programs hold.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "inspect/registration_tool.h"
#include "journal/journal.h"
#include "platform/version_resource.h"

namespace kalvenor::journal {

// Installers count the installs of a shared file here, one value per full path, in each
// registry view.
inline constexpr char kSharedDllsKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
std::optional<std::uint32_t> SharedCount(platform::System& system, const std::string& path);
// Nothing deletes the count.
platform::Status SetSharedCount(platform::System& system, const std::string& path,
                                std::optional<std::uint32_t> count);

// A file that a running program holds, renamed aside so that its name is free; the system
// deletes it at the next restart.
struct SetAside {
  std::string aside;                                  // its new name
  std::vector<std::string> programs;                  // those that hold it, where the system tells
  std::optional<platform::SystemError> notScheduled;  // why it is not deleted at restart
};
platform::Result<SetAside> SetAsideInUse(platform::System& system, const std::string& target);

class Recorder {
 public:
  explicit Recorder(platform::System& system) : system_(system) {}

  // Opens a new run's journal; the reason when none can be kept, and the run goes on
  // without one.
  platform::Status Begin(const std::string& runKind, const std::string& systemDir);
  bool Active() const { return writer_.has_value(); }
  void End() { writer_.reset(); }
  const std::string& Folder() const;  // of the open journal

  // Each returns why the step must not be taken: its record could not be written, or the
  // file it replaces or deletes could not be backed up. Before a copy, also the versions
  // when it replaces a newer file by an older one.
  struct Downgrade {
    platform::FileVersion from, to;
  };
  platform::Result<std::optional<Downgrade>> BeforeCopy(const std::string& source,
                                                        const std::string& target);
  platform::Status BeforeDelete(const std::string& target);
  platform::Status BeforeTool(const inspect::Component& component);
  platform::Status BeforeCount(const std::string& target, std::optional<std::uint32_t> count);

 private:
  platform::Status Write(const std::vector<Record>& records);
  // The record of the file as it is: a backup of it, or that there is none.
  platform::Result<Record> BackUp(const std::string& target,
                                  std::optional<platform::FileVersion>* version = nullptr);

  platform::System& system_;
  std::optional<Writer> writer_;
};

}  // namespace kalvenor::journal
