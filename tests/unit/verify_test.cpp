// Verification on the in-memory platform: a component installed as an Install leaves it holds,
// each damage is a failed line, and the exit codes and output are those deployment tools read.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
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
// class_rules.idl: the library, Made (created by clients), Family (another file's), IEvents.
constexpr char kLibrary[] = "{6D1C7A20-5E2B-4F0A-8C3D-2B7E4A9F1D00}";
constexpr char kMade[] = "CLSID\\{6D1C7A20-5E2B-4F0A-8C3D-2B7E4A9F1D01}";
constexpr char kFamily[] = "CLSID\\{6D1C7A20-5E2B-4F0A-8C3D-2B7E4A9F1D03}";
constexpr char kEvents[] = "Interface\\{6D1C7A20-5E2B-4F0A-8C3D-2B7E4A9F1D06}";
constexpr char kProxy[] = "{00020424-0000-0000-C000-000000000046}";
constexpr char kTypeLibKey[] = "TypeLib\\{6D1C7A20-5E2B-4F0A-8C3D-2B7E4A9F1D00}\\1.2\\0\\win32";

std::string ClassRules() {
  std::ifstream file(KALVENOR_CLASS_RULES_TLB, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(file), {}};
  std::vector<std::byte> library(text.size());
  std::memcpy(library.data(), text.data(), text.size());
  const auto image = PeWriter(inspect::Machine::X86)
                         .Dll(true)
                         .Export("DllRegisterServer")
                         .Import("helper.dll", {{"Help"}})
                         .TypeLibrary(library)
                         .Build();
  return {reinterpret_cast<const char*>(image.data()), image.size()};
}

void Set(MemoryPlatform& platform, const std::string& key, const std::string& name,
         const std::string& value, RegistryView view = RegistryView::Bits32,
         RegistryRoot root = RegistryRoot::ClassesRoot) {
  platform.SetRegistryString(root, view, key, name, value);
}

class VerifyTest : public SetupFixture {
 protected:
  // The package's component, installed and registered as its own code registers it.
  VerifyTest() : image(ClassRules()) {
    platform.AddFile(kPackage, {.content = image});
    platform.AddFile(kTarget, {.content = image});
    for (const char* file : {"helper.dll", "family.dll", "oleaut32.dll"}) {
      platform.AddFile(std::string(kSystem32) + "\\" + file);
    }
    Set(std::string(kMade) + "\\InprocServer32", "", "C:\\WINDOWS\\system32\\comp.dll");
    Set(std::string(kMade) + "\\InprocServer32", "ThreadingModel", "Apartment");
    Set(std::string(kMade) + "\\ProgID", "", "Rules.Made.1");
    Set("Rules.Made.1\\CLSID", "", "{6D1C7A20-5E2B-4F0A-8C3D-2B7E4A9F1D01}");
    Set(std::string(kFamily) + "\\InprocServer32", "", "family.dll");
    Set(kTypeLibKey, "", "\\\\?\\C:\\WINDOWS\\system32\\comp.dll");
    Set(std::string(kEvents) + "\\ProxyStubClsid32", "", kProxy);
    Set(std::string(kEvents) + "\\TypeLib", "", "{6D1C7A20-5E2B-4F0A-8C3D-2B7E4A9F1D00}");
    Set(std::string("CLSID\\") + kProxy + "\\InprocServer32", "", "oleaut32.dll");
  }
  void Set(const std::string& key, const std::string& name, const std::string& value) {
    testing::Set(platform, key, name, value);
  }
  int Verify(std::vector<std::string> args) {
    args.insert(args.begin(), {"/verify", "/quiet", "/log:C:\\ProgramData\\run.log"});
    return RunCommandLine(args);
  }

  std::string image;
};

struct Damage {
  const char* name;
  std::function<void(MemoryPlatform&)> damage;
  const char* line;       // the failed line's beginning, after "|      failed: "
  bool detected = false;  // a user's own: a detection still finds the package installed
};

class VerifyDamages : public VerifyTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(VerifyDamages, EachIsFoundAndWorded) {
  platform.console = "";
  EXPECT_EQ(Verify({"/detect", kPackage}), 0);
  EXPECT_EQ(*platform.console, std::string("Verified ") + kTarget + "\r\n");
  EXPECT_EQ(platform.Content("C:\\ProgramData\\run.log").find("failed"), std::string::npos)
      << platform.Content("C:\\ProgramData\\run.log");
  GetParam().damage(platform);
  EXPECT_EQ(Verify({kPackage}), 1603);
  const std::string log = platform.Content("C:\\ProgramData\\run.log");
  EXPECT_NE(log.find("> Verifying file " + std::string(kTarget) +
                     "\r\n|      failed: " + GetParam().line),
            std::string::npos)
      << log;
  platform.console = "";
  EXPECT_EQ(Verify({"/detect", kPackage}), 0);
  EXPECT_EQ(*platform.console,
            GetParam().detected ? std::string("Verified ") + kTarget + "\r\n" : "");
}

