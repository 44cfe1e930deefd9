// Proof of a registration against the component's type library, and the library's reader.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

#include "inspect/type_library.h"
#include "inspect/verification.h"
#include "paths/paths.h"
#include "pe_writer.h"
#include "platform/memory/memory_platform.h"

namespace kalvenor::testing {
namespace {

using platform::RegistryRoot;
using platform::RegistryView;
using Bytes = std::vector<std::byte>;

constexpr char kCopy[] = "c:\\windows\\system32\\comp.dll";
constexpr char kClsid[] = "{069D1E67-6900-4A01-BC80-D77EE99E1CF4}";
constexpr char kServerKey[] = "CLSID\\{069D1E67-6900-4A01-BC80-D77EE99E1CF4}\\InprocServer32";

TEST(TypeLibrary, ReadsTheClassAndNeverReadsOutsideTheBytes) {
  const Bytes library = TypeLibrary("SampleComponent");
  const auto read = inspect::ReadTypeLibrary(library);
  ASSERT_TRUE(read);
  const auto* classes = &read->classes;
  ASSERT_EQ(classes->size(), 1u);
  EXPECT_EQ((*classes)[0].clsid, kClsid);
  EXPECT_EQ((*classes)[0].name, "SampleComponent");
  // Every cut-off copy: under the sanitizers, a read past the end fails the test.
  for (std::size_t size = 0; size < library.size(); ++size) {
    const auto cut = inspect::ReadTypeLibrary({library.data(), size});
    if (cut && !cut->classes.empty()) {
      EXPECT_EQ(cut->classes[0].clsid, kClsid);
    }
  }
}

class VerificationTest : public ::testing::Test {
 protected:
  VerificationTest() {
    for (const char* folder : {"C:", "C:\\WINDOWS", "C:\\WINDOWS\\system32"}) {
      platform.AddFolder(folder);
    }
    platform.SetEnv("WINDIR", "C:\\WINDOWS");
    PutCopy(inspect::Machine::X86);
  }
  // The copy: a component built for `machine` whose type library declares one class.
  void PutCopy(inspect::Machine machine, Bytes library = TypeLibrary("SampleComponent")) {
    const Bytes image =
        PeWriter(machine).Dll(true).Export("DllRegisterServer").TypeLibrary(library).Build();
    platform.AddFile(
        kCopy, {.content = std::string(reinterpret_cast<const char*>(image.data()), image.size())});
  }
  void Register(const std::string& path) {
    platform.SetRegistryString(RegistryRoot::ClassesRoot, RegistryView::Bits32, kServerKey, "",
                               path);
  }
  std::vector<std::string> Verify(bool registering) {
    return inspect::VerifyRegistration(platform, {kCopy, "", "c:\\windows\\system32", registering});
  }

