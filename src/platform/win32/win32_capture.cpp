// Capturing a registration, or creating a component's classes, on Win32: the helper of the
// component's bitness, written from the program's resources into the journal's store, started
// from there on a private key of this run (a capture's contained), and what it left there read
// back without following a link it may have planted.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <vector>

#include "platform/win32/contained_process.h"
#include "platform/win32/handles.h"
#include "platform/win32/text.h"
#include "platform/win32/win32_process.h"
#include "platform/win32/win32_registry.h"
#include "platform/win32/win32_system.h"
#include "resource_ids.h"

namespace kalvenor::win32 {
namespace {

// The helper's bytes among the program's resources.
platform::Result<std::string_view> HelperBytes(platform::RegistryView view) {
  const int id = view == platform::RegistryView::Bits32 ? IDR_CAPTURE_X86 : IDR_CAPTURE_X64;
  HRSRC found = ::FindResourceW(nullptr, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10));  // RCDATA
  HGLOBAL loaded = found ? ::LoadResource(nullptr, found) : nullptr;
  const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
  if (!bytes) {
    platform::SystemError error = LastError();
    error.message = "the capture helper is not among the program's resources: " + error.message;
    return error;
  }
  return std::string_view(static_cast<const char*>(bytes), ::SizeofResource(nullptr, found));
}

// The private key under HKEY_CURRENT_USER\Software, deleted with all below it when it goes.
// Not volatile: Windows refuses the lasting subkeys that registrations make below a volatile key.
class PrivateKey {
 public:
  PrivateKey(std::wstring path, UniqueKey key) : path_(std::move(path)), key_(std::move(key)) {}
  PrivateKey(PrivateKey&&) = default;
  ~PrivateKey() {
    if (!key_) return;
    key_.reset();
    (void)DeleteTreeWithoutLinks(HKEY_CURRENT_USER, path_);
  }
  const std::wstring& Path() const { return path_; }
  HKEY Get() const { return key_.get(); }

 private:
  std::wstring path_;
  UniqueKey key_;
};

constexpr wchar_t kPrivateKeyPrefix[] = L"Kalvenor capture ";

// The private keys of programs that were ended before they could delete them: each names the
// id of a process that no longer runs.
void DeleteLeftoverKeys() {
  HKEY software = nullptr;
  if (::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &software) != ERROR_SUCCESS) {
    return;
  }
  UniqueKey owned(software);
  std::vector<std::wstring> leftovers;
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD length = static_cast<DWORD>(std::size(name));
    if (::RegEnumKeyExW(software, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    const std::wstring_view key(name, length);
    if (!key.starts_with(kPrivateKeyPrefix)) continue;
    const DWORD id = std::wcstoul(name + std::size(kPrivateKeyPrefix) - 1, nullptr, 10);
    UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, id));
    if (!process || ::WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) {
      leftovers.emplace_back(key);
    }
  }
  for (const std::wstring& key : leftovers) (void)DeleteTreeWithoutLinks(software, key);
}

// A name no other run has: this process's id and a count of its captures. A key of that name
// is a leftover of an ended process that had the same id, and is made anew.
platform::Result<PrivateKey> MakePrivateKey() {
  static unsigned made = 0;
  DeleteLeftoverKeys();
  const std::wstring path =
      L"Software\\" + std::wstring(kPrivateKeyPrefix) +
      Widen(std::to_string(::GetCurrentProcessId()) + "." + std::to_string(++made));
  if (platform::Status gone = DeleteTreeWithoutLinks(HKEY_CURRENT_USER, path); !gone.ok()) {
    return gone.error();
  }
  HKEY created = nullptr;
  DWORD disposition = 0;
  const LSTATUS status =
      ::RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS | WRITE_OWNER, nullptr, &created, &disposition);
  if (status != ERROR_SUCCESS) return ErrorOf(static_cast<DWORD>(status));
  UniqueKey key(created);
  // One made in between by another program, with what it put there, is not this capture's.
  if (disposition != REG_CREATED_NEW_KEY) {
    return platform::SystemError{ERROR_ALREADY_EXISTS,
                                 "another program made the capture's key HKEY_CURRENT_USER\\" +
                                     Narrow(path) + " as it was being made"};
  }
  return PrivateKey(path, std::move(key));
}

std::optional<DWORD> DwordOf(HKEY key, const wchar_t* name) {
  DWORD value = 0, bytes = sizeof value;
  if (::RegGetValueW(key, nullptr, name, RRF_RT_REG_DWORD, nullptr, &value, &bytes) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  return value;
}

// A job that ends an activation's helper when this program ends, however it ends: a helper
// whose class hangs never outlives the run that started it. Nothing where the system refuses
// one (a job it runs in may forbid it): the session still ends the helper itself.
UniqueHandle JobEndingWithThisProgram(HANDLE helper) {
  UniqueHandle job(::CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!job ||
      !::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits) ||
      !::AssignProcessToJobObject(job.get(), helper)) {
    return UniqueHandle();
  }
  return job;
}

