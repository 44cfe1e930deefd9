#pragma once
// A deterministic, in-memory stand-in for the toolkit and the system, for unit tests: files,
// environment, processes and the tick count are set up by the test; windows are plain records
// that the test drives with simulated clicks, keys and mouse moves.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/system.h"
#include "platform/toolkit.h"

namespace kalvenor::platform::memory {

// Fixed text metrics: every line 195 twips high, every character 90 twips wide.
inline constexpr Twips kLineHeight = 195;
inline constexpr Twips kCharWidth = 90;
// The simulated screen, 1024 x 768 pixels at 96 DPI.
inline constexpr Twips kScreenWidth = 15360;
inline constexpr Twips kScreenHeight = 11520;

struct FileOptions {
  std::string content;
  bool hidden = false;
  bool system = false;
  bool readOnly = false;
  bool locked = false;  // held open without sharing by another process
  bool loaded = false;  // a DLL a running program has loaded: renamed, never replaced or deleted
  bool denied = false;  // its rights let this process neither rename, replace nor delete it
  // The programs that hold it, as the system names them; by default none, as under Wine.
  std::vector<std::string> heldBy;
};

// What a started process does.
struct ProcessScript {
  std::optional<SystemError> startError;
  std::uint32_t exitCode = 0;
  std::uint32_t runsForMs = 0;
  // Runs once right after the start, e.g. to post events that arrive while it runs.
  std::function<void()> onStart;
};

// What a capture of a component does: the helper's process (its startError the error that
// StartCapture gives, nothing started), and what Outcome gives once it has ended. By default,
// a registration that returns S_OK having written nothing.
struct CaptureScript {
  ProcessScript helper;
  Result<CaptureOutcome> outcome = CaptureOutcome{CaptureStage::Returned};
};

class MemoryForm;

class MemoryPlatform final : public Toolkit, public System {
 public:
  MemoryPlatform();
  ~MemoryPlatform() override;

