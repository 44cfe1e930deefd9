// /capture as deployment tools run it, on Wine's own COM servers of both bitnesses (copies under
// names of their own) beside the samples: nothing on the machine changes, every export is
// written, a component that does not register fails alone, and the manifest serves a class with
// nothing registered.
#include <gtest/gtest.h>
#include <objbase.h>

#include "inspect/verification.h"
#include "platform/win32/win32_registry.h"
#include "platform/win32/win32_system.h"
#include "run_support.h"
#include "samples/sample_clsids.h"

namespace kalvenor::e2e {
namespace {

constexpr bool kOwn64 = sizeof(void*) == 8;

// Where this process finds the system directory of the other bitness; nothing where this
// machine runs no programs of it.
std::optional<std::wstring> OtherSystemDirectory() {
  wchar_t folder[MAX_PATH];
  const UINT length = kOwn64 ? ::GetSystemWow64DirectoryW(folder, MAX_PATH)
                             : ::GetSystemWindowsDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::nullopt;
  const std::wstring other = std::wstring(folder) + (kOwn64 ? L"" : L"\\sysnative");
  if (!FileExists(other + L"\\regsvr32.exe")) return std::nullopt;
  return other;
}

std::vector<std::wstring> NamesIn(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found{};
  HANDLE search = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do names.push_back(LowerCase(found.cFileName));
  while (::FindNextFileW(search, &found));
  ::FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

// What a capture must leave as it was: the classes of both views, the user's software, and the
// system directories.
struct MachineState {
  std::vector<platform::RegistryTree> trees;
  std::vector<std::vector<std::wstring>> folders;
  bool operator==(const MachineState&) const = default;
};

MachineState StateOf(const std::vector<std::wstring>& folders) {
  MachineState state;
  const std::pair<HKEY, REGSAM> places[] = {{HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY},
                                            {HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY},
                                            {HKEY_CURRENT_USER, 0}};
  for (const auto& [base, view] : places) {
    auto tree = win32::ReadTreeBelow(
        base, base == HKEY_CURRENT_USER ? L"Software" : L"Software\\Classes", view);
    EXPECT_TRUE(tree.ok() && tree.value());
    state.trees.push_back(tree.ok() ? tree.value().value_or(platform::RegistryTree{})
                                    : platform::RegistryTree{});
  }
  for (const std::wstring& folder : folders) state.folders.push_back(NamesIn(folder));
  return state;
}

class CaptureRun : public ::testing::Test {
 protected:
  CaptureRun() : exe(folder.Copy(UnderTest().exe, L"kalvenor.exe")) { folder.MakeFolder(L"pkg"); }

  void PutSample(std::wstring_view name) const {
    folder.Copy(SamplePath(name), L"pkg\\" + std::wstring(name));
  }
  Ended Capture(const std::wstring& exports) const {
    return RunUnattended(exe, L"/capture /quiet /log:run.log " + exports + L" pkg", windows,
                         folder.Path());
  }
  std::wstring Log() const { return Widen(FileContent(folder.PathOf(L"run.log"))); }

  PrivateWindows windows;
  TempFolder folder{L"KalvenorCapture-"};
  std::wstring exe;
};

TEST_F(CaptureRun, BothBitnessesChangeNothingAndEveryExportIsWritten) {
  // The program finds the other bitness's system directory in its own Windows directory.
  const std::optional<std::wstring> other = windows.AddOtherSystem();
  const bool both = other.has_value();
  const struct {
    const wchar_t* server;
    const wchar_t* copy;
    bool bits64;
  } copies[] = {
      {L"scrrun.dll", L"scrun64.dll", true}, {L"scrrun.dll", L"scrun32.dll", false},
      {L"msxml3.dll", L"msxml64.dll", true}, {L"msxml3.dll", L"msxml32.dll", false},
      {L"wshom.ocx", L"wshom64.ocx", true},  {L"wshom.ocx", L"wshom32.ocx", false},
  };
  for (const auto& one : copies) {
    if (one.bits64 != kOwn64 && !both) continue;
    folder.Copy(
        EnvironmentVariable(one.bits64 ? L"KALVENOR_WINE_DLLS_X64" : L"KALVENOR_WINE_DLLS_X86") +
            L"\\" + one.server,
        L"pkg\\" + std::wstring(one.copy));
  }
  PutSample(L"kalvenor_sample.dll");
  std::vector<std::wstring> folders = {OwnSystemDirectory(), windows.System()};
  if (other) folders.insert(folders.end(), {*other, OtherSystemDirectory().value_or(L"")});
  const MachineState before = StateOf(folders);

  const Ended ended = Capture(L"/wxs:out.wxs /reg:out.reg /manifest:app.exe.manifest");
  EXPECT_EQ(ended.exitCode, 0u) << Narrow(Log());
  EXPECT_EQ(Log().find(L"failed:"), std::wstring::npos) << Narrow(Log());
  EXPECT_TRUE(StateOf(folders) == before) << "the capture changed the registry or a folder";
  EXPECT_TRUE(FileExists(folder.PathOf(L"out.wxs")));
  EXPECT_TRUE(FileExists(folder.PathOf(L"out.reg")));
  // For each bitness, an application manifest and a private assembly, each naming the files of
  // its own.
  for (const bool bits64 : {false, true}) {
    if (bits64 != kOwn64 && !both) continue;
    const std::wstring bits = !both ? L"" : bits64 ? L".x64" : L".x86";
    for (const std::wstring& manifest :
         {L"app.exe" + bits + L".manifest", L"app.components" + bits + L".manifest"}) {
      ASSERT_TRUE(FileExists(folder.PathOf(manifest))) << Narrow(manifest) << Narrow(Log());
      const std::string text = FileContent(folder.PathOf(manifest));
      for (const auto& one : copies) {
        if (one.bits64 != kOwn64 && !both) continue;
        EXPECT_EQ(text.find("\"" + Narrow(one.copy) + "\"") != std::string::npos,
                  one.bits64 == bits64)
            << Narrow(manifest) << " and " << Narrow(one.copy);
      }
    }
  }
}

TEST_F(CaptureRun, AComponentThatDoesNotRegisterFailsAloneAndTheOthersAreWritten) {
  const struct {
    const wchar_t* sample;
    const wchar_t* why;  // the beginning of its failed line
  } failing[] = {
      {L"sample_noentry.dll", L"it has no DllRegisterServer, so it does not register itself"},
      {L"sample_regfail.dll", L"its DllRegisterServer failed: 0x80004005"},
      {L"sample_crash.dll", L"it crashed in its DllRegisterServer, with exception 0xC0000005"},
  };
  PutSample(L"sample_progid.dll");
  for (const auto& one : failing) PutSample(one.sample);
  const Ended ended = Capture(L"/reg:out.reg /wxs:out.wxs");
  EXPECT_EQ(ended.exitCode, 1603u) << Narrow(Log());
  for (const auto& one : failing) {
    const std::wstring step = Line(L"> Capturing file " + folder.PathOf(L"pkg\\") + one.sample);
    EXPECT_NE(Log().find(step + L"|      failed: " + one.why), std::wstring::npos)
        << Narrow(one.sample) << "\n"
        << Narrow(Log());
  }
  EXPECT_NE(FileContent(folder.PathOf(L"out.wxs")).find(Narrow(sample::kProgIdClsidString)),
            std::string::npos);
  EXPECT_TRUE(FileExists(folder.PathOf(L"out.reg")));
}

bool UnderWine() {
  return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// The text of the manifest a program carries as its resource 1.
std::string EmbeddedManifest(const std::wstring& exe) {
  const HMODULE module = ::LoadLibraryExW(
      exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (!module) return "";
  std::string text;
  if (const HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST)) {
    if (const HGLOBAL loaded = ::LoadResource(module, found))
      text.assign(static_cast<const char*>(::LockResource(loaded)),
                  ::SizeofResource(module, found));
  }
  ::FreeLibrary(module);
  return text;
}

// The manifests, the sample beside them and not registered: the application manifest as a
// program's activation context, and the private assembly as the dependency of a program's own
// manifest, which holds the dependency as the export wrote it.
TEST_F(CaptureRun, TheManifestServesTheSamplesClassWithNothingRegistered) {
  PutSample(L"sample_progid.dll");
  ASSERT_EQ(Capture(L"/manifest:pkg\\client.exe.manifest").exitCode, 0u) << Narrow(Log());
  ASSERT_FALSE(InprocServer(sample::kProgIdClsidString));

  const std::wstring client = folder.Copy(SamplePath(L"sample_client.exe"), L"pkg\\client.exe");
  const std::string dependency = FileContent(folder.PathOf(L"pkg\\client.dependency.manifest"));
  const std::size_t identity = dependency.find("<assemblyIdentity ");
  ASSERT_NE(identity, std::string::npos) << dependency;
  EXPECT_NE(EmbeddedManifest(client).find(
                dependency.substr(identity, dependency.find('\n', identity) - identity)),
            std::string::npos)
      << dependency;
  // Only the private assembly beside it serves the program, which fails without it; the
  // application manifest is out of its way.
  const std::wstring manifest = folder.PathOf(L"pkg\\client.exe.manifest");
  const std::wstring assembly = folder.PathOf(L"pkg\\client.components.manifest");
  for (const bool served : {false, true}) {
    const std::wstring& moved = served ? manifest : assembly;
    const std::wstring aside = folder.PathOf(moved.substr(moved.rfind(L'\\') + 1));
    ASSERT_TRUE(::MoveFileW(moved.c_str(), aside.c_str()));
    const std::optional<std::uint32_t> ended = ExitCodeOf(client, L"client.exe");
    ASSERT_TRUE(::MoveFileW(aside.c_str(), moved.c_str()));
    if (served) {
      // Under Wine the class is made by its CLSID, while the ProgID, resolved through the
      // activation context, names another class.
      EXPECT_TRUE(ended == 0u || (UnderWine() && ended == 1u)) << std::hex << ended.value_or(0);
    } else {
      // It does not start, or makes no object.
      EXPECT_TRUE(!ended || FAILED(static_cast<HRESULT>(*ended))) << std::hex << *ended;
    }
  }

  const std::wstring directory = folder.PathOf(L"pkg");
  ACTCTXW description{.cbSize = sizeof(ACTCTXW),
                      .dwFlags = ACTCTX_FLAG_ASSEMBLY_DIRECTORY_VALID,
                      .lpSource = manifest.c_str(),
                      .lpAssemblyDirectory = directory.c_str()};
  const HANDLE context = ::CreateActCtxW(&description);
  ASSERT_NE(context, INVALID_HANDLE_VALUE) << Narrow(SystemMessage(::GetLastError()));
  ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  for (const bool served : {false, true}) {
    ULONG_PTR cookie = 0;
    if (served) {
      ASSERT_TRUE(::ActivateActCtx(context, &cookie));
    }
    IUnknown* object = nullptr;
    const HRESULT byClsid = ::CoCreateInstance(sample::kProgIdClsid, nullptr, CLSCTX_INPROC_SERVER,
                                               IID_IUnknown, reinterpret_cast<void**>(&object));
    if (object) object->Release();
    object = nullptr;
    CLSID named{};
    HRESULT byProgId = ::CLSIDFromProgID(sample::kProgId, &named);
    if (SUCCEEDED(byProgId)) {
      byProgId = ::CoCreateInstance(named, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                    reinterpret_cast<void**>(&object));
    }
    if (object) object->Release();
    EXPECT_EQ(byClsid, served ? S_OK : REGDB_E_CLASSNOTREG);
    EXPECT_EQ(byProgId, served ? S_OK : CO_E_CLASSSTRING);
    if (served) ::DeactivateActCtx(0, cookie);
  }
  ::CoUninitialize();
  ::ReleaseActCtx(context);
}

// The registration code of a component that reaches beyond the registry it is given. Each copy
// of the sample tries one way out (its name says which) and notes under HKCU how it went, which
// the .reg file then carries: its capture fails, or what it wrote stays in its private key, and
// the live machine keeps none of it. Wine enforces no rights of files or keys and no job's
// process limit: there the system directory's file is written, and reg.exe starts and writes
// HKLM (the capture then fails for it), and HKEY_CLASSES_ROOT takes the overriding component's
// class; those marks are removed and named rather than failed.
TEST_F(CaptureRun, AComponentsWritesBeyondItsRegistryStayOffTheMachine) {
  const bool wine = UnderWine();
  const struct {
    const wchar_t* copy;
    const char* note;     // on how its attempt went (an error code), or nothing
    const wchar_t* line;  // in the log: a note of what it wrote, or why it failed
  } escapes[] = {
      {L"escape_file.dll", wine ? "\"File\"=dword:00000000" : "\"File\"=dword:00000005"},
      {L"escape_users.dll", "\"Users\"=dword:00000000",
       L"|      it also wrote 1 value under HKEY_USERS, which no export carries"},
      // Windows' job refuses reg.exe.
      {L"escape_child.dll", wine ? nullptr : "\"Child\"=dword:00000",
       wine ? L"|      failed: its registration started 1 program, which ran outside the "
              L"redirected registry: none of it is taken"
            : nullptr},
      // Windows lets no low-integrity process make a registry link.
      {L"escape_link.dll", wine ? nullptr : "\"Link\"=dword:00000005",
       wine ? L"|      failed: what it registered cannot be read: the capture helper left a "
              L"registry link in its private key, which no registration writes"
            : nullptr},
      {L"escape_override.dll", nullptr,
       L"|      failed: its registration undid the redirection of HKEY_CLASSES_ROOT, so what it "
       L"wrote there may have reached the live registry: none of it is taken"},
  };
  for (const auto& escape : escapes) {
    SCOPED_TRACE(Narrow(escape.copy));
    const std::wstring copy =
        folder.Copy(SamplePath(L"sample_escape.dll"), L"pkg\\" + std::wstring(escape.copy));
    const std::wstring out = folder.PathOf(L"out.reg");
    ::DeleteFileW(out.c_str());
    const Ended ended = Capture(L"/reg:out.reg");
    ::DeleteFileW(copy.c_str());
    EXPECT_EQ(ended.exitCode, escape.note ? 0u : 1603u) << Narrow(Log());
    if (escape.line) {
      EXPECT_NE(Log().find(escape.line), std::wstring::npos) << Narrow(Log());
    }
    if (!escape.note) continue;
    const std::string bytes = FileContent(out);  // UTF-16, as regedit writes it
    std::string reg;
    for (std::size_t at = 2; at < bytes.size(); at += 2) reg += bytes[at];
    // Its DllMain's write, what its token was (no administrator, low integrity where Windows
    // labels keys for it), and no code of it run after.
    for (const char* held :
         {"\"Loaded\"=dword:00000001", "\"Administrator\"=dword:00000000",
          wine ? "\"Integrity\"=dword:00003000" : "\"Integrity\"=dword:00001000", escape.note}) {
      EXPECT_NE(reg.find(held), std::string::npos) << held << "\n" << reg;
    }
    EXPECT_EQ(reg.find("\"Unloaded\""), std::string::npos) << reg;
  }
  const std::wstring file = OwnSystemDirectory() + L"\\kalvenor_escape.txt";
  if (wine) ::DeleteFileW(file.c_str());
  EXPECT_FALSE(FileExists(file));
  if (wine) {
    ::RegDeleteTreeW(HKEY_CLASSES_ROOT, L"KalvenorEscape.Class");
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\KalvenorEscape");
  }
  const struct {
    HKEY base;
    const wchar_t* path;
  } marks[] = {{HKEY_CLASSES_ROOT, L"KalvenorEscape.Class"},
               {HKEY_USERS, L".DEFAULT\\Software\\KalvenorEscape"},
               {HKEY_LOCAL_MACHINE, L"Software\\KalvenorEscape"},
               {HKEY_CURRENT_USER, L"Software\\KalvenorEscape"},
               {HKEY_CURRENT_USER, L"Software\\KalvenorLink"}};
  for (const auto& mark : marks) {
    HKEY opened = nullptr;
    EXPECT_EQ(::RegOpenKeyExW(mark.base, mark.path, REG_OPTION_OPEN_LINK, KEY_READ, &opened),
              ERROR_FILE_NOT_FOUND)
        << Narrow(mark.path);
    if (opened) {
      ::RegCloseKey(opened);
      ::RegDeleteTreeW(mark.base, mark.path);  // so that the next run starts clean
    }
  }
  // What the planted link led to is still there.
  HKEY target = nullptr;
  EXPECT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows NT\\CurrentVersion",
                            0, KEY_READ, &target),
            ERROR_SUCCESS);
  if (target) ::RegCloseKey(target);
}

// After the package made of the WiX source was installed (tests/e2e/capture_export.sh): each
// named file in a system directory is registered as an Install proves its registrations.
TEST(CaptureInstalled, EveryInstalledFilePassesTheProofOfARegistration) {
  const std::wstring names = EnvironmentVariable(L"KALVENOR_CAPTURE_INSTALLED");
  if (names.empty()) GTEST_SKIP() << "tests/e2e/capture_export.sh sets KALVENOR_CAPTURE_INSTALLED";
  win32::Win32System system;
  const std::optional<std::wstring> other = OtherSystemDirectory();
  for (std::size_t at = 0; at < names.size();) {
    const std::size_t end = std::min(names.find(L';', at), names.size());
    const std::wstring name = names.substr(at, end - at);
    at = end + 1;
    SCOPED_TRACE(Narrow(name));
    const bool own = FileExists(OwnSystemDirectory() + L"\\" + name);
    ASSERT_TRUE(own || (other && FileExists(*other + L"\\" + name)));
    const std::wstring directory = own ? OwnSystemDirectory() : *other;
    const inspect::Component component{
        Narrow(directory + L"\\" + name),
        {},
        Narrow(directory),
        true,
        own == kOwn64 ? inspect::Machine::X64 : inspect::Machine::X86};
    EXPECT_FALSE(inspect::ClassesServedBy(system, component).empty());
    const std::vector<std::string> faults = inspect::VerifyRegistration(system, component);
    EXPECT_TRUE(faults.empty()) << faults.front();
  }
}

}  // namespace
}  // namespace kalvenor::e2e
