// Detection as deployment tools run it after each install, uninstall and evaluation: a component
// named by its name is installed while Kalvenor's Install of it holds, and only then.
#include <gtest/gtest.h>

#include <string_view>

#include "journal/journal.h"
#include "journal/shares.h"
#include "pe_writer.h"
#include "setup_fixture.h"

namespace kalvenor::testing {
namespace {

using platform::RegistryRoot;
using platform::RegistryView;

constexpr char kPackage[] = "C:\\Kalvenor\\comp.dll";
constexpr char kTarget[] = "c:\\windows\\system32\\comp.dll";

class Detection : public SetupFixture {
 protected:
  Detection() {
    const std::vector<std::byte> bytes = PeWriter(inspect::Machine::X86).Dll(true).Build();
    image.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    platform.AddFile(kPackage, {.content = image});
  }
  // What a detection script reads: its standard output.
  std::string Detect(const std::string& name) {
    platform.console = "";
    platform.consoleErrors.clear();
    EXPECT_EQ(RunCommandLine({"/verify", "/detect", "/log:C:\\ProgramData\\run.log", name}), 0);
    return *platform.console;
  }
  void Install() { EXPECT_EQ(RunCommandLine({"/install", "/quiet", kPackage}), 0); }
  // One step of a machine's life: a run, or what another program or the user does.
  void Do(std::string_view step) {
    if (step == "place") return platform.AddFile(kTarget, {.content = image});  // by hand
    if (step == "replace") return platform.AddFile(kTarget, {.content = image + "x"});
    if (step == "v2") return platform.AddFile(kPackage, {.content = image + "2"});
    if (step == "v1") return platform.AddFile(kPackage, {.content = image});
    if (step == "forget") {  // as an earlier version left its Install: no record
      (void)platform.DeleteRegistryValue(RegistryRoot::LocalMachine, RegistryView::Bits32,
                                         journal::kInstalledKey, kTarget);
      return;
    }
    if (step == "counted") {  // another program counts on the file
      (void)platform.SetRegistryDword(RegistryRoot::LocalMachine, RegistryView::Bits32,
                                      journal::kSharedDllsKey, kTarget, 2);
      return;
    }
    if (step == "uncounted") {  // a cleaner took its count
      (void)platform.DeleteRegistryValue(RegistryRoot::LocalMachine, RegistryView::Bits32,
                                         journal::kSharedDllsKey, kTarget);
      return;
    }
    if (step == "failing install") {  // its registration fails
      platform.onStart = [](const std::string&, const std::string&) {
        return platform::memory::ProcessScript{.exitCode = 5};
      };
      EXPECT_EQ(RunCommandLine({"/install", "/quiet", kPackage}), 1603);
      platform.onStart = nullptr;
      return;
    }
    std::vector<std::string> args{"/" + std::string(step), "/quiet"};
    if (step != "undo") args.push_back(kPackage);
    EXPECT_EQ(RunCommandLine(args), 0) << step;
  }

