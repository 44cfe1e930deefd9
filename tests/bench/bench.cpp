// The benchmark driver: starts Kalvenor and the floor programs, drives them from outside with
// window messages and prints what it measured as "name value" lines for scripts/bench.
//
//   kalvenor_bench startup  <kalvenor.exe> <floor_window.exe> <sample.dll> <runs> [<key>]
//   kalvenor_bench wait_cpu <kalvenor.exe> <floor_install.exe> <sample_slow.dll> <runs>
//   kalvenor_bench install  <kalvenor.exe> <floor_install.exe> <sample.dll> <plain.dll> <count>
//                           <runs>
//   kalvenor_bench quiet    <kalvenor.exe> <floor_install.exe> <kalvenor_phases.exe> <sample.dll>
//                           <count> <runs>
//   kalvenor_bench journal  <kalvenor_phases.exe> <floor_install.exe> <sample.dll> <count> <runs>
//   kalvenor_bench missing  <kalvenor.exe> <count> <runs>
//   kalvenor_bench copy     <kalvenor.exe> <count> <runs>
//   kalvenor_bench phases   <kalvenor_phases.exe> <floor_install.exe> <sample.dll> <count> <runs>
//   kalvenor_bench capture  <kalvenor.exe> <floor_capture.exe> <runs> <component>...
//   kalvenor_bench verify   <kalvenor.exe> <floor_verify.exe> <sample.dll> <count> <runs>
//
// Every run copies into a system directory of its own (WINDIR pointing to a scratch folder that
// holds a copy of the real regsvr32.exe), so nothing lands in the real one.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "support.h"

namespace kalvenor::bench {
namespace {

// Control ids of the Setup window.
constexpr int kLog = 101;
constexpr int kOverwriteCopy = 107;
constexpr int kFileList = 109;
constexpr int kInstall = 111;

constexpr wchar_t kMainClass[] = L"KalvenorWindow";
constexpr wchar_t kFloorClass[] = L"KalvenorBenchFloor";
constexpr wchar_t kDonePrompt[] = L"Done. Click on the form or hit any key.";
constexpr wchar_t kFailed[] = L"|      failed: ";

// ---- Output

void Print(const std::string& name, double value) {
  std::printf("%s %.3f\n", name.c_str(), value);
  std::fflush(stdout);
}

void PrintSamples(const std::string& name, const std::vector<double>& values) {
  std::printf("%s_samples", name.c_str());
  for (double value : values) std::printf(" %.3f", value);
  std::printf("\n");
  std::fflush(stdout);
}

// Milliseconds, median first, then every sample.
void PrintMedianMs(const std::string& name, const std::vector<double>& seconds) {
  std::vector<double> ms;
  for (double value : seconds) ms.push_back(value * 1000);
  Print(name, Median(ms));
  PrintSamples(name, ms);
}

// The median of ratios taken within each run, where a slow spell of the machine falls on both
// sides, with the lowest and highest beside it.
void PrintRatio(const std::string& name, const std::vector<double>& ratios) {
  Print(name, Median(ratios));
  Print(name + "_min", *std::min_element(ratios.begin(), ratios.end()));
  Print(name + "_max", *std::max_element(ratios.begin(), ratios.end()));
}

// ---- The private system directory

class PrivateWindows {
 public:
  PrivateWindows() : root_(L"windows") {
    MakeFolder(System());
    wchar_t system[MAX_PATH] = {};
    ::GetSystemDirectoryW(system, MAX_PATH);
    // From a process of the program's bitness, so the copy is the tool the program would use.
    CopyInto(std::wstring(system) + L"\\regsvr32.exe", Tool());
  }
  ~PrivateWindows() {
    for (const std::wstring& registered : registered_) {
      RunAndWait(Tool(), L"/u /s \"" + registered + L"\"");
    }
  }
  PrivateWindows(const PrivateWindows&) = delete;
  PrivateWindows& operator=(const PrivateWindows&) = delete;

  std::wstring System() const { return root_.PathOf(L"system32"); }
  std::wstring Tool() const { return System() + L"\\regsvr32.exe"; }
  std::vector<std::pair<std::wstring, std::wstring>> Environment() const {
    return {{L"WINDIR", root_.Path()}};
  }
  // Every run starts from an empty system directory, whatever ran before it.
  void Clear() const {
    DeleteMatching(System(), L"*.dll");
    DeleteMatching(System(), L"*-copy");
  }
  // Unregistered at the end; components of one kind share their class key, so one is enough.
  void UnregisterAtEnd(const std::wstring& component) { registered_.push_back(component); }

 private:
  ScratchFolder root_;
  std::vector<std::wstring> registered_;
};

// ---- The program under test

// The length of line `line` of a multi-line edit control, or -1 when there is no such line.
LRESULT LineLength(HWND edit, int line) {
  const LRESULT start = SendTo(edit, EM_LINEINDEX, static_cast<WPARAM>(line));
  return start < 0 ? -1 : SendTo(edit, EM_LINELENGTH, static_cast<WPARAM>(start));
}

bool EndsWithDonePrompt(const std::wstring& log) {
  return log.ends_with(std::wstring(L"\r\n\r\n") + kDonePrompt + L"\r\n");
}

class RunningProgram {
 public:
  RunningProgram(const std::wstring& exe,
                 const std::vector<std::pair<std::wstring, std::wstring>>& environment = {},
                 double startSeconds = 60)
      : launched_(Now()),
        started_(StartProcess(exe, L"", environment)),
        window_(WaitForMainWindow(started_, kMainClass, startSeconds)),
        startup_(Now() - launched_) {
    WaitForQuiet(started_.id);
  }
  ~RunningProgram() {
    if (!CloseAndWait(window_, started_)) std::fprintf(stderr, "the program had to be ended\n");
  }
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

