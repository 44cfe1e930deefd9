#pragma once
// What a run is asked to do, as the window or the command line asks it.

#include <string>
#include <vector>

namespace kalvenor::engine {

enum class RunKind { Install, Remove, OverwriteCopy, Undo, Capture, Verify };

// The files a capture writes what it captured to, full paths; empty: not that kind.
struct Exports {
  std::string wxs, reg, manifest;
};

struct Plan {
  RunKind kind = RunKind::Install;
  // Full paths. The window's are the listed files; the command line's may be folders, each
  // standing for the components directly in it, and each must give at least one. A
  // verification's may also be bare file names, each looked for in the system directories.
  std::vector<std::string> items;
  bool foldersAllowed = false;
  bool silent = true;        // the registration tool runs with /s
  bool deleteFiles = false;  // Remove deletes the copies it unregistered
  // Undo: the run to undo, by its folder in the journal's store or the folder's name; empty for
  // the newest.
  std::string undoFolder;
  Exports exports;        // Capture
  bool activate = false;  // Verify: also creates each class, which runs the component's code
  // Verify: as a deployment tool's detection asks, whether Kalvenor's Install of each component
  // named by its name holds.
  bool detect = false;
  // No one watches: a Remove that finds a component gone already has nothing left to do.
  bool unattended = false;
};

}  // namespace kalvenor::engine
