#pragma once
// The command line of unattended runs, for deployment tools:
//   kalvenor.exe /install | /remove | /unregister | /copy | /undo  [/quiet] [/log:<file>]
//                [/json:<file>] <file or folder> ...

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace kalvenor::cli {

enum class Command { Install, Remove, Unregister, Copy, Undo };

struct Arguments {
  Command command = Command::Install;
  bool quiet = false;
  std::string logFile, jsonFile;   // empty: none
  std::vector<std::string> items;  // files and folders, full paths
};

// What deployment tools read without configuration.
inline constexpr int kExitDone = 0;
inline constexpr int kExitRestartNeeded = 3010;
inline constexpr int kExitFailed = 1603;
inline constexpr int kExitAnotherRun = 1618;
inline constexpr int kExitBadArguments = 87;

extern const char kUsage[];

// The arguments after the program's name; relative paths are taken from `currentDir`. The
// error says what is wrong, for the line above the usage text.
std::variant<Arguments, std::string> ParseArguments(const std::vector<std::string>& args,
                                                    const std::string& currentDir);

}  // namespace kalvenor::cli
