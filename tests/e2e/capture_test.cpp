// Registrations captured through the system: the helper of each bitness, written into the store
// and started there, gives back what a component wrote, however it ends, and the live registry
// keeps its own.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/win32/win32_registry.h"
#include "platform/win32/win32_system.h"
#include "run_support.h"

namespace kalvenor::e2e {
namespace {

using platform::CaptureStage;
using platform::RegistryTree;
using platform::RegistryView;

constexpr wchar_t kDictionary[] = L"{EE09B103-97E0-11CF-978F-00A02463E06F}";  // scrrun.dll's
constexpr wchar_t kScripting[] = L"{420B2830-E718-11CF-893D-00A0C9054228}";   // its type library
constexpr bool kOwn64 = sizeof(void*) == 8;
constexpr RegistryView kOwnView = kOwn64 ? RegistryView::Bits64 : RegistryView::Bits32;

// The string value `name` of `key` in a captured tree, lower case; nothing without it.
std::optional<std::wstring> StringIn(const RegistryTree& tree, std::wstring_view key,
                                     std::wstring_view name = L"") {
  for (const platform::RegistryValue& value : tree.values) {
    if (LowerCase(Widen(value.key)) != LowerCase(key) || Widen(value.name) != name) continue;
    std::wstring text(value.data.size() / 2, L'\0');
    std::memcpy(text.data(), value.data.data(), text.size() * 2);
    return LowerCase(text.substr(0, text.find(L'\0')));
  }
  return std::nullopt;
}

RegistryTree TreeOf(HKEY base, std::wstring_view path, REGSAM view = 0) {
  auto tree = win32::ReadTreeBelow(base, path, view);
  EXPECT_TRUE(tree.ok()) << Narrow(path);
  return tree.ok() ? tree.value().value_or(RegistryTree{}) : RegistryTree{{"unreadable"}, {}};
}

class Capture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(system.CreateProtectedFolder(store).ok());
    userSoftware = TreeOf(HKEY_CURRENT_USER, L"Software");
  }
  // Whatever became of the helper, the private key is gone with its session.
  void TearDown() override { EXPECT_EQ(TreeOf(HKEY_CURRENT_USER, L"Software"), userSoftware); }

  // The helper's exit code, once it has ended; nothing when it runs on.
  std::optional<std::uint32_t> AwaitEnd(platform::CaptureSession& session) {
    for (;;) {
      switch (session.Helper().WaitForExitOrEvents(60000)) {
        case platform::Wake::Ended: {
          auto code = session.Helper().ExitCode();
          EXPECT_TRUE(code.ok());
          return code.ok() ? std::optional(code.value()) : std::nullopt;
        }
        case platform::Wake::Events: {
          MSG message;
          while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&message);
          break;
        }
        case platform::Wake::Timeout: return std::nullopt;
      }
    }
  }

  std::unique_ptr<platform::CaptureSession> Start(const std::wstring& component,
                                                  RegistryView view) {
    auto started = system.StartCapture(Narrow(component), view, Narrow(OwnSystemDirectory()));
    EXPECT_TRUE(started.ok()) << (started.ok() ? "" : started.error().message);
    return started.ok() ? std::move(started.value()) : nullptr;
  }

  // Wine's scrrun.dll of the bitness, under another name: its classes name the copy, and
  // neither the live registry's class nor its type library changes. A helper whose bytes
  // differ from the program's is written anew.
  void CaptureScriptingRuntime(bool bits64) {
    const RegistryView view = bits64 ? RegistryView::Bits64 : RegistryView::Bits32;
    const REGSAM access = bits64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    const std::wstring name = bits64 ? L"scripting 64.dll" : L"scripting 32.dll";
    const std::wstring copy = folder.Copy(
        EnvironmentVariable(bits64 ? L"KALVENOR_WINE_DLLS_X64" : L"KALVENOR_WINE_DLLS_X86") +
            L"\\scrrun.dll",
        name);
    const std::wstring helper =
        Widen(store) + (bits64 ? L"\\capture-x64.exe" : L"\\capture-x86.exe");
    ::DeleteFileW(helper.c_str());
    ASSERT_TRUE(system.WriteNew(Narrow(helper), "not the helper").ok());
    const std::wstring clsid = std::wstring(L"CLSID\\") + kDictionary;
    const std::wstring library = std::wstring(L"TypeLib\\") + kScripting;
    const RegistryTree liveClass = TreeOf(HKEY_CLASSES_ROOT, clsid, access);
    const RegistryTree liveLibrary = TreeOf(HKEY_CLASSES_ROOT, library, access);

    auto session = Start(copy, view);
    ASSERT_TRUE(session);
    EXPECT_EQ(AwaitEnd(*session), 0u);
    auto outcome = session->Outcome();
    ASSERT_TRUE(outcome.ok()) << outcome.error().message;
    EXPECT_EQ(outcome.value().stage, CaptureStage::Returned);
    EXPECT_EQ(outcome.value().result, 0u);
    const RegistryTree& captured = outcome.value().registration.classesRoot;
    EXPECT_EQ(StringIn(captured, clsid + L"\\InprocServer32"), LowerCase(copy));
    EXPECT_EQ(StringIn(captured, clsid + L"\\InprocServer32", L"ThreadingModel"), L"apartment");
    EXPECT_EQ(StringIn(captured, clsid + L"\\TypeLib"), LowerCase(kScripting));
    const auto server =
        StringIn(captured, library + (bits64 ? L"\\1.0\\0\\win64" : L"\\1.0\\0\\win32"));
    EXPECT_TRUE(server && server->ends_with(L"\\" + name))
        << Narrow(server.value_or(L"no type library"));
    session.reset();
    EXPECT_EQ(TreeOf(HKEY_CLASSES_ROOT, clsid, access), liveClass);
    EXPECT_EQ(TreeOf(HKEY_CLASSES_ROOT, library, access), liveLibrary);
    EXPECT_NE(FileContent(helper), "not the helper");
  }

  win32::Win32System system;
  std::string store = system.ProgramDataFolder() + "\\Kalvenor";
  RegistryTree userSoftware;
  TempFolder folder;
};

