#include "inspect/dependencies.h"
#include "base/text.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <optional>
#include <set>

#include "inspect/registration_tool.h"
#include "lib/lib_filesystem.h"
#include "paths/paths.h"

namespace kalvenor::inspect {
namespace {

std::string Join(std::string_view folder, std::string_view name) {
  if (folder.empty()) return std::string(name);
  std::string path(folder);
  if (path.back() != '\\') path += '\\';
  return path + std::string(name);
}

// The value of attribute `name` inside the tag that starts at `tag`.
std::string Attribute(std::string_view text, std::size_t tag, std::string_view name) {
  const std::size_t end = text.find('>', tag);
  const std::string_view element =
      text.substr(tag, end == std::string_view::npos ? end : end - tag);
  for (std::size_t at = element.find(name); at != std::string_view::npos;
       at = element.find(name, at + 1)) {
    std::size_t quote = at + name.size();
    while (quote < element.size() && (element[quote] == ' ' || element[quote] == '=')) ++quote;
    if (quote >= element.size() || (element[quote] != '"' && element[quote] != '\'')) continue;
    const std::size_t close = element.find(element[quote], quote + 1);
    if (close == std::string_view::npos) return {};
    return std::string(element.substr(quote + 1, close - quote - 1));
  }
  return {};
}

// The manifest's text without its comments, which bind nothing.
std::string WithoutComments(std::string_view manifest) {
  std::string text;
  for (std::size_t at = 0; at < manifest.size();) {
    const std::size_t open = manifest.find("<!--", at);
    text += manifest.substr(at, open == std::string_view::npos ? open : open - at);
    if (open == std::string_view::npos) break;
    const std::size_t close = manifest.find("-->", open + 4);
    at = close == std::string_view::npos ? manifest.size() : close + 3;
  }
  return text;
}

// Where the next opening tag of local name `name` starts ('<'), with or without a namespace
// prefix ("<asmv1:dependency").
std::size_t NextTag(std::string_view text, std::string_view name, std::size_t from) {
  for (std::size_t at = text.find(name, from); at != std::string_view::npos;
       at = text.find(name, at + 1)) {
    const std::size_t open = text.rfind('<', at);
    if (open == std::string_view::npos) continue;
    const std::string_view prefix = text.substr(open + 1, at - open - 1);
    const bool named = prefix.empty() || (prefix.back() == ':' && prefix.front() != '/' &&
                                          prefix.find_first_of(" \t\r\n>") == prefix.npos);
    const char after = at + name.size() < text.size() ? text[at + name.size()] : '>';
    if (named && std::string_view(" \t\r\n/>").find(after) != std::string_view::npos) return open;
  }
  return std::string_view::npos;
}

// A side-by-side assembly the manifest binds the component to.
struct Assembly {
  std::string name, architecture, token, version;
  std::string shownName;  // as the manifest spells it
  bool optional = false;  // bound where the store holds it, else not at all
};

// "9.0.30729.6161" as four numbers, each missing one 0.
std::array<unsigned long, 4> VersionOf(std::string_view text) {
  std::array<unsigned long, 4> parts{};
  for (std::size_t i = 0; i < parts.size() && !text.empty(); ++i) {
    const std::size_t dot = text.find('.');
    parts[i] = std::strtoul(std::string(text.substr(0, dot)).c_str(), nullptr, 10);
    text = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
  }
  return parts;
}

Machine MachineOf(std::string_view architecture) {
  return architecture == "amd64" ? Machine::X64
         : architecture == "x86" ? Machine::X86
                                 : Machine::Unknown;
}

// The assemblies the manifest's dependencies bind.
std::vector<Assembly> DependentAssemblies(std::string_view manifest, Machine machine) {
  std::vector<Assembly> found;
  const std::string text = WithoutComments(manifest);
  for (std::size_t at = NextTag(text, "dependency", 0);
       at != std::string_view::npos && found.size() < 16;
       at = NextTag(text, "dependency", text.find('>', at))) {
    const std::size_t identity = NextTag(text, "assemblyIdentity", at);
    if (identity == std::string_view::npos) break;
    const std::string name = Attribute(text, identity, "name");
    Assembly assembly{AsciiLower(name),
                      AsciiLower(Attribute(text, identity, "processorArchitecture")),
                      AsciiLower(Attribute(text, identity, "publicKeyToken")),
                      Attribute(text, identity, "version"),
                      name,
                      AsciiLower(Attribute(text, at, "optional")) == "yes"};
    if (assembly.architecture.empty() || assembly.architecture == "*") {
      assembly.architecture = machine == Machine::X64     ? "amd64"
                              : machine == Machine::Arm64 ? "arm64"
                                                          : "x86";
    }
    if (!assembly.name.empty()) found.push_back(std::move(assembly));
  }
  return found;
}

class Resolver {
 public:
  Resolver(platform::System& system, const SearchPlaces& places, LoaderLookups& lookups,
           Machine machine, std::vector<Assembly> assemblies)
      : system_(system),
        places_(places),
        lookups_(lookups),
        machine_(machine),
        assemblies_(std::move(assemblies)) {
    // Each folder looked in once: a copy's own folder is mostly the system directory too.
    std::vector<std::string> folders{places.componentFolder, places.systemDir, places.ownSystemDir,
                                     places.ownWindowsDir};
    folders.insert(folders.end(), places.path.begin(), places.path.end());
    std::set<std::string> named;
    for (std::string& folder : folders) {
      if (!folder.empty() && named.insert(AsciiLower(folder)).second) {
        searched_.push_back(std::move(folder));
      }
    }
  }