  DWORD Id() const { return started_.id; }
  HWND Main() const { return window_; }
  double Startup() const { return startup_; }
  // The peak working set when the last WaitForDone saw the done prompt's shape, before it read
  // the log to confirm it.
  std::uint64_t PeakBeforeRead() const { return peakBeforeRead_; }
  HWND Control(int id) const {
    HWND control = ::GetDlgItem(window_, id);
    if (!control) Fail("no control " + std::to_string(id));
    return control;
  }
  std::size_t ListCount() const {
    return static_cast<std::size_t>(SendTo(Control(kFileList), LB_GETCOUNT));
  }
  std::wstring Log() const { return TextOf(Control(kLog)); }

  // Posts a click to the button, as a mouse click reaches it; returns when, on Now()'s clock.
  double Click(int button) const {
    const HWND control = Control(button);
    const double now = Now();
    ::PostMessageW(control, BM_CLICK, 0, 0);
    return now;
  }

  // Waits until the log shows the done prompt; returns when it was seen, on Now()'s clock.
  // Between checks the log is asked for its line count only, the cheapest question it answers;
  // the program answers while it waits for regsvr32.exe, so every question costs it a little.
  // Once the last lines have the prompt's shape (an empty line, a line of the prompt's length
  // and the empty line after the last break), the whole text confirms it. EM_GETLINE would read
  // one line, but across processes Wine 8 hands back half of it (x86) or never answers (x64).
  double WaitForDone(DWORD pollMs) const {
    const HWND log = Control(kLog);
    const auto promptLength = static_cast<LRESULT>(std::wstring_view(kDonePrompt).size());
    LRESULT checked = -1;
    double seen = 0;
    const bool done = WaitUntil(
        [&] {
          const LRESULT count = SendTo(log, EM_GETLINECOUNT);
          if (count == checked) return false;
          checked = count;
          if (count < 3 || LineLength(log, static_cast<int>(count - 2)) != promptLength ||
              LineLength(log, static_cast<int>(count - 3)) != 0) {
            return false;
          }
          seen = Now();  // reading a long log takes a while of its own
          // Reading the whole log puts a copy of it in the program's process, Wine's buffer for
          // the text handed across: the program's own peak is taken before that.
          peakBeforeRead_ = FiguresOf(started_.id).peakWorkingSet;
          if (EndsWithDonePrompt(TextOf(log))) return true;
          checked = -1;  // the same count may yet end with the prompt
          return false;
        },
        3600, pollMs);
    if (!done) Fail("the run never ended");
    return seen;
  }

  // Seconds from a click on the button to the done prompt.
  double Time(int button, DWORD pollMs) const {
    const double clicked = Click(button);
    return WaitForDone(pollMs) - clicked;
  }

