// Detection as deployment tools run it after each install, uninstall and evaluation: a component
// named by its name is installed while Kalvenor's Install of it holds, and only then.
#include <gtest/gtest.h>

#include <functional>

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
 public:
  using SetupFixture::platform;
  using SetupFixture::RunCommandLine;
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

  std::string image;
};

struct Lifecycle {
  const char* name;
  std::function<void(Detection&)> before;
  std::string detection;  // "@sha256:" alone: the package's own bytes
  bool detected;
};

class DetectionLifecycle : public Detection, public ::testing::WithParamInterface<Lifecycle> {};

TEST_P(DetectionLifecycle, HoldsWhileKalvenorsInstallHolds) {
  GetParam().before(*this);
  std::string detection = GetParam().detection;
  if (detection.ends_with("@sha256:")) detection += journal::Sha256Of(platform, kPackage).value();
  EXPECT_EQ(Detect(detection),
            GetParam().detected ? std::string("Verified ") + kTarget + "\r\n" : "")
      << platform.Content("C:\\ProgramData\\run.log");
}

INSTANTIATE_TEST_SUITE_P(
    Table, DetectionLifecycle,
    ::testing::Values(
        Lifecycle{"Installed", [](Detection& d) { d.Install(); }, "comp.dll", true},
        Lifecycle{"InstalledTwice",
                  [](Detection& d) {
                    d.Install();
                    d.Install();
                  },
                  "comp.dll", true},
        Lifecycle{"ByItsPathInTheSystemDirectory", [](Detection& d) { d.Install(); }, kTarget,
                  true},
        Lifecycle{"ItsBytesAskedFor", [](Detection& d) { d.Install(); }, "comp.dll@sha256:", true},
        Lifecycle{"HandPlaced",
                  [](Detection& d) { d.platform.AddFile(kTarget, {.content = d.image}); },
                  "comp.dll", false},
        Lifecycle{"OtherBytesAskedFor", [](Detection& d) { d.Install(); },
                  "comp.dll@sha256:" + std::string(64, '0'), false},
        Lifecycle{"AVersionAskedForAndTheFileHasNone", [](Detection& d) { d.Install(); },
                  "comp.dll@1.0", false},
        Lifecycle{"ReplacedSince",
                  [](Detection& d) {
                    d.Install();
                    d.platform.AddFile(kTarget, {.content = d.image + "x"});
                  },
                  "comp.dll", false},
        Lifecycle{"RemovedAndKeptForAnotherProgram",
                  [](Detection& d) {
                    d.Install();
                    (void)d.platform.SetRegistryDword(RegistryRoot::LocalMachine,
                                                      RegistryView::Bits32, journal::kSharedDllsKey,
                                                      kTarget, 2);
                    EXPECT_EQ(d.RunCommandLine({"/remove", "/quiet", kPackage}), 0);
                    EXPECT_TRUE(d.platform.HasFile(kTarget));
                  },
                  "comp.dll", false},
        Lifecycle{"InstalledByAnEarlierVersionThatKeptNoRecord",
                  [](Detection& d) {
                    d.Install();
                    (void)d.platform.DeleteRegistryValue(RegistryRoot::LocalMachine,
                                                         RegistryView::Bits32,
                                                         journal::kInstalledKey, kTarget);
                  },
                  "comp.dll", true},
        Lifecycle{"AnotherVersionInstalledThenUndone",
                  [](Detection& d) {
                    d.Install();
                    d.platform.AddFile(kPackage, {.content = d.image + "2"});
                    d.Install();
                    EXPECT_EQ(d.RunCommandLine({"/undo", "/quiet"}), 0);
                    d.platform.AddFile(kPackage, {.content = d.image});
                  },
                  "comp.dll@sha256:", true},
        Lifecycle{"UnregisteredThenUndone",
                  [](Detection& d) {
                    d.Install();
                    EXPECT_EQ(d.RunCommandLine({"/unregister", "/quiet", kPackage}), 0);
                    EXPECT_EQ(d.RunCommandLine({"/undo", "/quiet"}), 0);
                  },
                  "comp.dll", true},
        Lifecycle{"Unregistered",
                  [](Detection& d) {
                    d.Install();
                    EXPECT_EQ(d.RunCommandLine({"/unregister", "/quiet", kPackage}), 0);
                  },
                  "comp.dll", false},
        Lifecycle{"RemovedThenTheRemoveUndone",
                  [](Detection& d) {
                    d.Install();
                    EXPECT_EQ(d.RunCommandLine({"/remove", "/quiet", kPackage}), 0);
                    EXPECT_EQ(d.RunCommandLine({"/undo", "/quiet"}), 0);
                  },
                  "comp.dll", true},
        Lifecycle{"UndoneOverACopyThatWasThereBefore",
                  [](Detection& d) {
                    d.platform.AddFile(kTarget, {.content = d.image});
                    d.Install();
                    EXPECT_EQ(d.RunCommandLine({"/undo", "/quiet"}), 0);
                    EXPECT_TRUE(d.platform.HasFile(kTarget));
                  },
                  "comp.dll", false}),
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
