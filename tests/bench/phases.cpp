// Where the time of an Install goes: runs the program's own Install, window and log included,
// in this process over the components of a folder, with the system and the toolkit behind
// layers that time every call and file it under the phase of the step it serves. Prints
// "name value" lines for kalvenor_bench: per component, the milliseconds and the calls of each
// phase, and the program's own work as what is left of the wall time.
//   kalvenor_phases <windows folder> <component folder> [nojournal | quiet | verify]
// The windows folder stands in for WINDIR, as for the program under the benchmark. With
// "nojournal" no run folder can be made in the journal's store, and the run goes on without a
// journal, as the program's does: the store and its run lock stay usable. With "quiet" the run
// is the command line's `/install /quiet <component folder>`, through the same code as the
// program's, with no window at all; with "verify", `/verify /quiet <component folder>` over
// components installed there before, each step a component.
#include <windows.h>
// After windows.h, which it depends on.
#include <objbase.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "cli/unattended.h"
#include "platform/win32/text.h"
#include "platform/win32/win32_system.h"
#include "platform/win32/win32_toolkit.h"
#include "setup/frm_setup.h"

namespace {

using namespace kalvenor;
using namespace kalvenor::platform;

double Now() {
  LARGE_INTEGER counter{}, frequency{};
  ::QueryPerformanceCounter(&counter);
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(counter.QuadPart) * 1000 / static_cast<double>(frequency.QuadPart);
}

// The time and calls filed under each phase, and the step the run is in.
class Phases final : public engine::RunObserver {
 public:
  struct Total {
    double ms = 0;
    int calls = 0;
    double longest = 0;
  };

  // From the log's lines: each step's first line names it.
  void OnLogLine(std::string_view line) override {
    if (line.starts_with("> Copying file")) {
      step_ = "copy step";
      ++components_;
    } else if (line.starts_with("> Verifying file")) {
      step_ = "verify step";
      ++components_;
    } else if (line.starts_with("> Registering file")) {
      step_ = "register step, before the tool";
    } else if (line.starts_with("> ")) {
      step_ = "other";
    }
  }
  void OnStep(const engine::StepRecord&) override {}
  void Enter(const char* step) { step_ = step; }
  void Reset() {
    totals_.clear();
    components_ = 0;
  }

  // `step`: the step the call serves, where it is not the one the log shows.
  void Add(const std::string& what, double ms, const char* step = nullptr) {
    Total& total = totals_[(step ? step : step_) + ": " + what];
    total.ms += ms;
    ++total.calls;
    total.longest = std::max(total.longest, ms);
  }
  const std::map<std::string, Total>& Totals() const { return totals_; }
  int Components() const { return components_; }

 private:
  std::string step_ = "start";
  std::map<std::string, Total> totals_;
  int components_ = 0;
};

// Times `call` and files it under `what`.
template <class Call>
auto Timed(Phases& phases, const std::string& what, Call call) {
  const double start = Now();
  auto result = call();
  phases.Add(what, Now() - start);
  return result;
}

// The copy step's shared count is read before its first line: its machine-wide values are
// filed under that step, wherever they fall.
template <class Call>
auto TimedRegistry(Phases& phases, RegistryRoot root, const std::string& what, Call call) {
  if (root != RegistryRoot::LocalMachine) return Timed(phases, what, call);
  const double start = Now();
  auto result = call();
  phases.Add(what, Now() - start, "copy step");
  return result;
}

class TimedProcess final : public Process {
 public:
  TimedProcess(std::unique_ptr<Process> inner, Phases& phases)
      : inner_(std::move(inner)), phases_(phases) {}
  Result<std::uint32_t> ExitCode() const override {
    phases_.Enter("register step, the check");
    return inner_->ExitCode();
  }
  void FlashWindows() override { inner_->FlashWindows(); }