 private:
  double launched_;
  Started started_;
  HWND window_;
  double startup_;  // seconds from the start of the process to its idle window
  mutable std::uint64_t peakBeforeRead_ = 0;
};

struct LogCounts {
  std::size_t lines = 0;
  std::size_t withPrefix = 0;
  std::size_t failures = 0;
};

LogCounts CountLines(const std::wstring& log, std::wstring_view prefix) {
  LogCounts counts;
  for (std::size_t start = 0; start < log.size();) {
    std::size_t end = log.find(L"\r\n", start);
    if (end == std::wstring::npos) end = log.size();  // a last line without its break
    const std::wstring_view line(log.data() + start, end - start);
    ++counts.lines;
    if (line.starts_with(prefix)) ++counts.withPrefix;
    if (line.starts_with(kFailed)) ++counts.failures;
    start = end + 2;
  }
  return counts;
}

void ExpectListed(const RunningProgram& program, std::size_t expected) {
  const std::size_t listed = program.ListCount();
  if (listed != expected) {
    Fail("the program lists " + std::to_string(listed) + " files, not " + std::to_string(expected));
  }
}

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

// Runs the Install floor over the .dll files of `source` into the private system directory and
// returns the figures it printed.
std::map<std::string, double> RunFloorInstall(const std::wstring& floor,
                                              const PrivateWindows& windows,
                                              const std::wstring& source,
                                              const std::wstring& journal = {}) {
  const std::string output = RunCapturingOutput(
      floor, Quoted(windows.Tool()) + L" " + Quoted(source) + L" " + Quoted(windows.System()) +
                 (journal.empty() ? L"" : L" " + Quoted(journal)));
  std::map<std::string, double> values;
  char name[64];
  double value = 0;
  int used = 0;
  for (const char* at = output.c_str(); std::sscanf(at, "%63s %lf%n", name, &value, &used) == 2;
       at += used) {
    values[name] = value;
  }
  if (values["failures"] != 0) Fail("the floor program's registrations failed");
  return values;
}

// ---- Measurements

// Start-up to an idle, shown window, against a floor window program, alternately; one
// unmeasured start of each first, so that both find their files in the cache. The figures are
// named after `key`, so that one run can measure against more than one floor.
void Startup(const std::wstring& program, const std::wstring& floor, const std::wstring& sample,
             int runs, const std::string& key) {
  ScratchFolder programFolder(L"startup"), floorFolder(L"floor");
  const std::wstring programCopy = programFolder.Take(program);
  const std::wstring floorCopy = floorFolder.Take(floor);
  programFolder.Take(sample);

  struct Once {
    double seconds;
    std::uint64_t peakWorkingSet;
  };
  const auto once = [](const std::wstring& exe, const wchar_t* className) {
    const double start = Now();
    const Started started = StartProcess(exe, L"");
    const HWND window = WaitForMainWindow(started, className, 60);
    const Once result{Now() - start, FiguresOf(started.id).peakWorkingSet};
    CloseAndWait(window, started);
    return result;
  };
  once(programCopy, kMainClass);
  once(floorCopy, kFloorClass);
  std::vector<double> programTimes, floorTimes, programPeaks, floorPeaks, ratios;
  for (int run = 0; run < runs; ++run) {
    for (int turn = 0; turn < 2; ++turn) {
      const bool programTurn = (turn == 0) == (run % 2 == 0);
      const Once result =
          programTurn ? once(programCopy, kMainClass) : once(floorCopy, kFloorClass);
      (programTurn ? programTimes : floorTimes).push_back(result.seconds);
      (programTurn ? programPeaks : floorPeaks)
          .push_back(static_cast<double>(result.peakWorkingSet) / 1024);
    }
    ratios.push_back(programTimes.back() / floorTimes.back());
  }
  PrintRatio(key + "_ratio", ratios);
  PrintMedianMs(key + "_ms", programTimes);
  PrintMedianMs(key + "_floor_ms", floorTimes);
  Print(key + "_peak_ws_kib", Median(programPeaks));
  Print(key + "_floor_peak_ws_kib", Median(floorPeaks));
}

// The program's CPU time over the wall time of an Install of the slow component, whose
// registration sleeps for 2 s: from the click to the done prompt. The end of regsvr32.exe is
// awaited on its process, so the program is asked nothing while it waits; the figure is also
// split there: the start of the run (log, copy, starting the tool), the wait for the tool, and
// the end (the last log lines). The Install floor does the same copy and tool run, for
// comparison.
void WaitCpu(const std::wstring& program, const std::wstring& floor, const std::wstring& slow,
             int runs) {
  PrivateWindows windows;
  ScratchFolder folder(L"slow"), floorFolder(L"floorslow");
  const std::wstring exe = folder.Take(program);
  const std::wstring floorExe = floorFolder.Take(floor);
  folder.Take(slow);
  windows.UnregisterAtEnd(windows.System() + L"\\" + NameOf(slow));

  std::vector<double> percents, cpuMs, wallMs, startMs, waitingPercents, endMs, floorPercents,
      repaintMs;
  std::size_t failures = 0;
  for (int run = 0; run < runs; ++run) {
    windows.Clear();
    {
      RunningProgram running(exe, windows.Environment());
      ExpectListed(running, 1);
      const double cpuAtClick = FiguresOf(running.Id()).cpuSeconds;
      const double clicked = running.Click(kInstall);
      DWORD tool = 0;
      WaitUntil([&] { return (tool = ChildOf(running.Id())) != 0; }, 10, 1);
      const double toolSeen = Now();
      const double cpuAtTool = FiguresOf(running.Id()).cpuSeconds;
      if (tool) {
        UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, tool));
        if (process.get()) ::WaitForSingleObject(process.get(), 60000);
      }
      const double toolEnded = Now();
      const double cpuAtToolEnd = FiguresOf(running.Id()).cpuSeconds;
      const double done = running.WaitForDone(5);
      const double cpuAtDone = FiguresOf(running.Id()).cpuSeconds;

      const double wall = done - clicked, cpu = cpuAtDone - cpuAtClick;
      failures += CountLines(running.Log(), L"").failures;
      percents.push_back(100 * cpu / wall);
      cpuMs.push_back(cpu * 1000);
      wallMs.push_back(wall * 1000);
      startMs.push_back((cpuAtTool - cpuAtClick) * 1000);
      waitingPercents.push_back(100 * (cpuAtToolEnd - cpuAtTool) / (toolEnded - toolSeen));
      endMs.push_back((cpuAtDone - cpuAtToolEnd) * 1000);

      // What a repaint of the whole window costs, for scale.
      WaitForQuiet(running.Id());
      const double cpuBeforeRepaints = FiguresOf(running.Id()).cpuSeconds;
      constexpr int kRepaints = 10;
      for (int repaint = 0; repaint < kRepaints; ++repaint) {
        ::RedrawWindow(running.Main(), nullptr, nullptr,
                       RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN);
        SendTo(running.Main(), WM_NULL);
        ::Sleep(50);
      }
      repaintMs.push_back((FiguresOf(running.Id()).cpuSeconds - cpuBeforeRepaints) * 1000 /
                          kRepaints);
    }
    windows.Clear();
    std::map<std::string, double> values = RunFloorInstall(floorExe, windows, folder.Path());
    floorPercents.push_back(100 * values["cpu_ms"] / values["elapsed_ms"]);
  }
  Print("wait_cpu_percent", Median(percents));
  PrintSamples("wait_cpu_percent", percents);
  Print("wait_cpu_ms", Median(cpuMs));
  PrintSamples("wait_cpu_ms", cpuMs);
  Print("wait_wall_ms", Median(wallMs));
  Print("wait_cpu_start_ms", Median(startMs));
  PrintSamples("wait_cpu_start_ms", startMs);
  Print("wait_cpu_waiting_percent", Median(waitingPercents));
  PrintSamples("wait_cpu_waiting_percent", waitingPercents);
  Print("wait_cpu_end_ms", Median(endMs));
  PrintSamples("wait_cpu_end_ms", endMs);
  Print("wait_cpu_floor_percent", Median(floorPercents));
  PrintSamples("wait_cpu_floor_percent", floorPercents);
  Print("wait_cpu_repaint_ms", Median(repaintMs));
  PrintSamples("wait_cpu_repaint_ms", repaintMs);
  Print("wait_failures", static_cast<double>(failures));
}

// One Install by the program over the `count` components of its folder.
struct InstallRun {
  double seconds = 0, cpuSeconds = 0;
  LogCounts counts;
};