  platform::memory::MemoryPlatform platform;
};

TEST_F(VerificationTest, AClassRegisteredToTheCopyPassesHoweverItIsSpelt) {
  Register("\"C:\\Windows\\SysWOW64\\COMP.DLL\"");  // a 32-bit component's own view of it
  EXPECT_TRUE(Verify(true).empty());
  platform.AddShortName("C:\\WINDOW~1\\system32\\comp.dll", kCopy);
  Register("C:\\WINDOW~1\\system32\\comp.dll");
  EXPECT_TRUE(Verify(true).empty());
  // Only the 32-bit view counts for the 32-bit tool.
  platform.SetRegistryString(RegistryRoot::ClassesRoot, RegistryView::Bits32, kServerKey, "", "");
  platform.SetRegistryString(RegistryRoot::ClassesRoot, RegistryView::Bits64, kServerKey, "",
                             kCopy);
  EXPECT_EQ(Verify(true).size(), 1u);
}

// A bare name is found in the system's own system directory; WINDIR may name it by a link.
TEST_F(VerificationTest, ABareNameLeadsToTheCopyBelowALinkedWindir) {
  platform.AddLink("C:\\WinLink", "C:\\WINDOWS");
  platform.SetEnv("WINDIR", "C:\\WinLink");
  Register("comp.dll");
  EXPECT_TRUE(inspect::VerifyRegistration(
                  platform, {"C:\\WinLink\\system32\\comp.dll", "", "C:\\WinLink\\system32", true})
                  .empty());
}

TEST_F(VerificationTest, AMissingOrMisdirectedClassFailsAfterASuccess) {
  EXPECT_EQ(Verify(true), std::vector<std::string>{
                              "class SampleComponent {069D1E67-6900-4A01-BC80-D77EE99E1CF4} of "
                              "c:\\windows\\system32\\comp.dll is not registered, although "
                              "regsvr32.exe reported success"});
  Register("C:\\elsewhere\\comp.dll");
  EXPECT_EQ(Verify(true), std::vector<std::string>{
                              "class SampleComponent {069D1E67-6900-4A01-BC80-D77EE99E1CF4} is "
                              "registered to C:\\elsewhere\\comp.dll, not to "
                              "c:\\windows\\system32\\comp.dll"});
  EXPECT_TRUE(Verify(false).empty()) << "it points elsewhere: the copy is out";
}

TEST_F(VerificationTest, AClassStillRegisteredToTheCopyFailsAfterAnUnregistration) {
  Register(kCopy);
  ASSERT_EQ(Verify(false).size(), 1u);
  EXPECT_TRUE(Verify(false)[0].find("is still registered to") != std::string::npos);
}

// The 32-bit tool hands a 64-bit DLL to the 64-bit one, which registers it in its own view.
TEST_F(VerificationTest, ADllOfTheOtherBitnessIsFoundInTheOtherViewAndStillFails) {
  PutCopy(inspect::Machine::X64);
  platform.SetRegistryString(RegistryRoot::ClassesRoot, RegistryView::Bits64, kServerKey, "",
                             kCopy);
  ASSERT_EQ(Verify(true).size(), 1u);
  EXPECT_TRUE(Verify(true)[0].ends_with(
      "is registered in the 64-bit registry view, where the 64-bit regsvr32.exe put it: no "
      "program can use a 64-bit DLL from the 32-bit system directory; register it with the x64 "
      "build of Kalvenor"));
}

// A library widl made.
Bytes LibraryIn(const char* tlb) {
  std::ifstream file(tlb, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(file), {}};
  Bytes bytes(text.size());
  std::memcpy(bytes.data(), text.data(), text.size());
  return bytes;
}
// class_rules.idl: classes 1 to 5 of kRules are Made, Part (noncreatable), Family, Remote and
// Forgotten.
Bytes ClassRulesLibrary() { return LibraryIn(KALVENOR_CLASS_RULES_TLB); }
constexpr char kRules[] = "{6D1C7A20-5E2B-4F0A-8C3D-2B7E4A9F1D0";

// What registering the library writes beside its classes: its own id and its interfaces.
TEST(TypeLibrary, ReadsTheLibraryIdAndInterfaces) {
  const auto library = inspect::ReadTypeLibrary(ClassRulesLibrary());
  ASSERT_TRUE(library);
  EXPECT_EQ(library->libid, std::string(kRules) + "0}");
  EXPECT_EQ(library->name, "ClassRules");
  EXPECT_EQ(library->interfaces, (std::vector<std::string>{"{00000000-0000-0000-C000-000000000046}",
                                                           std::string(kRules) + "6}"}));
  EXPECT_EQ(library->classes.size(), 5u);
}

struct RulesCase {
  const char* name;
  bool registering;
  std::vector<std::pair<int, std::string>> servers;  // class number, InprocServer32
  std::vector<std::string> failures;                 // the lines' beginnings
};

class VerificationRules : public VerificationTest,
                          public ::testing::WithParamInterface<RulesCase> {};

// Only what makes a client fail counts, as on components no one here wrote.
TEST_P(VerificationRules, FailOnlyWhereAClientWould) {
  const Bytes library = ClassRulesLibrary();
  const auto read = inspect::ReadTypeLibrary(library);
  ASSERT_TRUE(read && read->classes.size() == 5u);
  const auto* classes = &read->classes;
  EXPECT_FALSE((*classes)[1].creatable);
  EXPECT_TRUE((*classes)[0].creatable && (*classes)[2].creatable);
  PutCopy(inspect::Machine::X86, library);
  platform.AddFile("C:\\WINDOWS\\system32\\family.dll");
  const auto key = [](int i) { return "CLSID\\" + std::string(kRules) + std::to_string(i) + "}"; };
  platform.SetRegistryString(RegistryRoot::ClassesRoot, RegistryView::Bits32,
                             key(4) + "\\LocalServer32", "", "C:\\WINDOWS\\remote.exe");
  for (const auto& [number, server] : GetParam().servers) {
    platform.SetRegistryString(RegistryRoot::ClassesRoot, RegistryView::Bits32,
                               key(number) + "\\InprocServer32", "", server);
  }
  const std::vector<std::string> failures = Verify(GetParam().registering);
  ASSERT_EQ(failures.size(), GetParam().failures.size()) << ::testing::PrintToString(failures);
  for (std::size_t i = 0; i < failures.size(); ++i) {
    EXPECT_TRUE(failures[i].starts_with(GetParam().failures[i])) << failures[i];
  }
}

INSTANTIATE_TEST_SUITE_P(
    Classes, VerificationRules,
    ::testing::Values(
        // Part is never created, Family is another file's, Remote runs out of process, and
        // Forgotten may be one its vendor never meant to register.
        RulesCase{"ARealComponentPasses", true, {{1, kCopy}, {3, "family.dll"}}, {}},
        RulesCase{"BareNamesAndQuotesAreFoundAsTheLoaderFindsThem",
                  true,
                  {{1, " \"Comp.dll\" "}, {3, "\"C:\\WINDOWS\\SYSTEM32\\FAMILY.DLL\""}},
                  {}},
        RulesCase{
            "ARegistrationThatDidNothingFails",
            true,
            {{3, "family.dll"}, {2, kCopy}},
            {"class Made {6D1C7A20-5E2B-4F0A-8C3D-2B7E4A9F1D01} of c:\\windows\\system32\\comp."
             "dll is not registered",
             "class Forgotten {6D1C7A20-5E2B-4F0A-8C3D-2B7E4A9F1D05} of"}},
        RulesCase{"AnotherCopyOrAMissingFileFails",
                  true,
                  {{1, "D:\\Old\\COMP.DLL"}, {3, "C:\\gone\\family.dll"}},
                  {"class Made {6D1C7A20-5E2B-4F0A-8C3D-2B7E4A9F1D01} is registered to "
                   "D:\\Old\\COMP.DLL, not to c:\\windows\\system32\\comp.dll",
                   "class Family {6D1C7A20-5E2B-4F0A-8C3D-2B7E4A9F1D03} is registered to "
                   "C:\\gone\\family.dll, which does not exist",
                   // and then none of the classes that nothing else serves is the copy's
                   "class Forgotten {6D1C7A20-5E2B-4F0A-8C3D-2B7E4A9F1D05} of"}},
        RulesCase{"OnlyACreatableClassLeftBehindFailsAnUnregistration",
                  false,
                  {{2, kCopy}, {5, "comp.dll"}},
                  {"class Forgotten {6D1C7A20-5E2B-4F0A-8C3D-2B7E4A9F1D05} is still registered"}}),
    [](const auto& info) { return std::string(info.param.name); });

Bytes AutomationRulesLibrary() { return LibraryIn(KALVENOR_AUTOMATION_RULES_TLB); }
// automation_rules.idl: the library (0), IShown (1), DNotes (2), Plain (3), Licensed (4).
constexpr char kAuto[] = "{7E2D4B10-3C5A-4E61-9F08-1A2B3C4D5E0";
std::string AutoId(int i) { return std::string(kAuto) + std::to_string(i) + "}"; }
constexpr char kAutomationProxy[] = "{00020424-0000-0000-C000-000000000046}";

TEST(TypeLibrary, ReadsWhatRegisteringItWritesAndWhichClassesAreLicensed) {
  const auto library = inspect::ReadTypeLibrary(AutomationRulesLibrary());
  ASSERT_TRUE(library);
  EXPECT_EQ(library->version, "2.0");
  EXPECT_EQ(library->automation, (std::vector<std::string>{AutoId(1), AutoId(2)}));
  ASSERT_EQ(library->classes.size(), 2u);
  EXPECT_FALSE(library->classes[0].licensed);
  EXPECT_TRUE(library->classes[1].licensed);
}

struct Registered {
  const char* name;
  std::function<void(platform::memory::MemoryPlatform&)> change;
  std::vector<std::string> failures;  // the lines' beginnings, after a registration and in a check
};

// A component of the automation library registered as RegisterTypeLib and its own code leave it.
class SharedRules : public VerificationTest, public ::testing::WithParamInterface<Registered> {
 protected:
  SharedRules() {
    PutCopy(inspect::Machine::X86, AutomationRulesLibrary());
    for (const char* file : {"C:\\WINDOWS\\system32\\oleaut32.dll"}) platform.AddFile(file);
    Set("CLSID\\" + AutoId(3) + "\\InprocServer32", "", kCopy);
    Set("CLSID\\" + AutoId(3) + "\\InprocServer32", "ThreadingModel", "Both");
    Set("TypeLib\\" + AutoId(0) + "\\2.0\\0\\win32", "", kCopy);
    for (int i : {1, 2}) {
      Set("Interface\\" + AutoId(i) + "\\ProxyStubClsid32", "", kAutomationProxy);
      Set("Interface\\" + AutoId(i) + "\\TypeLib", "", AutoId(0));
    }
    Set(std::string("CLSID\\") + kAutomationProxy + "\\InprocServer32", "", "oleaut32.dll");
  }
  void Set(const std::string& key, const std::string& name, const std::string& value) {
    platform.SetRegistryString(RegistryRoot::MachineClasses, RegistryView::Bits32, key, name,
                               value);
  }
};

// Another file carrying `library`, as another build of the component would.
void PutBuild(platform::memory::MemoryPlatform& platform, const std::string& path, Bytes library) {
  const Bytes image = PeWriter(inspect::Machine::X86).Dll(true).TypeLibrary(library).Build();
  platform.AddFile(
      path, {.content = std::string(reinterpret_cast<const char*>(image.data()), image.size())});
}

void SetMachine(platform::memory::MemoryPlatform& p, const std::string& key,
                const std::string& value, RegistryView view = RegistryView::Bits32) {
  p.SetRegistryString(RegistryRoot::MachineClasses, view, key, "", value);
}

// The proof after an Install and a verification judge alike: the same lines from each.
TEST_P(SharedRules, TheProofAndTheCheckAgree) {
  GetParam().change(platform);
  const inspect::Component component{kCopy, "", "c:\\windows\\system32", true};
  const std::vector<std::string> proof = inspect::VerifyRegistration(platform, component);
  const auto registration = inspect::ReadRegistration(platform, component);
  ASSERT_TRUE(registration);
  std::vector<std::string> checked;
  for (const inspect::Finding& finding : inspect::JudgeRegistration(
           platform, component, *registration, inspect::Proof::Verification)) {
    if (!finding.failed.empty()) checked.push_back(finding.failed);
  }
  const auto& expected = GetParam().failures;
  for (const std::vector<std::string>* lines :
       {&proof, const_cast<const std::vector<std::string>*>(&checked)}) {
    ASSERT_EQ(lines->size(), expected.size()) << ::testing::PrintToString(*lines);
    for (std::size_t i = 0; i < expected.size(); ++i) {
      EXPECT_TRUE((*lines)[i].starts_with(expected[i])) << (*lines)[i];
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SharedRules,
    ::testing::Values(
        // Licensed is registered nowhere: one its vendor may never have meant to register.
        Registered{"AsRegistered", [](auto&) {}, {}},
        // Not this file, though of its name: a 32-bit program reads only its own view.
        Registered{"LeftOutWithAnotherFileOfItsNameInTheOtherView",
                   [](auto& p) {
                     SetMachine(p, "CLSID\\" + AutoId(4) + "\\InprocServer32",
                                "C:\\Program Files\\Other\\comp.dll", RegistryView::Bits64);
                   },
                   {}},
        Registered{"OnlyInTheOtherView",
                   [](auto& p) {
                     SetMachine(p, "CLSID\\" + AutoId(4) + "\\InprocServer32", kCopy,
                                RegistryView::Bits64);
                   },
                   {"class Licensed " + AutoId(4) +
                    " is registered only in the 64-bit registry "
                    "view, which 32-bit programs do not read"}},
        Registered{"ServedByAnotherBuild",
                   [](auto& p) {
                     PutBuild(p, "C:\\Vendor\\comp2.dll", AutomationRulesLibrary());
                     SetMachine(p, "CLSID\\" + AutoId(4) + "\\InprocServer32",
                                "C:\\Vendor\\comp2.dll");
                   },
                   {"class Licensed " + AutoId(4) +
                    " is registered to C:\\Vendor\\comp2.dll, another build of this component"}},
        // Beside the copy, a file of the same library is its sibling, as shdocvw.dll is
        // ieframe.dll's; a file of another library is another component's.
        Registered{"ServedByASiblingOrAnotherLibrary",
                   [](auto& p) {
                     PutBuild(p, "C:\\WINDOWS\\system32\\sibling.dll", AutomationRulesLibrary());
                     SetMachine(p, "CLSID\\" + AutoId(4) + "\\InprocServer32", "sibling.dll");
                     PutBuild(p, "C:\\Vendor\\other.dll", ClassRulesLibrary());
                     SetMachine(p, "CLSID\\" + AutoId(3) + "\\InprocServer32",
                                "C:\\Vendor\\other.dll");
                   },
                   {}},
        Registered{"OutOfProcessByAnotherBuild",
                   [](auto& p) {
                     PutBuild(p, "C:\\Program Files\\Vendor\\comp.exe", AutomationRulesLibrary());
                     SetMachine(p, "CLSID\\" + AutoId(4) + "\\LocalServer32",
                                "C:\\Program Files\\Vendor\\comp.exe /automation");
                   },
                   {"class Licensed " + AutoId(4) +
                    " is served out of process by C:\\Program Files\\Vendor\\comp.exe, another "
                    "build of this component, where c:\\windows\\system32\\comp.dll serves it in "
                    "process"}},
        Registered{"OutOfProcessByItsHostBesideIt",
                   [](auto& p) {
                     PutBuild(p, "C:\\WINDOWS\\system32\\comphost.exe", AutomationRulesLibrary());
                     SetMachine(p, "CLSID\\" + AutoId(4) + "\\LocalServer32",
                                "\"C:\\WINDOWS\\system32\\comphost.exe\" /automation");
                   },
                   {}},
        // Its classes do not name the library: RegisterTypeLib wrote the key all the same.
        Registered{"InterfaceKeyDeleted",
                   [](auto& p) {
                     (void)p.WriteRegistryTree(RegistryRoot::MachineClasses, RegistryView::Bits32,
                                               "Interface\\" + AutoId(1), std::nullopt);
                   },
                   {"interface " + AutoId(1) + " of its type library " + AutoId(0) +
                    " is not registered"}},
        Registered{
            "DispinterfaceWithoutItsProxy",
            [](auto& p) { SetMachine(p, "Interface\\" + AutoId(2) + "\\ProxyStubClsid32", ""); },
            {"interface " + AutoId(2) + " has no proxy/stub class"}},
        // The machine's classes count, not HKCR, where the user's would hide them.
        Registered{"OnlyTheUsersClassLeadsToTheCopy",
                   [](auto& p) {
                     SetMachine(p, "CLSID\\" + AutoId(3) + "\\InprocServer32", "D:\\Old\\comp.dll");
                     p.SetRegistryString(RegistryRoot::UserClasses, RegistryView::Bits32,
                                         "CLSID\\" + AutoId(3) + "\\InprocServer32", "", kCopy);
                   },
                   {"class Plain " + AutoId(3) + " is registered to D:\\Old\\comp.dll, not to",
                    // and then nothing is registered to the copy
                    "class Licensed " + AutoId(4)}},
        // A 32-bit copy in the 64-bit system directory, registered by that folder's name in the
        // 32-bit view: 32-bit clients read it as their own system directory.
        Registered{
            "OtherBitnessUnderTheWrongFolder",
            [](auto& p) {
              p.SetApp({.bits = 64});
              p.SetSystemFolders({"C:\\WINDOWS", "C:\\WINDOWS\\system32", "C:\\WINDOWS\\SysWOW64"});
            },
            {"class Plain " + AutoId(3) + " of " + kCopy +
             " is registered in the 32-bit registry view, where the 32-bit regsvr32.exe "
             "put it"}}),
    [](const auto& info) { return std::string(info.param.name); });

// A user's value naming a share or a device is never opened: that would hand the share this
// account's credentials, or a pipe's server its identity.
TEST(Paths, OnlyAFileOnThisMachinesDrivesIsLocalHoweverSpelt) {
  for (const char* remote :
       {"\\\\srv\\s\\x.dll", "\"\\\\srv\\s\\x.dll\"", "//srv/s/x.dll", "\\\\?\\UNC\\srv\\s\\x.dll",
        "\\\\.\\unc\\srv\\s\\x.dll", "\\\\.\\pipe\\x.dll", "//./pipe/x.dll",
        "\\\\?\\GLOBALROOT\\Device\\Mup\\srv\\s\\x.dll", "\\??\\UNC\\srv\\s\\x.dll",
        "\\\\.\\C:\\..\\UNC\\srv\\s\\x.dll", "//./C:/../pipe/x", ""}) {
    EXPECT_FALSE(paths::IsLocalFile(remote)) << remote;
  }
  for (const char* local :
       {"C:\\x.dll", "\\\\?\\C:\\x.dll", "\\\\.\\C:\\x.dll", "x.dll", "\\x.dll"}) {
    EXPECT_TRUE(paths::IsLocalFile(local)) << local;
  }
}

}  // namespace
}  // namespace kalvenor::testing