 private:
  Wake Wait(std::optional<std::uint32_t> timeoutMs) override {
    return Timed(phases_, "the wait for regsvr32.exe", [&] {
      return timeoutMs ? inner_->WaitForExitOrEvents(*timeoutMs) : inner_->WaitForExitOrEvents();
    });
  }
  std::unique_ptr<Process> inner_;
  Phases& phases_;
};

// Every call goes to the real system; those an Install step makes are timed.
class TimedSystem final : public System {
 public:
  TimedSystem(System& inner, Phases& phases, bool journal)
      : inner_(inner), phases_(phases), journal_(journal) {}

  const AppInfo& App() const override { return inner_.App(); }
  std::optional<std::string> Environ(std::string_view name) const override {
    return inner_.Environ(name);
  }
  std::string CurDir() const override { return inner_.CurDir(); }
  SystemFolders SystemFoldersOf() const override { return inner_.SystemFoldersOf(); }
  std::string LowerCase(std::string_view text) const override { return inner_.LowerCase(text); }
  std::vector<std::string> Dir(std::string_view pattern, DirAttributes attributes) override {
    return Timed(phases_, "file lookups", [&] { return inner_.Dir(pattern, attributes); });
  }
  FileState StateOf(std::string_view path) const override {
    return Timed(phases_, "file lookups", [&] { return inner_.StateOf(path); });
  }
  Status SetAttributes(std::string_view path, const FileState& state) override {
    return Timed(phases_, "the copy", [&] { return inner_.SetAttributes(path, state); });
  }
  Status Replace(std::string_view replacement, std::string_view destination) override {
    return Timed(phases_, "the copy", [&] { return inner_.Replace(replacement, destination); });
  }
  Status Delete(std::string_view path) override {
    return Timed(phases_, "deletes", [&] { return inner_.Delete(path); });
  }
  Status OpenForDelete(std::string_view path) const override {
    return Timed(phases_, "file lookups", [&] { return inner_.OpenForDelete(path); });
  }
  Result<std::uint64_t> FreeBytes(std::string_view folder) const override {
    return Timed(phases_, "file lookups", [&] { return inner_.FreeBytes(folder); });
  }
  Result<std::unique_ptr<Process>> Start(std::string_view program, std::string_view commandLine,
                                         std::string_view folder,
                                         platform::ShowWindow show) override {
    phases_.Enter("register step, the tool");
    auto started = Timed(phases_, "the start of regsvr32.exe",
                         [&] { return inner_.Start(program, commandLine, folder, show); });
    if (!started.ok()) return started;
    return std::unique_ptr<Process>(
        std::make_unique<TimedProcess>(std::move(started.value()), phases_));
  }
  std::uint32_t ProcessId() const override { return inner_.ProcessId(); }
  std::uint32_t TickCount() const override { return inner_.TickCount(); }
  Status ReadPieces(std::string_view path, const PieceSink& sink) const override {
    return Timed(phases_, "file reads", [&] { return inner_.ReadPieces(path, sink); });
  }
  // The backups' copies and the new files', and the hash that goes with each.
  Status CopyNewDurably(std::string_view source, std::string_view destination,
                        const PieceSink& sink) override {
    return Timed(phases_, "backup writes",
                 [&] { return inner_.CopyNewDurably(source, destination, sink); });
  }
  Result<std::vector<std::byte>> ReadFile(std::string_view path,
                                          std::size_t maxBytes) const override {
    return Timed(phases_, "file reads", [&] { return inner_.ReadFile(path, maxBytes); });
  }
  std::optional<std::string> RegistryString(RegistryRoot root, RegistryView view,
                                            std::string_view key,
                                            std::string_view name) const override {
    return TimedRegistry(phases_, root, "registry values read",
                         [&] { return inner_.RegistryString(root, view, key, name); });
  }
  std::string LongPathName(std::string_view path) const override {
    return Timed(phases_, "long path names", [&] { return inner_.LongPathName(path); });
  }
  std::string ShortPathName(std::string_view path) const override {
    return Timed(phases_, "short path names", [&] { return inner_.ShortPathName(path); });
  }
  bool Elevated() const override { return inner_.Elevated(); }
  bool RunsAsSystem() const override { return inner_.RunsAsSystem(); }
  Status WriteNew(std::string_view path, std::string_view bytes) override {
    return Timed(phases_, "new files written", [&] { return inner_.WriteNew(path, bytes); });
  }
  std::string DocumentsFolder() const override { return inner_.DocumentsFolder(); }
  LocalTime Now() const override { return inner_.Now(); }
  DateTime UtcNow() const override { return inner_.UtcNow(); }
  std::string ProgramDataFolder() const override { return inner_.ProgramDataFolder(); }
  Status CreateFolder(std::string_view path) override { return inner_.CreateFolder(path); }
  // Only a run's folder is made new.
  Status CreateNewFolder(std::string_view path) override {
    if (!journal_) return SystemError{ERROR_ACCESS_DENIED, "Access is denied."};
    return inner_.CreateNewFolder(path);
  }
  Status CreateProtectedFolder(std::string_view path) override {
    return inner_.CreateProtectedFolder(path);
  }
  Result<std::vector<std::string>> OthersWhoMayChange(std::string_view path) const override {
    return inner_.OthersWhoMayChange(path);
  }
  Status RemoveFolder(std::string_view path) override { return inner_.RemoveFolder(path); }
  Status AppendDurably(std::string_view path, std::string_view text) override {
    const bool journal = path.ends_with("\\journal.txt");
    return Timed(phases_, journal ? "journal flushes" : "backup writes",
                 [&] { return inner_.AppendDurably(path, text); });
  }
  Status Rename(std::string_view from, std::string_view to) override {
    return Timed(phases_, "renames", [&] { return inner_.Rename(from, to); });
  }
  bool InUse(std::string_view path) const override {
    return Timed(phases_, "in-use checks", [&] { return inner_.InUse(path); });
  }
  Status DeleteAtRestart(std::string_view path) override { return inner_.DeleteAtRestart(path); }
  std::string NativePath(std::string_view path) const override {
    return Timed(phases_, "native paths", [&] { return inner_.NativePath(path); });
  }
  std::vector<std::string> ProgramsUsing(std::string_view path) const override {
    return Timed(phases_, "programs using a file", [&] { return inner_.ProgramsUsing(path); });
  }
  std::optional<FileId> IdentityOf(std::string_view path) const override {
    return Timed(phases_, "file identities", [&] { return inner_.IdentityOf(path); });
  }
  std::string FinalPath(std::string_view path) const override {
    return Timed(phases_, "final paths", [&] { return inner_.FinalPath(path); });
  }
  Result<std::unique_ptr<HeldFile>> OpenToWrite(std::string_view path) override {
    return Timed(phases_, "files opened to write", [&] { return inner_.OpenToWrite(path); });
  }
  Result<std::unique_ptr<HeldFolder>> OpenFolder(std::string_view path) override {
    return Timed(phases_, "file identities", [&] { return inner_.OpenFolder(path); });
  }
  Result<std::unique_ptr<HeldFile>> OpenOwnImage() override { return inner_.OpenOwnImage(); }
  std::optional<std::uint32_t> RegistryDword(RegistryRoot root, RegistryView view,
                                             std::string_view key,
                                             std::string_view name) const override {
    return TimedRegistry(phases_, root, "registry values read",
                         [&] { return inner_.RegistryDword(root, view, key, name); });
  }
  Status SetRegistryDword(RegistryRoot root, RegistryView view, std::string_view key,
                          std::string_view name, std::uint32_t value) override {
    return TimedRegistry(phases_, root, "registry writes",
                         [&] { return inner_.SetRegistryDword(root, view, key, name, value); });
  }
  Status WriteRegistryString(RegistryRoot root, RegistryView view, std::string_view key,
                             std::string_view name, std::string_view text) override {
    return TimedRegistry(phases_, root, "registry writes",
                         [&] { return inner_.WriteRegistryString(root, view, key, name, text); });
  }
  Status DeleteRegistryValue(RegistryRoot root, RegistryView view, std::string_view key,
                             std::string_view name) override {
    return TimedRegistry(phases_, root, "registry writes",
                         [&] { return inner_.DeleteRegistryValue(root, view, key, name); });
  }
  std::vector<std::string> RegistrySubkeys(RegistryRoot root, RegistryView view,
                                           std::string_view key) const override {
    return Timed(phases_, "registry subkeys listed",
                 [&] { return inner_.RegistrySubkeys(root, view, key); });
  }
  Result<std::optional<RegistryTree>> ReadRegistryTree(RegistryRoot root, RegistryView view,
                                                       std::string_view key) const override {
    return TimedRegistry(phases_, root, "registry trees read",
                         [&] { return inner_.ReadRegistryTree(root, view, key); });
  }
  Status WriteRegistryTree(RegistryRoot root, RegistryView view, std::string_view key,
                           const std::optional<RegistryTree>& tree) override {
    return inner_.WriteRegistryTree(root, view, key, tree);
  }
  Result<std::unique_ptr<RunLock>> LockRuns() override { return inner_.LockRuns(); }
  Result<std::unique_ptr<CaptureSession>> StartCapture(std::string_view component,
                                                       RegistryView view,
                                                       std::string_view folder) override {
    return inner_.StartCapture(component, view, folder);
  }
  Result<std::unique_ptr<CaptureSession>> StartActivation(std::string_view component,
                                                          RegistryView view,
                                                          const std::vector<std::string>& classes,
                                                          std::string_view folder) override {
    return inner_.StartActivation(component, view, classes, folder);
  }
  Status CheckManifest(std::string_view path, RegistryView view) override {
    return inner_.CheckManifest(path, view);
  }
  bool WriteToParentConsole(std::string_view text) override {
    return inner_.WriteToParentConsole(text);
  }
  bool WriteErrorsToParentConsole(std::string_view text) override {
    return inner_.WriteErrorsToParentConsole(text);
  }