// An activation's helper, in such a job where it can be had.
platform::Result<ProcessInJob> StartOpen(const std::wstring& program,
                                         const std::wstring& commandLine,
                                         const std::wstring& folder) {
  auto started = StartProcess(program, commandLine, folder, SW_HIDE);
  if (!started.ok()) return started.error();
  UniqueHandle job = JobEndingWithThisProgram(started.value()->Handle());
  return ProcessInJob{std::move(started.value()), std::move(job)};
}

// Only the system's own words: a code it has none for is shown by its number alone.
std::string WordsFor(std::uint32_t result) {
  const platform::SystemError words = ErrorOf(result);
  if (result == 0 || words.message == "Error " + std::to_string(result) + ".") return {};
  return words.message;
}

class Win32CaptureSession final : public platform::CaptureSession {
 public:
  Win32CaptureSession(PrivateKey key, std::unique_ptr<Win32Process> helper, UniqueHandle job,
                      bool contained, std::vector<std::string> classes)
      : key_(std::move(key)),
        classes_(std::move(classes)),
        helper_(std::move(helper)),
        job_(std::move(job)),
        contained_(contained) {}
  // The helper is gone before its key goes, so that it writes nothing back in after.
  ~Win32CaptureSession() override {
    if (Terminate().ok()) ::WaitForSingleObject(helper_->Handle(), INFINITE);
  }

  platform::Process& Helper() override { return *helper_; }

  platform::Status Terminate() override {
    if (::WaitForSingleObject(helper_->Handle(), 0) == WAIT_OBJECT_0) return platform::Done{};
    if (!::TerminateProcess(helper_->Handle(), platform::kCaptureTerminated)) return LastError();
    return platform::Done{};
  }

  platform::Result<platform::CaptureOutcome> Outcome() override {
    const std::optional<DWORD> stage = DwordOf(key_.Get(), L"Stage");
    if (!stage || *stage > static_cast<DWORD>(platform::CaptureStage::Returned)) {
      return platform::SystemError{ERROR_INVALID_DATA,
                                   "the capture helper ended before it noted how far it came"};
    }
    platform::CaptureOutcome outcome{static_cast<platform::CaptureStage>(*stage),
                                     DwordOf(key_.Get(), L"Result").value_or(0)};
    outcome.message = WordsFor(outcome.result);
    for (const std::string& clsid : classes_) {
      const std::optional<DWORD> result = DwordOf(key_.Get(), Widen(clsid).c_str());
      const bool factory = DwordOf(key_.Get(), Widen(clsid + " factory").c_str()).has_value();
      outcome.activated.push_back(
          {clsid, result, result ? WordsFor(*result) : std::string(), factory});
    }
    if (contained_) {
      JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
      if (!::QueryInformationJobObject(job_.get(), JobObjectBasicAccountingInformation, &accounting,
                                       sizeof accounting, nullptr)) {
        return LastError();
      }
      outcome.otherPrograms = accounting.TotalProcesses > 0 ? accounting.TotalProcesses - 1 : 0;
    }
    if (const std::optional<DWORD> escaped = DwordOf(key_.Get(), L"Unredirected")) {
      outcome.unredirected =
          platform::kRedirectedKeys[*escaped % std::size(platform::kRedirectedKeys)];
    }
    platform::CapturedRegistration& registration = outcome.registration;
    platform::RegistryTree users;
    for (auto [name, tree] :
         {std::pair(L"HKCR", &registration.classesRoot),
          std::pair(L"HKLM", &registration.localMachine),
          std::pair(L"HKCU", &registration.currentUser), std::pair(L"HKU", &users)}) {
      auto read = ReadTreeBelow(key_.Get(), name, 0, REG_OPTION_OPEN_LINK);
      if (!read.ok()) return read.error();
      if (read.value()) *tree = std::move(*read.value());
      for (const platform::RegistryValue& value : tree->values) {
        if (value.type == REG_LINK) {
          return platform::SystemError{
              ERROR_INVALID_DATA,
              "the capture helper left a registry link in its private key, "
              "which no registration writes"};
        }
      }
    }
    outcome.usersValues = users.values.size();
    return outcome;
  }

 private:
  PrivateKey key_;
  std::vector<std::string> classes_;  // an activation's, whose results are values of the key
  std::unique_ptr<Win32Process> helper_;
  UniqueHandle job_;
  bool contained_;  // job_ holds the helper alone, and counts what it started
};

}  // namespace