InstallRun RunInstall(const std::wstring& exe, PrivateWindows& windows, int count) {
  RunningProgram running(exe, windows.Environment());
  ExpectListed(running, static_cast<std::size_t>(count));
  InstallRun result;
  const double cpuBefore = FiguresOf(running.Id()).cpuSeconds;
  result.seconds = running.Time(kInstall, 100);
  result.cpuSeconds = FiguresOf(running.Id()).cpuSeconds - cpuBefore;
  result.counts = CountLines(running.Log(), L"");
  return result;
}

// Install of `count` copies of the sample component, whose type library the program checks
// after each registration; the same Install of a component without one, which leaves nothing
// to check; and the floor program, which does the same copies and registration tool runs. The
// three take turns, each going first in one run in three, so that a slower spell of the
// machine falls on all of them.
void Install(const std::wstring& program, const std::wstring& floor, const std::wstring& sample,
             const std::wstring& plain, int count, int runs) {
  PrivateWindows windows;
  ScratchFolder folder(L"install"), plainFolder(L"installplain"), floorFolder(L"floorinstall");
  const std::wstring exe = folder.Take(program), plainExe = plainFolder.Take(program);
  const std::wstring floorExe = floorFolder.Take(floor);
  for (int i = 1; i <= count; ++i) {
    CopyInto(sample, folder.PathOf(Numbered(L"comp", i, L".dll")));
    CopyInto(plain, plainFolder.PathOf(Numbered(L"comp", i, L".dll")));
  }
  windows.UnregisterAtEnd(windows.System() + L"\\" + Numbered(L"comp", 1, L".dll"));

  const std::size_t expectedLines = 5 * static_cast<std::size_t>(count) + 2;
  struct Series {
    std::vector<double> seconds, cpuSeconds;
    std::size_t lines = 0;
  } checked, unchecked;
  std::vector<double> floorTimes, floorCpu, extra, ratios;
  std::size_t failures = 0;
  for (int run = 0; run < runs; ++run) {
    for (int turn = 0; turn < 3; ++turn) {
      windows.Clear();
      const int which = (run + turn) % 3;
      if (which < 2) {
        Series& series = which == 0 ? checked : unchecked;
        const InstallRun done = RunInstall(which == 0 ? exe : plainExe, windows, count);
        series.seconds.push_back(done.seconds);
        series.cpuSeconds.push_back(done.cpuSeconds);
        series.lines = done.counts.lines;
        failures += done.counts.failures;
        continue;
      }
      std::map<std::string, double> values = RunFloorInstall(floorExe, windows, folder.Path());
      if (values["files"] != count) Fail("the floor program did not find the components");
      floorTimes.push_back(values["elapsed_ms"] / 1000);
      floorCpu.push_back(values["cpu_ms"] / 1000);
    }
    extra.push_back(checked.seconds.back() - unchecked.seconds.back());
    ratios.push_back(checked.seconds.back() / floorTimes.back());
  }
  PrintRatio("install_ratio", ratios);
  PrintMedianMs("install_ms", checked.seconds);
  PrintMedianMs("install_floor_ms", floorTimes);
  PrintMedianMs("install_cpu_ms", checked.cpuSeconds);
  PrintMedianMs("install_floor_cpu_ms", floorCpu);
  PrintMedianMs("install_plain_ms", unchecked.seconds);
  PrintMedianMs("install_plain_cpu_ms", unchecked.cpuSeconds);
  PrintMedianMs("install_check_extra_ms", extra);
  Print("install_log_lines", static_cast<double>(checked.lines));
  Print("install_plain_log_lines", static_cast<double>(unchecked.lines));
  Print("install_expected_lines", static_cast<double>(expectedLines));
  Print("install_failures", static_cast<double>(failures));
}

// The "name value" lines that kalvenor_phases prints.
std::map<std::string, double> PhasesOf(const std::string& output) {
  std::map<std::string, double> values;
  for (std::size_t start = 0, end; (end = output.find('\n', start)) != std::string::npos;
       start = end + 1) {
    const std::string line = output.substr(start, end - start);
    const std::size_t blank = line.find(' ');
    if (blank != std::string::npos) values[line.substr(0, blank)] = std::atof(&line[blank + 1]);
  }
  return values;
}