 private:
  System& inner_;
  Phases& phases_;
  bool journal_;
};

// The message loop's passes while the tool runs: the log's hand-overs, the repaints and the
// timers, filed as the window's work.
class TimedToolkit final : public Toolkit {
 public:
  TimedToolkit(Toolkit& inner, Phases& phases) : inner_(inner), phases_(phases) {}
  std::unique_ptr<Form> CreateForm(const FormDescription& desc, FormEvents& events) override {
    return inner_.CreateForm(desc, events);
  }
  std::vector<Form*> Forms() override { return inner_.Forms(); }
  void DoEvents() override {
    Timed(phases_, "the window: log hand-over, repaints, messages", [&] {
      inner_.DoEvents();
      return 0;
    });
  }
  void WaitForEvents(std::uint32_t milliseconds) override { inner_.WaitForEvents(milliseconds); }
  void MsgBox(Form& owner, std::string_view text, std::string_view title,
              MsgBoxStyle style) override {
    inner_.MsgBox(owner, text, title, style);
  }
  void OwnerlessMsgBox(std::string_view text, std::string_view title, MsgBoxStyle style) override {
    inner_.OwnerlessMsgBox(text, title, style);
  }
  std::optional<std::string> FileOpenDialog(Form& owner, const FileOpenRequest& request) override {
    return inner_.FileOpenDialog(owner, request);
  }
  std::optional<std::string> FileSaveDialog(Form& owner, const FileSaveRequest& request) override {
    return inner_.FileSaveDialog(owner, request);
  }
  std::optional<std::size_t> PopupMenu(Form& owner,
                                       const std::vector<std::string>& items) override {
    return inner_.PopupMenu(owner, items);
  }
  Status SetClipboardText(Form& owner, std::string_view text) override {
    return inner_.SetClipboardText(owner, text);
  }

