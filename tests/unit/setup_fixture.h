#pragma once
// A Setup window on the in-memory platform, with a program folder and a system directory.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "cli/unattended.h"
#include "platform/memory/memory_form.h"
#include "platform/memory/memory_platform.h"
#include "setup/frm_setup.h"

namespace kalvenor::testing {

using platform::memory::FileOptions;
using platform::memory::MemoryPlatform;

inline constexpr char kAppFolder[] = "C:\\Kalvenor";
inline constexpr char kSystem32[] = "c:\\windows\\system32";

class SetupFixture : public ::testing::Test {
 protected:
  SetupFixture() {
    platform.AddFolder(kAppFolder);
    platform.AddFile(std::string(kAppFolder) + "\\kalvenor.exe");
    platform.AddFolder("C:\\WINDOWS");
    platform.AddFolder("C:\\WINDOWS\\system32");
    platform.AddFile("C:\\WINDOWS\\system32\\regsvr32.exe");
    platform.SetEnv("WINDIR", "C:\\WINDOWS");
    platform.AddFolder("C:\\ProgramData");
  }

  frmSetup& Start() {
    setup.reset();
    engine = std::make_unique<engine::Engine>(services);
    selection = {};
    setup = std::make_unique<frmSetup>(services, *engine, selection);
    return *setup;
  }

  // An unattended run with these arguments; with /quiet it makes no window, not even for a
  // moment, which `windowless` asks of every tool run.
  int RunCommandLine(const std::vector<std::string>& args) {
    struct NoWindow final : cli::RunWindow {
      void Open(engine::Engine&, const engine::Plan&) override { ADD_FAILURE(); }
      void WaitUntilClosed() override { ADD_FAILURE(); }
    } window;
    engine::Engine engine(services);
    return cli::RunCommandLine(services, engine, args, window);
  }

  platform::Control& Item(SetupId id) { return setup->Window().Item(Id(id)); }
  bool Enabled(SetupId id) { return Item(id).Enabled(); }
  bool Visible(SetupId id) { return Item(id).Visible(); }
  void Click(SetupId id) { platform.Click(setup->Window(), Id(id)); }
  void ClickSurface() { platform.Click(setup->Window(), platform::FormEvents::kSurface); }
  void Key(int key) { platform.KeyPress(setup->Window(), key); }

  std::vector<std::string> ListItems() {
    auto& list = setup->Window().ListBoxItem(Id(SetupId::fileList));
    std::vector<std::string> items;
    for (std::size_t i = 0; i < list.ListCount(); ++i) items.push_back(list.List(i));
    return items;
  }

  std::string Log() { return setup->Window().TextBoxItem(Id(SetupId::txtOperations)).Text(); }

  // The log's lines; each must end with CR LF.
  std::vector<std::string> LogLines() {
    const std::string text = Log();
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
      lines.push_back(text.substr(start, end - start));
    }
    EXPECT_EQ(start, text.size()) << "log does not end with CR LF";
    return lines;
  }

  // The enabled state of Install, Remove, Overwrite copy, Clear list, Add File..., Exit and
  // the two check boxes, in that order.
  std::vector<bool> CommandStates() {
    std::vector<bool> states;
    for (SetupId id :
         {SetupId::cmdInstall, SetupId::cmdRemove, SetupId::cmdBlindCopy, SetupId::cmdListClear,
          SetupId::cmdListAdd, SetupId::cmdQuit, SetupId::chkAutoManual, SetupId::chkSilent}) {
      states.push_back(Enabled(id));
    }
    return states;
  }

  MemoryPlatform platform;
  platform::Services services{platform, platform};
  std::unique_ptr<engine::Engine> engine;
  Selection selection;
  std::unique_ptr<frmSetup> setup;
};

}  // namespace kalvenor::testing