TEST_F(Capture, WinesScriptingRuntimeOfItsOwnBitness) { CaptureScriptingRuntime(kOwn64); }

// The x86 build's 64-bit helper, and the x64 build's 32-bit one.
TEST_F(Capture, WinesScriptingRuntimeOfTheOtherBitness) {
  wchar_t wow64[MAX_PATH] = {};
  if (kOwn64 && (::GetSystemWow64DirectoryW(wow64, MAX_PATH) == 0 ||
                 !FileExists(std::wstring(wow64) + L"\\regsvr32.exe"))) {
    GTEST_SKIP() << "this machine runs no 32-bit programs";
  }
  CaptureScriptingRuntime(!kOwn64);
}

// How far a helper came, and with what, when the component does not register.
TEST_F(Capture, AComponentThatDoesNotRegisterLeavesHowFarItCame) {
  const struct {
    const wchar_t* sample;
    CaptureStage stage;
    std::uint32_t result, exitCode;
  } cases[] = {
      {L"absent.dll", CaptureStage::Redirected, 0x8007007E, 0x8007007E},  // the module not found
      {L"sample_noentry.dll", CaptureStage::Loaded, 0x8007007F, 0x8007007F},    // no entry point
      {L"sample_regfail.dll", CaptureStage::Returned, 0x80004005, 0x80004005},  // E_FAIL
      {L"sample_crash.dll", CaptureStage::Registering, 0, 0xC0000005},  // an access violation
  };
  // The key of a program ended before it could delete it goes with the next capture.
  const wchar_t* const leftover = L"Software\\Kalvenor capture 4294967280.1\\HKCR\\CLSID";
  HKEY made = nullptr;
  ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, leftover, 0, nullptr, 0, KEY_WRITE, nullptr, &made,
                              nullptr),
            ERROR_SUCCESS);
  ::RegCloseKey(made);
  for (const auto& each : cases) {
    SCOPED_TRACE(Narrow(each.sample));
    auto session = Start(SamplePath(each.sample), kOwnView);
    ASSERT_TRUE(session);
    EXPECT_EQ(AwaitEnd(*session), each.exitCode);
    auto outcome = session->Outcome();
    ASSERT_TRUE(outcome.ok()) << outcome.error().message;
    EXPECT_EQ(outcome.value().stage, each.stage);
    EXPECT_EQ(outcome.value().result, each.result);
  }
}

