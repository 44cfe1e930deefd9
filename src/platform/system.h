#pragma once
// Runtime and system services: files, environment, processes, time, the program's own facts.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace kalvenor::platform {

// Which entries a directory search returns: files (hidden ones too, with Hidden) or, with
// Folders, folders alone.
enum class DirAttributes { Normal = 0, Hidden = 2, Folders = 16 };

enum class RegistryRoot { ClassesRoot, LocalMachine };
// The registry as 32-bit or 64-bit programs see it (the same on 32-bit Windows).
enum class RegistryView { Bits32, Bits64 };

// One value of a registry tree: the key it is in, relative to the tree's root ("" for the root
// itself, "InprocServer32" or "a\\b" below it), its name ("" for the key's default value), its
// type (REG_SZ = 1, REG_EXPAND_SZ = 2, REG_BINARY = 3, REG_DWORD = 4, REG_MULTI_SZ = 7, any other
// kept as it is) and its bytes as the registry holds them: strings in UTF-16LE with their
// terminating null, never expanded.
struct RegistryValue {
  std::string key, name;
  std::uint32_t type = 0;
  std::vector<std::byte> data;
  friend bool operator==(const RegistryValue&, const RegistryValue&) = default;
};
inline constexpr std::uint32_t kRegSz = 1, kRegExpandSz = 2, kRegBinary = 3, kRegDword = 4,
                               kRegMultiSz = 7;

// A key with all below it: every key relative to the root ("" first, each key after its
// parent), and every value.
struct RegistryTree {
  std::vector<std::string> keys;
  std::vector<RegistryValue> values;
  friend bool operator==(const RegistryTree&, const RegistryTree&) = default;
};

// Held while a run changes the system; released when it is destroyed.
class RunLock {
 public:
  virtual ~RunLock() = default;
};

enum class Wake { Ended, Events, Timeout };

class Process {
 public:
  virtual ~Process() = default;
  // Sleeps until the process has ended or events arrive for the program's windows.
  Wake WaitForExitOrEvents() { return Wait(std::nullopt); }
  // The same, or until `timeoutMs` have passed: then Wake::Timeout.
  Wake WaitForExitOrEvents(std::uint32_t timeoutMs) { return Wait(timeoutMs); }
  // Valid once WaitForExitOrEvents has reported Wake::Ended: the exit code, or the system's
  // reason why it cannot be known (the wait itself failed).
  virtual Result<std::uint32_t> ExitCode() const = 0;
  // Flashes the process's visible top-level windows until the user comes to them.
  virtual void FlashWindows() = 0;

 private:
  // Without a timeout, waits as long as it takes.
  virtual Wake Wait(std::optional<std::uint32_t> timeoutMs) = 0;
};

enum class ShowWindow { Normal = 1 };

// A time of day on a date, local or UTC as the call that gives it says.
struct DateTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
using LocalTime = DateTime;

struct AppInfo {
  std::string path;  // the program's folder, without a trailing backslash
  std::string title;
  int major = 0;
  int minor = 0;
  int revision = 0;
  int bits = 32;  // the program's own: 32 or 64
};

class System {
 public:
  virtual ~System() = default;
  virtual const AppInfo& App() const = 0;
  virtual std::optional<std::string> Environ(std::string_view name) const = 0;
  virtual std::string CurDir() const = 0;
  // The text in lower case, by the system's rules for all scripts.
  virtual std::string LowerCase(std::string_view text) const = 0;
  // The names (without folder) of the files matching `pattern`, a path whose last element may
  // hold * and ?, letter case ignored. Empty when none match or the search fails.
  virtual std::vector<std::string> Dir(std::string_view pattern, DirAttributes attributes) = 0;

  // Copies without replacing an existing destination.
  virtual Status CopyNew(std::string_view source, std::string_view destination) = 0;
  // Puts `replacement` in the place of `destination` in one step, replacing it if present.
  virtual Status Replace(std::string_view replacement, std::string_view destination) = 0;
  virtual Status Delete(std::string_view path) = 0;

  // Starts `program` with `commandLine` (which by convention begins with the program's path).
  virtual Result<std::unique_ptr<Process>> Start(std::string_view program,
                                                 std::string_view commandLine, ShowWindow show) = 0;
  // Milliseconds since the system started, wrapping at 2^32.
  virtual std::uint32_t TickCount() const = 0;

  // ---- Read-only looks at components and their registration
  // The file's first `maxBytes` bytes at most.
  virtual Result<std::vector<std::byte>> ReadFile(std::string_view path,
                                                  std::size_t maxBytes) const = 0;
  // A string value, environment strings expanded; `name` empty for the key's default value.
  // Nothing when the key or value is missing or holds no string.
  virtual std::optional<std::string> RegistryString(RegistryRoot root, RegistryView view,
                                                    std::string_view key,
                                                    std::string_view name) const = 0;
  // The path with every element in its long form, when the path exists; as it is otherwise.
  virtual std::string LongPathName(std::string_view path) const = 0;
  // Whether the program runs with administrator rights in force.
  virtual bool Elevated() const = 0;

