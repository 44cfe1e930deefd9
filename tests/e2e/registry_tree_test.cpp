// Registry trees through the system: written and read back byte for byte, in each registry view
// apart, deleted whole.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which it depends on.
#include <objbase.h>

#include "harness.h"
#include "platform/win32/win32_system.h"

namespace kalvenor::e2e {
namespace {

using platform::RegistryTree;
using platform::RegistryView;
using Bytes = std::vector<std::byte>;
constexpr auto kRoot = platform::RegistryRoot::ClassesRoot;

// UTF-16LE, with the terminating null unless `ended` is false.
Bytes Utf16(std::wstring text, bool ended = true) {
  if (ended) text.push_back(L'\0');
  Bytes bytes;
  for (wchar_t unit : text)
    bytes.insert(bytes.end(), {std::byte(unit & 0xFF), std::byte(unit >> 8)});
  return bytes;
}

std::string GuidText(const GUID& guid) {
  wchar_t text[40] = {};
  ::StringFromGUID2(guid, text, 40);
  return Narrow(text);
}

// Every kind of value that registrations write, an empty one, and a string whose writer left
// out its terminating null. Each key's values by name: the order in which Windows lists them
// (as written) and Wine (by name) alike.
RegistryTree Sample() {
  return {{"", "Empty", "InprocServer32"},
          {{"", "", REG_SZ, Utf16(L"Kalvenor\r\n\ttest")},
           {"", "Blob", REG_BINARY, {std::byte{0}, std::byte{0xFF}, std::byte{0x10}}},
           {"", "Count", REG_DWORD, {std::byte{4}, std::byte{3}, std::byte{2}, std::byte{1}}},
           {"", "List", REG_MULTI_SZ, Utf16(std::wstring(L"a\0bc\0", 5))},
           {"", "Nothing", REG_BINARY, {}},
           {"InprocServer32", "", REG_EXPAND_SZ, Utf16(L"%SystemRoot%\\system32\\\u00c4.dll")},
           {"InprocServer32", "ThreadingModel", REG_SZ, Utf16(L"Both")},
           {"InprocServer32", "Unended", REG_SZ, Utf16(L"ab", false)}}};
}

TEST(RegistryTree, ReadsBackAsWrittenInItsViewAloneAndIsDeletedWhole) {
  win32::Win32System system;
  GUID guid{};
  ASSERT_EQ(::CoCreateGuid(&guid), S_OK);
  const std::string key = "CLSID\\" + GuidText(guid);  // a class key of this run alone
  const auto read = [&](RegistryView view) {
    auto tree = system.ReadRegistryTree(kRoot, view, key);
    EXPECT_TRUE(tree.ok());
    return tree.ok() ? tree.value() : RegistryTree{{"unreadable"}, {}};
  };
  const RegistryTree other{{"", "Other"}, {{"Other", "", REG_SZ, Utf16(L"x")}}};
  // Expectations only, so that the test always deletes what it made.
  for (RegistryView view : {RegistryView::Bits32, RegistryView::Bits64}) {
    SCOPED_TRACE(view == RegistryView::Bits32 ? "32-bit view" : "64-bit view");
    EXPECT_EQ(read(view), std::nullopt) << "a missing key reads as nothing";
    EXPECT_TRUE(system.WriteRegistryTree(kRoot, view, key, Sample()).ok());
    EXPECT_EQ(read(view), Sample());
    const auto otherView =
        view == RegistryView::Bits32 ? RegistryView::Bits64 : RegistryView::Bits32;
    EXPECT_EQ(read(otherView), std::nullopt) << "seen in the other view";
    EXPECT_TRUE(system.WriteRegistryTree(kRoot, view, key, other).ok());
    EXPECT_EQ(read(view), other) << "written again, the key holds the new tree alone";
    EXPECT_TRUE(system.WriteRegistryTree(kRoot, view, key, std::nullopt).ok());
    EXPECT_EQ(read(view), std::nullopt);
    EXPECT_TRUE(system.WriteRegistryTree(kRoot, view, key, std::nullopt).ok())
        << "a missing key is deleted already";
  }
}

}  // namespace
}  // namespace kalvenor::e2e
