// What the journal of a run needs of the real system: folders only administrators may change,
// a loaded DLL told apart and moved aside, the run lock, DWORD values in one view.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"
#include "platform/win32/win32_system.h"
#include "run_support.h"

namespace kalvenor::e2e {
namespace {

using platform::RegistryRoot;
using platform::RegistryView;

bool Protected(win32::Win32System& system, const std::wstring& folder) {
  auto answer = system.IsProtectedFolder(Narrow(folder));
  if (!answer.ok()) ADD_FAILURE() << Narrow(folder) << ": " << answer.error().message;
  return answer.ok() && answer.value();
}

TEST(StoreRights, ProtectedFolderReadsBackProtectedAndAPlainOneDoesNot) {
  win32::Win32System system;
  if (!system.Elevated() && !UnderWine()) {
    GTEST_SKIP() << "the folder is the administrators': run elevated";
  }
  TempFolder folder;
  ASSERT_TRUE(system.CreateProtectedFolder(Narrow(folder.PathOf(L"Kept"))).ok());
  ASSERT_TRUE(system.CreateFolder(Narrow(folder.PathOf(L"Plain"))).ok());
  if (UnderWine()) {
    GTEST_SKIP() << "Wine keeps no DACL of a file's own: it reads back one made from the Unix "
                    "mode bits, owned by the user and never protected";
  }
  EXPECT_TRUE(Protected(system, folder.PathOf(L"Kept")));
  EXPECT_FALSE(Protected(system, folder.PathOf(L"Plain")));
  // An existing folder is left as it is.
  EXPECT_TRUE(system.CreateProtectedFolder(Narrow(folder.PathOf(L"Plain"))).ok());
  EXPECT_FALSE(Protected(system, folder.PathOf(L"Plain")));
}

TEST(StoreRights, AnExistingFolderIsMadeAlreadyAFileOfItsNameIsNot) {
  win32::Win32System system;
  TempFolder folder;
  const std::string existing = Narrow(folder.MakeFolder(L"Existing"));
  const std::string file = Narrow(folder.Write(L"file"));
  EXPECT_TRUE(system.CreateFolder(existing).ok());
  EXPECT_TRUE(system.CreateProtectedFolder(existing).ok());
  EXPECT_FALSE(system.CreateFolder(file).ok());
  EXPECT_FALSE(system.CreateProtectedFolder(file).ok());
}

TEST(StoreRights, LoadedDllIsInUseAndCanBeRenamedAsideReadOnlyFileIsNot) {
  win32::Win32System system;
  TempFolder folder;
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring marker = self;
  marker = marker.substr(0, marker.rfind(L'\\') + 1) + L"plant_marker.dll";
  const std::wstring dll = folder.Copy(marker, L"held.dll");
  const std::wstring readOnly = folder.Write(L"kept.dll", "MZ");
  folder.AddAttributes(L"kept.dll", FILE_ATTRIBUTE_READONLY);
  const win32::UniqueModule loaded(::LoadLibraryW(dll.c_str()));
  ASSERT_TRUE(loaded) << "cannot load " << Narrow(dll);

  EXPECT_TRUE(system.InUse(Narrow(dll)));
  EXPECT_FALSE(system.InUse(Narrow(readOnly)));
  EXPECT_FALSE(system.Delete(Narrow(dll)).ok());
  ASSERT_TRUE(system.Rename(Narrow(dll), Narrow(folder.PathOf(L"held.dll.old"))).ok());
  EXPECT_TRUE(system.InUse(Narrow(folder.PathOf(L"held.dll.old"))));
  // The name is free for the new copy.
  EXPECT_TRUE(system.WriteNew(Narrow(dll), "MZ").ok());
  EXPECT_FALSE(system.InUse(Narrow(dll)));
}

// One run at a time holds the lock, and none where the journal's store is missing or could be
// changed by others, who could then hold it or take it away.
TEST(StoreRights, TheRunLockIsOneRunsAtATimeAndNoneWithoutATrustedStore) {
  win32::Win32System system;
  const std::string store = system.ProgramDataFolder() + "\\Kalvenor";
  ASSERT_TRUE(system.CreateProtectedFolder(store).ok());
  {
    const auto first = system.LockRuns();
    ASSERT_TRUE(first.ok()) << first.error().message;
    const auto second = system.LockRuns();
    ASSERT_FALSE(second.ok());
    EXPECT_EQ(second.error().code, platform::kErrorSharingViolation) << second.error().message;
  }
  EXPECT_TRUE(system.LockRuns().ok()) << "the lock is free once its run has ended";

  TempFolder earlier;  // the store of the runs before, out of the way and put back at the end
  const std::wstring aside = earlier.PathOf(L"store");
  ASSERT_TRUE(::MoveFileW(Widen(store).c_str(), aside.c_str()));
  const auto missing = system.LockRuns();
  const bool planted = ::MoveFileW(earlier.Write(L"planted").c_str(), Widen(store).c_str());
  const auto unprotected = system.LockRuns();
  if (planted) ::DeleteFileW(Widen(store).c_str());
  ASSERT_TRUE(::MoveFileW(aside.c_str(), Widen(store).c_str()));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message, "the journal's store " + store + " is missing");
  ASSERT_TRUE(planted);
  ASSERT_FALSE(unprotected.ok());
  EXPECT_EQ(unprotected.error().message,
            "the journal's store " + store + " may be changed by others than administrators");
}

TEST(StoreRights, DwordIsWrittenInTheViewAskedForAndDeletedTwice) {
  win32::Win32System system;
  const std::wstring key = L"Software\\Kalvenor E2E " + std::to_wstring(::GetCurrentProcessId());
  const auto read = [&](RegistryView view) {
    return system.RegistryDword(RegistryRoot::LocalMachine, view, Narrow(key), "Count");
  };
  const auto erase = [&] {
    return system.DeleteRegistryValue(RegistryRoot::LocalMachine, RegistryView::Bits64, Narrow(key),
                                      "Count");
  };
  ASSERT_TRUE(system
                  .SetRegistryDword(RegistryRoot::LocalMachine, RegistryView::Bits64, Narrow(key),
                                    "Count", 7)
                  .ok());
  EXPECT_EQ(read(RegistryView::Bits64), 7u);
  EXPECT_EQ(read(RegistryView::Bits32), std::nullopt);
  EXPECT_TRUE(erase().ok());
  EXPECT_TRUE(erase().ok()) << "a missing value is deleted already";
  EXPECT_EQ(read(RegistryView::Bits64), std::nullopt);
  ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), KEY_WOW64_64KEY, 0);
}

}  // namespace
}  // namespace kalvenor::e2e