// A /quiet Install of `count` copies of the sample component from the command line, which makes
// no window, against the floor program's copies and tool runs, in turns. The floor has no
// window either. Both are timed from outside, from the start of their process to its end, as
// the deployment tool that runs them sees them; the floor's own clock, which leaves out its
// start and end, is printed beside. The program writes its log, as deployment tools ask it to,
// so that a failed turn says why. A third turn runs the same command line in process
// (kalvenor_phases quiet), behind the timing layers: where the program's step goes.
void QuietInstall(const std::wstring& program, const std::wstring& floor,
                  const std::wstring& phases, const std::wstring& sample, int count, int runs) {
  PrivateWindows windows;
  ScratchFolder folder(L"quiet"), floorFolder(L"floorquiet"), toolFolder(L"quiettool");
  const std::wstring exe = folder.Take(program), floorExe = floorFolder.Take(floor),
                     tool = toolFolder.Take(phases);
  for (int i = 1; i <= count; ++i) {
    CopyInto(sample, folder.PathOf(Numbered(L"comp", i, L".dll")));
  }
  windows.UnregisterAtEnd(windows.System() + L"\\" + Numbered(L"comp", 1, L".dll"));
  const std::wstring windir = windows.Environment().front().second;
  std::vector<double> times, floorTimes, floorOwnTimes, ratios;
  std::map<std::string, std::vector<double>> figures;
  for (int run = 0; run < runs; ++run) {
    for (int turn = 0; turn < 3; ++turn) {
      windows.Clear();
      const int which = (run + turn) % 3;
      const double start = Now();
      if (which == 0) {
        const std::wstring log = toolFolder.PathOf(L"quiet.log");
        const Started started =
            StartProcess(exe, L"/install /quiet /log:" + Quoted(log) + L" " + Quoted(folder.Path()),
                         windows.Environment());
        ::WaitForSingleObject(started.process.get(), INFINITE);
        times.push_back(Now() - start);
        DWORD exitCode = 1;
        ::GetExitCodeProcess(started.process.get(), &exitCode);
        if (exitCode != 0) {
          const bool logged = ::GetFileAttributesW(log.c_str()) != INVALID_FILE_ATTRIBUTES;
          Fail("the /quiet Install ended with " + std::to_string(exitCode) +
               (logged ? "; its log:\n" + ReadWhole(log) : "; it wrote no log"));
        }
      } else if (which == 1) {
        std::map<std::string, double> values = RunFloorInstall(floorExe, windows, folder.Path());
        floorTimes.push_back(Now() - start);
        if (values["files"] != count) Fail("the floor program did not find the components");
        floorOwnTimes.push_back(values["elapsed_ms"] / 1000);
        for (const char* name : {"copy_ms", "start_ms", "wait_ms"}) {
          figures[std::string("quiet_phase_floor_") + name].push_back(values[name] / count);
        }
      } else {
        const std::string output =
            RunCapturingOutput(tool, Quoted(windir) + L" " + Quoted(folder.Path()) + L" quiet");
        for (const auto& [name, value] : PhasesOf(output))
          figures["quiet_" + name].push_back(value);
      }
    }
    ratios.push_back(times.back() / floorTimes.back());
  }
  if (figures["quiet_phase_failed"].empty() ||
      std::ranges::any_of(figures["quiet_phase_failed"],
                          [](double failed) { return failed != 0; })) {
    Fail("the /quiet Install in kalvenor_phases failed");
  }
  PrintRatio("quiet_ratio", ratios);
  PrintMedianMs("quiet_ms", times);
  PrintMedianMs("quiet_floor_ms", floorTimes);
  PrintMedianMs("quiet_floor_own_clock_ms", floorOwnTimes);
  for (const auto& [name, values] : figures) Print(name, Median(values));
}

// Install of `count` components over copies already in the system directory, so that each
// step backs up the file it replaces: the program's own Install in process (kalvenor_phases),
// with its journal and without one, for which no run folder can be made and the run goes on
// without (the store itself, which holds the run lock, stays usable). The two take turns with
// the Install floor, without and with the least journal; each run's journal is removed after
// it. The phases of the Installs are printed as journal_phase_* and journal_off_phase_*.
void Journal(const std::wstring& phasesExe, const std::wstring& floor, const std::wstring& sample,
             int count, int runs) {
  PrivateWindows windows;
  ScratchFolder folder(L"journal"), toolFolder(L"journaltool"), floorFolder(L"floorjournal");
  const std::wstring tool = toolFolder.Take(phasesExe), floorExe = floorFolder.Take(floor);
  for (int i = 1; i <= count; ++i) CopyInto(sample, folder.PathOf(Numbered(L"comp", i, L".dll")));
  windows.UnregisterAtEnd(windows.System() + L"\\" + Numbered(L"comp", 1, L".dll"));
  const std::wstring windir = windows.Environment().front().second;
  wchar_t data[MAX_PATH] = {};
  ::GetEnvironmentVariableW(L"ProgramData", data, MAX_PATH);
  const std::wstring runsFolder = std::wstring(data) + L"\\Kalvenor\\runs";
  std::vector<double> with, without, ratios, floorWith, floorWithout, floorRatios;
  std::map<std::string, std::vector<double>> phases;
  for (int run = 0; run < runs; ++run) {
    for (int turn = 0; turn < 4; ++turn) {
      windows.Clear();
      for (int i = 1; i <= count; ++i) {
        CopyInto(sample, windows.System() + L"\\" + Numbered(L"comp", i, L".dll"));
      }
      const int which = (run + turn) % 4;
      if (which >= 2) {
        // The floor Install, without a journal and with the least one.
        const ScratchFolder journal(L"floorjournalfiles");
        const std::map<std::string, double> values = RunFloorInstall(
            floorExe, windows, folder.Path(), which == 3 ? journal.PathOf(L"journal.txt") : L"");
        (which == 3 ? floorWith : floorWithout).push_back(values.at("elapsed_ms") / 1000);
        continue;
      }
      const std::map<std::string, double> values =
          PhasesOf(RunCapturingOutput(tool, Quoted(windir) + L" " + Quoted(folder.Path()) +
                                                (which == 0 ? L"" : L" nojournal")));
      RemoveTree(runsFolder);
      const auto failed = values.find("phase_failed");
      if (failed == values.end() || failed->second != 0) {
        Fail("the Install in kalvenor_phases failed");
      }
      (which == 0 ? with : without)
          .push_back(values.at("phase_wall_ms") * values.at("phase_components") / 1000);
      for (const auto& [name, value] : values) {
        phases[(which == 0 ? "journal_" : "journal_off_") + name].push_back(value);
      }
    }
    ratios.push_back(with.back() / without.back());
    floorRatios.push_back(floorWith.back() / floorWithout.back());
  }
  PrintMedianMs("journal_ms", with);
  PrintMedianMs("journal_off_ms", without);
  PrintRatio("journal_ratio", ratios);
  PrintMedianMs("journal_floor_ms", floorWith);
  PrintMedianMs("journal_floor_off_ms", floorWithout);
  PrintRatio("journal_floor_ratio", floorRatios);
  for (const auto& [name, values] : phases) Print(name, Median(values));
}

