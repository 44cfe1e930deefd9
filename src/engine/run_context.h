#pragma once
// What a kind of run is handed by the engine that holds it: the system and its folders, where a
// component of either bitness goes, the run's files in turn, a helper awaited as the window
// stays alive, and the run's log and step records. The lock, the journal, the shared counts and
// the observers stay the engine's.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/exports.h"
#include "inspect/registration_tool.h"
#include "paths/windows_folders.h"
#include "platform/system.h"

namespace kalvenor::engine {

// Where a component goes and which tool registers it.
struct Placement {
  std::string systemDir, tool;
  inspect::Machine machine = inspect::Machine::Unknown;  // the tool's; Unknown: the program's
  bool missing = false;  // this Windows has no system directory of that bitness
  bool Other() const { return machine != inspect::Machine::Unknown; }
};

class RunContext {
 public:
  virtual platform::System& System() = 0;
  virtual const paths::WindowsFolders& Folders() const = 0;
  // By the file's bitness.
  virtual Placement PlacementOf(const std::string& item) const = 0;
  // The current folder of a program started for a component of the registry view `view`'s
  // bitness.
  virtual std::string ChildFolder(platform::RegistryView view) const = 0;
  // Each of `files` in turn, after the progress before it (`done` before the first, of
  // `total`); one that is gone by then gets its "File not found" step instead.
  virtual void ForEachPresent(const std::vector<std::string>& files, std::size_t done,
                              std::size_t total,
                              const std::function<void(const std::string&)>& step) = 0;
  // Nothing once the capture helper ended within the time limit; otherwise how it did not, for
  // the end of a failed line ("did not end within 30 seconds, and was stopped").
  virtual std::optional<std::string> AwaitHelper(platform::CaptureSession& session) = 0;

  // A step's first line ("> ..."), and the lines under it ("|      ..."); each also goes into
  // the step's record.
  virtual void BeginStep(std::string_view kind, std::string source, std::string target,
                         std::string_view line) = 0;
  virtual void EndStep() = 0;
  virtual void LogNote(std::string_view note) = 0;
  virtual void LogCause(std::string_view cause) = 0;
  virtual void LogFailure(std::string_view why) = 0;
  // What a capture took, for the observers.
  virtual void ReportCaptured(const capture::Captured& captured) = 0;
  // Why the run going on may not write its export `file`, judged again as it is written, in the
  // folder where the file `beside` it was made, as the system resolved its handle: a folder on
  // the way may lead elsewhere since the run began. Nothing when it may.
  virtual std::optional<std::string> WhyNotExport(const std::string& file,
                                                  const platform::HeldFile& beside) const = 0;

 protected:
  ~RunContext() = default;
};

}  // namespace kalvenor::engine
