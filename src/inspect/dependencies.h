#pragma once
// Finds the DLLs a component needs that the loader will not find, or will find and fail on,
// when the registration tool loads the component's copy in the system directory.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "inspect/pe_image.h"
#include "platform/system.h"

namespace kalvenor::inspect {

// Where the loader looks, in its order, for the DLLs of a component loaded by full path with
// its own folder searched first: KnownDLLs, that folder, the system directory, the Windows
// folder, then PATH. Side-by-side assemblies the component's manifest names come from WinSxS.
struct SearchPlaces {
  std::string componentFolder;  // where the loaded file is: the system directory after the copy
  std::string sourceFolder;     // where the listed file came from; empty when the same
  std::string systemDir;        // of the tool's bitness, below WINDIR, as the run names it
  // The system directory and the Windows folder as the system names them, which the loader
  // searches whatever WINDIR says (mostly the folders above, in another spelling), and the
  // side-by-side store in the latter.
  std::string ownSystemDir, ownWindowsDir;
  std::vector<std::string> path;  // the folders of PATH
};

enum class ProblemKind {
  Missing,           // in none of the folders searched
  OnlyBesideSource,  // missing, but lies beside the listed file, which was not copied with it
  OtherBitness,      // found, but built for the other bitness: the loader takes it and fails
  MissingFunction,   // found, but does not export a function imported by name
  // The component's manifest binds an assembly (`dll`) of the other bitness.
  BoundToOtherBitness,
  // The side-by-side store holds only releases of the bound assembly (`dll`: its name and the
  // release asked) older than the manifest asks; `foundAt`: the newest of them.
  OlderAssembly,
};

struct DependencyProblem {
  ProblemKind kind = ProblemKind::Missing;
  std::string dll;           // the name as imported
  std::string foundAt;       // the file found, for OtherBitness and MissingFunction
  std::string function;      // for MissingFunction
  bool delayLoaded = false;  // only a later call would fail, not the load
  // The files from the component down to the one that imports `dll`.
  std::vector<std::string> neededBy;
};

// What the loader's folders hold, each asked once: a verification asks the same of every copy it
// checks. Only for a run that puts no file into those folders.
class LoaderLookups {
 public:
  bool Exists(platform::System& system, const std::string& path);
  // The KnownDLLs value of `stem` in `view`.
  std::optional<std::string> KnownDll(platform::System& system, platform::RegistryView view,
                                      const std::string& stem);
  std::optional<platform::FileId> IdentityOf(platform::System& system, const std::string& folder);
  // The folders `pattern` matches.
  const std::vector<std::string>& Folders(platform::System& system, const std::string& pattern);

 private:
  std::map<std::string, bool> exists_;                                 // by the path in lower case
  std::map<std::string, std::optional<platform::FileId>> identities_;  // the same
  std::map<std::string, std::vector<std::string>> folders_;
  std::map<std::pair<platform::RegistryView, std::string>, std::optional<std::string>> known_;
};

// The DLLs below this depth are not followed: a chain that long is rare, and each level reads
// more files.
inline constexpr int kMaxDependencyDepth = 4;

// Follows the imports of `component` (named `componentName`) down through the DLLs found
// outside the system's own system directory and Windows folder, which are taken as sound.
std::vector<DependencyProblem> FindDependencyProblems(platform::System& system,
                                                      const PeImage& component,
                                                      const std::string& componentName,
                                                      const SearchPlaces& places,
                                                      LoaderLookups& lookups);

// API sets (api-ms-win-…, ext-ms-…) are no files: the loader maps them to system DLLs.
bool IsApiSetName(std::string_view dll);

}  // namespace kalvenor::inspect