 private:
  Toolkit& inner_;
  Phases& phases_;
};

// "copy step: the copy" as copy_step_the_copy, a name scripts/bench can read.
std::string Key(const std::string& name) {
  std::string key;
  for (const char c : name) {
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      key += c;
    } else if (!key.empty() && key.back() != '_') {
      key += '_';
    }
  }
  while (!key.empty() && key.back() == '_') key.pop_back();
  return key;
}

// The window of a /quiet run, which never opens.
class NoWindow final : public cli::RunWindow {
 public:
  void Open(engine::Engine&, const engine::Plan&) override {}
  void WaitUntilClosed() override {}
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring mode = argc == 4 ? argv[3] : L"";
  const bool journal = mode != L"nojournal", verify = mode == L"verify";
  const bool quiet = mode == L"quiet" || verify;
  if (argc != 3 && (argc != 4 || (journal && !quiet))) {
    std::fprintf(stderr,
                 "usage: kalvenor_phases <windows folder> <component folder> "
                 "[nojournal | quiet | verify]\n");
    return 2;
  }
  ::SetEnvironmentVariableW(L"WINDIR", argv[1]);
  // As the program: a quiet run has no COM, which only a window's parts use.
  if (!quiet &&
      FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {
    return 1;
  }
  Phases phases;
  int failed = 0;
  double wall = 0, progressMs = 0;
  constexpr int kProgressCalls = 200;
  {
    win32::Win32System system;
    win32::Win32Toolkit toolkit(::GetModuleHandleW(nullptr));
    TimedSystem timedSystem(system, phases, journal);
    TimedToolkit timedToolkit(toolkit, phases);
    Services services{timedToolkit, timedSystem};
    engine::Engine engine(services);
    const engine::Plan plan{.items = {win32::Narrow(argv[2])}, .foldersAllowed = true};
    if (quiet) {
      NoWindow window;
      engine.AddObserver(phases);
      const double start = Now();
      failed = cli::RunCommandLine(services, engine,
                                   {verify ? "/verify" : "/install", "/quiet", plan.items.front()},
                                   window) == 0
                   ? 0
                   : 1;
      wall = Now() - start;
      engine.RemoveObserver(phases);
    } else {
      Selection selection{.manual = true, .m_fileArray = plan.items};
      frmSetup setup(services, engine, selection, frmSetup::Face::Unattended);
      engine.AddObserver(phases);
      phases.Reset();  // the window's start-up is not the run's
      const double start = Now();
      failed = engine.Run(plan).failed ? 1 : 0;
      wall = Now() - start;
      engine.RemoveObserver(phases);
      // The task-bar button, as each step sets it, on its own.
      const double progress = Now();
      for (int i = 0; i < kProgressCalls; ++i) {
        setup.Window().SetProgress(Progress::Normal, static_cast<std::size_t>(i), kProgressCalls);
      }
      progressMs = (Now() - progress) / kProgressCalls;
      setup.Window().SetProgress(Progress::None, 0, 0);
    }
  }
  if (!quiet) ::CoUninitialize();

  const double count = phases.Components() > 0 ? phases.Components() : 1;
  double timed = 0;
  for (const auto& [name, total] : phases.Totals()) {
    timed += total.ms;
    const std::string key = "phase_" + Key(name);
    std::printf("%s_ms %.3f\n%s_calls %.2f\n%s_longest_ms %.3f\n", key.c_str(), total.ms / count,
                key.c_str(), total.calls / count, key.c_str(), total.longest);
  }
  std::printf("phase_components %d\nphase_wall_ms %.3f\nphase_own_work_ms %.3f\n",
              phases.Components(), wall / count, (wall - timed) / count);
  std::printf("phase_progress_call_ms %.3f\nphase_failed %d\n", progressMs, failed);
  return failed;
}
