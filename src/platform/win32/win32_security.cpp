// Who may do what on Win32: administrator rights, folders only administrators may change, and
// the run lock in such a folder.
#include <windows.h>
// After windows.h, which they depend on.
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <vector>

#include "platform/win32/handles.h"
#include "platform/win32/text.h"
#include "platform/win32/win32_system.h"

namespace kalvenor::win32 {

bool RunsUnderWine() {
  static const bool wine = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version");
  return wine;
}

namespace {

// The account of Windows' own installer service, which owns the system directories and may
// change them, as only the system itself runs as it.
constexpr wchar_t kTrustedInstallerSid[] =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

std::wstring SidText(PSID sid) {
  LPWSTR text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) return {};
  const Unique<NullEmpty<HLOCAL, FreeLocal>> owned(text);
  return text;
}

bool IsAdministratorsOrSystem(PSID sid) {
  return ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
         ::IsWellKnownSid(sid, WinLocalSystemSid) || SidText(sid) == kTrustedInstallerSid;
}

// The account as the system names it ("DOMAIN\user"), or its SID where it has no name.
std::string AccountName(PSID sid) {
  wchar_t name[256] = {}, domain[256] = {};
  DWORD nameLength = 256, domainLength = 256;
  SID_NAME_USE use{};
  if (::LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) {
    return domainLength > 0 ? Narrow(domain) + "\\" + Narrow(name) : Narrow(name);
  }
  const std::wstring text = SidText(sid);
  return text.empty() ? "an account the system cannot name" : Narrow(text);
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

bool Win32System::RunsAsSystem() const {
  HANDLE opened = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &opened)) return false;
  UniqueHandle token(opened);
  DWORD size = 0;
  ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<BYTE> user(size);
  if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, user.data(), size, &size)) {
    return false;
  }
  return ::IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid,
                          WinLocalSystemSid) != FALSE;
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

platform::Result<std::vector<std::string>> Win32System::OthersWhoMayChange(
    std::string_view path) const {
  using Names = std::vector<std::string>;
  const std::wstring folder = Widen(path);
  const DWORD attributes = ::GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return Names{"it is no folder"};
  // Whoever owns a link can point it elsewhere, whatever the rights of where it points now.
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return Names{"it is a link"};
  // Wine: keeps no security settings on files and makes one up from the Unix permissions,
  // never protected nor owned by Administrators; what guards its folders is those permissions.
  if (RunsUnderWine()) return Names{};
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
  if (!dacl) return Names{"it has no DACL"};
  Names others;
  if (!(control & SE_DACL_PROTECTED)) others.push_back("it takes rights from the folder above it");
  if (!IsAdministratorsOrSystem(owner)) others.push_back("its owner " + AccountName(owner));
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace)) return LastError();
    // Files and folders know no object ACEs; the callback ACE is laid out as the plain one.
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE &&
        header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
      continue;
    }
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    PSID sid = &allowed->SidStart;
    if (!(allowed->Mask & kChangeRights) || IsAdministratorsOrSystem(sid)) continue;
    // Only for what is made inside, by whoever makes it: here, those named above.
    if ((header->AceFlags & INHERIT_ONLY_ACE) && ::IsWellKnownSid(sid, WinCreatorOwnerSid)) {
      continue;
    }
    std::string name = AccountName(sid);
    if (std::find(others.begin(), others.end(), name) == others.end()) {
      others.push_back(std::move(name));
    }
  }
  return others;
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
    // Named as the in-use lines name them, where the Restart Manager says who holds it.
    std::string holders;
    for (const std::string& program : ProgramsUsing(path)) {
      holders += (holders.empty() ? ", in use by " : ", ") + program;
    }
    failure.message =
        "the run lock " + path + " cannot be opened" + holders + ": " + failure.message;
  }
  return failure;
}

}  // namespace kalvenor::win32