platform::Result<std::unique_ptr<platform::CaptureSession>> Win32System::StartHelper(
    platform::RegistryView view, const std::wstring& words, std::vector<std::string> classes,
    std::string_view folder) {
  // A registration's code is a stranger's, and contained; an activation's creates the classes
  // of a component installed already, as its clients do.
  const bool contained = classes.empty();
  // Started from where only administrators could have put it, so that the helper that runs
  // is the program's own.
  platform::Result<std::string> store = TrustedStore();
  if (!store.ok()) return store.error();
  const bool bits32 = view == platform::RegistryView::Bits32;
  const std::string helper = store.value() + (bits32 ? "\\capture-x86.exe" : "\\capture-x64.exe");
  platform::Result<std::string_view> bytes = HelperBytes(view);
  if (!bytes.ok()) return bytes.error();
  // Written anew only when it differs, through another name: no one starts half a helper.
  const std::string_view wanted = bytes.value();
  auto present = ReadFile(helper, wanted.size() + 1);
  if (!present.ok() || present.value().size() != wanted.size() ||
      std::memcmp(present.value().data(), wanted.data(), wanted.size()) != 0) {
    const std::string partial = helper + ".new";
    (void)Delete(partial);  // a leftover of a run that ended there
    platform::Status written = WriteNew(partial, wanted);
    if (written.ok()) written = Replace(partial, helper);
    if (!written.ok()) {
      (void)Delete(partial);
      return platform::SystemError{
          written.error().code,
          "the capture helper " + helper + " cannot be written: " + written.error().message};
    }
  }
  platform::Result<PrivateKey> key = MakePrivateKey();
  if (!key.ok()) return key.error();
  const std::wstring program = Widen(helper);
  const std::wstring commandLine = L"\"" + program + L"\" \"" + key.value().Path() + L"\" " + words;
  // At low integrity, which may write nothing of the system's even where the token's user is
  // SYSTEM, with the key labelled so that the helper may write there. Wine labels no key and
  // enforces no level: there the helper keeps the program's.
  bool low = false;
  if (contained) {
    // Wine keeps no rights of a file's own, and anyone may run it there.
    if (const platform::Status runnable = LetContainedRun(program);
        !runnable.ok() && !RunsUnderWine()) {
      return platform::SystemError{
          runnable.error().code,
          "the capture helper " + helper +
              " cannot be made runnable for its restricted token: " + runnable.error().message};
    }
    const platform::Status labelled = LabelForLowIntegrity(key.value().Get());
    if (!labelled.ok() && !RunsUnderWine()) {
      return platform::SystemError{
          labelled.error().code,
          "the capture helper's key cannot be labelled for it: " + labelled.error().message};
    }
    low = labelled.ok();
  }
  auto started = contained ? StartContained(program, commandLine, Widen(folder), low)
                           : StartOpen(program, commandLine, Widen(folder));
  if (!started.ok()) {
    return platform::SystemError{started.error().code,
                                 "the capture helper " + helper +
                                     (contained ? " cannot start contained: " : " cannot start: ") +
                                     started.error().message};
  }
  return std::unique_ptr<platform::CaptureSession>(std::make_unique<Win32CaptureSession>(
      std::move(key.value()), std::move(started.value().process), std::move(started.value().job),
      contained, std::move(classes)));
}

platform::Result<std::unique_ptr<platform::CaptureSession>> Win32System::StartCapture(
    std::string_view component, platform::RegistryView view, std::string_view folder) {
  const bool bits32 = view == platform::RegistryView::Bits32;
  const std::wstring target = Widen(bits32 ? std::string(component) : NativePath(component));
  return StartHelper(view, L"\"" + target + L"\"", {}, folder);
}

// The helper needs no component: COM finds it in the registry, as it does for clients.
platform::Result<std::unique_ptr<platform::CaptureSession>> Win32System::StartActivation(
    std::string_view, platform::RegistryView view, const std::vector<std::string>& classes,
    std::string_view folder) {
  std::wstring words = L"activate";
  for (const std::string& clsid : classes) words += L" " + Widen(clsid);
  return StartHelper(view, words, classes, folder);
}

platform::Status Win32System::CheckManifest(std::string_view path, platform::RegistryView view) {
  const std::wstring source = Widen(path);
  ACTCTXW request{};
  request.cbSize = sizeof request;
  request.dwFlags = ACTCTX_FLAG_PROCESSOR_ARCHITECTURE_VALID;
  request.wProcessorArchitecture = view == platform::RegistryView::Bits32
                                       ? PROCESSOR_ARCHITECTURE_INTEL
                                       : PROCESSOR_ARCHITECTURE_AMD64;
  request.lpSource = source.c_str();
  const UniqueActivationContext context(::CreateActCtxW(&request));
  if (!context) return LastError();
  return platform::Done{};
}

}  // namespace kalvenor::win32