// A /quiet /capture of the components, copied into a folder of their own, with all four exports,
// against the capture floor over the same folder, in turns; one unmeasured run of each first, so
// that both find their files in the cache and the program its helpers already written. Both are
// timed from outside, from the start of their process to its end, and both must read back the
// same number of values.
void Capture(const std::wstring& program, const std::wstring& floor,
             const std::vector<std::wstring>& components, int runs) {
  ScratchFolder folder(L"capture"), out(L"captureout"), floorFolder(L"floorcapture");
  const std::wstring exe = out.Take(program), floorExe = floorFolder.Take(floor);
  for (const std::wstring& component : components) folder.Take(component);
  const std::wstring json = out.PathOf(L"c.json");
  const std::wstring arguments = L"/capture /quiet /wxs:" + Quoted(out.PathOf(L"c.wxs")) +
                                 L" /reg:" + Quoted(out.PathOf(L"c.reg")) + L" /manifest:" +
                                 Quoted(out.PathOf(L"app.exe.manifest")) + L" /json:" +
                                 Quoted(json) + L" " + Quoted(folder.Path());
  std::size_t programValues = 0, floorValues = 0;
  const auto programRun = [&] {
    const double start = Now();
    const Started started = StartProcess(exe, arguments);
    ::WaitForSingleObject(started.process.get(), INFINITE);
    const double seconds = Now() - start;
    DWORD exitCode = 1;
    ::GetExitCodeProcess(started.process.get(), &exitCode);
    if (exitCode != 0) Fail("the /capture ended with " + std::to_string(exitCode));
    // One line a value, beside one a step.
    const std::string lines = ReadWhole(json);
    programValues = 0;
    for (std::size_t at = 0; (at = lines.find(",\"name\":", at)) != std::string::npos; ++at) {
      ++programValues;
    }
    return seconds;
  };
  const auto floorRun = [&] {
    const double start = Now();
    std::map<std::string, double> values =
        PhasesOf(RunCapturingOutput(floorExe, Quoted(folder.Path())));
    const double seconds = Now() - start;
    if (values["failures"] != 0 || values["files"] != static_cast<double>(components.size())) {
      Fail("the capture floor did not register every component");
    }
    floorValues = static_cast<std::size_t>(values["values"]);
    return seconds;
  };
  programRun();
  floorRun();
  std::vector<double> times, floorTimes, ratios;
  for (int run = 0; run < runs; ++run) {
    for (int turn = 0; turn < 2; ++turn) {
      if ((turn == 0) == (run % 2 == 0)) {
        times.push_back(programRun());
      } else {
        floorTimes.push_back(floorRun());
      }
    }
    ratios.push_back(times.back() / floorTimes.back());
  }
  if (programValues != floorValues) {
    Fail("the program captured " + std::to_string(programValues) + " values, the floor " +
         std::to_string(floorValues));
  }
  PrintRatio("capture_ratio", ratios);
  PrintMedianMs("capture_ms", times);
  PrintMedianMs("capture_floor_ms", floorTimes);
  Print("capture_components", static_cast<double>(components.size()));
  Print("capture_values", static_cast<double>(programValues));
}

// One /verify /quiet by the program over the package folder, its lines read from a pipe as a
// deployment agent reads them; returns its seconds and the number of lines that say a check
// failed.
std::pair<double, std::size_t> RunVerify(const std::wstring& exe, const std::wstring& package) {
  const double start = Now();
  const std::string output = RunCapturingOutput(exe, L"/verify /quiet " + Quoted(package));
  const double seconds = Now() - start;
  std::size_t failed = 0;
  for (std::size_t at = 0; (at = output.find("|      failed: ", at)) != std::string::npos; ++at) {
    ++failed;
  }
  return {seconds, failed};
}

// The processes started in the job since it was made: this process, its children and theirs.
DWORD ProcessesIn(HANDLE job) {
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
  if (!::QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                   sizeof accounting, nullptr)) {
    FailWithLastError("QueryInformationJobObject");
  }
  return accounting.TotalProcesses;
}

