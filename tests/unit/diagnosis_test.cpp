// Why the tool failed on a component, read from images made here and a memory file system.
#include <gtest/gtest.h>

#include <functional>

#include "inspect/diagnosis.h"
#include "inspect/pe_image.h"
#include "pe_writer.h"
#include "platform/memory/memory_platform.h"

namespace kalvenor::testing {
namespace {

using inspect::Diagnose;
using inspect::Machine;
using platform::memory::MemoryPlatform;

constexpr char kSystem[] = "C:\\WINDOWS\\system32";
constexpr char kCopy[] = "C:\\WINDOWS\\system32\\comp.dll";

std::string Text(const std::vector<std::byte>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// A component that registers, built for `machine`.
PeWriter Component(Machine machine = Machine::X86) {
  PeWriter writer(machine);
  writer.Dll(true).Export("DllRegisterServer").Export("DllUnregisterServer");
  writer.Import("kernel32.dll", {"LoadLibraryW"});
  return writer;
}

struct Case {
  const char* name;
  std::function<void(MemoryPlatform&)> setUp;  // puts the copy and what it needs in place
  std::optional<std::uint32_t> exitCode;
  const char* firstCause;  // the beginning of the first cause
};

class DiagnosisTest : public ::testing::TestWithParam<Case> {};

// Windows with its kernel32.dll, a source folder and a folder on PATH.
void PrepareSystem(MemoryPlatform& platform) {
  for (const char* folder : {"C:", "C:\\WINDOWS", kSystem, "C:\\Source", "C:\\Tools"}) {
    platform.AddFolder(folder);
  }
  platform.AddFile(
      std::string(kSystem) + "\\kernel32.dll",
      {.content = Text(PeWriter(Machine::X86).Dll(true).Export("LoadLibraryW").Build())});
  platform.SetEnv("WINDIR", "C:\\WINDOWS");
  platform.SetEnv("PATH", "C:\\Tools");
}

TEST_P(DiagnosisTest, NamesTheMostLikelyCauseFirst) {
  MemoryPlatform platform;
  PrepareSystem(platform);
  GetParam().setUp(platform);

  const std::vector<std::string> causes =
      Diagnose(platform, {kCopy, "C:\\Source\\comp.dll", kSystem, true}, GetParam().exitCode);
  ASSERT_FALSE(causes.empty());
  EXPECT_LE(causes.size(), inspect::kMaxCauses);
  EXPECT_TRUE(causes[0].starts_with(GetParam().firstCause)) << causes[0];
  // The step's line names the copy already; a cause names only other files.
  for (const std::string& cause : causes) EXPECT_EQ(cause.find(kCopy), std::string::npos) << cause;
}

void Put(MemoryPlatform& platform, const std::string& path, PeWriter writer) {
  platform.AddFile(path, {.content = Text(writer.Build())});
}

// A manifest's binding of the VC90 runtime of `version` and `architecture`.
std::string Vc90(const std::string& version, const std::string& architecture = "x86") {
  return "<dependency><dependentAssembly><assemblyIdentity type=\"win32\" "
         "name=\"Microsoft.VC90.CRT\" version=\"" +
         version + "\" processorArchitecture=\"" + architecture +
         "\" publicKeyToken=\"1fc8b3b9a1e18e3b\"/></dependentAssembly></dependency>";
}

// The copy, needing msvcr90.dll, with `manifest` as resource `id`; the store holding the x86
// VC90 runtime of release `installed`.
void PutRuntime(MemoryPlatform& p, const std::string& manifest, const std::string& installed,
                std::uint32_t id = 2) {
  Put(p, kCopy, Component().Import("msvcr90.dll", {"f"}).Manifest(manifest, id));
  const std::string assembly =
      "C:\\WINDOWS\\WinSxS\\x86_microsoft.vc90.crt_1fc8b3b9a1e18e3b_" + installed + "_none_1";
  p.AddFolder("C:\\WINDOWS\\WinSxS");
  p.AddFolder(assembly);
  Put(p, assembly + "\\msvcr90.dll", PeWriter(Machine::X86).Dll(true).Export("f"));
}

INSTANTIATE_TEST_SUITE_P(
    Components, DiagnosisTest,
    ::testing::Values(
        Case{"Gone", [](MemoryPlatform&) {}, 3, "cannot be read"},
        Case{"Empty", [](MemoryPlatform& p) { p.AddFile(kCopy); }, 3, "the file is empty"},
        Case{"Text", [](MemoryPlatform& p) { p.AddFile(kCopy, {.content = "MZ but no more"}); }, 3,
             "no Windows DLL"},
        Case{"OtherBitness", [](MemoryPlatform& p) { Put(p, kCopy, Component(Machine::X64)); }, 3,
             "a 64-bit DLL, which the 32-bit regsvr32.exe cannot load: register it with the "
             "x64 build of Kalvenor"},
        Case{"NoEntryPoint",
             [](MemoryPlatform& p) { Put(p, kCopy, PeWriter(Machine::X86).Dll(true)); }, 4,
             "exports no DllRegisterServer"},
        Case{"NoEntryPointBeforeMissingDlls",
             [](MemoryPlatform& p) {
               Put(p, kCopy, PeWriter(Machine::X86).Dll(true).Import("libgcc_s_dw2-1.dll", {"f"}));
             },
             3, "exports no DllRegisterServer"},
        Case{"DotNet",
             [](MemoryPlatform& p) { Put(p, kCopy, PeWriter(Machine::X86).Dll(true).DotNet()); }, 4,
             "a .NET assembly"},
        Case{"MissingDll",
             [](MemoryPlatform& p) { Put(p, kCopy, Component().Import("absent.dll", {"f"})); }, 3,
             "needs absent.dll, which is in none of the folders"},
        Case{"Runtime",
             [](MemoryPlatform& p) { Put(p, kCopy, Component().Import("MSVCR90.dll", {"f"})); }, 3,
             "needs MSVCR90.dll, which is not installed: install the Microsoft Visual C++ 2008 "
             "Redistributable (x86)"},
        Case{"SiblingLeftBehind",
             [](MemoryPlatform& p) {
               Put(p, kCopy, Component().Import("helper.dll", {"f"}));
               p.AddFile("C:\\Source\\helper.dll");
             },
             3, "needs helper.dll, which lies beside C:\\Source\\comp.dll"},
        Case{"DeepInAChain",
             [](MemoryPlatform& p) {
               Put(p, kCopy, Component().Import("helper.dll", {"f"}));
               Put(p, "C:\\Tools\\helper.dll",
                   PeWriter(Machine::X86).Dll(true).Export("f").Import("deep.dll", {"g"}));
             },
             3, "needs deep.dll (through helper.dll), which is in none"},
        Case{"DependencyOfTheOtherBitness",
             [](MemoryPlatform& p) {
               Put(p, kCopy, Component().Import("helper.dll", {"f"}));
               Put(p, "C:\\Tools\\helper.dll", PeWriter(Machine::X64).Dll(true).Export("f"));
             },
             3, "needs helper.dll, but C:\\Tools\\helper.dll is not 32-bit"},
        Case{"MissingFunction",
             [](MemoryPlatform& p) {
               Put(p, kCopy, Component().Import("helper.dll", {"Newer"}));
               Put(p, "C:\\Tools\\helper.dll", PeWriter(Machine::X86).Dll(true).Export("Older"));
             },
             3, "needs Newer from C:\\Tools\\helper.dll"},
        Case{"SideBySideRuntimeIsFound",
             [](MemoryPlatform& p) { PutRuntime(p, Vc90("9.0.21022.8"), "9.0.30729.9625"); }, 5,
             "its registration code reported an error"},
        // A commented or optional binding binds nothing, nor does a program's manifest: the runtime
        // is not looked for in the store.
        Case{"SideBySideBindsOnlyWhatTheLoaderReads",
             [](MemoryPlatform& p) {
               PutRuntime(p,
                          "<!--" + Vc90("9.0.21022.8", "amd64") +
                              "--><dependency optional=\"yes\">" +
                              Vc90("9.0.21022.8", "amd64").substr(12) + Vc90("9.0.21022.8"),
                          "9.0.30729.9625");
             },
             5, "its registration code reported an error"},
        Case{"SideBySideOptionalAndHeld",
             [](MemoryPlatform& p) {
               PutRuntime(p, "<dependency optional=\"yes\">" + Vc90("9.0.21022.8").substr(12),
                          "9.0.30729.9625");
             },
             5, "its registration code reported an error"},
        Case{"SideBySideOfAProgramsManifest",
             [](MemoryPlatform& p) { PutRuntime(p, Vc90("9.0.21022.8"), "9.0.30729.9625", 1); }, 3,
             "needs msvcr90.dll, which is not installed"},
        // The manifest's release is newer than the store's, in either of two bindings; or its
        // bitness is not the component's, whatever the store holds.
        Case{"SideBySideRuntimeTooOld",
             [](MemoryPlatform& p) {
               PutRuntime(p, Vc90("9.0.21022.8") + Vc90("9.0.30729.6161"), "9.0.21022.8");
             },
             3,
             "needs Microsoft.VC90.CRT 9.0.30729.6161, of which Windows holds only the older "
             "9.0.21022.8: install the Microsoft Visual C++ 2008 Redistributable (x86)"},
        Case{"SideBySideRuntimeOfTheOtherBitness",
             [](MemoryPlatform& p) { PutRuntime(p, Vc90("9.0.21022.8", "amd64"), "9.0.21022.8"); },
             3,
             "its manifest binds the 64-bit Microsoft.VC90.CRT, so Windows cannot load it: ask its "
             "vendor for a build whose manifest names the 32-bit one"},
        Case{"ApiSetsAreNoFiles",
             [](MemoryPlatform& p) {
               Put(p, kCopy, Component().Import("api-ms-win-crt-runtime-l1-1-0.dll", {"f"}));
             },
             1, "nothing in the file or the DLLs it needs"},
        Case{"NotElevated",
             [](MemoryPlatform& p) {
               Put(p, kCopy, Component());
               p.SetElevated(false);
             },
             5,
             "its registration code reported an error: Kalvenor is not running as "
             "administrator"},
        Case{"CrashWithALaterFailureLast",
             [](MemoryPlatform& p) { Put(p, kCopy, Component().DelayImport("later.dll", {"f"})); },
             0xC0000005, "its registration code crashed with exception 0xC0000005"}),
    [](const auto& info) { return std::string(info.param.name); });

// A delay-loaded DLL that is missing fails only a later call: never the cause, always last.
TEST(Diagnosis, AMissingDelayLoadedDllIsOnlyALaterFailure) {
  MemoryPlatform platform;
  PrepareSystem(platform);
  platform.AddFile(kCopy, {.content = Text(Component().DelayImport("later.dll", {"f"}).Build())});
  const auto causes = Diagnose(platform, {kCopy, "", kSystem, true}, 0xC0000005);
  ASSERT_EQ(causes.size(), 2u);
  EXPECT_TRUE(causes[1].starts_with("may fail later: ")) << causes[1];
}

// WINDIR may name another folder than the system's own (a user's setting, a private Windows of
// the bench): the loader searches the system directory and the side-by-side store all the same,
// and its DLLs are Windows'; WINDIR's own folder it never searches, and what lies in WINDIR's
// system directory is no more Windows' own than any other folder's. An assembly the manifest
// binds comes before any folder.
TEST(Diagnosis, TheSystemsOwnFoldersHoldDllsWhateverWindirSays) {
  const std::string runtime =
      "<dependency><dependentAssembly><assemblyIdentity type=\"win32\" "
      "name=\"Microsoft.VC90.CRT\" version=\"9.0.21022.8\" processorArchitecture=\"x86\" "
      "publicKeyToken=\"1fc8b3b9a1e18e3b\"/></dependentAssembly></dependency>";
  const std::pair<PeWriter, const char*> rows[] = {
      {Component(), ""},
      {Component().Import("msvcr90.dll", {"f"}).Manifest(runtime), ""},
      {Component().Import("helper.dll", {"f"}), "needs helper.dll, which is in none"},
      {Component().Import("near.dll", {"f"}), "needs deep.dll (through near.dll), which is in"},
      {Component().Import("root.dll", {"f"}), "needs root.dll, but C:\\root.dll is not 32-bit"},
  };
  for (const auto& [component, cause] : rows) {
    MemoryPlatform platform;
    PrepareSystem(platform);
    platform.AddFolder("C:\\Private");
    platform.AddFolder("C:\\Private\\system32");
    platform.SetEnv("WINDIR", "C:\\Private");
    platform.AddFolder("C:\\Tools");
    platform.SetEnv("PATH", "C:\\Tools;C:\\");
    platform.SetCurDir(kSystem);  // "C:" is not the drive's root
    Put(platform, "C:\\Tools\\msvcr90.dll", PeWriter(Machine::X64).Dll(true).Export("f"));
    Put(platform, "C:\\root.dll", PeWriter(Machine::X64).Dll(true).Export("f"));
    Put(platform, "C:\\Private\\system32\\near.dll",
        PeWriter(Machine::X86).Dll(true).Export("f").Import("deep.dll", {"g"}));
    const std::string assembly =
        "C:\\WINDOWS\\WinSxS\\x86_microsoft.vc90.crt_1fc8b3b9a1e18e3b_9.0.30729.9625_x";
    platform.AddFolder("C:\\WINDOWS\\WinSxS");
    platform.AddFolder(assembly);
    Put(platform, assembly + "\\msvcr90.dll", PeWriter(Machine::X86).Dll(true).Export("f"));
    Put(platform, "C:\\Private\\helper.dll", PeWriter(Machine::X86).Dll(true).Export("f"));
    const std::vector<std::byte> bytes = PeWriter(component).Build();
    const std::string copy = "C:\\Private\\system32\\comp.dll";
    platform.AddFile(copy, {.content = Text(bytes)});
    const std::optional<inspect::PeImage> image = inspect::ReadPeImage(bytes);
    ASSERT_TRUE(image);
    inspect::LoaderLookups lookups;
    const auto causes = inspect::DependencyCauses(
        platform, {copy, "", "C:\\Private\\system32", true}, *image, lookups);
    EXPECT_EQ(causes.empty(), *cause == '\0') << cause;
    if (!causes.empty()) {
      EXPECT_TRUE(causes.front().text.starts_with(cause)) << causes.front().text;
    }
  }
}

// The 32-bit tool of 64-bit Windows reads PATH's system32 as SysWOW64, and a relative folder
// from its current one, the system directory: not from this program's.
TEST(Diagnosis, PathIsSearchedAsTheToolsLoaderReadsIt) {
  for (const char* path : {"C:\\Windows\\system32\\wbem", "wbem"}) {
    MemoryPlatform platform;
    platform.SetApp({.path = "C:\\Package", .bits = 64});
    platform.SetCurDir("C:\\Package");
    platform.SetEnv("WINDIR", "C:\\Windows");
    platform.SetEnv("PATH", path);
    for (const char* folder :
         {"C:\\Windows\\system32\\wbem", "C:\\Windows\\SysWOW64\\wbem", "C:\\Package\\wbem"}) {
      Put(platform, std::string(folder) + "\\framedyn.dll",
          PeWriter(std::string_view(folder).find("WOW") == std::string_view::npos ? Machine::X64
                                                                                  : Machine::X86)
              .Dll(true)
              .Export("f"));
    }
    const std::string copy = "C:\\Windows\\SysWOW64\\comp.dll";
    const std::vector<std::byte> bytes =
        PeWriter(Machine::X86).Dll(true).Import("framedyn.dll", {"f"}).Build();
    platform.AddFile(copy, {.content = Text(bytes)});
    inspect::LoaderLookups lookups;
    const auto causes =
        inspect::DependencyCauses(platform, {copy, "", "C:\\Windows\\SysWOW64", true, Machine::X86},
                                  *inspect::ReadPeImage(bytes), lookups);
    EXPECT_TRUE(causes.empty()) << path << ": " << causes.front().text;
  }
}

}  // namespace
}  // namespace kalvenor::testing
