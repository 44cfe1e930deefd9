// The exports of captured registrations: placeholders, WiX source, .reg file, manifests, JSON.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>

#include "capture/exports.h"
#include "capture/placeholders.h"
#include "capture/xml_text.h"
#include "platform/registry_strings.h"

namespace kalvenor::capture {
namespace {

using platform::RegistryTree;
using platform::RegistryValue;
using platform::RegistryView;
using namespace std::string_literals;

constexpr char kPath[] = "C:\\Build\\Comp.dll";
constexpr char kClass[] = "CLSID\\{0D43FE01-F093-11CF-8940-00A0C9054228}";

RegistryValue Sz(std::string key, std::string name, std::string_view text,
                 std::uint32_t type = platform::kRegSz) {
  return {std::move(key), std::move(name), type, platform::StringData(text)};
}

RegistryValue Raw(std::string key, std::string name, std::uint32_t type, std::string bytes) {
  std::vector<std::byte> data;
  for (const char c : bytes) data.push_back(static_cast<std::byte>(c));
  return {std::move(key), std::move(name), type, data};
}

// A tree holding `values` and `empty` keys, each key after its parent, as a capture reads it.
RegistryTree Tree(std::vector<RegistryValue> values, std::vector<std::string> empty = {}) {
  RegistryTree tree{{""}, std::move(values)};
  std::set<std::string> known{""};
  for (const RegistryValue& value : tree.values) empty.push_back(value.key);
  for (const std::string& key : empty) {
    for (std::size_t end = 0; end != std::string::npos;) {
      end = key.find('\\', end + 1);
      if (known.insert(key.substr(0, end)).second) tree.keys.push_back(key.substr(0, end));
    }
  }
  return tree;
}

Captured Component(RegistryTree classes, RegistryView view = RegistryView::Bits64,
                   std::string path = kPath) {
  return {std::move(path), {"C:\\BUILD~1\\COMP~1.DLL"}, view, {std::move(classes), {}, {}}};
}

std::string RegText(const std::string& file) {
  EXPECT_EQ(file.substr(0, 2), "\xFF\xFE");
  std::vector<std::byte> data;
  for (std::size_t i = 2; i < file.size(); ++i) data.push_back(static_cast<std::byte>(file[i]));
  return platform::StringText(data);
}

// Whole names only: a file beside the component or a folder whose name begins with its folder's
// is another one.
TEST(Placeholders, NameTheComponentItsShortNameAndItsFolderAsWholes) {
  const Captured component = Component({});
  const Naming naming{"<file>", "<short>", "<dir>", "<dir\\>", "<long>"};
  const std::pair<const char*, const char*> cases[] = {
      {"c:\\build\\COMP.DLL", "<file>"},
      {"\\\\?\\C:\\Build\\Comp.dll", "<long><file>"},
      {"C:\\BUILD~1\\COMP~1.DLL", "<short>"},
      {"\"C:\\Build\\Comp.dll\" /automation", "\"<file>\" /automation"},
      {"C:\\Build\\Comp.dll,1", "<file>,1"},
      {"%SystemRoot%\\x.dll;C:\\Build\\Comp.dll", "%SystemRoot%\\x.dll;<file>"},
      {"C:\\Build", "<dir>"},
      {"\\\\?\\C:\\BUILD~1\\", "<long><dir\\>"},
      {"C:\\Build\\Other.dll", "C:\\Build\\Other.dll"},
      {"C:\\Build\\Comp.dll.bak", "C:\\Build\\Comp.dll.bak"},
      {"C:\\Builds\\Comp.dll", "C:\\Builds\\Comp.dll"},
      {"C:\\Build.old", "C:\\Build.old"},
      {"C:\\Build\\Comp.dll\\2", "<file>\\2"},
      {"res://c:\\build\\comp.dll/page.htm", "res://<file>/page.htm"},
      {"C:\\Build\\Comp.dll\\2x", "C:\\Build\\Comp.dll\\2x"},
      {"C:\\Build\\2", "C:\\Build\\2"},
  };
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(WithPlaceholders(text, component, naming), expected) << text;
}

// What Windows Installer would read as formatted text is escaped, checked with Wine's msiexec:
// a bracket always, braces only where brackets or doubled braces make them count.
TEST(WixSource, EscapesFormattedTextAndWritesEachType) {
  const std::pair<RegistryValue, const char*> cases[] = {
      {Sz("K", "a", "C:\\Build\\Comp.dll"), "Type=\"string\" Value=\"[#f64_comp.dll]\""},
      {Sz("K", "b", "{0D43FE01-F093-11CF-8940-00A0C9054228}"),
       "Value=\"{0D43FE01-F093-11CF-8940-00A0C9054228}\""},
      {Sz("K", "c", "[x] {y}"), "Value=\"[\\[]x[\\]] [\\{]y[\\}]\""},
      {Sz("K", "d", "{{y}}"), "Value=\"[\\{][\\{]y[\\}][\\}]\""},
      {Sz("K", "e", "#1 \"<&>\r\n"), "Value=\"#1 &quot;&lt;&amp;&gt;&#xD;&#xA;\""},
      {Sz("K", "f", "\\\\?\\c:\\build"), "Value=\"\\\\?\\[System64Folder]\""},
      {Sz("K", "g", "%P%;C:\\Build\\Comp.dll", platform::kRegExpandSz),
       "Type=\"expandable\" Value=\"%P%;[#f64_comp.dll]\""},
      {Raw("K", "h", platform::kRegDword, "\xFF\xFF\xFF\xFF"), "Type=\"integer\" Value=\"-1\""},
      {Raw("K", "i", platform::kRegBinary, "\x00\x1F"s), "Type=\"binary\" Value=\"001f\" />"},
      {Raw("K", "j", 11, "\x01"), "Value=\"01\" /> <!-- captured as type 11 -->"},
      {Raw("K", "k", platform::kRegMultiSz, "a\0\0\0b\0\0\0\0\0"s),
       "Type=\"multiString\">\n          <MultiStringValue Value=\"a\" />\n"
       "          <MultiStringValue Value=\"b\" />"},
      {Sz("K[1]", "n[1]", "v"), "Key=\"K[\\[]1[\\]]\" Name=\"n[\\[]1[\\]]\""},
      {Sz("K$(a)", "!(loc.b)", "$$(c) !(d)"),
       "Key=\"K$$(a)\" Name=\"!!(loc.b)\" Type=\"string\" Value=\"$$$$(c) !(d)\""},
      {Sz("K", "!(bind.x", "!(wix.y)"), "Name=\"!(bind.x\" Type=\"string\" Value=\"!!(wix.y)\""},
  };
  for (const auto& [value, expected] : cases) {
    const std::string wix = WixSource({Component(Tree({value}))}, "c.wxs").text;
    EXPECT_NE(wix.find(expected), std::string::npos) << expected << "\n" << wix;
  }
}

// Keys that hold nothing install too; removal takes only those below the component's own
// values, never a shared key such as CLSID.
TEST(WixSource, InstallsEmptyKeysAndRemovesOnlyTheComponentsOwn) {
  const std::string wix =
      WixSource({Component(Tree({Sz(kClass, "", "Comp")},
                                {std::string(kClass) + "\\Control", "Interface"}))},
                "c.wxs")
          .text;
  EXPECT_NE(wix.find("<RegistryKey Root=\"HKCR\" Key=\"" + std::string(kClass) +
                     "\\Control\" ForceCreateOnInstall=\"yes\" ForceDeleteOnUninstall=\"yes\""),
            std::string::npos);
  EXPECT_NE(wix.find("Key=\"Interface\" ForceCreateOnInstall=\"yes\" />"), std::string::npos);
  EXPECT_EQ(wix.find("Key=\"CLSID\""), std::string::npos);
}

// HKLM's and HKCU's classes are HKCR's, a value written through both once; the rest keep
// their roots.
TEST(WixSource, WritesClassesUnderHkcrAndTheRestUnderTheirRoots) {
  Captured component = Component(Tree({Sz("X", "", "1")}));
  component.registration.localMachine =
      Tree({Sz("Software\\Classes\\X", "", "2"), Sz("Software\\Vendor", "v", "3")});
  component.registration.currentUser =
      Tree({Sz("Software\\Classes\\Y", "", "4"), Sz("Software\\Vendor", "v", "5")});
  const std::string wix = WixSource({component}, "c.wxs").text;
  for (const char* expected :
       {"Root=\"HKCR\" Key=\"X\" Type=\"string\" Value=\"1\"", "Root=\"HKCR\" Key=\"Y\"",
        "Root=\"HKLM\" Key=\"Software\\Vendor\"", "Root=\"HKCU\" Key=\"Software\\Vendor\""})
    EXPECT_NE(wix.find(expected), std::string::npos) << expected;
  EXPECT_EQ(wix.find("Value=\"2\""), std::string::npos);
  EXPECT_EQ(wix.find("Key=\"Software\\Classes"), std::string::npos);
}

std::string Between(const std::string& text, const std::string& start, char end) {
  const std::size_t at = text.find(start) + start.size();
  return text.substr(at, text.find(end, at) - at);
}

// The same file of the same bitness gets the same GUID wherever it was captured from.
TEST(WixSource, TakesIdsAndGuidsFromTheFileNameAndBitness) {
  auto guid = [](std::string path, RegistryView view) {
    return Between(WixSource({Component({}, view, path)}, "c.wxs").text, "Guid=\"", '"');
  };
  const std::string guid64 = guid(kPath, RegistryView::Bits64);
  EXPECT_EQ(guid64, guid("D:\\Elsewhere\\COMP.DLL", RegistryView::Bits64));
  EXPECT_NE(guid64, guid(kPath, RegistryView::Bits32));
  EXPECT_EQ(guid64.size(), 38u);
  EXPECT_EQ(guid64[15], '8');  // a name-based version 8 GUID
  const std::string wix32 = WixSource({Component({}, RegistryView::Bits32)}, "c.wxs").text;
  EXPECT_NE(wix32.find("Directory=\"SystemFolder\""), std::string::npos);
  EXPECT_NE(wix32.find("Bitness=\"always32\""), std::string::npos);
  const std::string name(80, 'n');
  const std::string a =
      Between(WixSource({Component({}, RegistryView::Bits64, name + "a.dll")}, "c.wxs").text,
              "File Id=\"", '"');
  const std::string b =
      Between(WixSource({Component({}, RegistryView::Bits64, name + "b.dll")}, "c.wxs").text,
              "File Id=\"", '"');
  EXPECT_LE(a.size(), 72u);
  EXPECT_NE(a, b);
}

std::multiset<std::string> ValuesOf(const std::string& text, const std::string& attribute) {
  std::multiset<std::string> values;
  for (std::size_t at = 0; (at = text.find(attribute, at)) != std::string::npos; ++at)
    values.insert(Between(text.substr(at), attribute, '"'));
  return values;
}

// However names collide, each component gets ids and a GUID of its own, the file its path below
// the folder all lie in; a name of id characters that no other has keeps its id. Two of one name
// install as one file.
TEST(WixSource, GivesEachComponentIdsAndAGuidOfItsOwn) {
  struct Case {
    std::vector<std::string> paths, sources;
    const char* plainId;
    std::size_t notes;
  };
  const Case cases[] = {
      {{"C:\\A\\util.dll", "C:\\B\\UTIL.DLL", kPath},
       {"A\\util.dll", "B\\UTIL.DLL", "Build\\Comp.dll"},
       "f64_comp.dll",
       2},
      {{"C:\\A\\my-lib.dll", "c:\\a\\my_lib.dll"},
       {"my-lib.dll", "my_lib.dll"},
       "f64_my_lib.dll",
       0},
      {{"C:\\A\\\xC3\xBC.dll", "C:\\A\\\xC3\xA9.dll"}, {"\xC3\xBC.dll", "\xC3\xA9.dll"}, "", 0},
      {{"C:\\pkg\\x86\\foo.dll", "C:\\pkg\\x64\\foo.dll"}, {"x86\\foo.dll", "x64\\foo.dll"}, "", 2},
      {{kPath, kPath}, {"Comp.dll", "Comp.dll"}, "", 2},
      {{"C:\\A\\a.dll", "\\\\S\\A\\b.dll"}, {"C:\\A\\a.dll", "\\\\S\\A\\b.dll"}, "", 1},
  };
  for (const Case& c : cases) {
    std::vector<Captured> components;
    for (const std::string& path : c.paths)
      components.push_back(Component({}, RegistryView::Bits64, path));
    const ExportFile file = WixSource(components, "c.wxs");
    for (const char* attribute : {" Id=\"", "Guid=\""}) {
      const std::multiset<std::string> values = ValuesOf(file.text, attribute);
      EXPECT_EQ(std::set<std::string>(values.begin(), values.end()).size(), values.size())
          << file.text;
    }
    for (const std::string& source : c.sources)
      EXPECT_NE(file.text.find("Source=\"" + source + "\""), std::string::npos) << file.text;
    EXPECT_NE(file.text.find("File Id=\"" + std::string(c.plainId)), std::string::npos);
    EXPECT_EQ(file.notes.size(), c.notes);
  }
}

// The values of the user who registered install in a component of their own, its key path under
// HKCU as Windows Installer requires; the classes written for the user go with the file.
TEST(WixSource, PutsTheUsersValuesInAComponentOfTheirOwn) {
  Captured component = Component(Tree({Sz("X", "", "1")}));
  component.registration.currentUser =
      Tree({Sz("Software\\Classes\\Y", "", "2"), Sz("Software\\V", "v", "C:\\Build\\Comp.dll")});
  const ExportFile file = WixSource({component}, "c.wxs");
  const std::size_t user = file.text.find("<Component Id=\"u64_comp.dll\"");
  ASSERT_NE(user, std::string::npos) << file.text;
  const std::string machine = file.text.substr(0, user), own = file.text.substr(user);
  EXPECT_NE(machine.find("Root=\"HKCR\" Key=\"Y\""), std::string::npos);
  EXPECT_EQ(machine.find("HKCU"), std::string::npos);
  for (const char* expected : {"Root=\"HKCU\" Key=\"Software\\Kalvenor\\Installed\" Name=\"u64_"
                               "comp.dll\" Type=\"integer\" Value=\"1\" KeyPath=\"yes\"",
                               "Key=\"Software\\V\" Name=\"v\" Type=\"string\" "
                               "Value=\"[#f64_comp.dll]\""})
    EXPECT_NE(own.find(expected), std::string::npos) << expected;
  EXPECT_EQ(file.notes.size(), 1u);
  component.registration.currentUser = Tree({Sz("Software\\Classes\\Y", "", "2")});
  EXPECT_EQ(WixSource({component}, "c.wxs").text.find("u64_"), std::string::npos);
}

// A string is what Windows reads of it: up to its first null, a list up to its empty string.
// What followed, such as the rest of a buffer written whole, is left out with a note.
TEST(Exports, WriteStringsUpToTheirEndAndNoteWhatFollowed) {
  struct Case {
    RegistryValue value;
    const char *wix, *reg;
    bool noted;
  };
  const Case cases[] = {
      {Sz("K", "n", "C:\\Build\\Comp.dll\0C:\\Build\\x"s), "Value=\"[#f64_comp.dll]\" />",
       "\"n\"=\"C:\\\\W\\\\Comp.dll\"", true},
      {Raw("K", "n", platform::kRegSz, "x\0\0\0\0\0"s), "Value=\"x\" />", "\"n\"=\"x\"", false},
      {Sz("K", "n", "%x%\0y"s, platform::kRegExpandSz), "Value=\"%x%\" />",
       "\"n\"=hex(2):25,00,78,00,25,00,00,00", true},
      {Raw("K", "n", platform::kRegMultiSz, "a\0\0\0\0\0b\0"s),
       "<MultiStringValue Value=\"a\" />\n        </RegistryValue>",
       "\"n\"=hex(7):61,00,00,00,00,00", true},
  };
  for (const Case& c : cases) {
    const ExportFile wix = WixSource({Component(Tree({c.value}))}, "c.wxs");
    const ExportFile reg = RegFile({Component(Tree({c.value}))}, {"", "C:\\W"}, "c.reg");
    EXPECT_NE(wix.text.find(c.wix), std::string::npos) << wix.text;
    EXPECT_NE(RegText(reg.text).find(c.reg), std::string::npos) << RegText(reg.text);
    ASSERT_EQ(wix.notes.size(), c.noted ? 1u : 0u);
    ASSERT_EQ(reg.notes.size(), wix.notes.size());
    if (c.noted) {
      EXPECT_EQ(wix.notes[0].find("HKCR\\K, value \"n\""), 0u) << wix.notes[0];
      EXPECT_EQ(reg.notes[0].find("HKEY_CLASSES_ROOT\\K, value \"n\""), 0u) << reg.notes[0];
    }
  }
}

// XML has no character for most controls, not even a reference: what holds one is left out
// with a failed line, and the rest of the source is still written.
TEST(WixSource, LeavesOutWhatXmlCannotHold) {
  const std::pair<RegistryValue, const char*> cases[] = {
      {Sz("K", "n", "a\x01"), "HKCR\\K, value \"n\""},
      {Raw("K", "n", platform::kRegMultiSz, "a\0\0\0\x1F\0\0\0\0\0"s), "HKCR\\K, value \"n\""},
      {Sz("K", "n\x0B", "a"), "HKCR\\K, value \"n\x0B\""},
      {Sz("K\x02\\L", "", "a"), "HKCR\\K\x02\\L: "},
  };
  for (const auto& [value, failure] : cases) {
    const ExportFile file = WixSource({Component(Tree({value, Sz("M", "", "kept")}))}, "c.wxs");
    EXPECT_EQ(file.text.find("&#x"), std::string::npos) << file.text;
    EXPECT_EQ(file.text.find("Key=\"K"), std::string::npos) << file.text;
    EXPECT_NE(file.text.find("Key=\"M\" Type=\"string\" Value=\"kept\""), std::string::npos);
    ASSERT_EQ(file.failures.size(), 1u) << failure;
    EXPECT_EQ(file.failures[0].find(failure), 0u) << file.failures[0];
  }
}

// Components of one name, with every kind of value, give a source that WiX's schema takes.
TEST(WixSource, IsValidAgainstWixsSchema) {
  if (std::system("xmllint --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no xmllint";
  std::vector<Captured> components;
  for (const char* path : {"C:\\A\\util.dll", "C:\\B\\util.dll", "C:\\A\\\xC3\xBC-$(x).dll"}) {
    Captured component = Component(
        Tree({Sz(kClass, "", "C:\\A\\util.dll\0\x01"s), Raw(kClass, "d", 4, "\x01\x02\0\0"s),
              Raw(kClass, "m", platform::kRegMultiSz, "a\0\0\0"s), Raw(kClass, "q", 11, "\x01")},
             {std::string(kClass) + "\\Control"}),
        RegistryView::Bits32, path);
    component.registration.currentUser =
        Tree({Sz("Software\\V", "v", "!(loc.x)"), Sz("Software\\V", "w", "\x01")});
    components.push_back(component);
  }
  const std::string wxs = testing::TempDir() + "captured" + std::to_string(getpid()) + ".wxs";
  std::ofstream(wxs) << WixSource(components, wxs).text;
  EXPECT_EQ(std::system(("xmllint --noout --schema " KALVENOR_WIX_SCHEMA " " + wxs).c_str()), 0);
  std::remove(wxs.c_str());
}

// A 32-bit component's keys where the 64-bit reg.exe puts them in the 32-bit view of 64-bit
// Windows: only some classes, and HKLM\Software but for the keys both views share, have a view
// of their own (Wine keeps a user's classes in one view).
TEST(RegFile, PutsA32BitComponentInThe32BitView) {
  struct Case {
    int hive;  // 0 HKCR, 1 HKLM, 2 HKCU
    const char* key;
    const char* header;
  };
  const Case cases[] = {
      {0, "CLSID\\{X}", "HKEY_CLASSES_ROOT\\Wow6432Node\\CLSID\\{X}"},
      {0, "interface\\{I}", "HKEY_CLASSES_ROOT\\Wow6432Node\\interface\\{I}"},
      {0, "TypeLib\\{T}", "HKEY_CLASSES_ROOT\\TypeLib\\{T}"},
      {0, "CLSIDX", "HKEY_CLASSES_ROOT\\CLSIDX"},
      {1, "Software\\Classes\\CLSID\\{X}",
       "HKEY_LOCAL_MACHINE\\Software\\Classes\\Wow6432Node\\CLSID\\{X}"},
      {1, "Software\\Classes\\.js", "HKEY_LOCAL_MACHINE\\Software\\Classes\\.js"},
      {1, "SOFTWARE\\Vendor", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Vendor"},
      {1, "System\\Vendor", "HKEY_LOCAL_MACHINE\\System\\Vendor"},
      {1, "Software\\Policies\\Vendor", "HKEY_LOCAL_MACHINE\\Software\\Policies\\Vendor"},
      {2, "Software\\Classes\\CLSID\\{X}",
       "HKEY_CURRENT_USER\\Software\\Classes\\Wow6432Node\\CLSID\\{X}"},
      {2, "Software\\Classes\\TypeLib\\{T}", "HKEY_CURRENT_USER\\Software\\Classes\\TypeLib\\{T}"},
  };
  for (const Case& c : cases) {
    Captured component = Component({}, RegistryView::Bits32);
    RegistryTree* trees[] = {&component.registration.classesRoot,
                             &component.registration.localMachine,
                             &component.registration.currentUser};
    *trees[c.hive] = Tree({Sz(c.key, "", "v")});
    const std::string text =
        RegText(RegFile({component}, {"C:\\W\\SysWOW64", "C:\\W\\System32"}, "c.reg").text);
    EXPECT_NE(text.find("\r\n[" + std::string(c.header) + "]\r\n@=\"v\"\r\n"), std::string::npos)
        << text;
  }
}

// Each value as regedit writes it, strings that a quoted string cannot hold in hex.
TEST(RegFile, WritesEachValueAsRegeditReadsIt) {
  const std::pair<RegistryValue, const char*> cases[] = {
      {Sz("K", "a\"b", "C:\\Build\\Comp.dll"), "\"a\\\"b\"=\"C:\\\\W\\\\SysWOW64\\\\Comp.dll\""},
      {Sz("K", "", "x\r\n"), "@=hex(1):78,00,0d,00,0a,00,00,00"},
      {Sz("K", "e", "c:\\build\\", platform::kRegExpandSz),
       "\"e\"=hex(2):43,00,3a,00,5c,00,57,00,5c,00,53,00,79,00,73,00,57,00,4f,00,57,00,\\"
       "\r\n  36,00,34,00,5c,00,00,00"},
      {Raw("K", "d", platform::kRegDword, "\x01\x02\x00\x00"s), "\"d\"=dword:00000201"},
      {Raw("K", "b", platform::kRegBinary, "\x00\xFF"s), "\"b\"=hex:00,ff"},
      {Raw("K", "q", 11, "\x01"), "\"q\"=hex(b):01"},
  };
  for (const auto& [value, expected] : cases) {
    const std::string text = RegText(
        RegFile({Component(Tree({value}), RegistryView::Bits32)}, {"C:\\W\\SysWOW64", ""}, "c.reg")
            .text);
    EXPECT_NE(text.find(std::string("\r\n") + expected + "\r\n"), std::string::npos) << text;
  }
}

// A name with a line break or another control character, and a key's name with the ']' that
// ends its line, would make regedit read other keys and values: they are left out.
TEST(RegFile, LeavesOutNamesItsLinesCannotHold) {
  const std::pair<RegistryValue, const char*> cases[] = {
      {Sz("K", "n\r\n[HKEY_LOCAL_MACHINE\\X]", "a"),
       "HKEY_CLASSES_ROOT\\K, value \"n\r\n[HKEY_LOCAL_MACHINE\\X]\": it holds a control "
       "character that a .reg file cannot hold, the value is left out"},
      {Sz("K", "n\x01", "a"), "HKEY_CLASSES_ROOT\\K, value \"n\x01\": "},
      {Sz("K\n\\L", "", "a"),
       "HKEY_CLASSES_ROOT\\K\n\\L: it holds a control character or a ']' "
       "that a .reg file cannot hold, the key and its values are left out"},
      {Sz("K]\\L", "", "a"), "HKEY_CLASSES_ROOT\\K]\\L: "},
  };
  for (const auto& [value, failure] : cases) {
    const ExportFile file =
        RegFile({Component(Tree({value, Sz("M", "", "kept")}))}, {"", "C:\\W"}, "c.reg");
    const std::string text = RegText(file.text);
    EXPECT_EQ(text.find("\"a\""), std::string::npos) << text;
    EXPECT_NE(text.find("[HKEY_CLASSES_ROOT\\M]\r\n@=\"kept\"\r\n"), std::string::npos) << text;
    EXPECT_TRUE(file.failures.size() == 1 && file.failures[0].starts_with(failure)) << failure;
  }
}

// Each class of the component's own once, with every ProgID once: Windows refuses a manifest
// that names one twice, as Wine's own servers would make it. A manifest for each bitness.
TEST(Manifests, DescribeTheComponentsOwnClassesLibrariesAndInterfaces) {
  const std::string a = "CLSID\\{A}", library = "TypeLib\\{T}\\1.0", i = "Interface\\{I}";
  const std::string automation = "{00020424-0000-0000-C000-000000000046}";
  const Captured first = Component(
      Tree({Sz(a, "", "Alpha"), Sz(a + "\\InprocServer32", "", "\\\\?\\c:\\build\\comp.dll"),
            Sz(a + "\\InprocServer32", "ThreadingModel", "Both"), Sz(a + "\\ProgID", "", "X.Y.1"),
            Sz(a + "\\VersionIndependentProgID", "", "X.Y"), Sz(a + "\\TypeLib", "", "{T}"),
            Sz(a + "\\MiscStatus", "", "131473"), Sz(a + "\\MiscStatus\\1", "", "1"),
            Sz(a + "\\MiscStatus\\4", "", "none"),
            Sz("CLSID\\{B}\\InprocServer32", "", "C:\\Other\\b.dll"),
            Sz(library + "\\0\\win64", "", "C:\\Build\\Comp.dll"),
            Sz(library + "\\FLAGS", "", "10"), Sz(library + "\\HELPDIR", "", "C:\\Build"),
            Sz(i, "", "IAlpha"), Sz(i + "\\ProxyStubClsid32", "", automation),
            Sz(i + "\\TypeLib", "", "{T}"), Sz("Interface\\{J}\\ProxyStubClsid32", "", "{B}")}));
  const Captured second =
      Component(Tree({Sz("CLSID\\{C}\\InprocServer32", "", "C:\\Build\\Two.dll"),
                      Sz("CLSID\\{C}\\ProgID", "", "X.Y.1")}),
                RegistryView::Bits64, "C:\\Build\\Two.dll");
  const Captured other = Component(first.registration.classesRoot, RegistryView::Bits32);
  const auto files = Manifests({first, second, other}, "D:\\app.v2\\app.exe.manifest");
  ASSERT_EQ(files.size(), 6u);
  // The private assembly and the application manifest describe the same files.
  for (const std::size_t at : {0, 2}) {
    EXPECT_NE(files[at].text.find("processorArchitecture=\"x86\" />\n  <file name=\"Comp.dll\">\n"
                                  "    <comClass clsid=\"{A}\""),
              std::string::npos)
        << files[at].path;
  }
  EXPECT_EQ(files[2].path, "D:\\app.v2\\app.exe.x86.manifest");
  EXPECT_EQ(files[5].path, "D:\\app.v2\\app.exe.x64.manifest");
  EXPECT_EQ(files[3].text.substr(files[3].text.find("<file")),
            files[5].text.substr(files[5].text.find("<file")));
  const std::string& text = files[5].text;
  for (const std::string& expected : std::vector<std::string>{
           "name=\"app\" version=\"1.0.0.0\" processorArchitecture=\"amd64\"",
           "<file name=\"Comp.dll\">\n    <comClass clsid=\"{A}\" threadingModel=\"Both\" "
           "progid=\"X.Y.1\" tlbid=\"{T}\" description=\"Alpha\" miscStatus=\"recomposeonresize,"
           "cantlinkinside,insideout,activatewhenvisible,setclientsitefirst\" "
           "miscStatusContent=\"recomposeonresize\">\n      <progid>X.Y</progid>\n",
           "<typelib tlbid=\"{T}\" version=\"1.0\" helpdir=\"\" flags=\"CONTROL,HASDISKIMAGE\" />",
           "<file name=\"Two.dll\">\n    <comClass clsid=\"{C}\" />\n  </file>",
           "<comInterfaceExternalProxyStub name=\"IAlpha\" iid=\"{I}\" proxyStubClsid32=\"" +
               automation + "\" tlbid=\"{T}\" />"})
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
  for (const char* absent : {"{B}", "{J}", "miscStatusIcon"})
    EXPECT_EQ(text.find(absent), std::string::npos) << absent;
  EXPECT_EQ(Manifests({first}, "app.exe.manifest")[2].path, "app.exe.manifest");
}

// Windows finds a private assembly beside the program as <name>.manifest, so each file is named
// after its assembly, and the dependency names that assembly for the same processor.
TEST(Manifests, NameEachAssemblyAsItsFileAndDependOnIt) {
  const struct {
    const char* path;
    bool both;
    RegistryView view;
    const char *assembly, *dependency, *merge;
  } cases[] = {
      {"C:\\Out\\app.exe.manifest", false, RegistryView::Bits64, "C:\\Out\\app.components",
       "C:\\Out\\app.dependency.manifest",
       "mt.exe -manifest app.manifest app.dependency.manifest -outputresource:app.exe;#1"},
      {"C:\\Out\\My Tool.MANIFEST", false, RegistryView::Bits32, "C:\\Out\\My_Tool.components",
       "C:\\Out\\My_Tool.dependency.manifest", "-outputresource:My Tool.exe;#1"},
      {"app.exe.manifest", true, RegistryView::Bits32, "app.components.x86",
       "app.dependency.x86.manifest", "app.dependency.x86.manifest -outputresource:app.exe;#1"},
      {"app.exe.manifest", true, RegistryView::Bits64, "app.components.x64",
       "app.dependency.x64.manifest", "app.dependency.x64.manifest -outputresource:app.exe;#1"},
  };
  for (const auto& c : cases) {
    std::vector<Captured> components = {Component({}, c.view)};
    if (c.both)
      components.push_back(Component(
          {}, RegistryView::Bits32 == c.view ? RegistryView::Bits64 : RegistryView::Bits32));
    const auto files = Manifests(components, c.path);
    ASSERT_EQ(files.size(), c.both ? 6u : 3u);
    const std::size_t at = c.both && c.view == RegistryView::Bits64 ? 3 : 0;
    const std::string assembly = c.assembly;
    const std::string identity = "<assemblyIdentity type=\"win32\" name=\"" +
                                 assembly.substr(assembly.rfind('\\') + 1) +
                                 "\" version=\"1.0.0.0\" processorArchitecture=\"" +
                                 (c.view == RegistryView::Bits64 ? "amd64" : "x86") + "\" />\n";
    EXPECT_EQ(files[at].path, assembly + ".manifest");
    EXPECT_NE(files[at].text.find("manifestVersion=\"1.0\">\n  " + identity), std::string::npos)
        << files[at].text;
    EXPECT_EQ(files[at + 1].path, c.dependency);
    EXPECT_NE(files[at + 1].text.find("<dependency>\n    <dependentAssembly>\n      " + identity +
                                      "    </dependentAssembly>\n  </dependency>\n</assembly>\n"),
              std::string::npos)
        << files[at + 1].text;
    EXPECT_EQ(files[at + 1].manifest, c.view);
    ASSERT_EQ(files[at + 1].notes.size(), 1u);
    EXPECT_NE(files[at + 1].notes[0].find(c.merge), std::string::npos) << files[at + 1].notes[0];
  }
}

// An interface goes in the file whose proxy/stub marshals it, or beside the files when the
// type library does; Windows would look for another file's proxy/stub in the component.
TEST(Manifests, PlaceEachInterfaceWithItsProxyStub) {
  const std::pair<const char*, const char*> cases[] = {
      {"{A}",
       "    <comInterfaceProxyStub name=\"IX\" iid=\"{I}\" proxyStubClsid32=\"{A}\" "
       "numMethods=\"5\" baseInterface=\"{U}\" />\n  </file>"},
      {"{00020420-0000-0000-C000-000000000046}",
       "  </file>\n  <comInterfaceExternalProxyStub name=\"IX\" iid=\"{I}\" proxyStubClsid32=\""
       "{00020420-0000-0000-C000-000000000046}\" numMethods=\"5\" baseInterface=\"{U}\" />"},
      {"{B}", nullptr},
  };
  for (const auto& [proxy, expected] : cases) {
    const ExportFile assembly =
        Manifests({Component(Tree({Sz("CLSID\\{A}\\InprocServer32", "", kPath),
                                   Sz("CLSID\\{B}\\InprocServer32", "", "C:\\Build\\Ps.dll"),
                                   Sz("Interface\\{I}", "", "IX"),
                                   Sz("Interface\\{I}\\ProxyStubClsid32", "", proxy),
                                   Sz("Interface\\{I}\\NumMethods", "", "5"),
                                   Sz("Interface\\{I}\\BaseInterface", "", "{U}")}))},
                  "app.exe.manifest")[0];
    if (expected) {
      EXPECT_NE(assembly.text.find(expected), std::string::npos) << assembly.text;
    } else {
      EXPECT_EQ(assembly.text.find("{I}"), std::string::npos) << assembly.text;
      EXPECT_NE(std::find(assembly.notes.begin(), assembly.notes.end(),
                          "interface {I} left out: its proxy/stub {B} is no class of Comp.dll"),
                assembly.notes.end());
    }
  }
}

// Windows refuses a whole manifest for a threading model it does not know, and reads an absent
// one as the registry reads "Single".
TEST(Manifests, WriteOnlyTheThreadingModelsWindowsTakes) {
  const std::pair<const char*, const char*> cases[] = {
      {"apartment", " threadingModel=\"Apartment\""},
      {"FREE", " threadingModel=\"Free\""},
      {"Both", " threadingModel=\"Both\""},
      {"neutral", " threadingModel=\"Neutral\""},
      {"Single", ""},
      {"", ""},
      {"Multi", ""},
  };
  for (const auto& [model, attribute] : cases) {
    const ExportFile assembly =
        Manifests({Component(Tree({Sz("CLSID\\{A}\\InprocServer32", "", kPath),
                                   Sz("CLSID\\{A}\\InprocServer32", "ThreadingModel", model)}))},
                  "app.exe.manifest")[0];
    EXPECT_NE(assembly.text.find("<comClass clsid=\"{A}\"" + std::string(attribute) + " />"),
              std::string::npos)
        << model << "\n"
        << assembly.text;
    EXPECT_EQ(assembly.failures,
              model == "Multi"s ? std::vector<std::string>{"class {A} has the threading model "
                                                           "\"Multi\", which Windows refuses in a "
                                                           "manifest; it is described without one"}
                                : std::vector<std::string>{})
        << model;
  }
}

// ProgIDs that name a class under their own key belong to it too, each once; a library in
// another resource of the component is left out, for a file that has it as its first one;
// whatever is left out is said.
TEST(Manifests, FindProgIdsUnderTheirKeysAndSayWhatIsLeftOut) {
  const Captured first = Component(Tree(
      {Sz("CLSID\\{A}\\InprocServer32", "", kPath), Sz("CLSID\\{A}\\ProgID", "", "P.1"),
       Sz("CLSID\\{A}\\VersionIndependentProgID", "", "V"), Sz("V\\CurVer", "", "P.1"),
       Sz("AppID\\{A}", "", "A"), Sz(".a", "", "P.1"), Sz("P.1\\CLSID", "", "{a}"),
       Sz("P\\CLSID", "", "{A}"), Sz("Q\\CLSID", "", "{B}"),
       Sz("CLSID\\{B}\\InprocServer32", "", "C:\\Other\\b.dll"),
       Sz("CLSID\\{D}\\LocalServer32", "", "C:\\Build\\d.exe"),
       Sz("TypeLib\\{T}\\1.0\\0\\win64", "", "C:\\Build\\Comp.dll\\2"),
       Sz("TypeLib\\{U}\\1.0\\0\\win64", "", "C:\\Build\\u.tlb"), Sz("Interface\\{J}", "", "IJ")}));
  const Captured second =
      Component(Tree({Sz("CLSID\\{A}\\InprocServer32", "", "C:\\Build\\Two.dll"),
                      Sz("CLSID\\{E}\\InprocServer32", "", "C:\\Build\\Two.dll"),
                      Sz("CLSID\\{E}\\ProgID", "", "P"), Sz("P\\CLSID", "", "{E}"),
                      Sz("TypeLib\\{T}\\1.0\\0\\win64", "", "C:\\Build\\Two.dll")}),
                RegistryView::Bits64, "C:\\Build\\Two.dll");
  const ExportFile assembly = Manifests({first, second}, "app.exe.manifest")[0];
  EXPECT_NE(assembly.text.find("<comClass clsid=\"{A}\" progid=\"P.1\">\n      <progid>V</progid>\n"
                               "      <progid>P</progid>\n    </comClass>\n  </file>"),
            std::string::npos)
      << assembly.text;
  EXPECT_NE(
      assembly.text.find("<file name=\"Two.dll\">\n    <comClass clsid=\"{E}\" />\n"
                         "    <typelib tlbid=\"{T}\" version=\"1.0\" helpdir=\"\" />\n  </file>"),
      std::string::npos)
      << assembly.text;
  EXPECT_EQ(assembly.notes,
            (std::vector<std::string>{
                "ProgID Q left out: its class {B} is no class of Comp.dll",
                "keys of Comp.dll a manifest has no place for left out: AppID, .a",
                "class {B} left out: Comp.dll registered it for C:\\Other\\b.dll",
                "class {D} left out: Comp.dll registered no in-process server for it",
                "type library {T} 1.0 left out: it is resource 2 of Comp.dll, and a manifest "
                "names a file's first type library only",
                "type library {U} 1.0 left out: Comp.dll registered it for C:\\Build\\u.tlb",
                "interface {J} left out: Comp.dll registered no proxy/stub for it",
                "class {A} of Two.dll left out: Comp.dll has it already",
                "ProgID P of class {E} left out: class {A} has it already"}));
}

// A library in the first resource of the component is its file's; one in another resource is
// not what Windows loads for the file; a name merely beginning with the component's is another
// file.
TEST(Manifests, TakeALibraryInAResourceOfTheComponentAsItsOwn) {
  const struct {
    const char* file;
    bool kept;
    const char* note;
  } cases[] = {
      {"C:\\Build\\Comp.dll", true, nullptr},
      {"C:\\BUILD~1\\COMP~1.DLL\\1", true, nullptr},
      {"C:\\Build\\Comp.dll\\3", false,
       "type library {T} 1.0 left out: it is resource 3 of Comp.dll, and a manifest names a "
       "file's first type library only"},
      {"C:\\Build\\Comp.dll\\x", false,
       "type library {T} 1.0 left out: Comp.dll registered it for C:\\Build\\Comp.dll\\x"},
      {"C:\\Build\\Other.dll\\2", false,
       "type library {T} 1.0 left out: Comp.dll registered it for C:\\Build\\Other.dll\\2"},
  };
  for (const auto& c : cases) {
    const ExportFile assembly = Manifests(
        {Component(Tree({Sz("TypeLib\\{T}\\1.0\\0\\win32", "", c.file)}))}, "app.exe.manifest")[0];
    EXPECT_EQ(assembly.text.find("<typelib tlbid=\"{T}\" version=\"1.0\"") != std::string::npos,
              c.kept)
        << c.file << "\n"
        << assembly.text;
    EXPECT_EQ(assembly.notes,
              c.note ? std::vector<std::string>{c.note} : std::vector<std::string>{})
        << c.file;
  }
}

// A string is what Windows reads of it, up to its first null; what XML cannot carry leaves out
// the thing it belongs to, with a failed line, and the rest of the manifest is still written.
TEST(Manifests, ReadStringsAsWindowsDoesAndLeaveOutWhatXmlCannotHold) {
  const std::string automation = "{00020424-0000-0000-C000-000000000046}";
  const struct {
    RegistryValue value;
    const char *kept, *failure;
  } cases[] = {
      {Sz("CLSID\\{A}\\InprocServer32", "", "C:\\Build\\Comp.dll\0C:\\Other\\x.dll"s),
       "<comClass clsid=\"{A}\" />", nullptr},
      {Sz("CLSID\\{A}", "", "A\x01"), nullptr,
       "class {A} left out: it holds a control character that a manifest cannot hold"},
      {Sz("CLSID\\{A}\\ProgID", "", "P\x1F"), "<comClass clsid=\"{A}\" />",
       "ProgID P\x1F of class {A} left out: it holds a control character that a manifest cannot "
       "hold"},
      {Sz("Interface\\{I}", "", "I\x02"), "<comClass clsid=\"{A}\" />",
       "interface {I} left out: it holds a control character that a manifest cannot hold"},
  };
  for (const auto& c : cases) {
    std::vector<RegistryValue> values;
    for (const RegistryValue& value : {Sz("CLSID\\{A}\\InprocServer32", "", kPath),
                                       Sz("Interface\\{I}\\ProxyStubClsid32", "", automation)}) {
      if (value.key != c.value.key) values.push_back(value);
    }
    values.push_back(c.value);
    const ExportFile assembly = Manifests({Component(Tree(values))}, "app.exe.manifest")[0];
    EXPECT_EQ(assembly.text.find("&#x"), std::string::npos) << assembly.text;
    if (c.kept) {
      EXPECT_NE(assembly.text.find(c.kept), std::string::npos) << assembly.text;
    }
    EXPECT_EQ(assembly.failures,
              c.failure ? std::vector<std::string>{c.failure} : std::vector<std::string>{})
        << assembly.text;
  }
}

TEST(JsonLines, WriteEachValueAsCaptured) {
  Captured component =
      Component(Tree({Sz("K", "n", "C:\\Build\\\"x\""),
                      Raw("K", "m", platform::kRegMultiSz, "a\0\0\0b\0\0\0\0\0"s)}));
  component.registration.localMachine = Tree(
      {Raw("Software\\V", "", platform::kRegDword, "\x01\x02\0\0"s), Raw("S", "b", 3, "\xFF")});
  EXPECT_EQ(
      JsonLines({component}),
      "{\"component\":\"C:\\\\Build\\\\Comp.dll\",\"view\":64,\"key\":\"HKEY_CLASSES_ROOT\\\\K\","
      "\"name\":\"n\",\"type\":\"REG_SZ\",\"data\":\"C:\\\\Build\\\\\\\"x\\\"\"}\r\n"
      "{\"component\":\"C:\\\\Build\\\\Comp.dll\",\"view\":64,\"key\":\"HKEY_CLASSES_ROOT\\\\K\","
      "\"name\":\"m\",\"type\":\"REG_MULTI_SZ\",\"data\":[\"a\",\"b\"]}\r\n"
      "{\"component\":\"C:\\\\Build\\\\Comp.dll\",\"view\":64,"
      "\"key\":\"HKEY_LOCAL_MACHINE\\\\Software\\\\V\",\"name\":\"\",\"type\":\"REG_DWORD\","
      "\"data\":513}\r\n"
      "{\"component\":\"C:\\\\Build\\\\Comp.dll\",\"view\":64,\"key\":\"HKEY_LOCAL_MACHINE\\\\S\","
      "\"name\":\"b\",\"type\":\"REG_BINARY\",\"data\":\"ff\"}\r\n");
}

// XML 1.0 holds no control character but tab, CR and LF, and neither U+FFFE nor U+FFFF.
TEST(XmlText, HoldsWhatXmlAllows) {
  const struct {
    std::string_view text;
    bool held;
  } cases[] = {{"a\tb\r\n", true},
               {"a\x01", false},
               {"\xEF\xBF\xBD", true},
               {"\xEF\xBF\xBE", false},
               {"x\xEF\xBF\xBFy", false}};
  for (const auto& one : cases) EXPECT_EQ(XmlHolds(one.text), one.held) << one.text;
}

}  // namespace
}  // namespace kalvenor::capture