  // ---- Set-up by the test
  // A folder as Windows' set-up leaves its own: nobody but administrators may change it.
  void AddFolder(const std::string& path);
  // Makes an existing folder one that `others` may change, as OthersWhoMayChange names them.
  void LetOthersChange(const std::string& path, std::vector<std::string> others);
  void AddFile(const std::string& path, FileOptions options = {});
  bool HasFile(const std::string& path) const;
  std::string Content(const std::string& path) const;
  // Paths of all files, in creation order.
  std::vector<std::string> Files() const;
  void SetEnv(const std::string& name, std::optional<std::string> value);
  // A short (8.3) spelling of a path, which LongPathName turns into the long one.
  void AddShortName(const std::string& shortPath, const std::string& longPath);
  // A link (a junction, a symbolic link) at `link` that leads to `target`.
  void AddLink(const std::string& link, const std::string& target);
  void SetSystemFolders(SystemFolders folders) { systemFolders_ = std::move(folders); }
  void SetApp(AppInfo app) { app_ = std::move(app); }
  void SetCurDir(std::string dir) { curDir_ = std::move(dir); }
  void SetTickCount(std::uint32_t ticks) { ticks_ = ticks; }
  // A registry string value; an empty `name` is the key's default value.
  void SetRegistryString(RegistryRoot root, RegistryView view, std::string key, std::string name,
                         std::string value);
  void SetElevated(bool elevated) { elevated_ = elevated; }
  void SetRunsAsSystem(bool system) { runsAsSystem_ = system; }
  std::optional<std::string> console;  // what the program wrote to its console, if it has one
  std::string consoleErrors;           // and to its standard error
  // Called before each durable append, e.g. to end the program there by throwing.
  std::function<void()> onAppend;
  // Files the system deletes at the next restart.
  std::vector<std::string> deletedAtRestart;
  // Makes the next copy fail part-way.
  void FailNextCopy(SystemError error) { copyFailure_ = std::move(error); }
  // What FreeBytes gives for every volume; a copy larger than it fails, as on a full disk.
  void SetFreeBytes(std::uint64_t bytes) { freeBytes_ = bytes; }
  // The power goes: what was written but not flushed to the disk is lost.
  void CutPower();
  // Makes `count` renames fail with `error`, after the next `after` ones.
  void FailRenames(std::size_t after, std::size_t count, SystemError error) {
    renamesBeforeFailure_ = after;
    renameFailures_ = count;
    renameFailure_ = std::move(error);
  }
  std::function<ProcessScript(const std::string& program, const std::string& commandLine)> onStart;
  // The file the next file-open dialog returns; nothing means Cancel.
  std::optional<std::string> nextDialogChoice;
  // The path the next save dialog returns, and the item the next menu returns; nothing
  // means Cancel.
  std::optional<std::string> nextSaveChoice;
  std::optional<std::size_t> nextMenuChoice;
  void SetNow(LocalTime now) { now_ = now; }
  // The UTC clock, which a test may turn back.
  void SetUtcNow(DateTime now) { utcNow_ = now; }
  // Makes the next file write fail, leaving the file as it was.
  void FailNextWrite(SystemError error) { writeFailure_ = std::move(error); }
  // Makes every write through a held file at `path` fail from now on, or no more.
  void FailHeldWrites(const std::string& path, std::optional<SystemError> error);
  void SetProcessId(std::uint32_t id) { processId_ = id; }
  // What the run lock fails with, when set, instead of being taken.
  std::optional<SystemError> lockFailure;
  // What the capture of `component` does; without it, each does CaptureScript's default.
  std::function<CaptureScript(const std::string& component, RegistryView view)> onCapture;
  // Why Windows refuses the manifest at `path`; nothing when it takes it. A missing file is
  // refused with error 2, as Windows refuses it.
  std::function<std::optional<SystemError>(const std::string& path, RegistryView view)>
      onCheckManifest;
  // Called once IdentityOf has read what `path` opens, before it returns: what another program
  // does in that moment.
  std::function<void(const std::string& path)> onIdentified;
  // What the activation of `component`'s classes does; without it, each class is created.
  std::function<CaptureScript(const std::string& component, const std::vector<std::string>&)>
      onActivation;

  // ---- What happened
  // The most bytes that one read of a file has held.
  mutable std::size_t largestRead = 0;
  // Each path IdentityOf opened and each pattern Dir listed, as given, once a call.
  mutable std::vector<std::string> identified;
  std::vector<std::string> listed;
  std::vector<std::pair<std::string, std::string>> started;  // program, command line
  // The current folder of each process started, tools and capture helpers alike, in order.
  std::vector<std::string> startedIn;
  std::vector<std::pair<std::string, RegistryView>> captures;  // component, view
  std::vector<std::string> terminatedCaptures;                 // component, activations' too
  std::vector<std::pair<std::string, std::vector<std::string>>> activations;  // component, classes
  std::vector<std::string> checkedManifests;
  std::vector<std::string> messageBoxes;  // title, a line break, then the text
  std::vector<FileOpenRequest> dialogRequests;
  std::vector<FileSaveRequest> saveRequests;
  std::vector<std::vector<std::string>> menus;  // the items of each menu shown
  std::string clipboard;
  int doEventsCalls = 0;
  std::vector<std::uint32_t> processFlashes;  // the tick count at each flash of a process's windows
  bool Ended() const { return forms_.empty() && everLoaded_; }

  // ---- Simulated user and event queue
  void Post(std::function<void()> event) { events_.push_back(std::move(event)); }
  void Click(Form& form, int controlId);
  void MouseMove(Form& form, int controlId);
  void KeyPress(Form& form, int key);
  void Close(Form& form) { form.Unload(); }
  // Files dropped onto the window; nothing happens while it refuses drops.
  void Drop(Form& form, const std::vector<std::string>& paths);
  void ContextMenu(Form& form, int controlId);
  // The id of the control with the focus, 0 when none has it.
  int FocusedControl() const { return focusedId_; }
  const Form* ActiveForm() const { return activeForm_; }