// A registration that waits for a user (a message box) is ended by Terminate, or with its
// session: its box goes with it.
TEST_F(Capture, AHangingRegistrationIsEnded) {
  const auto boxShown = [] { return ::FindWindowW(nullptr, L"Kalvenor sample") != nullptr; };
  for (const bool terminate : {true, false}) {
    SCOPED_TRACE(terminate ? "terminated" : "destroyed");
    auto session = Start(SamplePath(L"sample_msgbox.dll"), kOwnView);
    ASSERT_TRUE(session);
    ASSERT_TRUE(WaitUntil(boxShown, 30s));
    auto outcome = session->Outcome();
    ASSERT_TRUE(outcome.ok()) << outcome.error().message;
    EXPECT_EQ(outcome.value().stage, CaptureStage::Registering);
    if (terminate) {
      EXPECT_TRUE(session->Terminate().ok());
      EXPECT_EQ(AwaitEnd(*session), platform::kCaptureTerminated);
    }
    session.reset();
    EXPECT_TRUE(WaitUntil([&] { return !boxShown(); }));
  }
  // The program killed while the registration waits: the helper goes with it, and its key with
  // the next capture.
  const PrivateWindows windows;
  const TempFolder folder;
  const std::wstring hanging = folder.Copy(SamplePath(L"sample_msgbox.dll"), L"hang.dll");
  (void)RunUnattended(
      UnderTest().exe,
      L"/capture /quiet /json:" + Quoted(folder.PathOf(L"c.json")) + L" " + Quoted(hanging),
      windows, folder.Path(), [&](DWORD id) {
        ASSERT_TRUE(WaitUntil(boxShown, 30s));
        const UniqueHandle program(::OpenProcess(PROCESS_TERMINATE, FALSE, id));
        EXPECT_TRUE(::TerminateProcess(program.get(), 1));
        // Ended by hand where it outlives the program, so that the run's output ends too.
        if (!WaitUntil([&] { return !boxShown(); }, 10s)) {
          ADD_FAILURE() << "the helper outlived the program that started it";
          DWORD helper = 0;
          ::GetWindowThreadProcessId(::FindWindowW(nullptr, L"Kalvenor sample"), &helper);
          ::TerminateProcess(UniqueHandle(::OpenProcess(PROCESS_TERMINATE, FALSE, helper)).get(),
                             1);
        }
      });
  auto next = Start(SamplePath(L"sample_noentry.dll"), kOwnView);
  ASSERT_TRUE(next);
  AwaitEnd(*next);
}

TEST_F(Capture, AManifestIsCheckedAsWindowsReadsIt) {
  const std::string good =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
      "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n"
      "<assemblyIdentity type=\"win32\" name=\"Kalvenor.Test\" version=\"1.0.0.0\"/>\n"
      "<file name=\"comp.dll\"><comClass clsid=\"{EE09B103-97E0-11CF-978F-00A02463E06F}\" "
      "threadingModel=\"Apartment\" progid=\"Kalvenor.Test\"/></file>\n</assembly>\n";
  const struct {
    const wchar_t* name;
    std::string content;
    std::optional<DWORD> error;
  } cases[] = {
      {L"good.manifest", good, std::nullopt},
      {L"cut.manifest", good.substr(0, good.size() / 2), ERROR_SXS_CANT_GEN_ACTCTX},
      {L"absent.manifest", "", ERROR_FILE_NOT_FOUND},
  };
  for (const auto& each : cases) {
    SCOPED_TRACE(Narrow(each.name));
    const std::wstring path =
        each.content.empty() ? folder.PathOf(each.name) : folder.Write(each.name, each.content);
    const platform::Status checked = system.CheckManifest(Narrow(path), kOwnView);
    EXPECT_EQ(checked.ok() ? std::nullopt : std::optional(checked.error().code), each.error);
    if (!checked.ok()) {
      EXPECT_EQ(Widen(checked.error().message), SystemMessage(checked.error().code));
    }
  }
}

}  // namespace
}  // namespace kalvenor::e2e
