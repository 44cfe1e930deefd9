// A capture run: each component's helper ends as its script says; the run says so, goes on with
// the rest and writes what it captured, and changes nothing on the machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "cli/command_line.h"
#include "setup_fixture.h"

namespace kalvenor::testing {
namespace {

using platform::CaptureOutcome;
using platform::CaptureStage;
using platform::memory::CaptureScript;

std::vector<std::byte> Utf16(std::string_view text) {
  std::vector<std::byte> bytes;
  for (const char c : text) bytes.insert(bytes.end(), {std::byte(c), std::byte{0}});
  bytes.insert(bytes.end(), {std::byte{0}, std::byte{0}});
  return bytes;
}

class CaptureTest : public SetupFixture {
 protected:
  CaptureTest() {
    platform.AddFolder("C:");
    platform.AddFolder("C:\\pkg");
    platform.AddFolder("C:\\out");
    platform.onCapture = [this](const std::string& component, platform::RegistryView) {
      return scripts.at(component.substr(component.rfind('\\') + 1));
    };
  }
  std::map<std::string, CaptureScript> scripts;
};

TEST_F(CaptureTest, EachComponentEndsAsItsHelperLeftItAndTheRestGoOn) {
  const platform::RegistryTree classes{
      {"", "CLSID", "CLSID\\{1}", "CLSID\\{1}\\InprocServer32"},
      {{"CLSID\\{1}\\InprocServer32", "", platform::kRegSz, Utf16("C:\\pkg\\ok.dll")}}};
  const auto left = [](CaptureStage stage, std::uint32_t result, std::string message = {}) {
    return CaptureOutcome{stage, result, std::move(message)};
  };
  const struct {
    const char* name;
    CaptureScript script;
    const char* line;
  } rows[] = {
      {"ok.dll",
       {{}, CaptureOutcome{CaptureStage::Returned, 0, {}, {classes, {}, {}}}},
       "|      captured 1 value in 4 keys of the "},
      {"noload.dll",
       {{.exitCode = 0x8007007E},
        left(CaptureStage::Redirected, 0x8007007E, "The specified module could not be found.")},
       "|      failed: it cannot be loaded: 0x8007007E, The specified module could not be found."},
      {"noentry.dll",
       {{.exitCode = 0x8007007F}, left(CaptureStage::Loaded, 0x8007007F)},
       "|      failed: it has no DllRegisterServer, so it does not register itself"},
      {"fails.dll",
       {{.exitCode = 0x80004005}, left(CaptureStage::Returned, 0x80004005, "Unspecified error")},
       "|      failed: its DllRegisterServer failed: 0x80004005, Unspecified error"},
      {"sfalse.dll",
       {{.exitCode = 1}, CaptureOutcome{CaptureStage::Returned, 1, {}, {classes, {}, {}}}},
       "|      captured 1 value in 4 keys of the "},
      {"escapes.dll",
       {{},
        CaptureOutcome{.stage = CaptureStage::Returned,
                       .registration = {classes, {}, {}},
                       .unredirected = "HKEY_CLASSES_ROOT",
                       .usersValues = 2}},
       "|      failed: its registration undid the redirection of HKEY_CLASSES_ROOT, so what it "
       "wrote there may have reached the live registry: none of it is taken"},
      {"crash.dll",
       {{.exitCode = 0xC0000005}, left(CaptureStage::Registering, 0)},
       "|      failed: it crashed in its DllRegisterServer, with exception 0xC0000005"},
      {"hang.dll",
       {{.runsForMs = 3'600'000}, left(CaptureStage::Registering, 0)},
       "|      failed: its registration did not end within 30 seconds, and was stopped"},
      {"nostart.dll",
       {{.startError = platform::SystemError{5, "Access is denied."}}, CaptureOutcome{}},
       "|      failed: the capture cannot start: Access is denied."},
  };
  for (const auto& row : rows) {
    platform.AddFile(std::string("C:\\pkg\\") + row.name, {.content = row.name});
    scripts[row.name] = row.script;
  }
  EXPECT_EQ(RunCommandLine({"/capture", "/quiet", "/log:C:\\run.log", "/json:C:\\run.json",
                            "/wxs:C:\\out\\c.wxs", "C:\\pkg"}),
            cli::kExitFailed);
  const std::string log = platform.Content("C:\\run.log");
  for (const auto& row : rows) {
    EXPECT_NE(log.find(std::string("> Capturing file C:\\pkg\\") + row.name + "\r\n" + row.line),
              std::string::npos)
        << row.name << "\n"
        << log;
  }
  EXPECT_EQ(platform.terminatedCaptures, std::vector<std::string>{"C:\\pkg\\hang.dll"});
  // Only what was captured is written; nothing is registered, copied or journaled.
  const std::string wxs = platform.Content("C:\\out\\c.wxs");
  EXPECT_NE(wxs.find("ok.dll"), std::string::npos);
  EXPECT_EQ(wxs.find("fails.dll"), std::string::npos);
  const std::string json = platform.Content("C:\\run.json");
  EXPECT_NE(json.find("{\"component\":\"C:\\\\pkg\\\\ok.dll\""), std::string::npos) << json;
  EXPECT_TRUE(platform.started.empty());
  for (const std::string& file : platform.Files()) {
    EXPECT_FALSE(file.starts_with("C:\\WINDOWS\\system32\\") && file.ends_with(".dll")) << file;
    EXPECT_EQ(file.find("\\runs\\"), std::string::npos) << file;
  }
}

// A manifest Windows would refuse is a failed line, not a file; nothing of it is left.
TEST_F(CaptureTest, AManifestWindowsRefusesIsNeverWritten) {
  platform.AddFile("C:\\pkg\\ok.dll", {.content = "ok"});
  scripts["ok.dll"] = {};
  platform.onCheckManifest = [](const std::string&, platform::RegistryView) {
    return std::optional(platform::SystemError{14001, "The side-by-side configuration is bad."});
  };
  EXPECT_EQ(RunCommandLine({"/capture", "/quiet", "/log:C:\\run.log",
                            "/manifest:C:\\out\\app.exe.manifest", "C:\\pkg\\ok.dll"}),
            cli::kExitFailed);
  EXPECT_NE(platform.Content("C:\\run.log")
                .find("> Writing file C:\\out\\app.exe.manifest\r\n|      failed: Windows does "
                      "not take it as a manifest: The side-by-side configuration is bad."),
            std::string::npos)
      << platform.Content("C:\\run.log");
  for (const std::string& file : platform.Files()) EXPECT_FALSE(file.starts_with("C:\\out\\"));
}

// An export is judged again as it is written, and its temporary file goes through its handle and
// its folder's: a folder that leads elsewhere since the run began (or that was not there then),
// or as soon as that was checked, a link in the temporary file's name, or its file swapped or
// moved away while Windows reads the manifest, takes nothing and loses nothing.
TEST_F(CaptureTest, AnExportGoesNowhereButWhereItWasNamed) {
  platform.AddFile("C:\\pkg\\ok.dll", {.content = "ok"});
  platform.AddFile("C:\\keep\\precious.dll", {.content = "precious"});
  scripts["ok.dll"] = {};
  const std::string copy = ".kalvenor-copy-" + std::to_string(platform.ProcessId());
  enum Meanwhile {
    Nothing,
    LinkedTemporary,
    SwappedOnceChecked,
    SwappedInCheck,
    MovedInCheck,
    ChangedInCheck
  };
  const struct {
    const char* below;    // the export's folder below the row's own, missing at the start
    const char* leadsTo;  // where that folder leads once the capture runs: a system folder, or
                          // (with "") the row's other folder, which holds a file of the name
    Meanwhile meanwhile;
    std::string failed;
  } rows[] = {
      {"", "C:\\WINDOWS\\system32", Nothing,
       "it cannot be written there: its folder has come to lead elsewhere since the run began"},
      {"", "", Nothing,
       "it cannot be written there: its folder has come to lead elsewhere since the run began"},
      {"\\new", "", Nothing,
       "it cannot be written there: its folder could not be opened when the run began"},
      {"", nullptr, LinkedTemporary, ""},  // another name is taken
      // The first file lands in the folder held, moved, and says so; the others are refused.
      // (Wine makes it there too, but renames it by its folder's old path, and fails.)
      {"", nullptr, SwappedOnceChecked,
       "failed: it was written to C:\\out\\5-away\\app.components.manifest: its folder has "
       "come to lead elsewhere since the run began"},
      {"", nullptr, SwappedInCheck, copy + ": it is no longer the file this run made there"},
      {"", nullptr, MovedInCheck, copy + ": it is no longer the file this run made there"},
      {"", nullptr, ChangedInCheck, copy + ": it was changed while Windows read it"},
  };
  int n = 0;
  for (const auto& row : rows) {
    const std::string own = "C:\\out\\" + std::to_string(++n), folder = own + row.below;
    const std::string other = "C:\\elsewhere\\" + std::to_string(n), log = own + ".log";
    const std::string manifest = folder + "\\app.exe.manifest";
    platform.AddFolder(own);
    platform.AddFolder(other);
    platform.AddFile(other + "\\app.exe.manifest", {.content = "theirs"});
    if (row.meanwhile == LinkedTemporary) {
      platform.AddLink(manifest + copy, "C:\\keep\\precious.dll");
    }
    const auto swap = [&] {
      (void)platform.Rename(folder, folder + "-away");
      platform.AddLink(folder, other);
    };
    bool captured = false;
    platform.onIdentified = [&](const std::string& path) {
      if (captured && path == folder && row.meanwhile == SwappedOnceChecked) {
        captured = false;
        swap();
      }
    };
    platform.onCapture = [&](const std::string&, platform::RegistryView) {
      captured = true;
      if (row.leadsTo) {
        (void)platform.RemoveFolder(folder);
        platform.AddLink(folder, *row.leadsTo ? row.leadsTo : other);
      }
      return CaptureScript{};
    };
    platform.onCheckManifest = [&](const std::string& path, platform::RegistryView) {
      if (path.ends_with(copy) && row.meanwhile == SwappedInCheck) {
        (void)platform.Delete(path);
        platform.AddFile(path, {.content = "planted"});
      } else if (path.ends_with(copy) && row.meanwhile == MovedInCheck) {
        // Its move keeps what it is, as NTFS keeps a file's ID.
        (void)platform.Rename(path, other + path.substr(path.rfind('\\')));
        swap();
      } else if (path.ends_with(copy) && row.meanwhile == ChangedInCheck) {
        (void)platform.AppendDurably(path, "<!-- planted -->");
      }
      return std::optional<platform::SystemError>();
    };
    EXPECT_EQ(RunCommandLine({"/capture", "/quiet", "/log:" + log, "/manifest:" + manifest,
                              "C:\\pkg\\ok.dll"}),
              row.failed.empty() ? cli::kExitDone : cli::kExitFailed)
        << row.failed;
    EXPECT_NE(platform.Content(log).find(row.failed), std::string::npos) << platform.Content(log);
    EXPECT_EQ(platform.Content(manifest).starts_with("<?xml"), row.failed.empty()) << row.failed;
    EXPECT_EQ(platform.Content("C:\\keep\\precious.dll"), "precious") << row.failed;
    EXPECT_EQ(platform.Content(other + "\\app.exe.manifest"), "theirs") << row.failed;
    EXPECT_EQ(platform.Content(folder + "-away\\app.components.manifest").starts_with("<?xml"),
              row.meanwhile == SwappedOnceChecked);
    // Nothing made there; the file moved there by another stays with them.
    for (const std::string& file : platform.Files()) {
      EXPECT_FALSE(file.starts_with(other) && !file.ends_with("\\app.exe.manifest") &&
                   row.meanwhile != MovedInCheck)
          << row.failed << ": " << file;
    }
  }
  platform.onIdentified = nullptr;
}

// An export in a drive's root lands there in any spelling, whatever the current folder.
TEST_F(CaptureTest, AnExportInADrivesRootIsWrittenThere) {
  platform.AddFile("C:\\pkg\\ok.dll", {.content = "ok"});
  scripts["ok.dll"] = {};
  platform.SetCurDir("C:\\pkg");
  for (const char* wxs : {"C:\\c.wxs", "\\\\?\\C:\\d.wxs"}) {
    EXPECT_EQ(RunCommandLine({"/capture", "/quiet", std::string("/wxs:") + wxs, "C:\\pkg\\ok.dll"}),
              cli::kExitDone)
        << wxs;
    EXPECT_TRUE(platform.Content(wxs).starts_with("<?xml")) << wxs;
  }
}

// A manifest's own files beside it are outputs too: another output of the same name, which one
// would replace, is refused before anything runs, and so is a place where only they may not lie.
TEST_F(CaptureTest, NoOtherOutputNamesAManifestsOwnFiles) {
  platform.AddFile("C:\\pkg\\ok.dll", {.content = "ok"});
  scripts["ok.dll"] = {};
  const std::string manifest = "/manifest:C:\\out\\app.exe.manifest";
  const std::array<std::string, 3> rows[] = {
      {"/reg:C:\\out\\app.components.manifest", manifest,
       "/reg: and /manifest: name the same file, C:\\out\\app.components.manifest"},
      {"/json:c:\\OUT\\App.Dependency.x64.manifest", manifest,
       "/json: and /manifest: name the same file, C:\\out\\app.dependency.x64.manifest"},
      {"/wxs:C:\\out\\app.exe.x86.manifest", manifest,
       "/wxs: and /manifest: name the same file, C:\\out\\app.exe.x86.manifest"},
      // The store takes a report's name, never a manifest's.
      {"/json:C:\\out\\r.json", "/manifest:C:\\ProgramData\\Kalvenor\\app.json",
       "/manifest: cannot name C:\\ProgramData\\Kalvenor\\app.json.components.manifest: it "
       "lies in the journal's store"},
  };
  for (const auto& [other, output, why] : rows) {
    platform.console = "";
    EXPECT_EQ(RunCommandLine({"/capture", "/quiet", other, output, "C:\\pkg\\ok.dll"}),
              cli::kExitBadArguments)
        << other;
    EXPECT_NE(platform.console->find(why), std::string::npos) << *platform.console;
  }
  EXPECT_TRUE(platform.captures.empty());
}

// The window's list may name one file twice; the exports describe it once.
TEST_F(CaptureTest, AFileListedTwiceIsCapturedOnce) {
  platform.AddFile("C:\\pkg\\ok.dll", {.content = "ok"});
  scripts["ok.dll"] = {};
  engine::Engine engine(services);
  engine.Run({.kind = engine::RunKind::Capture,
              .items = {"C:\\pkg\\ok.dll", "c:\\PKG\\ok.dll"},
              .exports = {.wxs = "C:\\out\\c.wxs"}});
  EXPECT_EQ(platform.captures.size(), 1u);
  const std::string wxs = platform.Content("C:\\out\\c.wxs");
  EXPECT_NE(wxs.find("<File "), std::string::npos) << wxs;
  EXPECT_EQ(wxs.find("<File "), wxs.rfind("<File ")) << wxs;
}

// However many components and outputs a capture has, the package is listed once to judge the
// exports and once to run, and each file opened as often: no work done again for each output or
// each pair of files.
TEST_F(CaptureTest, NoWorkIsRepeatedForEachOutputOrPairOfFiles) {
  const struct {
    int components;
    std::vector<std::string> outputs;
  } rows[] = {
      {2, {"/log:C:\\out\\run.log", "/json:C:\\out\\run.json", "/wxs:C:\\out\\c.wxs"}},
      {6,
       {"/log:C:\\out\\run.log", "/json:C:\\out\\run.json", "/wxs:C:\\out\\c.wxs",
        "/reg:C:\\out\\c.reg", "/manifest:C:\\out\\app.exe.manifest"}},
  };
  std::vector<std::vector<std::size_t>> counts;
  for (const auto& row : rows) {
    for (int i = 1; i <= row.components; ++i) {
      const std::string name = "comp" + std::to_string(i) + ".dll";
      if (!platform.HasFile("C:\\pkg\\" + name)) platform.AddFile("C:\\pkg\\" + name);
      scripts[name] = {};
    }
    std::vector<std::string> args{"/capture", "/quiet"};
    args.insert(args.end(), row.outputs.begin(), row.outputs.end());
    args.push_back("C:\\pkg");
    platform.identified.clear();
    platform.listed.clear();
    ASSERT_EQ(RunCommandLine(args), cli::kExitDone);
    const auto times = [](const std::vector<std::string>& calls, const char* path) {
      return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), path));
    };
    EXPECT_EQ(times(platform.listed, "C:\\pkg\\*.dll"), 2u) << row.components;
    counts.push_back({times(platform.identified, "C:\\pkg\\comp1.dll"),
                      times(platform.identified, "C:\\out\\run.log")});
  }
  EXPECT_EQ(counts[0], counts[1]);
}

