// Files by their attributes on the real system, checked as on the memory platform.
#include <gtest/gtest.h>

#include "../files_contract.h"
#include "harness.h"
#include "platform/win32/win32_system.h"

namespace kalvenor::e2e {
namespace {

TEST(FileState, StatesAndSearchesAsOnTheMemoryPlatform) {
  win32::Win32System system;
  TempFolder folder;
  contract::ExpectStatesAndSearches(system, Narrow(folder.Path()));
}

TEST(FileState, CopiesAndDeletesAsOnTheMemoryPlatform) {
  win32::Win32System system;
  TempFolder folder;
  contract::ExpectCopiesAndDeletes(system, Narrow(folder.Path()));
}

}  // namespace
}  // namespace kalvenor::e2e
