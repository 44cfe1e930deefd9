#pragma once
// The program's own facts and surroundings: its folder and version, environment variables, the
// clocks, the known folders and the console of the program that started it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kalvenor::platform {

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
  int bits = 32;     // the program's own: 32 or 64
  std::string file;  // the program's own file; empty when unknown
};

// The folders the system itself names, whatever the environment says; each empty where it has
// none (SysWOW64 on 32-bit Windows).
struct SystemFolders {
  std::string windows, system, wow64;
};

class Environment {
 public:
  virtual ~Environment() = default;
  virtual const AppInfo& App() const = 0;
  virtual std::optional<std::string> Environ(std::string_view name) const = 0;
  virtual std::string CurDir() const = 0;
  virtual SystemFolders SystemFoldersOf() const = 0;
  // The text in lower case, by the system's rules for all scripts.
  virtual std::string LowerCase(std::string_view text) const = 0;
  // Milliseconds since the system started, wrapping at 2^32.
  virtual std::uint32_t TickCount() const = 0;
  virtual LocalTime Now() const = 0;
  // The same in UTC, which does not go back when the clock changes to winter time.
  virtual DateTime UtcNow() const = 0;
  // The user's Documents folder; empty when there is none.
  virtual std::string DocumentsFolder() const = 0;
  // The folder of data shared by all users (%ProgramData%); empty when there is none.
  virtual std::string ProgramDataFolder() const = 0;
  // Writes `text` to the console of the program that started this one; false when it has none.
  virtual bool WriteToParentConsole(std::string_view text) = 0;
  // The same for its standard error.
  virtual bool WriteErrorsToParentConsole(std::string_view text) = 0;
};

}  // namespace kalvenor::platform
