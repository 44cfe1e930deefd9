// Proof of a registration against the component's type library, and the library's reader.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "inspect/type_library.h"
#include "inspect/verification.h"
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

// The library widl made from class_rules.idl: classes 1 to 5 of kRules are Made, Part
// (noncreatable), Family, Remote and Forgotten.
Bytes ClassRulesLibrary() {
  std::ifstream file(KALVENOR_CLASS_RULES_TLB, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(file), {}};
  Bytes bytes(text.size());
  std::memcpy(bytes.data(), text.data(), text.size());
  return bytes;
}
constexpr char kRules[] = "{6D1C7A20-5E2B-4F0A-8C3D-2B7E4A9F1D0";

// What registering the library writes beside its classes: its own id and its interfaces.
TEST(TypeLibrary, ReadsTheLibraryIdAndInterfaces) {
  const auto library = inspect::ReadTypeLibrary(ClassRulesLibrary());
  ASSERT_TRUE(library);
  EXPECT_EQ(library->libid, std::string(kRules) + "0}");
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

}  // namespace
}  // namespace kalvenor::testing