  // ---- Toolkit
  std::unique_ptr<Form> CreateForm(const FormDescription& desc, FormEvents& events) override;
  std::vector<Form*> Forms() override;
  void DoEvents() override;
  void WaitForEvents(std::uint32_t milliseconds) override;
  void MsgBox(Form& owner, std::string_view text, std::string_view title,
              MsgBoxStyle style) override;
  void OwnerlessMsgBox(std::string_view text, std::string_view title, MsgBoxStyle style) override;
  std::optional<std::string> FileOpenDialog(Form& owner, const FileOpenRequest& request) override;
  std::optional<std::string> FileSaveDialog(Form& owner, const FileSaveRequest& request) override;
  std::optional<std::size_t> PopupMenu(Form& owner, const std::vector<std::string>& items) override;
  Status SetClipboardText(Form& owner, std::string_view text) override;

  // ---- Files (memory_files.cpp)
  std::vector<std::string> Dir(std::string_view pattern, DirAttributes attributes) override;
  FileState StateOf(std::string_view path) const override;
  Status SetAttributes(std::string_view path, const FileState& state) override;
  Status Replace(std::string_view replacement, std::string_view destination) override;
  Status Delete(std::string_view path) override;
  Status OpenForDelete(std::string_view path) const override;
  Result<std::uint64_t> FreeBytes(std::string_view) const override { return freeBytes_; }
  Status ReadPieces(std::string_view path, const PieceSink& sink) const override;
  Status CopyNewDurably(std::string_view source, std::string_view destination,
                        const PieceSink& sink) override;
  Result<std::vector<std::byte>> ReadFile(std::string_view path,
                                          std::size_t maxBytes) const override;
  std::string LongPathName(std::string_view path) const override;
  std::string ShortPathName(std::string_view path) const override;
  Status WriteNew(std::string_view path, std::string_view bytes) override;
  Status CreateFolder(std::string_view path) override;
  Status CreateNewFolder(std::string_view path) override;
  Status RemoveFolder(std::string_view path) override;
  Status AppendDurably(std::string_view path, std::string_view text) override;
  Status Rename(std::string_view from, std::string_view to) override;
  bool InUse(std::string_view path) const override;
  Status DeleteAtRestart(std::string_view path) override;
  std::string NativePath(std::string_view path) const override { return std::string(path); }
  // The file's heldBy: like Wine's Restart Manager, it names nobody unless the test says.
  std::vector<std::string> ProgramsUsing(std::string_view path) const override;
  // memory_identity.cpp
  std::optional<FileId> IdentityOf(std::string_view path) const override;
  std::string FinalPath(std::string_view path) const override;
  Result<std::unique_ptr<HeldFile>> OpenToWrite(std::string_view path) override;
  Result<std::unique_ptr<HeldFolder>> OpenFolder(std::string_view path) override;
  Result<std::unique_ptr<HeldFile>> OpenOwnImage() override;

  // ---- Registry (memory_registry.cpp)
  std::optional<std::string> RegistryString(RegistryRoot root, RegistryView view,
                                            std::string_view key,
                                            std::string_view name) const override;
  std::optional<std::uint32_t> RegistryDword(RegistryRoot root, RegistryView view,
                                             std::string_view key,
                                             std::string_view name) const override;
  Status SetRegistryDword(RegistryRoot root, RegistryView view, std::string_view key,
                          std::string_view name, std::uint32_t value) override;
  Status DeleteRegistryValue(RegistryRoot root, RegistryView view, std::string_view key,
                             std::string_view name) override;
  Status WriteRegistryString(RegistryRoot root, RegistryView view, std::string_view key,
                             std::string_view name, std::string_view text) override;
  std::vector<std::string> RegistrySubkeys(RegistryRoot root, RegistryView view,
                                           std::string_view key) const override;
  Result<std::optional<RegistryTree>> ReadRegistryTree(RegistryRoot root, RegistryView view,
                                                       std::string_view key) const override;
  Status WriteRegistryTree(RegistryRoot root, RegistryView view, std::string_view key,
                           const std::optional<RegistryTree>& tree) override;

