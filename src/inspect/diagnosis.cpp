#include "inspect/diagnosis.h"

#include "base/text.h"
#include "inspect/dependencies.h"
#include "inspect/pe_image.h"
#include "paths/paths.h"

namespace kalvenor::inspect {
namespace {

std::string FolderOf(std::string_view path) {
  const std::size_t slash = path.rfind('\\');
  return std::string(slash == std::string_view::npos ? std::string_view{} : path.substr(0, slash));
}

// The redistributable that installs a well-known runtime DLL, or nothing.
std::string RuntimeOf(std::string_view dll, Machine machine) {
  const std::string name = AsciiLower(dll);
  const char* version = nullptr;
  struct Family {
    const char* digits;
    const char* version;
  };
  constexpr Family kFamilies[] = {{"80", "2005"},  {"90", "2008"},  {"100", "2010"},
                                  {"110", "2012"}, {"120", "2013"}, {"140", "2015-2022"}};
  for (const Family& family : kFamilies) {
    const std::string digits = family.digits;
    for (const char* prefix : {"msvcr", "msvcp", "mfc", "vcruntime", "vcomp"}) {
      if (name.starts_with(prefix) &&
          name.substr(std::string_view(prefix).size()).starts_with(digits)) {
        version = family.version;
      }
    }
  }
  const std::string arch = machine == Machine::X64     ? "x64"
                           : machine == Machine::Arm64 ? "ARM64"
                                                       : "x86";
  if (version) {
    return std::string("the Microsoft Visual C++ ") + version + " Redistributable (" + arch + ")";
  }
  if (name == "msvbvm60.dll") return "the Visual Basic 6 runtime";
  return {};
}

// The redistributable of a Visual C++ runtime's assembly ("Microsoft.VC90.CRT 9.0.30729.6161").
std::string RuntimeOfAssembly(std::string_view assembly, Machine machine) {
  const std::string name = AsciiLower(assembly);
  constexpr std::string_view kVisualCpp = "microsoft.vc";
  if (!name.starts_with(kVisualCpp)) return {};
  const std::string digits =
      name.substr(kVisualCpp.size(), name.find('.', kVisualCpp.size()) - kVisualCpp.size());
  return RuntimeOf("msvcr" + digits + ".dll", machine);
}

Machine Other(Machine machine) { return machine == Machine::X64 ? Machine::X86 : Machine::X64; }

// "needs b.dll" when the copy imports it; "needs c.dll (through a.dll -> b.dll)" when a DLL it
// needs does.
std::string Needs(const DependencyProblem& problem, std::string_view what) {
  std::string through;
  for (std::size_t i = 1; i < problem.neededBy.size(); ++i) {
    through += (through.empty() ? "" : " -> ") + problem.neededBy[i];
  }
  return "needs " + std::string(what) + (through.empty() ? "" : " (through " + through + ")");
}

std::string Explain(const DependencyProblem& problem, const Component& component, Machine machine) {
  const std::string needs = Needs(problem, problem.dll);
  switch (problem.kind) {
    case ProblemKind::Missing: {
      const std::string runtime = RuntimeOf(problem.dll, machine);
      if (!runtime.empty()) return needs + ", which is not installed: install " + runtime;
      return needs + ", which is in none of the folders Windows searches: install what provides " +
             "it, or copy it into " + component.systemDir;
    }
    case ProblemKind::OnlyBesideSource:
      return needs + ", which lies beside " + component.listed +
             " but is not beside the copy: install it before this one, or copy it into " +
             component.systemDir;
    case ProblemKind::OtherBitness:
      return needs + ", but " + problem.foundAt + " is not " + BitsOf(machine) +
             ", so Windows cannot load it: put the " + BitsOf(machine) + " " + problem.dll +
             " in its place";
    case ProblemKind::BoundToOtherBitness:
      return "its manifest binds the " + std::string(BitsOf(Other(machine))) + " " + problem.dll +
             ", so Windows cannot load it: ask its vendor for a build whose manifest names the " +
             BitsOf(machine) + " one";
    case ProblemKind::OlderAssembly: {
      const std::string runtime = RuntimeOfAssembly(problem.dll, machine);
      return "needs " + problem.dll + ", of which Windows holds only the older " + problem.foundAt +
             ": install " + (runtime.empty() ? "the release its manifest names" : runtime);
    }
    case ProblemKind::MissingFunction:
      return Needs(problem, problem.function + " from " + problem.foundAt) +
             ", which that file does not export: install the " + problem.dll +
             " the component was built with";
  }
  return needs;
}

class Findings {
 public:
  void Add(std::string cause) {
    if (causes_.size() < kMaxCauses) causes_.push_back(std::move(cause));
  }
  std::vector<std::string> Done() && { return std::move(causes_); }
  bool Empty() const { return causes_.empty(); }

