#pragma once
// The engine of the runs: Install, Remove, Overwrite copy and Undo, over the files a plan
// names. It decides what a run may touch, places each component by its bitness, keeps the
// journal and the shared counts, takes the steps and proves them, and reports each line and
// step to its observers. The window and the command line both drive it; it reads nothing from
// either.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/detection.h"
#include "engine/plan.h"
#include "engine/run_context.h"
#include "engine/run_observer.h"
#include "inspect/dependencies.h"
#include "inspect/registration_tool.h"
#include "journal/recorder.h"
#include "journal/shares.h"
#include "journal/undo.h"
#include "paths/windows_folders.h"
#include "platform/services.h"

namespace kalvenor::engine {

inline constexpr char kToolMissing[] = "File not found: \\regsvr32.exe in system directory";

// The ending check of a picked, dropped or given file: its last three characters, in any letter
// case.
bool IsComponentName(std::string_view path);

class Engine final : private journal::UndoSteps, private RunContext {
 public:
  // Finds the Windows folders and the registration tool, once.
  explicit Engine(platform::Services& services);

  const paths::WindowsFolders& Folders() const override { return folders_; }
  void AddObserver(RunObserver& observer);
  void RemoveObserver(RunObserver& observer);

  Outcome Run(const Plan& plan);
  bool Busy() const { return busy_; }
  // The journal of the last run, where it kept one and was no Undo; empty otherwise.
  const std::string& Undoable() const { return undoable_; }
  // The newest run in the store that was not undone, if any.
  std::optional<std::string> LastRunInStore();

  // ---- What a run may touch (scope.cpp)
  // The .dll and .ocx files directly in `folder`, as the automatic list holds them; none of a
  // system directory, whose files are Windows' own, and then `whyNone` says so.
  struct Listing {
    std::vector<std::string> components;
    std::string whyNone;
    bool refused = false;  // a system directory
  };
  Listing ComponentsIn(const std::string& folder) const;
  // Why `file` may not take a run's report: the run reads, writes or keeps it (an item, a
  // file in a system directory, the Windows folder or the journal's store, the program
  // itself), judged by what it opens. Nothing when it may.
  std::optional<std::string> WhyNotReport(const Plan& plan, const std::string& file) const;
  // The same for each of `files`, in their order, the plan's files listed once for them all.
  std::vector<std::optional<std::string>> WhyNotReports(
      const Plan& plan, const std::vector<std::string>& files) const;
  // The same for a report the run holds open.
  std::optional<std::string> WhyNotReport(const Plan& plan, const platform::HeldFile& report) const;
  // The path by its long name, as items are compared, listed and turned into targets.
  std::string LongName(const std::string& path) const;

  // ---- The single-file steps (steps.cpp), each logged first and true when it worked.
  // `after`: what the step does once the copy is in place (an Install's share and tool).
  bool LocalFileCopy(const std::string& source, const std::string& destination,
                     const journal::AfterCopy& after = {});
  bool LocalFileRemove(const std::string& source);
  // `listed` is the listed file that `source` was copied from, when another: where the
  // component's own DLLs may lie, should the tool fail on it.
  bool LocalRegUnreg(const std::string& source, bool regIt = true, const std::string& listed = {});

 private:
  platform::System& System() override { return system_; }

  // ---- Runs (runs.cpp)
  // What every run, Undo too, does first and last; false when it cannot start (another run
  // holds the lock, or none can be made), and it has ended at once.
  bool BeginRun();
  // What every run does first, the lock aside.
  void StartRun();
  // Once the run may write, before its first change: false, with a failed line, when an
  // observer will not have it go on.
  bool ObserversAdmit();
  // False, with one failed line, when others than administrators may change one of the system
  // directories that the run would copy into or start a tool from, or it is no full path.
  bool SystemDirsProtected();
  void EndRun();
  void RunItems(const Plan& plan);
  void Install(const std::string& item, const std::string& target, const Placement& place,
               bool ownTarget);
  void Remove(const std::string& item, const std::string& target, const Plan& plan);
  // Undo of the run in the store that `run` names (RunNamed), or of the newest when empty.
  void UndoRunIn(const std::string& run);
  void ShowProgress(std::size_t done, std::size_t total);
  void ForEachPresent(const std::vector<std::string>& files, std::size_t done, std::size_t total,
                      const std::function<void(const std::string&)>& step) override;

