#include "cli/command_line.h"

#include "lib/text.h"

namespace kalvenor::cli {

const char kUsage[] =
    "Usage: kalvenor.exe /install | /remove | /unregister | /copy | /undo\r\n"
    "                    [/quiet] [/log:<file>] [/json:<file>] <file or folder> ...\r\n"
    "\r\n"
    "  /install     copies each file into the system directory and registers it\r\n"
    "  /remove      unregisters each file's copy in the system directory and deletes it\r\n"
    "  /unregister  unregisters each file's copy in the system directory\r\n"
    "  /copy        copies each file into the system directory, replacing what is there\r\n"
    "  /undo        undoes the last run\r\n"
    "  /quiet       shows no window; regsvr32.exe runs with /s\r\n"
    "  /log:<file>  writes the operations log to the file (UTF-8)\r\n"
    "  /json:<file> writes one JSON object a line for each step\r\n"
    "\r\n"
    "A folder stands for the .dll and .ocx files directly inside it. Exit codes: 0 done,\r\n"
    "3010 done and a restart finishes the work, 1603 a step failed, 1618 another run is in\r\n"
    "progress, 87 bad arguments.\r\n";

namespace {

bool IsAbsolute(std::string_view path) {
  return path.starts_with("\\\\") || (path.size() > 2 && path[1] == ':' && path[2] == '\\');
}

std::string FullPath(const std::string& path, const std::string& currentDir) {
  if (IsAbsolute(path)) return path;
  if (path.size() > 1 && path[1] == ':') return path;  // a drive's own current folder: as given
  std::string folder = currentDir;
  if (!folder.empty() && folder.back() == '\\') folder.pop_back();
  if (path.starts_with("\\")) return folder.substr(0, 2) + path;  // the current drive's root
  return folder + "\\" + path;
}

}  // namespace

std::variant<Arguments, std::string> ParseArguments(const std::vector<std::string>& args,
                                                    const std::string& currentDir) {
  static constexpr struct {
    const char* name;
    Command command;
  } kCommands[] = {{"install", Command::Install},
                   {"remove", Command::Remove},
                   {"unregister", Command::Unregister},
                   {"copy", Command::Copy},
                   {"undo", Command::Undo}};
  Arguments parsed;
  bool haveCommand = false;
  for (const std::string& arg : args) {
    if (arg.empty()) continue;
    if (arg.front() != '/') {
      parsed.items.push_back(FullPath(arg, currentDir));
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
    if (option == "quiet") {
      parsed.quiet = known = true;
    } else if (option.starts_with("log:") || option.starts_with("json:")) {
      const std::size_t colon = arg.find(':');
      const std::string file = arg.substr(colon + 1);
      if (file.empty()) return "no file after " + arg;
      (option.starts_with("log:") ? parsed.logFile : parsed.jsonFile) = FullPath(file, currentDir);
      known = true;
    }
    if (!known) return "unknown option: " + arg;
  }
  if (!haveCommand) return "no command";
  if (parsed.command == Command::Undo && !parsed.items.empty()) {
    return "/undo takes no files";
  }
  if (parsed.command != Command::Undo && parsed.items.empty()) return "no file or folder";
  return parsed;
}

}  // namespace kalvenor::cli
