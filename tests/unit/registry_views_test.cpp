// The registry views as 64-bit Windows has them, and the memory registry that follows them.
#include <gtest/gtest.h>

#include "platform/memory/memory_platform.h"
#include "platform/registry_views.h"

namespace kalvenor::testing {
namespace {

using platform::RegistryRoot;
using platform::RegistryView;

TEST(RegistryViews, WhatWow64KeepsApartAndWhatBothViewsShare) {
  const struct {
    RegistryRoot root;
    const char* key;
    bool redirected;
  } cases[] = {
      {RegistryRoot::MachineClasses, "CLSID\\{A1}\\InprocServer32", true},
      {RegistryRoot::ClassesRoot, "Interface\\{B1}", true},
      {RegistryRoot::MachineClasses, "TypeLib\\{C1}", false},
      {RegistryRoot::MachineClasses, "Vendor.Grid", false},
      {RegistryRoot::MachineClasses, "CLSIDX", false},
      {RegistryRoot::LocalMachine, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs",
       true},
      {RegistryRoot::LocalMachine, "Software\\Classes\\CLSID\\{A1}", true},
      {RegistryRoot::LocalMachine, "Software\\Policies\\Vendor", false},
      {RegistryRoot::LocalMachine, "SYSTEM\\CurrentControlSet", false},
      {RegistryRoot::Users, "S-1-5-21-1_Classes\\CLSID\\{A1}", true},
      {RegistryRoot::Users, "S-1-5-21-1\\Software\\Vendor", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::IsRedirected(c.root, c.key), c.redirected) << c.key;
  }
}

TEST(RegistryViews, TheMemoryRegistrySharesWhatWindowsShares) {
  for (const bool wow64 : {true, false}) {
    platform::memory::MemoryPlatform memory;
    if (!wow64) memory.SetSystemFolders({"C:\\Windows", "C:\\Windows\\system32", ""});
    for (const char* key : {"TypeLib\\{C1}", "CLSID\\{A1}"}) {
      memory.SetRegistryString(RegistryRoot::ClassesRoot, RegistryView::Bits32, key, "", "32");
      const bool shared = !wow64 || std::string(key).starts_with("TypeLib");
      EXPECT_EQ(memory.RegistryString(RegistryRoot::MachineClasses, RegistryView::Bits64, key, ""),
                shared ? std::optional<std::string>("32") : std::nullopt)
          << key << wow64;
    }
    // The classes' root lists each key once, the redirected ones of its own view.
    const std::vector<std::string> listed =
        wow64 ? std::vector<std::string>{"TypeLib"} : std::vector<std::string>{"CLSID", "TypeLib"};
    EXPECT_EQ(memory.RegistrySubkeys(RegistryRoot::ClassesRoot, RegistryView::Bits64, ""), listed);
  }
}

}  // namespace
}  // namespace kalvenor::testing