  // ---- Verification (verifies.cpp)
  void VerifyItems(const Plan& plan);
  // `targets`: where the component may lie; `byName`: looked for there by its name.
  void VerifyInstall(const Wanted& wanted, const std::vector<std::string>& targets, bool byName);
  // What Kalvenor's Install that still holds put at `target`; nothing where none holds.
  std::optional<journal::Installed> InstallOf(const std::string& target);
  // `asked`: checks of what the caller asked for, after the file's own.
  void VerifyOne(const std::string& source, const std::string& target,
                 std::optional<std::string> digest, const std::string& digestFrom,
                 std::vector<verify::Check> asked = {});
  // ---- Activation (activations.cpp)
  std::optional<std::string> AwaitHelper(platform::CaptureSession& session) override;
  // A check for each class that clients create from the component's copy, created in process.
  void Activate(const inspect::Component& component, std::vector<verify::Check>& checks);
  // An Install keeps the program in the journal's store, so that a detection script has it at
  // hand once the package's folder is gone: where it is kept, or nothing.
  std::optional<std::string> KeepProgram();

  // ---- Scope (scope.cpp): the files of a plan's items, each once, and the failed step of
  // each item that gives none, which the run logs first.
  struct Unlisted {
    std::string item, step, why;  // why: empty for a missing item, whose step line says it
  };
  struct Admitted {
    // The files: the plan's own items where the run takes them as they stand, each its long
    // name already, so that a long list is not held twice.
    const std::vector<std::string>& Files() const { return asListed ? *asListed : files; }
    const std::vector<std::string>* asListed = nullptr;
    std::vector<std::string> files;
    // Beside `files`, what each opened as it was compared with the others (nothing for one that
    // did not open), where a plan that allows folders had them compared; empty otherwise.
    std::vector<std::optional<platform::FileId>> ids;
    std::vector<Unlisted> unlisted;
  };
  Admitted Admit(const Plan& plan) const;
  // The files of `plan`: those its run admitted while that run goes on, so that its reports are
  // judged against what it runs without listing them again; otherwise listed now.
  Admitted FilesOf(const Plan& plan) const;
  // While it lives, the run of `plan` goes on with `files` admitted.
  class AdmittedRun {
   public:
    AdmittedRun(Engine& engine, const Plan& plan, const Admitted& files) : engine_(engine) {
      engine_.admitted_ = {&plan, &files};
    }
    AdmittedRun(const AdmittedRun&) = delete;
    AdmittedRun& operator=(const AdmittedRun&) = delete;
    ~AdmittedRun() { engine_.admitted_ = {}; }

   private:
    Engine& engine_;
  };
  // A folder above a report, with what it opened.
  struct OpenedFolder {
    std::string path;
    std::optional<platform::FileId> id;
  };
  void LogUnlisted(const std::vector<Unlisted>& unlisted);
  // `final`: the path as the system resolves it; `given`: as the user wrote it.
  std::optional<std::string> WhyNotReportAt(const Plan& plan, const std::string& final,
                                            const std::string& given,
                                            std::optional<platform::FileId> id,
                                            const Admitted& files) const;
  // `above`: the folders above `final`, nearest first.
  bool InStore(const std::string& final, const std::vector<OpenedFolder>& above) const;
  void LogNotFound(const std::string& item);

  // ---- Placement (placement.cpp): where a component goes and which tool registers it.
  Placement OwnPlace() const;
  Placement OtherPlace() const;
  // By the folder a target lies in.
  Placement PlacementOf(const std::string& item) const override;
  Placement PlacementOfImage(std::span<const std::byte> head) const;  // from the file's first bytes
  Placement PlacementOfTarget(const std::string& target) const;
  std::string TargetIn(const Placement& place, const std::string& item) const;
  std::string ChildFolder(platform::RegistryView view) const override;
  std::string CountName(const std::string& target) const;
  platform::RegistryView CountView(const std::string& target) const;
  void LogNoSystemDir(const std::string& item);
  void NoteOtherBitness(const Placement& place);
  inspect::Component ToolComponent(const std::string& source, bool regIt,
                                   const std::string& listed) const;