// A /verify /quiet of `count` copies of the sample component that the program installed first
// (untimed), against the verification floor, which reads the same files' hashes and the same
// registry values in one process, in turns; one unmeasured run of each first. That first run of
// the program is made inside a job that holds this process, whose count of processes shows
// whether the verification started any (a registration tool, a helper) besides itself.
void Verify(const std::wstring& program, const std::wstring& floor, const std::wstring& sample,
            int count, int runs) {
  PrivateWindows windows;
  ScratchFolder folder(L"verify"), programFolder(L"verifyprogram"), floorFolder(L"floorverify");
  const std::wstring exe = programFolder.Take(program), floorExe = floorFolder.Take(floor);
  for (int i = 1; i <= count; ++i) CopyInto(sample, folder.PathOf(Numbered(L"comp", i, L".dll")));
  windows.UnregisterAtEnd(windows.System() + L"\\" + Numbered(L"comp", 1, L".dll"));
  {
    const Started installed =
        StartProcess(exe, L"/install /quiet " + Quoted(folder.Path()), windows.Environment());
    ::WaitForSingleObject(installed.process.get(), INFINITE);
    DWORD exitCode = 1;
    ::GetExitCodeProcess(installed.process.get(), &exitCode);
    if (exitCode != 0) Fail("the Install before /verify ended with " + std::to_string(exitCode));
  }
  // The floor's own clock, from its first file to its last: the rest is its start and end and
  // the reading of the type library.
  std::vector<double> floorInner;
  const auto floorRun = [&] {
    const double start = Now();
    std::map<std::string, double> values = PhasesOf(
        RunCapturingOutput(floorExe, Quoted(folder.Path()) + L" " + Quoted(windows.System())));
    const double seconds = Now() - start;
    if (values["files"] != count) Fail("the verification floor did not check every component");
    floorInner.push_back(values["elapsed_ms"]);
    return std::pair(seconds, values["values"]);
  };
  const UniqueHandle job(::CreateJobObjectW(nullptr, nullptr));
  if (!job.get() || !::AssignProcessToJobObject(job.get(), ::GetCurrentProcess())) {
    FailWithLastError("a job for the process count");
  }
  // The program takes its system directory from WINDIR; the floor is handed it. A copy: the
  // list Environment() returns is gone by the next line.
  const auto [variable, windir] = windows.Environment().front();
  ::SetEnvironmentVariableW(variable.c_str(), windir.c_str());
  const DWORD before = ProcessesIn(job.get());
  const std::size_t failed = RunVerify(exe, folder.Path()).second;
  const DWORD started = ProcessesIn(job.get()) - before;
  const double floorValues = floorRun().second;
  std::vector<double> times, floorTimes, ratios;
  for (int run = 0; run < runs; ++run) {
    for (int turn = 0; turn < 2; ++turn) {
      if ((turn == 0) == (run % 2 == 0)) {
        const auto [seconds, lines] = RunVerify(exe, folder.Path());
        if (lines != failed) Fail("/verify gave other failed lines this time");
        times.push_back(seconds);
      } else {
        floorTimes.push_back(floorRun().first);
      }
    }
    ratios.push_back(times.back() / floorTimes.back());
  }
  PrintRatio("verify_ratio", ratios);
  PrintMedianMs("verify_ms", times);
  PrintMedianMs("verify_floor_ms", floorTimes);
  Print("verify_floor_checks_ms", Median(floorInner));
  Print("verify_components", count);
  Print("verify_failed_lines", static_cast<double>(failed));
  Print("verify_processes_started", started);
  Print("verify_floor_values", floorValues);
}

// Install over `count` listed files that are gone by the time of the click: one "File not
// found" line each.
// The program's folder grows to this many entries in every Missing measurement before its
// files are listed. A directory keeps its size once its files are gone (ext4 does), and Wine
// reads the whole directory whenever a name is not there, so a folder that once held 20,000
// files makes every later check for a missing file slower than one that held 2,000: with equal
// folders, the runs differ only in what the program does.
constexpr int kFolderEntries = 20000;

void Missing(const std::wstring& program, int count, int runs) {
  PrivateWindows windows;
  ScratchFolder folder(L"missing");
  const std::wstring exe = folder.Take(program);
  for (int i = 1; i <= kFolderEntries; ++i)
    WriteFile(folder.PathOf(Numbered(L"pad", i, L".tmp")), "");
  DeleteMatching(folder.Path(), L"*.tmp");

  const std::string key = "missing_" + std::to_string(count);
  const std::size_t expectedLines = static_cast<std::size_t>(count) + 2;
  std::vector<double> times, cpu, peaks, readPeaks, starts;
  std::size_t lines = 0, notFound = 0;
  for (int run = 0; run < runs; ++run) {
    for (int i = 1; i <= count; ++i) WriteFile(folder.PathOf(Numbered(L"gone", i, L".dll")), "");
    // The listing of many files takes a while: it is start-up, not measured here.
    RunningProgram running(exe, windows.Environment(), 600);
    ExpectListed(running, static_cast<std::size_t>(count));
    starts.push_back(running.Startup());
    DeleteMatching(folder.Path(), L"*.dll");
    const double cpuBefore = FiguresOf(running.Id()).cpuSeconds;
    times.push_back(running.Time(kInstall, 20));
    cpu.push_back(FiguresOf(running.Id()).cpuSeconds - cpuBefore);
    peaks.push_back(static_cast<double>(running.PeakBeforeRead()) / 1024);
    readPeaks.push_back(static_cast<double>(FiguresOf(running.Id()).peakWorkingSet) / 1024);
    const LogCounts counts = CountLines(running.Log(), L"> File not found ");
    lines = counts.lines;
    notFound = counts.withPrefix;
  }
  PrintMedianMs(key + "_ms", times);
  PrintMedianMs(key + "_cpu_ms", cpu);
  PrintMedianMs(key + "_startup_ms", starts);
  Print(key + "_log_lines", static_cast<double>(lines));
  Print(key + "_expected_lines", static_cast<double>(expectedLines));
  Print(key + "_not_found_lines", static_cast<double>(notFound));
  Print(key + "_peak_ws_kib", Median(peaks));
  PrintSamples(key + "_peak_ws_kib", peaks);
  // The same with the copy of the log that the benchmark's own reading of it left behind.
  Print(key + "_read_peak_ws_kib", Median(readPeaks));
}

// Overwrite copy of `count` small files into the private system directory.
void Copy(const std::wstring& program, int count, int runs) {
  PrivateWindows windows;
  ScratchFolder folder(L"copy");
  const std::wstring exe = folder.Take(program);
  const std::string content(1024, 'k');
  for (int i = 1; i <= count; ++i)
    WriteFile(folder.PathOf(Numbered(L"small", i, L".dll")), content);

  const std::string key = "copy_" + std::to_string(count);
  const std::size_t expectedLines = 3 * static_cast<std::size_t>(count) + 2;
  std::vector<double> times;
  std::size_t lines = 0, failures = 0;
  for (int run = 0; run < runs; ++run) {
    windows.Clear();
    RunningProgram running(exe, windows.Environment(), 600);
    ExpectListed(running, static_cast<std::size_t>(count));
    times.push_back(running.Time(kOverwriteCopy, 20));
    const LogCounts counts = CountLines(running.Log(), L"");
    lines = counts.lines;
    failures += counts.failures;
  }
  PrintMedianMs(key + "_ms", times);
  Print(key + "_log_lines", static_cast<double>(lines));
  Print(key + "_expected_lines", static_cast<double>(expectedLines));
  Print(key + "_failures", static_cast<double>(failures));
}