  // ---- Processes (memory_processes.cpp)
  Result<std::unique_ptr<Process>> Start(std::string_view program, std::string_view commandLine,
                                         std::string_view folder, ShowWindow show) override;
  std::uint32_t ProcessId() const override { return processId_; }

  // ---- Security (memory_security.cpp)
  bool Elevated() const override { return elevated_; }
  bool RunsAsSystem() const override { return runsAsSystem_; }
  Status CreateProtectedFolder(std::string_view path) override;
  Result<std::vector<std::string>> OthersWhoMayChange(std::string_view path) const override;
  // The lock is one for the whole memory machine: a second while one lives is refused.
  Result<std::unique_ptr<RunLock>> LockRuns() override;

  // ---- Capture (memory_capture.cpp)
  Result<std::unique_ptr<CaptureSession>> StartCapture(std::string_view component,
                                                       RegistryView view,
                                                       std::string_view folder) override;
  Result<std::unique_ptr<CaptureSession>> StartActivation(std::string_view component,
                                                          RegistryView view,
                                                          const std::vector<std::string>& classes,
                                                          std::string_view folder) override;
  Status CheckManifest(std::string_view path, RegistryView view) override;

  // ---- Environment (memory_environment.cpp)
  const AppInfo& App() const override { return app_; }
  std::optional<std::string> Environ(std::string_view name) const override;
  std::string CurDir() const override { return curDir_; }
  SystemFolders SystemFoldersOf() const override { return systemFolders_; }
  std::string LowerCase(std::string_view text) const override;
  std::uint32_t TickCount() const override { return ticks_; }
  LocalTime Now() const override { return now_; }
  DateTime UtcNow() const override { return utcNow_; }
  std::string DocumentsFolder() const override { return "C:\\Users\\user\\Documents"; }
  std::string ProgramDataFolder() const override { return "C:\\ProgramData"; }
  // One program on the memory platform, with no parent console.
  // Only where a test gives the program a console (or a standard output): `console` gets it.
  bool WriteToParentConsole(std::string_view text) override {
    if (!console) return false;
    *console += text;
    return true;
  }
  // Standard error: into `consoleErrors`, when the test gave the program a console.
  bool WriteErrorsToParentConsole(std::string_view text) override {
    if (!console) return false;
    consoleErrors += text;
    return true;
  }

  // ---- For the memory windows and processes
  void AdvanceTicks(std::uint32_t ms) { ticks_ += ms; }
  bool EventsPending() const { return !events_.empty(); }
  void FormLoaded(MemoryForm* form);
  void FormUnloaded(MemoryForm* form);
  void SetFocused(const Control* control, const Form* form, int id);
  const Control* Focused() const { return focused_; }
  void SetActive(const Form* form) { activeForm_ = form; }
  // For the memory's held files: others may not write a held file; its holder may.
  void HoldFile(std::string_view path, bool held);
  Status WriteHeld(std::string_view path, std::string_view text, bool empty);
  Status ReplaceHeld(const std::string& held, const std::string& destination);
  // For the memory's held folders: where the folder of identity `id` lies now, if anywhere; a
  // file made new at `path`, refused where a file or link of that name is there; a file made so
  // opened again, refused unless `path` holds that very file itself.
  std::optional<std::string> FolderPathOf(const FileId& id) const;
  Result<std::unique_ptr<HeldFile>> MakeHeld(const std::string& path);
  Result<std::unique_ptr<HeldFile>> OpenMade(std::string_view path, const FileId& made);

