// Verification: each component checked where an Install puts it, against the package's file or
// what Kalvenor's Install put there. It changes nothing and keeps no journal, so
// it takes no run lock: a detection script runs it before anything was ever installed.
#include <algorithm>

#include "engine/detection.h"
#include "engine/engine.h"
#include "inspect/pe_image.h"
#include "journal/journal.h"
#include "lib/lib_filesystem.h"
#include "paths/paths.h"

namespace kalvenor::engine {
namespace {

std::string CountNote(const journal::SharedCount& count) {
  if (!count.value) return "no shared count";
  return "shared count " + std::to_string(*count.value) + "; Kalvenor " +
         (count.held ? "holds one share" : "holds no share");
}

constexpr char kNoInstall[] = "no Install by Kalvenor holds this file";

}  // namespace

void Engine::VerifyItems(const Plan& plan) {
  std::vector<Wanted> names;
  for (const std::string& item : plan.items) {
    if (std::optional<Wanted> wanted = WantedByName(item)) names.push_back(std::move(*wanted));
  }
  // Only a plan that names files by their bare names is copied without them: a long list is
  // not held twice.
  Plan paths;
  if (!names.empty()) {
    paths = plan;
    std::erase_if(paths.items,
                  [](const std::string& item) { return WantedByName(item).has_value(); });
  }
  const Admitted admitted = Admit(names.empty() ? plan : paths);
  StartRun();
  if (!ObserversAdmit()) return EndRun();
  undoable_.clear();
  counts_.emplace(system_);
  lookups_.emplace();
  activating_ = plan.activate;
  detecting_ = plan.detect;
  LogUnlisted(admitted.unlisted);
  const std::size_t count = admitted.Files().size() + names.size();
  for (std::size_t i = 0; i < names.size(); ++i) {
    ShowProgress(i, count);
    std::vector<std::string> targets{TargetIn(OwnPlace(), names[i].name)};
    if (folders_.otherFound) targets.push_back(TargetIn(OtherPlace(), names[i].name));
    VerifyInstall(names[i], targets, true);
  }
  ForEachPresent(admitted.Files(), names.size(), count, [&](const std::string& item) {
    if (folders_.InSystemFolder(system_, item)) {
      const std::string target = folders_.TargetOf(system_, item).value_or(item);
      VerifyInstall({File_GetName(target)}, {target}, false);
      return;
    }
    // One read for both: where it goes, from its headers, and its hash.
    std::vector<std::byte> head;
    platform::Result<std::string> digest = journal::Sha256Of(system_, item, &head);
    const Placement place = PlacementOfImage(head);
    if (place.missing) {
      const char* bits = inspect::BitsOf(place.machine);
      BeginStep("verify", item, {}, "> Verifying file " + item);
      LogFailure("a " + std::string(bits) + " component, and this Windows has no " + bits +
                 " system directory: it cannot be installed here");
      return;
    }
    if (!digest.ok()) {
      BeginStep("verify", item, {}, "> Verifying file " + item);
      LogFailure("it cannot be read: " + digest.error().message);
      return;
    }
    VerifyOne(item, TargetIn(place, item), digest.value(), item);
  });
  counts_.reset();
  lookups_.reset();
  EndRun();
}

// A component in a system directory is the one Kalvenor's Install put there, as long as that
// Install holds: its share, and the bytes it put there. By name, in the system directory of each
// bitness; a copy of one bitness in the other's folder, where no program loads it, is said and
// passed over. Where an Install holds one copy, the others are another program's.
void Engine::VerifyInstall(const Wanted& wanted, const std::vector<std::string>& targets,
                           bool byName) {
  struct Found {
    std::string target;
    std::optional<journal::Installed> installed;
    std::optional<std::string> unmet;  // what the name asks and the file is not
    std::optional<std::string> newer;  // a newer version than the Install's, which still holds
  };
  std::vector<Found> found;
  std::vector<verify::Check> passed;  // the copies not checked, and why
  const auto pass = [&](std::string why) {
    passed.push_back({.kind = "detection", .note = std::move(why)});
  };
  for (const std::string& target : targets) {
    if (!File_Exists(system_, target)) continue;
    std::vector<std::byte> head;
    platform::Result<std::string> digest = journal::Sha256Of(system_, target, &head);
    const std::optional<inspect::PeImage> image = inspect::ReadPeImage(head);
    const Placement place = PlacementOfTarget(target);
    const inspect::Machine loads = place.Other() ? place.machine : inspect::ToolMachine(system_);
    if (byName && image && image->machine != inspect::Machine::Unknown &&
        inspect::ViewOf(image->machine) != inspect::ViewOf(loads)) {
      pass(target + " is a " + inspect::BitsOf(image->machine) + " copy in the " +
           inspect::BitsOf(loads) + " system directory, where no program loads it");
      continue;
    }
    const std::optional<platform::FileVersion> version = image ? image->version : std::nullopt;
    Found one{target, InstallOf(target),
              digest.ok() ? Unmet(wanted, version, digest.value()) : std::nullopt, std::nullopt};
    // Another installer that put a newer version over Kalvenor's counts on the file as Kalvenor
    // still does: asked for a version at least, that one holds.
    if (one.installed && wanted.atLeast && digest.ok() && digest.value() != one.installed->sha256 &&
        version && one.installed->version && *version > *one.installed->version) {
      one.newer = "version " + version->Text() + " is in place, newer than the " +
                  one.installed->version->Text() + " that Kalvenor's Install put there";
    }
    found.push_back(std::move(one));
  }
  if (found.empty()) {
    BeginStep("verify", wanted.name, {}, "> Verifying file " + wanted.name);
    for (const verify::Check& check : passed) LogNote(check.note);
    std::string folders = folders_.system;
    if (folders_.otherFound) folders += " or " + folders_.other;
    LogFailure("it is not in " + folders);
    return;
  }
  const auto installed = [](const Found& one) { return one.installed.has_value(); };
  if (std::any_of(found.begin(), found.end(), installed)) {
    std::erase_if(found, [&](const Found& one) {
      if (!one.installed) pass(one.target + " is another copy, which " + kNoInstall);
      return !one.installed;
    });
  }
  // What the name asks for picks the copy that has it; with none that has it, each fails.
  if (std::any_of(found.begin(), found.end(), [](const Found& one) { return !one.unmet; })) {
    std::erase_if(found, [&](const Found& one) {
      if (one.unmet) pass(one.target + ": " + *one.unmet);
      return one.unmet.has_value();
    });
  }
  for (const Found& one : found) {
    std::vector<verify::Check> asked = passed;
    if (one.unmet) asked.push_back({.kind = "detection", .failed = *one.unmet});
    if (one.newer) asked.push_back({.kind = "detection", .note = *one.newer});
    if (!one.installed) {
      // Without a detection, the registration's health is worth knowing all the same.
      asked.push_back({.kind = "detection",
                       .failed = detecting_ ? kNoInstall : "",
                       .note = detecting_ ? "" : kNoInstall});
    }
    VerifyOne(wanted.name, one.target,
              one.installed && !one.newer ? std::optional(one.installed->sha256) : std::nullopt,
              "the file that Kalvenor's Install put there", std::move(asked));
  }
}

std::optional<journal::Installed> Engine::InstallOf(const std::string& target) {
  const std::string name = CountName(target);
  const platform::RegistryView view = CountView(target);
  const journal::SharedCount count = counts_->Read(name, view);
  // A mark whose count a cleaner removed holds nothing, as the runs take it.
  if (!count.held || !count.value) return std::nullopt;
  if (counts_->InstalledRecord(name, view)) return count.installed;
  // An Install by an earlier version kept no record: the journal has its copy, while it keeps
  // the run.
  const std::optional<std::string> copied = journal::Store(system_).LastInstallTo(target);
  if (!copied) return std::nullopt;
  return journal::Installed{*copied, std::nullopt};
}

void Engine::VerifyOne(const std::string& source, const std::string& target,
                       std::optional<std::string> digest, const std::string& digestFrom,
                       std::vector<verify::Check> asked) {
  BeginStep("verify", source, target, "> Verifying file " + target);
  const Placement place = PlacementOfTarget(target);
  const inspect::Component component{target, {}, place.systemDir, true, place.machine};
  std::vector<verify::Check> checks =
      verify::Verify(system_, {component, std::move(digest), digestFrom}, *lookups_);
  // After the file's own check, which comes first.
  checks.insert(checks.begin() + (checks.empty() ? 0 : 1), asked.begin(), asked.end());
  // A user's own classes are theirs to write, and no Install changes them: they must not make a
  // machine's package read as not installed, which a reinstall would never mend.
  if (detecting_) {
    for (verify::Check& check : checks) {
      if (check.kind != "per-user" || check.Held()) continue;
      check.note = std::move(check.failed);
      check.failed.clear();
      check.causes.clear();
    }
  }
  if (File_Exists(system_, target)) {
    if (activating_) {
      Activate(component, checks);
      // The component's own code ran and may have put DLLs where the loader looks.
      lookups_.emplace();
    }
    const journal::SharedCount count = counts_->Read(CountName(target), CountView(target));
    checks.push_back({.kind = "count", .subject = count.name, .note = CountNote(count)});
  }
  for (const verify::Check& check : checks) {
    if (!check.Held()) {
      LogFailure(check.failed);
      for (const std::string& cause : check.causes) LogCause(cause);
    } else if (!check.note.empty()) {
      LogNote(check.note);
    }
  }
  Step().checks = std::move(checks);
}

// From the program's own file, held since it started, through a name of its own, and only into a
// store that only administrators may change, as the run lock that this run holds has found it.
// A newer program that another Install kept there stays.
std::optional<std::string> Engine::KeepProgram() {
  const std::string data = system_.ProgramDataFolder();
  if (data.empty()) return std::nullopt;
  const std::string kept = data + "\\Kalvenor\\kalvenor.exe";
  const auto notKept = [&](const std::string& why) -> std::optional<std::string> {
    LogNote("the program is not kept in " + kept + " for the checks by name: " + why);
    return std::nullopt;
  };
  if (!ownImage_) return notKept(ownImageError_);
  if (system_.IdentityOf(kept) == ownImage_->Identity()) return kept;  // it runs from there
  std::vector<std::byte> own;
  platform::Status read = ownImage_->ReadPieces([&](std::span<const std::byte> piece) {
    own.insert(own.end(), piece.begin(), piece.end());
    return platform::Status(platform::Done{});
  });
  if (!read.ok()) return notKept(read.error().message);
  const auto versionOf = [](std::span<const std::byte> bytes) {
    const std::optional<inspect::PeImage> image = inspect::ReadPeImage(bytes);
    return image ? image->version : std::nullopt;
  };
  if (auto there = system_.ReadFile(kept, inspect::kMaxImageBytes); there.ok()) {
    if (there.value() == own) return kept;
    const std::optional<platform::FileVersion> keptVersion = versionOf(there.value());
    const std::optional<platform::FileVersion> ownVersion = versionOf(own);
    if (keptVersion && (!ownVersion || *keptVersion > *ownVersion)) {
      LogNote("a newer Kalvenor (" + keptVersion->Text() + ") is kept in " + kept +
              ", so it stays for the checks by name");
      return kept;
    }
  }
  const std::string temporary = kept + ".kalvenor-copy-" + std::to_string(system_.ProcessId());
  (void)system_.Delete(temporary);
  platform::Status copied = [&]() -> platform::Status {
    auto file = system_.OpenToWrite(temporary);
    if (!file.ok()) return file.error();
    // A leftover that would not go is cut, never added to.
    if (platform::Status emptied = file.value()->Empty(); !emptied.ok()) return emptied;
    return file.value()->Append(
        std::string_view(reinterpret_cast<const char*>(own.data()), own.size()));
  }();
  if (copied.ok()) copied = system_.Replace(temporary, kept);
  if (copied.ok()) return kept;
  (void)system_.Delete(temporary);
  return notKept(copied.error().message);
}

}  // namespace kalvenor::engine
