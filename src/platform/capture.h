#pragma once
// A component's registration as data: its DllRegisterServer called in a helper process of its
// own bitness, contained (a restricted token at low integrity, a job that allows no other
// process), with HKEY_CLASSES_ROOT, HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER and HKEY_USERS
// redirected to a private key, so that the live machine never sees it; and whether Windows
// takes a manifest.
// The same helper creates a component's classes as its clients do, its results in such a key.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/processes.h"
#include "platform/registry.h"
#include "platform/types.h"

namespace kalvenor::platform {

// What a registration wrote, each predefined key's tree on its own, its keys relative to it
// (HKLM's Software\Classes among the rest of HKLM, as the component named it).
struct CapturedRegistration {
  RegistryTree classesRoot, localMachine, currentUser;
  friend bool operator==(const CapturedRegistration&, const CapturedRegistration&) = default;
};

// How far the helper came before it ended, as it wrote it into the private key. An activation
// is Registering while it creates the classes, and Returned once it tried each.
enum class CaptureStage : std::uint32_t {
  Started = 0,      // it ran, but could not redirect the keys (`result` says why)
  Redirected = 1,   // the keys redirected; the component not loaded (LoadLibrary's error)
  Loaded = 2,       // the component is loaded, and has no DllRegisterServer
  Registering = 3,  // DllRegisterServer called and not returned (a crash or a hang)
  Returned = 4,     // DllRegisterServer returned `result`
};

// The keys the helper redirects, in the order it notes the first that no longer led to its
// redirection once DllRegisterServer returned.
inline constexpr const char* kRedirectedKeys[] = {"HKEY_CLASSES_ROOT", "HKEY_LOCAL_MACHINE",
                                                  "HKEY_CURRENT_USER", "HKEY_USERS"};

// What the helper left: its stage, the HRESULT of the stage that failed (LoadLibraryW's error
// as an HRESULT for Redirected, or what DllRegisterServer returned), the system's words for it
// (empty where it has none), and the registration read back.
struct CaptureOutcome {
  CaptureStage stage = CaptureStage::Started;
  std::uint32_t result = 0;
  std::string message;
  CapturedRegistration registration;
  // An activation's: each class asked for, in order, with the HRESULT of its creation and its
  // words; no result for a class whose creation never returned or was never tried. `factory`:
  // the component handed out the class's factory, whatever its creation then gave.
  struct Activated {
    std::string clsid;
    std::optional<std::uint32_t> result;
    std::string message;
    bool factory = false;
  };
  std::vector<Activated> activated;
  // The predefined key (kRedirectedKeys) that no longer led to the private key once
  // DllRegisterServer returned: the component undid its redirection, and may have written to
  // the live registry. Nothing while each held.
  std::optional<std::string> unredirected;
  // The values written under HKEY_USERS, which no export carries.
  std::size_t usersValues = 0;
  // The programs the helper started, which run outside its redirection. Windows' job allows it
  // none; Wine's lets them start.
  std::uint32_t otherPrograms = 0;
};

// The exit code of a helper that Terminate ended: HRESULT_FROM_WIN32(ERROR_TIMEOUT).
inline constexpr std::uint32_t kCaptureTerminated = 0x800705B4;

// One capture under way. The helper's process, waited on as any other; the private key is
// deleted when the session is destroyed, whatever became of the helper.
class CaptureSession {
 public:
  virtual ~CaptureSession() = default;
  virtual Process& Helper() = 0;
  // Ends a helper that ran out of time.
  virtual Status Terminate() = 0;
  // Once the helper has ended: what it left in the private key; an error when that cannot be
  // read.
  virtual Result<CaptureOutcome> Outcome() = 0;
};

class Capture {
 public:
  virtual ~Capture() = default;
  // Starts the helper of `view`'s bitness on `component`, a full path as this program names it
  // (a 64-bit helper started by a 32-bit program is given its native name). The helper is written
  // from the program's resources into the store (%ProgramData%\Kalvenor), where only administrators
  // may change it, and started from there: an error, and nothing started, where that store is
  // missing or others may change it. Its current folder is `folder`, as Processes::Start's.
  virtual Result<std::unique_ptr<CaptureSession>> StartCapture(std::string_view component,
                                                               RegistryView view,
                                                               std::string_view folder) = 0;
  // Starts the same helper creating each of `classes` ("{CLSID}"), in process and in that
  // order, as clients of `view`'s bitness create them: the component's own code runs.
  virtual Result<std::unique_ptr<CaptureSession>> StartActivation(
      std::string_view component, RegistryView view, const std::vector<std::string>& classes,
      std::string_view folder) = 0;
  // Nothing when Windows makes an activation context of the manifest file at `path` for a
  // program of `view`'s bitness, whatever this program's own (a manifest names the processor it
  // serves); otherwise the system's reason.
  virtual Status CheckManifest(std::string_view path, RegistryView view) = 0;
};

}  // namespace kalvenor::platform
