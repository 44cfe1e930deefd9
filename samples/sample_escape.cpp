// A component whose registration code reaches beyond the registry it is given, for the tests of
// a contained capture. What it tries is named by its own file name, so that one build serves each
// case: escape_file.dll writes a file into the system directory, escape_users.dll a value under
// HKEY_USERS\.DEFAULT, escape_child.dll starts reg.exe to write HKLM, escape_link.dll plants a
// registry link to a key of the system, escape_override.dll undoes the redirection of
// HKEY_CLASSES_ROOT and writes a class there. Each notes under HKCU\Software\KalvenorEscape how
// its attempt went (the Win32 error, 0 for done), with what its token was: whether it counts
// as an administrator and its integrity level. Loading it writes HKCU too.
#include <windows.h>

namespace {

constexpr wchar_t kNotes[] = L"Software\\KalvenorEscape";

HMODULE g_module = nullptr;

void Note(const wchar_t* name, DWORD value) {
  RegSetKeyValueW(HKEY_CURRENT_USER, kNotes, name, REG_DWORD, &value, sizeof value);
}

bool Named(const wchar_t* word) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(g_module, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  CharLowerW(path);
  const wchar_t* name = path;
  for (const wchar_t* at = path; *at; ++at) {
    if (*at == L'\\') name = at + 1;
  }
  const int size = lstrlenW(word);
  for (const wchar_t* at = name; *at; ++at) {
    if (CompareStringOrdinal(at, size, word, size, FALSE) == CSTR_EQUAL) return true;
  }
  return false;
}

void NoteToken() {
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof administrators;
  BOOL member = FALSE;
  if (CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size)) {
    CheckTokenMembership(nullptr, administrators, &member);
  }
  Note(L"Administrator", member ? 1 : 0);
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
  struct {
    TOKEN_MANDATORY_LABEL label;
    BYTE sid[SECURITY_MAX_SID_SIZE];
  } level{};
  DWORD written = 0;
  if (GetTokenInformation(token, TokenIntegrityLevel, &level, sizeof level, &written)) {
    PSID sid = level.label.Label.Sid;
    Note(L"Integrity", *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1));
  }
  CloseHandle(token);
}

DWORD WriteSystemFile() {
  wchar_t path[MAX_PATH];
  const UINT length = GetSystemDirectoryW(path, MAX_PATH - 32);
  if (length == 0 || length >= MAX_PATH - 32) return GetLastError();
  lstrcatW(path, L"\\kalvenor_escape.txt");
  HANDLE file =
      CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(file);
  return 0;
}

DWORD StartRegAdd() {
  wchar_t program[MAX_PATH];
  const UINT length = GetSystemDirectoryW(program, MAX_PATH - 16);
  if (length == 0 || length >= MAX_PATH - 16) return GetLastError();
  lstrcatW(program, L"\\reg.exe");
  wchar_t line[] = L"reg.exe add HKLM\\Software\\KalvenorEscape /v Child /d 1 /f";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(program, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &started)) {
    return GetLastError();
  }
  WaitForSingleObject(started.hProcess, 30000);
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return 0;
}

DWORD PlantLink() {
  HKEY link = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\KalvenorLink", 0, nullptr,
                                   REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS,
                                   nullptr, &link, nullptr);
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  static const wchar_t kTarget[] = L"\\REGISTRY\\MACHINE\\Software\\Microsoft\\Windows NT";
  status = RegSetValueExW(link, L"SymbolicLinkValue", 0, REG_LINK,
                          reinterpret_cast<const BYTE*>(kTarget), sizeof kTarget - sizeof(wchar_t));
  RegCloseKey(link);
  return static_cast<DWORD>(status);
}

DWORD WriteLiveClass() {
  const LSTATUS status = RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  return static_cast<DWORD>(
      RegSetKeyValueW(HKEY_CLASSES_ROOT, L"KalvenorEscape.Class", nullptr, REG_SZ, L"x", 4));
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    Note(L"Loaded", 1);
  }
  if (reason == DLL_PROCESS_DETACH) Note(L"Unloaded", 1);
  return TRUE;
}

STDAPI DllRegisterServer() {
  NoteToken();
  if (Named(L"_file")) Note(L"File", WriteSystemFile());
  if (Named(L"_users")) {
    Note(L"Users",
         static_cast<DWORD>(RegSetKeyValueW(HKEY_USERS, L".DEFAULT\\Software\\KalvenorEscape",
                                            L"Users", REG_SZ, L"x", 4)));
  }
  if (Named(L"_child")) Note(L"Child", StartRegAdd());
  if (Named(L"_link")) Note(L"Link", PlantLink());
  if (Named(L"_override")) Note(L"Override", WriteLiveClass());
  return S_OK;
}

STDAPI DllUnregisterServer() { return S_OK; }