  void Follow(const PeImage& image, std::vector<std::string>& chain, int depth) {
    for (const ImportedDll& dll : image.imports) {
      if (IsApiSetName(dll.name)) continue;
      const std::string key = AsciiLower(dll.name);
      const std::optional<std::string> located = Find(dll.name);
      if (!located) {
        const bool beside = !places_.sourceFolder.empty() &&
                            File_Exists(system_, Join(places_.sourceFolder, dll.name));
        Report({beside ? ProblemKind::OnlyBesideSource : ProblemKind::Missing,
                dll.name,
                {},
                {},
                dll.delayLoaded,
                chain});
        continue;
      }
      const std::string& found = *located;
      if (IsSystemFolder(found) || !visited_.insert(key).second) continue;
      auto bytes = system_.ReadFile(found, kMaxImageBytes);
      const std::optional<PeImage> found_image =
          bytes.ok() ? ReadPeImage(bytes.value()) : std::nullopt;
      if (!found_image) continue;
      if (found_image->machine != machine_) {
        Report({ProblemKind::OtherBitness, dll.name, found, {}, dll.delayLoaded, chain});
        continue;
      }
      for (const ImportedFunction& function : dll.functions) {
        if (!function.byOrdinal && !found_image->Exports(function.name)) {
          Report({ProblemKind::MissingFunction, dll.name, found, function.name, dll.delayLoaded,
                  chain});
          break;
        }
      }
      if (depth + 1 < kMaxDependencyDepth) {
        chain.push_back(dll.name);
        Follow(*found_image, chain, depth + 1);
        chain.pop_back();
      }
    }
  }

  // Whether Windows can make the component's activation context of the assemblies its manifest
  // binds. Where it cannot, the load fails before any DLL is looked for: the first assembly that
  // fails is named, as its bitness or its release, and nothing else. One the store does not hold
  // at all is left to the search for its DLLs.
  bool AssembliesBind(const std::vector<std::string>& chain) {
    for (const Assembly& assembly : assemblies_) {
      if (assembly.optional) continue;
      const Machine bound = MachineOf(assembly.architecture);
      if (bound != Machine::Unknown && IsOtherBitness(machine_, bound)) {
        Report({ProblemKind::BoundToOtherBitness, assembly.shownName, {}, {}, false, chain});
        return false;
      }
      std::optional<std::string> newest;
      for (const std::string& folder : Releases(assembly)) {
        if (!newest || ReleaseOf(assembly, *newest) < ReleaseOf(assembly, folder)) newest = folder;
      }
      if (newest && ReleaseOf(assembly, *newest) < VersionOf(assembly.version)) {
        Report({ProblemKind::OlderAssembly,
                assembly.shownName + " " + assembly.version,
                std::string(ReleaseText(assembly, *newest)),
                {},
                false,
                chain});
        return false;
      }
    }
    return true;
  }

  std::vector<DependencyProblem> Problems() && { return std::move(problems_); }

 private:
  void Report(DependencyProblem problem) {
    if (problems_.size() < 64) problems_.push_back(std::move(problem));
  }

  // Windows' own folders, whatever spelling or link found them; not the system directory as
  // WINDIR names it, which may be another folder.
  bool IsSystemFolder(std::string_view file) {
    const std::string folder = paths::ParentFolder(file);
    const std::string* owns[] = {&places_.ownSystemDir, &places_.ownWindowsDir};
    for (const std::string* own : owns) {
      if (!own->empty() && AsciiLower(folder) == AsciiLower(*own)) return true;
    }
    // An assembly in the side-by-side store is Windows' to install and service.
    if (!places_.ownWindowsDir.empty() && AsciiLower(paths::ParentFolder(folder)) ==
                                              AsciiLower(Join(places_.ownWindowsDir, "WinSxS"))) {
      return true;
    }
    const std::optional<platform::FileId> id = lookups_.IdentityOf(system_, folder);
    for (const std::string* own : owns) {
      if (id && !own->empty() && id == lookups_.IdentityOf(system_, *own)) return true;
    }
    return false;
  }