  // ---- Keeping the log
  // Writes `bytes` as a new file, failing when one of that name exists.
  virtual Status WriteNew(std::string_view path, std::string_view bytes) = 0;
  // The user's Documents folder; empty when there is none.
  virtual std::string DocumentsFolder() const = 0;
  virtual LocalTime Now() const = 0;
  // The same in UTC, which does not go back when the clock changes to winter time.
  virtual DateTime UtcNow() const = 0;

  // ---- Keeping what a run changes, so that it can be undone
  // The folder of data shared by all users (%ProgramData%); empty when there is none.
  virtual std::string ProgramDataFolder() const = 0;
  // Creates the folder, inheriting the rights of the one it is in; an existing one is done.
  virtual Status CreateFolder(std::string_view path) = 0;
  // The same, failing when a folder or file of that name exists: a folder that is new.
  virtual Status CreateNewFolder(std::string_view path) = 0;
  // Creates the folder with rights of its own, inheriting none: full control for
  // administrators and SYSTEM, nothing for anyone else. An existing one is left as it is.
  virtual Status CreateProtectedFolder(std::string_view path) = 0;
  // Whether nobody but administrators and SYSTEM may change the folder or add to it.
  virtual Result<bool> IsProtectedFolder(std::string_view path) const = 0;
  // Removes an empty folder.
  virtual Status RemoveFolder(std::string_view path) = 0;
  // Appends `text` to the file, creating it, and has it on the disk before returning.
  virtual Status AppendDurably(std::string_view path, std::string_view text) = 0;
  // Gives the file another name in the same folder; fails when `to` exists. A DLL that a
  // running program has loaded can be renamed, though not replaced or deleted.
  virtual Status Rename(std::string_view from, std::string_view to) = 0;
  // Whether a running program holds the file so that it cannot be replaced or deleted.
  virtual bool InUse(std::string_view path) const = 0;
  // Has the system delete the file when Windows next starts (administrators only), by the name
  // the system will know it by then.
  virtual Status DeleteAtRestart(std::string_view path) = 0;
  // The file's name as 64-bit programs and Windows itself know it: a 32-bit program on 64-bit
  // Windows reaches SysWOW64 as system32, and the 64-bit system32 as Sysnative. Elsewhere the
  // path as it is.
  virtual std::string NativePath(std::string_view path) const = 0;
  // The programs that hold the file, as far as the system tells; an empty list means it did
  // not say, never that none do.
  virtual std::vector<std::string> ProgramsUsing(std::string_view path) const = 0;
  // A REG_DWORD value, and writing or deleting one (a missing value is deleted already).
  virtual std::optional<std::uint32_t> RegistryDword(RegistryRoot root, RegistryView view,
                                                     std::string_view key,
                                                     std::string_view name) const = 0;
  virtual Status SetRegistryDword(RegistryRoot root, RegistryView view, std::string_view key,
                                  std::string_view name, std::uint32_t value) = 0;
  virtual Status DeleteRegistryValue(RegistryRoot root, RegistryView view, std::string_view key,
                                     std::string_view name) = 0;
  // The names of the key's own subkeys, in the system's order; none when it cannot be read.
  virtual std::vector<std::string> RegistrySubkeys(RegistryRoot root, RegistryView view,
                                                   std::string_view key) const = 0;
  // The tree under `key`; nothing when the key does not exist; an error when it cannot be read.
  virtual Result<std::optional<RegistryTree>> ReadRegistryTree(RegistryRoot root, RegistryView view,
                                                               std::string_view key) const = 0;
  // Makes the key hold exactly `tree`: deletes it with all below it, then writes the tree; with
  // no tree, only deletes it (a missing key is deleted already). An empty `key`, the root
  // itself, is refused.
  virtual Status WriteRegistryTree(RegistryRoot root, RegistryView view, std::string_view key,
                                   const std::optional<RegistryTree>& tree) = 0;

  // ---- Unattended runs
  // The lock that one run of the program at a time holds on this machine, whichever user or
  // session runs it; nothing while another run holds it. It lives in the journal's store
  // (%ProgramData%\Kalvenor), so that only administrators can hold it; where that store is
  // missing or others may change it, the lock holds nothing rather than let them block runs.
  virtual Result<std::unique_ptr<RunLock>> LockRuns() = 0;
  // Writes `text` to the console of the program that started this one; false when it has none.
  virtual bool WriteToParentConsole(std::string_view text) = 0;
};

// The system's code for "file not found" and "path not found", which a delete treats as done.
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorPathNotFound = 3;
// The system's code for a file that another process holds: another run holds the lock.
inline constexpr std::uint32_t kErrorSharingViolation = 32;
// The system's code for "the parameter is incorrect".
inline constexpr std::uint32_t kErrorInvalidParameter = 87;

// The system's codes for "a file of that name exists".
inline constexpr std::uint32_t kErrorFileExists = 80;
inline constexpr std::uint32_t kErrorAlreadyExists = 183;

}  // namespace kalvenor::platform