INSTANTIATE_TEST_SUITE_P(
    Table, VerifyDamages,
    ::testing::Values(
        Damage{"Deleted", [](MemoryPlatform& p) { (void)p.Delete(kTarget); }, "it is not in place"},
        Damage{"OtherBytes", [](MemoryPlatform& p) { p.AddFile(kTarget, {.content = "x"}); },
               "its bytes are not those of C:\\Kalvenor\\comp.dll"},
        Damage{"ClassToAnotherCopy",
               [](MemoryPlatform& p) {
                 Set(p, std::string(kMade) + "\\InprocServer32", "", "D:\\old\\comp.dll");
               },
               "class Made {6D1C7A20-5E2B-4F0A-8C3D-2B7E4A9F1D01} is registered to "
               "D:\\old\\comp.dll, not to c:\\windows\\system32\\comp.dll"},
        Damage{"ClassOnlyInTheOtherView",
               [](MemoryPlatform& p) {
                 Set(p, std::string(kMade) + "\\InprocServer32", "", "");
                 Set(p, std::string(kMade) + "\\InprocServer32", "", kTarget, RegistryView::Bits64);
               },
               "class Made {6D1C7A20-5E2B-4F0A-8C3D-2B7E4A9F1D01} is registered only in the "
               "64-bit registry view"},
        Damage{"NoThreadingModel",
               [](MemoryPlatform& p) {
                 (void)p.DeleteRegistryValue(RegistryRoot::ClassesRoot, RegistryView::Bits32,
                                             std::string(kMade) + "\\InprocServer32",
                                             "ThreadingModel");
               },
               "class Made {6D1C7A20-5E2B-4F0A-8C3D-2B7E4A9F1D01} has no ThreadingModel"},
        Damage{"ProgIdToAnotherClass",
               [](MemoryPlatform& p) {
                 Set(p, "Rules.Made.1\\CLSID", "", "{11111111-2222-3333-4444-555555555555}");
               },
               "ProgID Rules.Made.1 leads to class {11111111-2222-3333-4444-555555555555}, which "
               "is not registered"},
        Damage{"TypeLibraryKeyGone", [](MemoryPlatform& p) { Set(p, kTypeLibKey, "", ""); },
               "its type library {6D1C7A20-5E2B-4F0A-8C3D-2B7E4A9F1D00} is not registered for "
               "32-bit programs"},
        Damage{
            "NoProxyStub",
            [](MemoryPlatform& p) { Set(p, std::string(kEvents) + "\\ProxyStubClsid32", "", ""); },
            "interface {6D1C7A20-5E2B-4F0A-8C3D-2B7E4A9F1D06} has no proxy/stub class"},
        Damage{"DependencyRemoved",
               [](MemoryPlatform& p) { (void)p.Delete(std::string(kSystem32) + "\\helper.dll"); },
               "needs helper.dll, which is in none of the folders Windows searches"},
        Damage{"PerUserClassShadows",
               [](MemoryPlatform& p) {
                 Set(p, std::string(kMade) + "\\InprocServer32", "", "C:\\Users\\u\\comp.dll",
                     RegistryView::Bits32, RegistryRoot::UserClasses);
               },
               "class Made {6D1C7A20-5E2B-4F0A-8C3D-2B7E4A9F1D01} has a registration of its own "
               "in HKCU\\Software\\Classes, to C:\\Users\\u\\comp.dll",
               true},
        // Running as SYSTEM, as deployment agents do, its own hive is no user's: each user's
        // loaded classes count.
        Damage{"LoadedUsersClassShadowsUnderSystem",
               [](MemoryPlatform& p) {
                 p.SetRunsAsSystem(true);
                 Set(p, std::string(kMade) + "\\InprocServer32", "", "C:\\Users\\own\\comp.dll",
                     RegistryView::Bits32, RegistryRoot::UserClasses);
                 Set(p, "S-1-5-21-7-1001_Classes\\" + std::string(kMade) + "\\InprocServer32", "",
                     "C:\\Users\\u\\comp.dll", RegistryView::Bits32, RegistryRoot::Users);
               },
               "class Made {6D1C7A20-5E2B-4F0A-8C3D-2B7E4A9F1D01} has a registration of its own "
               "in HKEY_USERS\\S-1-5-21-7-1001_Classes, to C:\\Users\\u\\comp.dll",
               true},
        Damage{"TheMachinesClassUnderTheUsers",
               [](MemoryPlatform& p) {
                 Set(p, std::string(kMade) + "\\InprocServer32", "", "D:\\old\\comp.dll",
                     RegistryView::Bits32, RegistryRoot::MachineClasses);
                 Set(p, std::string(kMade) + "\\InprocServer32", "", kTarget, RegistryView::Bits32,
                     RegistryRoot::UserClasses);
               },
               "class Made {6D1C7A20-5E2B-4F0A-8C3D-2B7E4A9F1D01} is registered to "
               "D:\\old\\comp.dll, not to c:\\windows\\system32\\comp.dll"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(VerifyTest, ExitCodesAndJsonLines) {
  const struct {
    std::vector<std::string> args;
    int exitCode;
  } cases[] = {
      {{"/verify", "/quiet", "/json:C:\\ProgramData\\run.json", kPackage}, 0},
      {{"/verify", "/detect", "/quiet", "gone.dll"}, 0},
      {{"/verify", "/quiet", "gone.dll"}, 1603},
      {{"/install", "/detect", "/quiet", kPackage}, 87},
      {{"/verify", "/quiet"}, 87},
      {{"/verify", "/quiet", "/json:C:\\nowhere\\run.json", kPackage}, 1622},
      {{"/verify", "/detect", "/quiet", "/json:C:\\nowhere\\run.json", kPackage}, 1622},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RunCommandLine(c.args), c.exitCode) << ::testing::PrintToString(c.args);
  }
  // One object a check: the file, Made, its ProgID, the library, IUnknown's key is not there,
  // IEvents, the dependencies and the shared count.
  const std::string json = platform.Content("C:\\ProgramData\\run.json");
  std::size_t lines = 0;
  for (std::size_t at = 0; (at = json.find("\r\n", at)) != std::string::npos; at += 2) ++lines;
  EXPECT_EQ(lines, 7u) << json;
  EXPECT_NE(json.find("\"check\":\"progid\",\"subject\":\"Rules.Made.1\",\"result\":\"ok\""),
            std::string::npos)
      << json;
}

// By name, against what the Install put there, through the copy of the program it kept.
TEST_F(VerifyTest, ByNameAgainstTheLastInstall) {
  (void)platform.Delete(kTarget);
  EXPECT_EQ(RunCommandLine({"/install", "/quiet", kPackage}), 0);
  EXPECT_EQ(platform.Content("C:\\ProgramData\\Kalvenor\\kalvenor.exe"),
            platform.Content("C:\\Kalvenor\\kalvenor.exe"));
  EXPECT_EQ(Verify({"comp.dll"}), 0) << platform.Content("C:\\ProgramData\\run.log");
  platform.AddFile(kTarget, {.content = image + "x"});
  EXPECT_EQ(Verify({"COMP.DLL"}), 1603);
  EXPECT_NE(platform.Content("C:\\ProgramData\\run.log")
                .find("|      failed: its bytes are not those of the file that Kalvenor's Install "
                      "put there"),
            std::string::npos)
      << platform.Content("C:\\ProgramData\\run.log");
}

// /activate creates each class the proof counts (Made: Family is another file's) in a helper of
// the component's bitness, with a line for each, and stops a helper that never ends.
TEST_F(VerifyTest, ActivateWordsEachClassAndStopsAHelperThatHangs) {
  using platform::CaptureOutcome;
  using platform::CaptureStage;
  constexpr char kMadeId[] = "{6D1C7A20-5E2B-4F0A-8C3D-2B7E4A9F1D01}";
  constexpr char kMadeName[] = "class Made {6D1C7A20-5E2B-4F0A-8C3D-2B7E4A9F1D01}";
  EXPECT_EQ(Verify({kPackage}), 0);
  EXPECT_TRUE(platform.activations.empty());
  const struct {
    std::optional<platform::memory::CaptureScript> script;
    int exitCode;
    std::string line;
  } rows[] = {
      {std::nullopt, 0, std::string("|      ") + kMadeName + " created"},
      {{{{},
         CaptureOutcome{CaptureStage::Returned, 0, {}, {}, {{kMadeId, 0x80004001, "Not impl"}}}}},
       1603,
       std::string("|      failed: ") + kMadeName + " cannot be created: 0x80004001, Not impl"},
      {{{{.runsForMs = 3'600'000},
         CaptureOutcome{CaptureStage::Registering, 0, {}, {}, {{kMadeId, std::nullopt, {}}}}}},
       1603,
       std::string("|      failed: the creation of ") + kMadeName +
           " did not end within 30 seconds, and was stopped"},
  };
  for (const auto& row : rows) {
    platform.onActivation = nullptr;
    if (row.script) platform.onActivation = [&](auto&, auto&) { return *row.script; };
    EXPECT_EQ(Verify({"/activate", kPackage}), row.exitCode);
    const std::string log = platform.Content("C:\\ProgramData\\run.log");
    EXPECT_NE(log.find(row.line), std::string::npos) << log;
  }
  EXPECT_EQ(platform.activations.back().second, std::vector<std::string>{kMadeId});
  EXPECT_EQ(platform.terminatedCaptures.size(), 1u);
}

// A licensed class whose factory the helper reached is served: without the vendor's license key
// its creation is refused, which is a note; a class that is not licensed has no such excuse.
TEST_F(VerifyTest, ALicensedClassIsProvedByItsFactory) {
  using platform::CaptureOutcome;
  using platform::CaptureStage;
  std::ifstream file(KALVENOR_AUTOMATION_RULES_TLB, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(file), {}};
  std::vector<std::byte> library(text.size());
  std::memcpy(library.data(), text.data(), text.size());
  const auto built = PeWriter(inspect::Machine::X86).Dll(true).TypeLibrary(library).Build();
  const std::string licensed(reinterpret_cast<const char*>(built.data()), built.size());
  platform.AddFile(kPackage, {.content = licensed});
  platform.AddFile(kTarget, {.content = licensed});
  const std::string plain = "{7E2D4B10-3C5A-4E61-9F08-1A2B3C4D5E03}";
  const std::string lic = "{7E2D4B10-3C5A-4E61-9F08-1A2B3C4D5E04}";
  for (const std::string& clsid : {plain, lic}) {
    Set("CLSID\\" + clsid + "\\InprocServer32", "", kTarget);
    Set("CLSID\\" + clsid + "\\InprocServer32", "ThreadingModel", "Both");
  }
  constexpr std::uint32_t kNotLicensed = 0x80040112;
  const struct {
    std::vector<CaptureOutcome::Activated> results;
    int exitCode;
    std::string line;
  } rows[] = {
      {{{plain, 0, {}, true}, {lic, kNotLicensed, "Not licensed", true}},
       0,
       "|      class Licensed " + lic +
           " is served by its class factory, which creates it only for a licensed client: "
           "0x80040112"},
      {{{plain, kNotLicensed, "Not licensed", true}, {lic, 0, {}, true}},
       1603,
       "|      failed: class Plain " + plain + " cannot be created: 0x80040112"},
      // Refused before any factory was reached: no proof at all.
      {{{plain, 0, {}, true}, {lic, kNotLicensed, "Not licensed", false}},
       1603,
       "|      failed: class Licensed " + lic + " cannot be created: 0x80040112"},
  };
  for (const auto& row : rows) {
    platform.onActivation = [&](auto&, auto&) {
      return platform::memory::CaptureScript{
          {}, CaptureOutcome{CaptureStage::Returned, 0, {}, {}, row.results}};
    };
    EXPECT_EQ(Verify({"/activate", kPackage}), row.exitCode);
    const std::string log = platform.Content("C:\\ProgramData\\run.log");
    EXPECT_NE(log.find(row.line), std::string::npos) << log;
  }
}

// What cannot be checked says so: a 64-bit component found in the 32-bit system directory.
TEST_F(VerifyTest, DependenciesThatCannotBeCheckedAreALine) {
  const auto built =
      PeWriter(inspect::Machine::X64).Dll(true).Import("helper.dll", {{"Help"}}).Build();
  const std::string other(reinterpret_cast<const char*>(built.data()), built.size());
  platform.AddFile(kTarget, {.content = other});
  EXPECT_EQ(Verify({kTarget}), 0);
  const std::string log = platform.Content("C:\\ProgramData\\run.log");
  EXPECT_NE(log.find("|      its DLLs are not checked: a 64-bit component in the 32-bit system "
                     "directory"),
            std::string::npos)
      << log;
}

TEST_F(VerifyTest, TheWindowChecksTheListedFiles) {
  Start();
  static_cast<platform::memory::MemoryForm&>(setup->Window()).ChooseSystemMenu(5);
  EXPECT_NE(Log().find("> Verifying file " + std::string(kTarget) + "\r\n"), std::string::npos)
      << Log();
  EXPECT_EQ(Log().find("failed"), std::string::npos) << Log();
}

// ---- Detection as deployment tools run it after each install, uninstall and evaluation: a
// component named by its name is installed while Kalvenor's Install of it holds, and only then.

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
