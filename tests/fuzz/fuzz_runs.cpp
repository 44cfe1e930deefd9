// Fuzzes a whole Install and Remove over a listed file whose name comes from the fuzzer, on the
// in-memory platform: the registration command line must always be the tool's path, the switch
// and the target between double quotes, and the run must always end with the done prompt.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/memory/memory_platform.h"
#include "setup/frm_setup.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string name(reinterpret_cast<const char*>(data), size);
  if (name.empty() || name.find_first_of("\\\r\n") != std::string::npos) return 0;

  kalvenor::platform::memory::MemoryPlatform platform;
  platform.AddFolder("C:\\Kalvenor");
  platform.AddFolder("C:\\W\\system32");
  platform.AddFile("C:\\W\\system32\\regsvr32.exe");
  platform.SetEnv("WINDIR", "C:\\W");
  platform.AddFolder("D:\\in");
  platform.AddFile("D:\\in\\" + name, {.content = "x"});
  kalvenor::platform::Services services{platform, platform};
  kalvenor::engine::Engine engine(services);
  kalvenor::Selection selection;
  kalvenor::frmSetup setup(services, engine, selection);
  platform.Click(setup.Window(), kalvenor::Id(kalvenor::SetupId::chkAutoManual));
  setup.Arrray_Add("D:\\in\\" + name);

  for (kalvenor::SetupId run : {kalvenor::SetupId::cmdInstall, kalvenor::SetupId::cmdRemove}) {
    platform.Click(setup.Window(), kalvenor::Id(run));
    Check(setup.Done());
    const std::string log =
        setup.Window().TextBoxItem(kalvenor::Id(kalvenor::SetupId::txtOperations)).Text();
    Check(log.ends_with("\r\nDone. Click on the form or hit any key.\r\n"));
    platform.Click(setup.Window(), kalvenor::platform::FormEvents::kSurface);
  }
  for (const auto& [program, commandLine] : platform.started) {
    Check(program == "c:\\w\\system32\\regsvr32.exe");
    const std::string target = "\"c:\\w\\system32\\" + name + "\"";
    Check(commandLine == program + " /s " + target || commandLine == program + " /u /s " + target);
  }
  return 0;
}