// Where the time of an Install step goes: the program's own Install in kalvenor_phases, which
// times each call it makes to the system and the toolkit, taking turns with the Install floor
// and with the same floor beside a shown log over the same components. Every figure is a median
// over the runs, per component.
void Phases(const std::wstring& phases, const std::wstring& floor, const std::wstring& shownFloor,
            const std::wstring& sample, int count, int runs) {
  PrivateWindows windows;
  ScratchFolder folder(L"phases"), toolFolder(L"phasestool"), floorFolder(L"floorphases");
  const std::wstring tool = toolFolder.Take(phases), floorExe = floorFolder.Take(floor),
                     shownExe = floorFolder.Take(shownFloor);
  for (int i = 1; i <= count; ++i) CopyInto(sample, folder.PathOf(Numbered(L"comp", i, L".dll")));
  windows.UnregisterAtEnd(windows.System() + L"\\" + Numbered(L"comp", 1, L".dll"));
  const std::wstring windir = windows.Environment().front().second;
  std::map<std::string, std::vector<double>> figures;
  for (int run = 0; run < runs; ++run) {
    for (int turn = 0; turn < 3; ++turn) {
      windows.Clear();
      const int which = (run + turn) % 3;
      if (which == 0) {
        const std::string output =
            RunCapturingOutput(tool, Quoted(windir) + L" " + Quoted(folder.Path()));
        for (const auto& [name, value] : PhasesOf(output)) figures[name].push_back(value);
        continue;
      }
      std::map<std::string, double> values =
          RunFloorInstall(which == 1 ? floorExe : shownExe, windows, folder.Path());
      for (const char* name : {"elapsed_ms", "copy_ms", "start_ms", "wait_ms", "log_ms"}) {
        figures[std::string(which == 1 ? "phase_floor_" : "phase_shown_floor_") + name].push_back(
            values[name] / count);
      }
    }
  }
  if (figures["phase_failed"].empty() || Median(figures["phase_failed"]) != 0) {
    Fail("the Install in kalvenor_phases failed");
  }
  for (const auto& [name, values] : figures) Print(name, Median(values));
}

int Number(const wchar_t* text) { return static_cast<int>(std::wcstol(text, nullptr, 10)); }

int Usage() {
  std::fprintf(
      stderr,
      "usage: kalvenor_bench startup <kalvenor.exe> <floor_window.exe> <sample.dll> <runs> "
      "[<key>]\n"
      "       kalvenor_bench wait_cpu <kalvenor.exe> <floor_install.exe> <sample_slow.dll> "
      "<runs>\n"
      "       kalvenor_bench install <kalvenor.exe> <floor_install.exe> <sample.dll> "
      "<plain.dll> <count> <runs>\n"
      "       kalvenor_bench quiet <kalvenor.exe> <floor_install.exe> <kalvenor_phases.exe> "
      "<sample.dll> <count> <runs>\n"
      "       kalvenor_bench journal <kalvenor_phases.exe> <floor_install.exe> <sample.dll> "
      "<count> <runs>\n"
      "       kalvenor_bench missing <kalvenor.exe> <count> <runs>\n"
      "       kalvenor_bench copy <kalvenor.exe> <count> <runs>\n"
      "       kalvenor_bench phases <kalvenor_phases.exe> <floor_install.exe> "
      "<floor_install_shown.exe> <sample.dll> <count> <runs>\n"
      "       kalvenor_bench capture <kalvenor.exe> <floor_capture.exe> <runs> <component>...\n"
      "       kalvenor_bench verify <kalvenor.exe> <floor_verify.exe> <sample.dll> <count> "
      "<runs>\n");
  return 2;
}

}  // namespace
}  // namespace kalvenor::bench

int wmain(int argc, wchar_t** argv) {
  using namespace kalvenor::bench;
  if (argc < 2) return Usage();
  const std::wstring command = argv[1];
  try {
    if (command == L"startup" && (argc == 6 || argc == 7)) {
      Startup(argv[2], argv[3], argv[4], Number(argv[5]),
              argc == 7 ? Narrow(argv[6]) : std::string("startup"));
    } else if (command == L"wait_cpu" && argc == 6) {
      WaitCpu(argv[2], argv[3], argv[4], Number(argv[5]));
    } else if (command == L"install" && argc == 8) {
      Install(argv[2], argv[3], argv[4], argv[5], Number(argv[6]), Number(argv[7]));
    } else if (command == L"quiet" && argc == 8) {
      QuietInstall(argv[2], argv[3], argv[4], argv[5], Number(argv[6]), Number(argv[7]));
    } else if (command == L"journal" && argc == 7) {
      Journal(argv[2], argv[3], argv[4], Number(argv[5]), Number(argv[6]));
    } else if (command == L"missing" && argc == 5) {
      Missing(argv[2], Number(argv[3]), Number(argv[4]));
    } else if (command == L"copy" && argc == 5) {
      Copy(argv[2], Number(argv[3]), Number(argv[4]));
    } else if (command == L"phases" && argc == 8) {
      Phases(argv[2], argv[3], argv[4], argv[5], Number(argv[6]), Number(argv[7]));
    } else if (command == L"verify" && argc == 7) {
      Verify(argv[2], argv[3], argv[4], Number(argv[5]), Number(argv[6]));
    } else if (command == L"capture" && argc >= 6) {
      Capture(argv[2], argv[3], std::vector<std::wstring>(argv + 5, argv + argc), Number(argv[4]));
    } else {
      return Usage();
    }
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "kalvenor_bench: %s\n", failure.what());
    return 1;
  }
  return 0;
}
