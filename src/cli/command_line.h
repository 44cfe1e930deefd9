#pragma once
// The command line of unattended runs, for deployment tools:
//   kalvenor.exe /install | /remove | /unregister | /copy  [/quiet] [/log:<file>]
//                [/json:<file>] <file or folder> ...
//   kalvenor.exe /undo [<run>]  [/quiet] [/log:<file>] [/json:<file>]
//   kalvenor.exe /capture [/wxs:<file>] [/reg:<file>] [/manifest:<file>] [/json:<file>]
//                [/log:<file>] [/quiet] <file or folder> ...
//   kalvenor.exe /verify [/detect] [/activate] [/quiet] [/log:<file>] [/json:<file>]
//                <file or folder or name> ...

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/plan.h"

namespace kalvenor::cli {

enum class Command { Install, Remove, Unregister, Copy, Undo, Capture, Verify };

struct Arguments {
  Command command = Command::Install;
  bool quiet = false;
  bool detect = false;    // /verify as deployment tools detect: exit 0, a line a component or none
  bool activate = false;  // /verify also creates each class
  std::string logFile, jsonFile;  // empty: none
  engine::Exports exports;        // /capture's files
  // Files and folders, full paths; /verify's bare file names stay as they are.
  std::vector<std::string> items;
  // /undo: the run's folder, a full path, or the folder's name as given; empty for the newest.
  std::string run;
};

// What deployment tools read without configuration.
inline constexpr int kExitDone = 0;
inline constexpr int kExitRestartNeeded = 3010;
inline constexpr int kExitFailed = 1603;
inline constexpr int kExitAnotherRun = 1618;
inline constexpr int kExitBadArguments = 87;
inline constexpr int kExitLogFailed = 1622;  // a /log: or /json: file cannot be written

extern const char kUsage[];

// The words of a command line after the first, the program's name. Windows file names cannot
// hold '"', so a quote only groups, anywhere in a word, and a backslash is always itself:
// "C:\pkg\" /quiet is the folder C:\pkg\ and a switch. Blanks are spaces and tabs.
std::vector<std::string> SplitArguments(std::string_view commandLine);

// Whether the arguments ask for /quiet, which /detect implies, whatever else is wrong with them.
bool QuietAsked(const std::vector<std::string>& args);
// Whether they ask for /detect, whose standard output carries its answer alone.
bool DetectAsked(const std::vector<std::string>& args);

// The arguments after the program's name; relative paths are taken from `currentDir`. The
// error says what is wrong, for the line above the usage text.
std::variant<Arguments, std::string> ParseArguments(const std::vector<std::string>& args,
                                                    const std::string& currentDir);

}  // namespace kalvenor::cli