  // ---- Shares (run_shares.cpp)
  std::optional<journal::ShareChange> ShareToTake(const std::string& target, bool inPlace);
  journal::ShareChange ShareUnchanged(const std::string& target);
  std::optional<journal::ShareChange> ShareToGiveBack(const std::string& target);
  bool NoOthersCountOn(const std::string& target, const std::optional<journal::ShareChange>& share);
  // After an Install of `target` that holds Kalvenor's share: what it put there, for detection.
  void KeepInstalled(const std::string& target);
  // Journals and writes what a detection reads as Kalvenor's Install of `target` (nothing: no
  // Install holds); false, with a failed line, when it could not.
  bool ChangeInstalled(const std::string& target, const std::optional<std::string>& after);
  // After a file others count on was unregistered as the user asked: a note that says so.
  void NoteOthersCountOn(const std::string& target);
  // False, with a failed line, when the count could not be journaled or written.
  bool ChangeShare(const std::string& target, const journal::ShareChange& change);
  bool WriteShare(const std::string& target, const journal::ShareChange& change);

  // ---- Steps (steps.cpp)
  // False, with a failed line, when the record a step needs could not be written.
  bool Journaled(const platform::Status& recorded);
  // Each false, with its failed lines, when the copy is not in place. `absent`: the journal
  // says the copy adds the target.
  bool PutCopy(const std::string& copy, const std::string& target, bool absent);
  bool ReplaceInUse(const std::string& replacement, const std::string& target);
  void LogSetAside(const journal::SetAside& setAside, std::string_view after);

  // ---- The log and the step records (step_log.cpp): a step's first line ("> ..."), and the
  // lines under it ("|      ..."); each also goes into the step's record.
  void AddLine(std::string_view line);
  void BeginStep(std::string_view kind, std::string source, std::string target,
                 std::string_view line) override;
  void LogNote(std::string_view note) override;
  void LogCause(std::string_view cause) override;
  void LogFailure(std::string_view why) override;
  void ReportCaptured(const capture::Captured& captured) override;
  std::optional<std::string> WhyNotExport(const std::string& file,
                                          const platform::HeldFile& beside) const override;
  void OpenStep(std::string_view kind, std::string source, std::string target);
  void EndStep() override;
  StepRecord& Step();

  // ---- Undo's steps, as the journal's Undo takes them (runs.cpp)
  void Begin(std::string_view kind, const std::string& target, std::string_view line,
             std::optional<std::uint32_t> count) override;
  void Note(std::string_view note) override { LogNote(note); }
  void Failed(std::string_view why) override { LogFailure(why); }
  bool CopyBack(const std::string& backup, const std::string& target) override {
    return LocalFileCopy(backup, target);
  }
  bool Delete(const std::string& target) override { return LocalFileRemove(target); }
  bool Registration(const std::string& target, bool registering) override {
    return LocalRegUnreg(target, registering);
  }

  platform::Services& services_;
  platform::System& system_;
  paths::WindowsFolders folders_;
  std::vector<RunObserver*> observers_;
  std::string silentSwitch_ = " /s ";  // " /s " or " ", just before the quoted path
  bool busy_ = false;                  // a run is going on
  Outcome outcome_;                    // of the run going on, or of the last one
  journal::Recorder recorder_;         // the journal of the run going on, or of the last one
  std::optional<journal::SharedCounts> counts_;    // as the run going on reads and writes them
  std::optional<inspect::LoaderLookups> lookups_;  // of a verification, which copies nothing
  bool activating_ = false;                        // a verification that creates the classes
  bool detecting_ = false;                         // a verification that a detection script runs
  std::vector<Wanted> installed_;                  // what the Install going on put in place
  std::string undoable_;
  std::unique_ptr<platform::RunLock> runLock_;  // held during a run
  // The program's own file, held from start-up: what an Install keeps in the store. Nothing,
  // and why, when it could not be opened.
  std::unique_ptr<platform::HeldFile> ownImage_;
  std::string ownImageError_;
  std::optional<StepRecord> step_;  // the step going on
  struct {
    const Plan* plan = nullptr;
    const Admitted* files = nullptr;
  } admitted_;  // of the run going on, once it admitted its files (AdmittedRun)
};

}  // namespace kalvenor::engine