 private:
  struct Entry {
    std::string path;
    bool folder = false;
    FileOptions options;
    std::uint64_t order = 0;  // creation order, which directory searches follow
    bool flushed = true;      // its content is on the disk
    bool protectedFolder = false;
    std::vector<std::string> others;  // who else may change it, as the test named them
  };
  Entry* Find(std::string_view path);
  const Entry* Find(std::string_view path) const;
  void Put(std::string_view path, bool folder, FileOptions options);
  // The path Windows opens for `path`: "\\?\", "\\.\" and the local drives' shares taken
  // off, the dots and blanks that end an element dropped, links followed (the last element's
  // only when `followLast`), a short name made long.
  std::string Resolved(std::string_view path, bool followLast = true) const;
  // An entry's key: its resolved path, folded.
  std::string Key(std::string_view path) const;
  // The entries in creation order.
  std::vector<const Entry*> Ordered() const;

  std::map<std::string, Entry> entries_;  // by folded path
  std::uint64_t nextOrder_ = 0;
  std::map<std::string, std::string> env_;
  std::map<std::string, std::string> longNames_;    // by folded short path
  std::map<std::string, std::string> links_;        // targets by folded link path
  std::map<std::string, SystemError> failingHeld_;  // by key
  SystemFolders systemFolders_{"C:\\Windows", "C:\\Windows\\system32", "C:\\Windows\\SysWOW64"};
  // A registry key: its path as first written, and its values in the order they were made.
  struct RegistryKey {
    std::string path;
    std::vector<RegistryValue> values;  // `key` unused
  };
  // By root, view and folded path.
  using RegistryPath = std::tuple<RegistryRoot, RegistryView, std::string>;
  // Where a key of HKCR lies: in the user's classes when they hold it, as Windows reads and
  // writes it, else in the machine's; any other root's key where it is named.
  RegistryRoot Hive(RegistryRoot root, RegistryView view, std::string_view key) const;
  // Where a key of the view is kept: the keys both views share are kept once.
  RegistryView StoredView(RegistryRoot root, RegistryView view, std::string_view key) const;
  RegistryPath PathOf(RegistryRoot root, RegistryView view, std::string_view key) const;
  // The key, made with every key above it as needed.
  RegistryKey& MakeKey(RegistryRoot root, RegistryView view, std::string_view path);
  const RegistryValue* FindValue(RegistryRoot root, RegistryView view, std::string_view key,
                                 std::string_view name) const;
  void SetValue(RegistryRoot root, RegistryView view, std::string_view key, RegistryValue value);
  // The key and the keys below it, in the order of their folded paths: each after its parent.
  std::vector<std::map<RegistryPath, RegistryKey>::const_iterator> KeyTree(
      RegistryRoot root, RegistryView view, std::string_view path) const;
  // `text` with each %NAME% of a set environment variable replaced by its value.
  std::string Expanded(std::string_view text) const;
  std::map<RegistryPath, RegistryKey> registry_;
  bool elevated_ = true;
  bool runsAsSystem_ = false;
  LocalTime now_{2026, 12, 7, 9, 5, 3};
  DateTime utcNow_{2026, 12, 7, 8, 5, 3};
  std::optional<SystemError> writeFailure_;
  AppInfo app_{"C:\\Kalvenor", "Kalvenor", 1, 0, 4, 32, "C:\\Kalvenor\\kalvenor.exe"};
  std::string curDir_ = "C:\\";
  std::uint32_t ticks_ = 1000;
  std::optional<SystemError> copyFailure_;
  std::uint64_t freeBytes_ = std::uint64_t{1} << 40;
  std::size_t renamesBeforeFailure_ = 0, renameFailures_ = 0;
  SystemError renameFailure_;
  std::uint32_t processId_ = 4242;
  // Whether a run lock lives; shared with it, which may outlive the platform.
  std::shared_ptr<bool> lockHeld_ = std::make_shared<bool>(false);
  std::deque<std::function<void()>> events_;
  std::vector<MemoryForm*> forms_;
  bool everLoaded_ = false;
  const Control* focused_ = nullptr;
  const Form* focusForm_ = nullptr;
  int focusedId_ = 0;
  const Form* activeForm_ = nullptr;
};

// The system's wording of the errors the memory file system can report.
SystemError MemoryError(std::uint32_t code);

}  // namespace kalvenor::platform::memory
