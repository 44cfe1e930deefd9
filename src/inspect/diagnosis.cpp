#include "inspect/diagnosis.h"
#include "lib/text.h"

#include <cstdio>

#include "inspect/dependencies.h"
#include "inspect/pe_image.h"
#include "lib/lib_filesystem.h"

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

std::string Chain(const DependencyProblem& problem) {
  std::string chain;
  for (const std::string& file : problem.neededBy) chain += (chain.empty() ? "" : " -> ") + file;
  return chain;
}

std::string Explain(const DependencyProblem& problem, const Component& component, Machine machine) {
  const std::string needs = Chain(problem) + " needs " + problem.dll;
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
    case ProblemKind::MissingFunction:
      return Chain(problem) + " needs " + problem.function + " from " + problem.foundAt +
             ", which that file does not export: install the " + problem.dll +
             " the component was built with";
  }
  return needs;
}

std::string Hex(std::uint32_t code) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
  return hex;
}

class Findings {
 public:
  void Add(std::string cause) {
    if (causes_.size() < kMaxCauses) causes_.push_back(std::move(cause));
  }
  void Outcome(inspect::Outcome outcome) {
    if (outcome_ == inspect::Outcome::RunsEntryPoint) outcome_ = outcome;
  }
  Diagnosis Done() && { return {outcome_, std::move(causes_)}; }
  bool Empty() const { return causes_.empty(); }

 private:
  inspect::Outcome outcome_ = inspect::Outcome::RunsEntryPoint;
  std::vector<std::string> causes_;
};

}  // namespace

const char* BitsOf(Machine machine) {
  switch (machine) {
    case Machine::X86: return "32-bit";
    case Machine::X64: return "64-bit";
    case Machine::Arm64: return "ARM64";
    case Machine::Unknown: break;
  }
  return "unknown";
}

const char* RegistrarFor(Machine machine) {
  switch (machine) {
    case Machine::X86: return "the x86 build of Kalvenor";
    case Machine::X64: return "the x64 build of Kalvenor";
    case Machine::Arm64:
    case Machine::Unknown: break;
  }
  return "a registration tool of its own kind";
}

Diagnosis Diagnose(platform::System& system, const Component& component,
                   std::optional<std::uint32_t> exitCode) {
  Findings findings;
  const std::string& file = component.copy;
  auto bytes = system.ReadFile(file, kMaxImageBytes);
  if (!bytes.ok()) {
    findings.Outcome(Outcome::CannotLoad);
    findings.Add(file + " cannot be read (" + bytes.error().message +
                 "): copy the component again");
    return std::move(findings).Done();
  }
  if (bytes.value().empty()) {
    findings.Outcome(Outcome::CannotLoad);
    findings.Add(file + " is empty: copy a good file in its place");
    return std::move(findings).Done();
  }
  const std::optional<PeImage> image = ReadPeImage(bytes.value());
  if (!image) {
    findings.Outcome(Outcome::CannotLoad);
    findings.Add(file + " is no Windows DLL at all: remove it from the list");
    return std::move(findings).Done();
  }

  const int toolBits = system.App().bits;
  const Machine toolMachine = toolBits == 64 ? Machine::X64 : Machine::X86;
  if (image->machine != toolMachine) {
    const bool x86OrX64 = image->machine == Machine::X86 || image->machine == Machine::X64;
    findings.Outcome(x86OrX64 ? Outcome::OtherBitness : Outcome::CannotLoad);
    findings.Add(file + " is a " + BitsOf(image->machine) + " DLL, which the " +
                 std::to_string(toolBits) + "-bit regsvr32.exe cannot load: register it with " +
                 RegistrarFor(image->machine));
  }
  if (image->isDotNet) {
    findings.Add(file + " is a .NET assembly, which has no registration entry point: register " +
                 "it with regasm.exe /codebase instead");
  }

  const std::string folder = FolderOf(file);
  const std::string source = FolderOf(component.listed);
  SearchPlaces places{folder,
                      AsciiLower(source) == AsciiLower(folder) ? std::string() : source,
                      component.systemDir,
                      system.Environ("WINDIR").value_or(""),
                      {}};
  const std::string path = system.Environ("PATH").value_or("");
  for (std::size_t start = 0; start <= path.size();) {
    const std::size_t end = std::min(path.find(';', start), path.size());
    if (end > start) places.path.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  std::vector<DependencyProblem> later;
  if (image->machine == toolMachine) {
    for (DependencyProblem& problem : FindDependencyProblems(system, *image, file, places)) {
      if (problem.delayLoaded) {
        later.push_back(std::move(problem));
        continue;
      }
      findings.Outcome(Outcome::CannotLoad);
      findings.Add(Explain(problem, component, image->machine));
    }
  }

  const char* entryPoint = component.registering ? "DllRegisterServer" : "DllUnregisterServer";
  if (!image->Exports(entryPoint)) {
    findings.Outcome(Outcome::NoEntryPoint);
    if (!image->isDotNet) {
      findings.Add(file + " exports no " + entryPoint +
                   ", so it is no self-registering component: install it the way its vendor " +
                   "describes");
    }
  } else if (exitCode && findings.Empty()) {
    if (*exitCode == 5) {
      std::string cause = "the registration code of " + file + " reported an error";
      if (!system.Elevated()) cause += ": Kalvenor is not running as administrator; start it so";
      findings.Add(cause);
    } else if (*exitCode > 255) {
      findings.Add("the registration code of " + file + " crashed with exception " +
                   Hex(*exitCode) + ": ask its vendor for a version that registers");
    }
  }
  for (const DependencyProblem& problem : later) {
    findings.Add("may fail later: " + Explain(problem, component, image->machine) +
                 " (loaded only when first used)");
  }
  if (findings.Empty()) {
    findings.Add("nothing in " + file + " or the DLLs it needs explains this");
  }
  return std::move(findings).Done();
}

}  // namespace kalvenor::inspect
