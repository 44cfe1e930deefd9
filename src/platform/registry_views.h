#pragma once
// Which registry keys 64-bit Windows keeps apart for 32-bit programs and which both see as one
// (Windows 7 and later; Microsoft's "Registry Keys Affected by WOW64"). 32-bit Windows has one
// view of everything.

#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace kalvenor::platform {

// Whether a 32-bit program reaches another key than a 64-bit one by this name: under the classes
// of either hive (MachineClasses, UserClasses, ClassesRoot and HKEY_USERS\<SID>_Classes) only
// CLSID, Interface, DirectShow, Media Type and MediaFoundation; under HKEY_LOCAL_MACHINE
// (`key` from the hive's root, "Software\\…") Software but for its classes and a listed few;
// nothing else.
bool IsRedirected(RegistryRoot root, std::string_view key);

// The views in which a key of `view` is the same key, on 64-bit Windows: `view` alone for a
// redirected key, both for a shared one.
std::vector<RegistryView> ViewsSharing(RegistryRoot root, RegistryView view, std::string_view key);

}  // namespace kalvenor::platform