 private:
  std::vector<std::string> causes_;
};

// The image, or the cause why there is none to load.
std::optional<PeImage> ReadImage(platform::System& system, const std::string& file,
                                 Findings& findings) {
  auto bytes = system.ReadFile(file, kMaxImageBytes);
  if (!bytes.ok()) {
    findings.Add("cannot be read (" + bytes.error().message + "): copy the component again");
    return std::nullopt;
  }
  if (bytes.value().empty()) {
    findings.Add("the file is empty: copy a good file in its place");
    return std::nullopt;
  }
  std::optional<PeImage> image = ReadPeImage(bytes.value());
  if (!image) findings.Add("no Windows DLL at all: remove it from the list");
  return image;
}

// PATH's folders as the tool's loader reads them: a relative one from the tool's current
// folder, its system directory; and the system directory as the tool's bitness sees it, where
// this program's own view of "system32" is the other bitness's folder.
std::vector<std::string> LoaderPath(platform::System& system, const std::string& loaderSystemDir,
                                    const std::string& toolFolder) {
  const std::string ownSystemDir = AsciiLower(system.SystemFoldersOf().system);
  std::vector<std::string> folders;
  for (std::string& folder : SplitList(system.Environ("PATH").value_or(""), ';')) {
    if (folder.empty()) continue;
    folder = paths::FullPath(std::move(folder), toolFolder);
    const std::string lower = AsciiLower(folder);
    if (!ownSystemDir.empty() && !loaderSystemDir.empty() &&
        (lower == ownSystemDir || lower.starts_with(ownSystemDir + "\\"))) {
      folder = loaderSystemDir + folder.substr(ownSystemDir.size());
    }
    folders.push_back(std::move(folder));
  }
  return folders;
}

// Where the loader looks for the copy's DLLs, and the folder of the listed file beside.
SearchPlaces PlacesOf(platform::System& system, const Component& component) {
  const std::string folder = FolderOf(component.copy);
  const std::string source = FolderOf(component.listed);
  std::string loaderSystemDir = LoaderSystemDir(system, ToolOf(system, component));
  std::vector<std::string> path = LoaderPath(
      system, loaderSystemDir, loaderSystemDir.empty() ? component.systemDir : loaderSystemDir);
  return {folder,
          AsciiLower(source) == AsciiLower(folder) ? std::string() : source,
          component.systemDir,
          std::move(loaderSystemDir),
          system.SystemFoldersOf().windows,
          std::move(path)};
}

// What the tool's own exit code tells, when the file explains nothing else.
void ExplainExitCode(platform::System& system, std::uint32_t exitCode, Findings& findings) {
  if (exitCode == static_cast<std::uint32_t>(ToolExit::EntryPointFailed)) {
    std::string cause = "its registration code reported an error";
    if (!system.Elevated()) cause += ": Kalvenor is not running as administrator; start it so";
    findings.Add(cause);
  } else if (IsCrash(exitCode)) {
    findings.Add("its registration code crashed with exception " + Hex(exitCode) +
                 ": ask its vendor for a version that registers");
  }
}

}  // namespace

std::vector<std::string> Diagnose(platform::System& system, const Component& component,
                                  std::optional<std::uint32_t> exitCode) {
  Findings findings;
  const std::optional<PeImage> image = ReadImage(system, component.copy, findings);
  if (!image) return std::move(findings).Done();

  // No dependency will ever make a file without the entry point register: that comes first.
  const char* entryPoint = component.registering ? "DllRegisterServer" : "DllUnregisterServer";
  const bool hasEntryPoint = image->Exports(entryPoint);
  if (image->isDotNet) {
    findings.Add("a .NET assembly, which has no registration entry point: register it with " +
                 std::string("regasm.exe /codebase instead"));
  } else if (!hasEntryPoint) {
    findings.Add("exports no " + std::string(entryPoint) +
                 ", so it is no self-registering component: install it the way its vendor " +
                 "describes");
  }
  const Machine tool = ToolOf(system, component);
  if (image->machine != tool) {
    findings.Add("a " + std::string(BitsOf(image->machine)) + " DLL, which the " + BitsOf(tool) +
                 " regsvr32.exe cannot load: register it with " + RegistrarFor(image->machine));
  }

  LoaderLookups lookups;
  const std::vector<DependencyCause> needed =
      image->machine == tool ? DependencyCauses(system, component, *image, lookups)
                             : std::vector<DependencyCause>();
  for (const DependencyCause& cause : needed) {
    if (!cause.later) findings.Add(cause.text);
  }
  if (hasEntryPoint && exitCode && findings.Empty()) {
    ExplainExitCode(system, *exitCode, findings);
  }
  for (const DependencyCause& cause : needed) {
    if (cause.later) findings.Add(cause.text);
  }
  if (findings.Empty()) findings.Add("nothing in the file or the DLLs it needs explains this");
  return std::move(findings).Done();
}

std::vector<DependencyCause> DependencyCauses(platform::System& system, const Component& component,
                                              const PeImage& image, LoaderLookups& lookups) {
  std::vector<DependencyCause> causes;
  for (const DependencyProblem& problem : FindDependencyProblems(
           system, image, component.copy, PlacesOf(system, component), lookups)) {
    const std::string text = Explain(problem, component, image.machine);
    causes.push_back(
        {problem.dll,
         problem.delayLoaded ? "may fail later: " + text + " (loaded only when first used)" : text,
         problem.delayLoaded});
  }
  return causes;
}

}  // namespace kalvenor::inspect
