#include "cli/command_line.h"

#include <algorithm>
#include <utility>

#include "base/text.h"
#include "engine/detection.h"
#include "paths/paths.h"

namespace kalvenor::cli {

const char kUsage[] =
    "Usage: kalvenor.exe /install | /remove | /unregister | /copy\r\n"
    "                    [/quiet] [/log:<file>] [/json:<file>] <file or folder> ...\r\n"
    "       kalvenor.exe /undo [<run>] [/quiet] [/log:<file>] [/json:<file>]\r\n"
    "       kalvenor.exe /capture [/wxs:<file>] [/reg:<file>] [/manifest:<file>]\r\n"
    "                    [/quiet] [/log:<file>] [/json:<file>] <file or folder> ...\r\n"
    "       kalvenor.exe /verify [/detect] [/activate] [/quiet] [/log:<file>]\r\n"
    "                    [/json:<file>] <file or folder or name> ...\r\n"
    "\r\n"
    "  /install     copies each file into the system directory and registers it\r\n"
    "  /remove      unregisters each file's copy in the system directory and deletes it\r\n"
    "  /unregister  unregisters each file's copy in the system directory\r\n"
    "  /copy        copies each file into the system directory, replacing what is there\r\n"
    "  /undo        undoes the newest run, or the named one: its folder in\r\n"
    "               %ProgramData%\\Kalvenor\\runs, or the folder's name\r\n"
    "  /capture     writes each file's registration to the files named, registering\r\n"
    "               nothing: /wxs: WiX source, /reg: a .reg file, /manifest: a\r\n"
    "               registration-free manifest, /json: one object a value\r\n"
    "  /verify      checks that each file is in place and registered as an Install\r\n"
    "               leaves it, changing nothing; a bare name is looked for in the\r\n"
    "               system directories, against what Kalvenor's Install put there;\r\n"
    "               name@6.1.98.39 asks for that version at least, name@sha256:<hex>\r\n"
    "               for those bytes\r\n"
    "  /detect      with /verify: exit 0 whenever it could check, and one line a\r\n"
    "               component on standard output only when every one holds; a name\r\n"
    "               holds only where Kalvenor's Install of it does; implies /quiet\r\n"
    "  /activate    with /verify: also creates each class, which runs its code\r\n"
    "  /quiet       shows no window; regsvr32.exe runs with /s\r\n"
    "  /log:<file>  writes the operations log to the file (UTF-8)\r\n"
    "  /json:<file> writes one JSON object a line for each step\r\n"
    "\r\n"
    "A folder stands for the .dll and .ocx files directly inside it; each file or folder\r\n"
    "must give at least one. Quotes only group: a backslash before one is part of the path.\r\n"
    "Exit codes: 0 done, 3010 done and a restart finishes the work, 1603 a step failed or\r\n"
    "nothing was there to run, 1618 another run is in progress, 1622 the /log: or /json:\r\n"
    "file cannot be written, 87 bad arguments.\r\n";

using paths::FullPath;

std::vector<std::string> SplitArguments(std::string_view commandLine) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false, quoted = false;
  for (const char c : commandLine) {
    if (c == '"') {
      quoted = !quoted;
      inWord = true;  // "" is an empty word
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (inWord) words.push_back(std::exchange(word, {}));
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(std::move(word));
  if (!words.empty()) words.erase(words.begin());
  return words;
}

bool QuietAsked(const std::vector<std::string>& args) {
  return DetectAsked(args) || std::ranges::any_of(args, [](const std::string& arg) {
           return AsciiLower(arg) == "/quiet";
         });
}

bool DetectAsked(const std::vector<std::string>& args) {
  return std::ranges::any_of(args,
                             [](const std::string& arg) { return AsciiLower(arg) == "/detect"; });
}

std::variant<Arguments, std::string> ParseArguments(const std::vector<std::string>& args,
                                                    const std::string& currentDir) {
  static constexpr struct {
    const char* name;
    Command command;
  } kCommands[] = {{"install", Command::Install},
                   {"remove", Command::Remove},
                   {"unregister", Command::Unregister},
                   {"copy", Command::Copy},
                   {"undo", Command::Undo},
                   {"capture", Command::Capture},
                   {"verify", Command::Verify}};
  Arguments parsed;
  bool haveCommand = false;
  for (const std::string& arg : args) {
    if (arg.empty()) continue;
    if (arg.front() != '/') {
      parsed.items.push_back(arg);
      continue;
    }
    const std::string option = AsciiLower(arg.substr(1));
    bool known = false;
    for (const auto& command : kCommands) {
      if (option != command.name) continue;
      if (haveCommand) return "more than one command: " + arg;
      parsed.command = command.command;
      haveCommand = known = true;
    }
    if (option == "quiet") parsed.quiet = known = true;
    // A detection script runs unseen, and waits for no one.
    if (option == "detect") parsed.detect = parsed.quiet = known = true;
    if (option == "activate") parsed.activate = known = true;
    for (const auto& [name, file] :
         {std::pair("log:", &parsed.logFile), std::pair("json:", &parsed.jsonFile),
          std::pair("wxs:", &parsed.exports.wxs), std::pair("reg:", &parsed.exports.reg),
          std::pair("manifest:", &parsed.exports.manifest)}) {
      if (!option.starts_with(name)) continue;
      const std::string given = arg.substr(std::string_view(name).size() + 1);
      if (given.empty()) return "no file after " + arg;
      *file = FullPath(given, currentDir);
      known = true;
    }
    if (!known) return "unknown option: " + arg;
  }
  if (!haveCommand) return "no command";
  const engine::Exports& exports = parsed.exports;
  const bool exporting = !exports.wxs.empty() || !exports.reg.empty() || !exports.manifest.empty();
  if (parsed.command == Command::Capture && !exporting && parsed.jsonFile.empty()) {
    return "/capture writes nothing without /wxs:, /reg:, /manifest: or /json:";
  }
  if (parsed.command != Command::Capture && exporting) {
    return "/wxs:, /reg: and /manifest: go with /capture only";
  }
  if (parsed.detect && parsed.command != Command::Verify) return "/detect goes with /verify only";
  if (parsed.activate && parsed.command != Command::Verify) {
    return "/activate goes with /verify only";
  }
  if (parsed.command == Command::Undo) {
    if (parsed.items.size() > 1) return "/undo takes one run at most";
    // A bare name is a run folder's in the journal's store, not one in the current folder.
    if (!parsed.items.empty()) {
      const std::string& run = parsed.items.front();
      parsed.run = run.find_first_of("\\/:") == std::string::npos ? run : FullPath(run, currentDir);
    }
    parsed.items.clear();
    return parsed;
  }
  if (parsed.items.empty()) return "no file or folder";
  for (std::string& item : parsed.items) {
    const bool byName = engine::WantedByName(item).has_value();
    if (parsed.command != Command::Verify || !byName) item = FullPath(item, currentDir);
  }
  return parsed;
}

}  // namespace kalvenor::cli