  std::string image;
};

struct Lifecycle {
  const char* name;
  std::vector<std::string_view> steps;
  std::string detection;  // "@sha256:" alone: the package's own bytes
  bool detected;
};

class DetectionLifecycle : public Detection, public ::testing::WithParamInterface<Lifecycle> {};

TEST_P(DetectionLifecycle, HoldsWhileKalvenorsInstallHolds) {
  for (std::string_view step : GetParam().steps) Do(step);
  std::string detection = GetParam().detection;
  if (detection.ends_with("@sha256:")) detection += journal::Sha256Of(platform, kPackage).value();
  EXPECT_EQ(Detect(detection),
            GetParam().detected ? std::string("Verified ") + kTarget + "\r\n" : "")
      << platform.Content("C:\\ProgramData\\run.log");
}

INSTANTIATE_TEST_SUITE_P(
    Table, DetectionLifecycle,
    ::testing::Values(
        Lifecycle{"Installed", {"install"}, "comp.dll", true},
        Lifecycle{"InstalledTwice", {"install", "install"}, "comp.dll", true},
        Lifecycle{"ByItsPathInTheSystemDirectory", {"install"}, kTarget, true},
        Lifecycle{"ItsBytesAskedFor", {"install"}, "comp.dll@sha256:", true},
        Lifecycle{
            "InstalledByAnEarlierVersionThatKeptNoRecord", {"install", "forget"}, "comp.dll", true},
        Lifecycle{"RemovedThenTheRemoveUndone", {"install", "remove", "undo"}, "comp.dll", true},
        Lifecycle{"UnregisteredThenUndone", {"install", "unregister", "undo"}, "comp.dll", true},
        Lifecycle{"AnotherVersionInstalledThenUndone",
                  {"install", "v2", "install", "v1", "undo"},
                  "comp.dll@sha256:",
                  true},
        Lifecycle{"HandPlaced", {"place"}, "comp.dll", false},
        Lifecycle{
            "OtherBytesAskedFor", {"install"}, "comp.dll@sha256:" + std::string(64, '0'), false},
        Lifecycle{"AVersionAskedForAndTheFileHasNone", {"install"}, "comp.dll@1.0", false},
        Lifecycle{"ReplacedSince", {"install", "replace"}, "comp.dll", false},
        Lifecycle{
            "RemovedAndKeptForAnotherProgram", {"install", "counted", "remove"}, "comp.dll", false},
        Lifecycle{"Unregistered", {"install", "unregister"}, "comp.dll", false},
        Lifecycle{"ItsRegistrationFailed", {"failing install"}, "comp.dll", false},
        Lifecycle{"ItsCountTakenByACleaner", {"install", "uncounted"}, "comp.dll", false},
        Lifecycle{"CopiedOverAnInstallByAnEarlierVersion",
                  {"install", "forget", "v2", "copy"},
                  "comp.dll",
                  false},
        Lifecycle{
            "UndoneOverACopyThatWasThereBefore", {"place", "install", "undo"}, "comp.dll", false}),
    [](const auto& info) { return std::string(info.param.name); });

// Standard output carries the answer alone, and standard error only what kept it from one.
TEST_F(Detection, SaysNothingButItsAnswerOnStandardOutput) {
  EXPECT_EQ(Detect("comp.dll"), "");
  EXPECT_EQ(platform.consoleErrors, "");
  // A log that fails half-way (after its first line, its disk is full) leaves the answer as the
  // check gave it.
  int appends = 0;
  platform.onAppend = [&] {
    if (++appends == 2) {
      platform.FailHeldWrites("C:\\ProgramData\\run.log", platform::memory::MemoryError(112));
    }
  };
  EXPECT_EQ(Detect("comp.dll"), "");
  EXPECT_NE(platform.consoleErrors.find("Kalvenor: "), std::string::npos);
  platform.console = "";
  EXPECT_EQ(RunCommandLine({"/verify", "/detect", "/bogus", "comp.dll"}), 87);
  EXPECT_EQ(*platform.console, "");
  EXPECT_NE(platform.consoleErrors.find("Kalvenor: unknown option: /bogus"), std::string::npos);
}

// The Install gives the command that detects what it put in place, by its bytes when the file
// has no version; a second unattended Remove finds nothing left to do.
TEST_F(Detection, InstallNamesItsDetectionAndASecondRemoveIsDone) {
  Install();
  const std::string sha = journal::Sha256Of(platform, kPackage).value();
  EXPECT_EQ(RunCommandLine({"/install", "/quiet", "/log:C:\\ProgramData\\i.log", kPackage}), 0);
  EXPECT_NE(
      platform.Content("C:\\ProgramData\\i.log")
          .find("> Detecting this install\r\n|      with: "
                "& 'C:\\ProgramData\\Kalvenor\\kalvenor.exe' /verify /detect 'comp.dll@sha256:" +
                sha + "'\r\n"),
      std::string::npos)
      << platform.Content("C:\\ProgramData\\i.log");
  EXPECT_EQ(RunCommandLine({"/remove", "/quiet", kPackage}), 0);
  EXPECT_EQ(RunCommandLine({"/remove", "/quiet", "/log:C:\\ProgramData\\r.log", kPackage}), 0);
  EXPECT_NE(platform.Content("C:\\ProgramData\\r.log").find("|      already removed"),
            std::string::npos)
      << platform.Content("C:\\ProgramData\\r.log");
}

}  // namespace
}  // namespace kalvenor::testing
