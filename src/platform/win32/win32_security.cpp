// Who may do what on Win32: administrator rights, folders only administrators may change, and
// the run lock in such a folder.
#include <windows.h>
// After windows.h, which they depend on.
#include <aclapi.h>
#include <sddl.h>

#include "platform/win32/handles.h"
#include "platform/win32/text.h"
#include "platform/win32/win32_system.h"

namespace kalvenor::win32 {
namespace {

bool RunsUnderWine() {
  static const bool wine = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version");
  return wine;
}

bool IsAdministratorsOrSystem(PSID sid) {
  return ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
         ::IsWellKnownSid(sid, WinLocalSystemSid);
}

// The rights that let their holder change a folder, add to it or delete from it, or change who
// may: FILE_WRITE_DATA and FILE_APPEND_DATA are a folder's "add file" and "add subfolder".
constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                      FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE |
                                      WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// Owned by the administrators, whatever the system makes the owner of new files; full control
// for them and SYSTEM, inherited by all that is made inside; a protected DACL, so nothing is
// inherited from the parent.
constexpr wchar_t kProtectedRights[] = L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";

// A file in the journal's store held open without sharing: only administrators and SYSTEM may
// make or open one there, whichever session they run in. The system closes it when the run
// ends, killed or not, and it goes then.
class FileLock final : public platform::RunLock {
 public:
  explicit FileLock(UniqueFile file) : file_(std::move(file)) {}

 private:
  UniqueFile file_;
};

}  // namespace

bool Win32System::Elevated() const {
  HANDLE opened = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &opened)) return false;
  UniqueHandle token(opened);
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  return ::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) &&
         elevation.TokenIsElevated != 0;
}

platform::Status Win32System::CreateProtectedFolder(std::string_view path) {
  PSECURITY_DESCRIPTOR made = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedRights, SDDL_REVISION_1,
                                                              &made, nullptr)) {
    return LastError();
  }
  const UniqueSecurityDescriptor rights(made);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, rights.get(), FALSE};
  const std::wstring folder = Widen(path);
  return FolderMade(::CreateDirectoryW(folder.c_str(), &attributes), folder);
}

platform::Result<bool> Win32System::IsProtectedFolder(std::string_view path) const {
  const std::wstring folder = Widen(path);
  const DWORD attributes = ::GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
  // Whoever owns a link can point it elsewhere, whatever the rights of where it points now.
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return false;
  }
  // Wine: keeps no security settings on files and makes one up from the Unix permissions,
  // never protected nor owned by Administrators; what guards its folders is those permissions.
  if (RunsUnderWine()) return true;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR read = nullptr;
  const DWORD status = ::GetNamedSecurityInfoW(
      folder.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
      &owner, nullptr, &dacl, nullptr, &read);
  if (status != ERROR_SUCCESS) return ErrorOf(status);
  const UniqueSecurityDescriptor descriptor(read);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!::GetSecurityDescriptorControl(descriptor.get(), &control, &revision)) return LastError();
  // No DACL lets everyone do everything; one that inherits takes in what the parent grants
  // later; and the owner may always rewrite the DACL.
  if (!dacl || !(control & SE_DACL_PROTECTED) || !IsAdministratorsOrSystem(owner)) return false;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace)) return LastError();
    // Files and folders know no object ACEs; the callback ACE is laid out as the plain one.
    const BYTE type = static_cast<const ACE_HEADER*>(ace)->AceType;
    if (type != ACCESS_ALLOWED_ACE_TYPE && type != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) continue;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    if ((allowed->Mask & kChangeRights) && !IsAdministratorsOrSystem(&allowed->SidStart)) {
      return false;
    }
  }
  return true;
}

platform::Result<std::string> Win32System::TrustedStore() const {
  const std::string data = ProgramDataFolder();
  if (data.empty()) {
    return platform::SystemError{ERROR_PATH_NOT_FOUND,
                                 "there is no folder of data shared by all users (%ProgramData%) "
                                 "to hold the journal's store"};
  }
  const std::string store = data + "\\Kalvenor";
  platform::Result<bool> trusted = IsProtectedFolder(store);
  if (!trusted.ok()) {
    const DWORD code = trusted.error().code;
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
      return platform::SystemError{code, "the journal's store " + store + " is missing"};
    }
    return platform::SystemError{
        code, "the journal's store " + store + " cannot be checked: " + trusted.error().message};
  }
  if (!trusted.value()) {
    return platform::SystemError{
        ERROR_ACCESS_DENIED,
        "the journal's store " + store + " may be changed by others than administrators"};
  }
  return store;
}

platform::Result<std::unique_ptr<platform::RunLock>> Win32System::LockRuns() {
  // A store that others may change could hold a lock of theirs, or let them take it away.
  platform::Result<std::string> store = TrustedStore();
  if (!store.ok()) return store.error();
  const std::string path = store.value() + "\\run.lock";
  UniqueFile lock(::CreateFileW(Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE,
                                nullptr));
  if (lock) return std::unique_ptr<platform::RunLock>(std::make_unique<FileLock>(std::move(lock)));
  platform::SystemError failure = LastError();
  if (failure.code != ERROR_SHARING_VIOLATION) {
    failure.message = "the run lock " + path + " cannot be opened: " + failure.message;
  }
  return failure;
}

}  // namespace kalvenor::win32