  bool IsKnownDll(std::string_view dll) {
    const std::string name = AsciiLower(dll);
    const std::string stem = name.substr(0, name.rfind('.'));
    const auto known = lookups_.KnownDll(system_, ViewOf(machine_), stem);
    return known && AsciiLower(*known) == name;
  }

  // An assembly the manifest binds comes before all else: its DLLs are redirected to it.
  std::optional<std::string> Find(const std::string& dll) {
    if (std::optional<std::string> bound = FindSideBySide(dll)) return bound;
    if (IsKnownDll(dll)) {
      return Join(places_.ownSystemDir.empty() ? places_.systemDir : places_.ownSystemDir, dll);
    }
    for (const std::string& folder : searched_) {
      std::string candidate = Join(folder, dll);
      if (lookups_.Exists(system_, candidate)) return candidate;
    }
    return std::nullopt;
  }

  // In WinSxS, a folder per assembly: architecture_name_token_version_hash. A servicing release
  // of the major and minor version the manifest names, at least as new as it asks, will do, as
  // publisher policy redirects to the newest.
  std::optional<std::string> FindSideBySide(const std::string& dll) {
    for (const Assembly& assembly : assemblies_) {
      for (const std::string& folder : Releases(assembly)) {
        if (ReleaseOf(assembly, folder) < VersionOf(assembly.version)) continue;
        std::string candidate = Join(Join(WinSxS(), folder), dll);
        if (lookups_.Exists(system_, candidate)) return candidate;
      }
    }
    return std::nullopt;
  }

  std::string WinSxS() const { return Join(places_.ownWindowsDir, "WinSxS"); }
  static std::string PrefixOf(const Assembly& assembly) {
    return assembly.architecture + "_" + assembly.name + "_" + assembly.token + "_";
  }
  // The store's folders of the assembly's major and minor version.
  const std::vector<std::string>& Releases(const Assembly& assembly) {
    const std::size_t minorEnd = assembly.version.find('.', assembly.version.find('.') + 1);
    return lookups_.Folders(
        system_, Join(WinSxS(), PrefixOf(assembly) + assembly.version.substr(0, minorEnd) + ".*"));
  }
  static std::string_view ReleaseText(const Assembly& assembly, std::string_view folder) {
    const std::string_view release =
        folder.substr(std::min(folder.size(), PrefixOf(assembly).size()));
    return release.substr(0, release.find('_'));
  }
  static std::array<unsigned long, 4> ReleaseOf(const Assembly& assembly, std::string_view folder) {
    return VersionOf(ReleaseText(assembly, folder));
  }

  platform::System& system_;
  const SearchPlaces& places_;
  LoaderLookups& lookups_;
  Machine machine_;
  std::vector<Assembly> assemblies_;
  std::vector<std::string> searched_;  // where the loader looks, in its order
  std::set<std::string> visited_;
  std::vector<DependencyProblem> problems_;
};

}  // namespace

namespace {

// The answer kept under `key`, asked of the system the first time.
template <class Key, class Value, class Ask>
const Value& Remembered(std::map<Key, Value>& answers, Key key, Ask ask) {
  const auto [at, added] = answers.try_emplace(std::move(key));
  if (added) at->second = ask();
  return at->second;
}

}  // namespace

bool LoaderLookups::Exists(platform::System& system, const std::string& path) {
  return Remembered(exists_, AsciiLower(path), [&] { return File_Exists(system, path); });
}

std::optional<platform::FileId> LoaderLookups::IdentityOf(platform::System& system,
                                                          const std::string& folder) {
  return Remembered(identities_, AsciiLower(folder), [&] { return system.IdentityOf(folder); });
}

const std::vector<std::string>& LoaderLookups::Folders(platform::System& system,
                                                       const std::string& pattern) {
  return Remembered(folders_, AsciiLower(pattern),
                    [&] { return system.Dir(pattern, platform::DirAttributes::Folders); });
}

std::optional<std::string> LoaderLookups::KnownDll(platform::System& system,
                                                   platform::RegistryView view,
                                                   const std::string& stem) {
  return Remembered(known_, std::pair(view, AsciiLower(stem)), [&] {
    return system.RegistryString(platform::RegistryRoot::LocalMachine, view,
                                 "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\KnownDLLs",
                                 stem);
  });
}

bool IsApiSetName(std::string_view dll) {
  const std::string name = AsciiLower(dll);
  return name.starts_with("api-ms-win-") || name.starts_with("ext-ms-");
}

std::vector<DependencyProblem> FindDependencyProblems(platform::System& system,
                                                      const PeImage& component,
                                                      const std::string& componentName,
                                                      const SearchPlaces& places,
                                                      LoaderLookups& lookups) {
  Resolver resolver(system, places, lookups, component.machine,
                    DependentAssemblies(component.manifest, component.machine));
  std::vector<std::string> chain{componentName};
  if (resolver.AssembliesBind(chain)) resolver.Follow(component, chain, 0);
  return std::move(resolver).Problems();
}

}  // namespace kalvenor::inspect
