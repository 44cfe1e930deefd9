// A process for code that only has to be read, as an installer engine runs custom actions apart
// from itself: a restricted copy of this program's token (no privileges, Administrators for
// denial only, low integrity where what it writes is labelled for it), in a job that allows it no
// other process, no desktop changes and no life beyond this program's, assigned while it is still
// suspended.
#include "platform/win32/contained_process.h"

#include <sddl.h>

#include "platform/win32/text.h"

namespace kalvenor::win32 {
namespace {

// SECURITY_MANDATORY_LOW_RID, as a SID and as the label a key takes for it.
constexpr wchar_t kLowIntegrity[] = L"S-1-16-4096";
// Low-integrity processes may write the key and what they make below it; no one of lower
// integrity may.
constexpr wchar_t kLowLabel[] = L"S:(ML;OICI;NW;;;LW)";

struct UserOfToken {
  TOKEN_USER user;
  BYTE sid[SECURITY_MAX_SID_SIZE];
};

platform::Status LowerToLowIntegrity(HANDLE token) {
  PSID low = nullptr;
  if (!::ConvertStringSidToSidW(kLowIntegrity, &low)) return LastError();
  const Unique<NullEmpty<HLOCAL, FreeLocal>> owned(low);
  TOKEN_MANDATORY_LABEL label{};
  label.Label.Attributes = SE_GROUP_INTEGRITY;
  label.Label.Sid = low;
  if (!::SetTokenInformation(token, TokenIntegrityLevel, &label,
                             sizeof label + ::GetLengthSid(low))) {
    return LastError();
  }
  return platform::Done{};
}

platform::Result<UniqueHandle> RestrictedToken(bool lowIntegrity) {
  HANDLE own = nullptr;
  if (!::OpenProcessToken(
          ::GetCurrentProcess(),
          TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY | TOKEN_ADJUST_DEFAULT, &own)) {
    return LastError();
  }
  const UniqueHandle owned(own);
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof administrators;
  if (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size)) {
    return LastError();
  }
  SID_AND_ATTRIBUTES denied{administrators, 0};
  HANDLE restricted = nullptr;
  if (!::CreateRestrictedToken(own, DISABLE_MAX_PRIVILEGE, 1, &denied, 0, nullptr, 0, nullptr,
                               &restricted)) {
    return LastError();
  }
  UniqueHandle token(restricted);
  // An elevated token's objects are owned by Administrators, which a group for denial only
  // cannot own: they are the user's.
  UserOfToken user{};
  DWORD written = 0;
  if (!::GetTokenInformation(token.get(), TokenUser, &user, sizeof user, &written)) {
    return LastError();
  }
  // Wine keeps no owner in a token, and says so with ERROR_INVALID_FUNCTION.
  TOKEN_OWNER owner{user.user.User.Sid};
  if (!::SetTokenInformation(token.get(), TokenOwner, &owner, sizeof owner) &&
      ::GetLastError() != ERROR_INVALID_FUNCTION) {
    return LastError();
  }
  if (lowIntegrity) {
    if (platform::Status lowered = LowerToLowIntegrity(token.get()); !lowered.ok()) {
      return lowered.error();
    }
  }
  return token;
}

platform::Result<UniqueHandle> ContainingJob() {
  UniqueHandle job(::CreateJobObjectW(nullptr, nullptr));
  if (!job) return LastError();
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE |
                                            JOB_OBJECT_LIMIT_ACTIVE_PROCESS |
                                            JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
  limits.BasicLimitInformation.ActiveProcessLimit = 1;
  JOBOBJECT_BASIC_UI_RESTRICTIONS ui{
      JOB_OBJECT_UILIMIT_DESKTOP | JOB_OBJECT_UILIMIT_DISPLAYSETTINGS |
      JOB_OBJECT_UILIMIT_EXITWINDOWS | JOB_OBJECT_UILIMIT_GLOBALATOMS | JOB_OBJECT_UILIMIT_HANDLES |
      JOB_OBJECT_UILIMIT_READCLIPBOARD | JOB_OBJECT_UILIMIT_SYSTEMPARAMETERS |
      JOB_OBJECT_UILIMIT_WRITECLIPBOARD};
  if (!::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits) ||
      !::SetInformationJobObject(job.get(), JobObjectBasicUIRestrictions, &ui, sizeof ui)) {
    return LastError();
  }
  return job;
}

// Administrators and SYSTEM may change it, as every file of the journal's store; anyone may
// read and run it, the restricted token of a contained process among them.
constexpr wchar_t kRunnableRights[] = L"D:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;FRFX;;;WD)";

}  // namespace

platform::Status LetContainedRun(const std::wstring& program) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kRunnableRights, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
    return LastError();
  }
  const UniqueSecurityDescriptor owned(descriptor);
  if (!::SetFileSecurityW(program.c_str(),
                          DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                          descriptor)) {
    return LastError();
  }
  return platform::Done{};
}

platform::Status LabelForLowIntegrity(HKEY key) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kLowLabel, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
    return LastError();
  }
  const UniqueSecurityDescriptor owned(descriptor);
  const LSTATUS status = ::RegSetKeySecurity(key, LABEL_SECURITY_INFORMATION, descriptor);
  if (status != ERROR_SUCCESS) return ErrorOf(static_cast<DWORD>(status));
  return platform::Done{};
}

platform::Result<ProcessInJob> StartContained(const std::wstring& program, std::wstring commandLine,
                                              const std::wstring& folder, bool lowIntegrity) {
  platform::Result<UniqueHandle> token = RestrictedToken(lowIntegrity);
  if (!token.ok()) return token.error();
  platform::Result<UniqueHandle> job = ContainingJob();
  if (!job.ok()) return job.error();
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION started{};
  // Suspended until the job holds it, so that none of its code runs outside the job.
  if (!::CreateProcessAsUserW(token.value().get(), program.c_str(), commandLine.data(), nullptr,
                              nullptr, FALSE, CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT,
                              nullptr, folder.c_str(), &startup, &started)) {
    return LastError();
  }
  UniqueHandle process(started.hProcess), thread(started.hThread);
  if (!::AssignProcessToJobObject(job.value().get(), process.get())) {
    platform::SystemError error = LastError();
    ::TerminateProcess(process.get(), ERROR_ACCESS_DENIED);
    return error;
  }
  if (::ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
    platform::SystemError error = LastError();
    ::TerminateProcess(process.get(), ERROR_ACCESS_DENIED);
    return error;
  }
  return ProcessInJob{std::make_unique<Win32Process>(std::move(process), started.dwProcessId),
                      std::move(job.value())};
}

}  // namespace kalvenor::win32
