#pragma once
// What a detection asks of a component named by its file's name: that Kalvenor's Install of it
// holds, and, when the name carries it, the version it must have at least
// ("MSCOMCTL.OCX@6.1.98.39") or its exact bytes ("MSCOMCTL.OCX@sha256:<hex>"). An Install gives the
// names it installed in that form, for a deployment tool to copy.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/version_resource.h"

namespace kalvenor::engine {

struct Wanted {
  std::string name;  // the file's name, looked for in the system directories
  std::optional<platform::FileVersion> atLeast;
  std::optional<std::string> sha256;  // lower-case hex
  std::string Text() const;           // as a command line takes it back
};

// The bare file name `item` names, with what it asks of the file; nothing for a path.
std::optional<Wanted> WantedByName(std::string_view item);

// Why a file of `version` and `sha256` is not what `wanted` asks for; nothing when it is.
std::optional<std::string> Unmet(const Wanted& wanted,
                                 const std::optional<platform::FileVersion>& version,
                                 const std::string& sha256);

// The PowerShell command a detection script runs for what an Install put in place, with
// `program` (empty: kalvenor.exe as found on the path).
std::string DetectionCommand(const std::string& program, const std::vector<Wanted>& installed);

}  // namespace kalvenor::engine