// The window's system menu captures the listed files into the kind of file it names.
TEST_F(CaptureTest, TheWindowCapturesTheListedFilesIntoTheFileItsDialogGives) {
  platform.AddFile(std::string(kAppFolder) + "\\ok.dll", {.content = "ok"});
  scripts["ok.dll"] = {};
  Start();
  auto& form = static_cast<platform::memory::MemoryForm&>(setup->Window());
  form.ChooseSystemMenu(3);  // Cancel: nothing runs
  EXPECT_TRUE(platform.captures.empty());
  platform.nextSaveChoice = "C:\\out\\components.reg";
  form.ChooseSystemMenu(3);
  EXPECT_EQ(platform.saveRequests.back().defaultExtension, "reg");
  EXPECT_NE(Log().find("> Capturing file " + std::string(kAppFolder) + "\\ok.dll"),
            std::string::npos)
      << Log();
  EXPECT_TRUE(platform.Content("C:\\out\\components.reg").starts_with("\xFF\xFE"));
  // A manifest's own files are judged with it: the journal's store takes a report's name alone.
  const std::size_t captured = platform.captures.size();
  platform.nextSaveChoice = "C:\\ProgramData\\Kalvenor\\app.json";
  form.ChooseSystemMenu(4);
  EXPECT_EQ(platform.captures.size(), captured);
  EXPECT_NE(platform.messageBoxes.back().find("cannot be saved to C:\\ProgramData\\Kalvenor\\"
                                              "app.json.components.manifest: it lies in the "
                                              "journal's store"),
            std::string::npos)
      << platform.messageBoxes.back();
}

}  // namespace
}  // namespace kalvenor::testing
