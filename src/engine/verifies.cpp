// Verification: each component checked where an Install puts it, against the package's file or
// what the journal says the last Install put there. It changes nothing and keeps no journal, so
// it takes no run lock: a detection script runs it before anything was ever installed.
#include "engine/engine.h"
#include "inspect/pe_image.h"
#include "journal/journal.h"
#include "lib/lib_filesystem.h"
#include "paths/paths.h"

namespace kalvenor::engine {
namespace {

// A bare name is looked for in the system directories; a path names the package's file.
bool IsBareName(const std::string& item) { return item.find_first_of("\\/:") == std::string::npos; }

std::string CountNote(const journal::SharedCount& count) {
  if (!count.value) return "no shared count";
  return "shared count " + std::to_string(*count.value) + "; Kalvenor " +
         (count.held ? "holds one share" : "holds no share");
}

}  // namespace

void Engine::VerifyItems(const Plan& plan) {
  Plan paths = plan;
  std::vector<std::string> names;
  std::erase_if(paths.items, [&](const std::string& item) {
    if (!IsBareName(item)) return false;
    names.push_back(item);
    return true;
  });
  const Admitted admitted = Admit(paths);
  StartRun();
  if (!ObserversAdmit()) return EndRun();
  undoable_.clear();
  counts_.emplace(system_);
  activating_ = plan.activate;
  LogUnlisted(admitted.unlisted);
  const std::size_t count = admitted.files.size() + names.size();
  for (std::size_t i = 0; i < names.size(); ++i) {
    ShowProgress(i, count);
    VerifyByName(names[i]);
  }
  ForEachPresent(admitted.files, names.size(), count, [&](const std::string& item) {
    if (folders_.InSystemFolder(system_, item)) {
      const std::string target = folders_.TargetOf(system_, item).value_or(item);
      VerifyOne(target, target, std::nullopt, {});
      return;
    }
    const Placement place = PlacementOf(item);
    if (place.missing) {
      const char* bits = inspect::BitsOf(place.machine);
      BeginStep("verify", item, {}, "> Verifying file " + item);
      LogFailure("a " + std::string(bits) + " component, and this Windows has no " + bits +
                 " system directory: it cannot be installed here");
      return;
    }
    platform::Result<std::string> digest = journal::Sha256Of(system_, item);
    if (!digest.ok()) {
      BeginStep("verify", item, {}, "> Verifying file " + item);
      LogFailure("it cannot be read: " + digest.error().message);
      return;
    }
    VerifyOne(item, TargetIn(place, item), digest.value(), item);
  });
  counts_.reset();
  EndRun();
}

// In the system directory of each bitness, against the last run that copied it there.
void Engine::VerifyByName(const std::string& name) {
  bool found = false;
  std::vector<Placement> places{OwnPlace()};
  if (folders_.otherFound) places.push_back(OtherPlace());
  journal::Store store(system_);
  for (const Placement& place : places) {
    const std::string target = TargetIn(place, name);
    if (!File_Exists(system_, target)) continue;
    found = true;
    const std::optional<journal::Store::Copied> copied = store.LastCopyTo(target);
    if (copied) {
      VerifyOne(name, target, copied->digest,
                "the file that run " + File_GetName(copied->run) + " put there");
    } else {
      VerifyOne(name, target, std::nullopt, {});
    }
  }
  if (found) return;
  BeginStep("verify", name, {}, "> Verifying file " + name);
  std::string folders = folders_.system;
  if (folders_.otherFound) folders += " or " + folders_.other;
  LogFailure("it is not in " + folders);
}

void Engine::VerifyOne(const std::string& source, const std::string& target,
                       std::optional<std::string> digest, const std::string& digestFrom) {
  BeginStep("verify", source, target, "> Verifying file " + target);
  const Placement place = PlacementOfTarget(target);
  const inspect::Component component{target, {}, place.systemDir, true, place.machine};
  std::vector<verify::Check> checks =
      verify::Verify(system_, {component, std::move(digest), digestFrom});
  if (File_Exists(system_, target)) {
    if (activating_) Activate(component, checks);
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
void Engine::KeepProgram() {
  const std::string data = system_.ProgramDataFolder();
  if (data.empty()) return;
  const std::string kept = data + "\\Kalvenor\\kalvenor.exe";
  const auto notKept = [&](const std::string& why) {
    LogNote("the program is not kept in " + kept + " for the checks by name: " + why);
  };
  if (!ownImage_) return notKept(ownImageError_);
  if (system_.IdentityOf(kept) == ownImage_->Identity()) return;  // it runs from there
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
    if (there.value() == own) return;
    const std::optional<platform::FileVersion> keptVersion = versionOf(there.value());
    const std::optional<platform::FileVersion> ownVersion = versionOf(own);
    if (keptVersion && (!ownVersion || *keptVersion > *ownVersion)) {
      LogNote("a newer Kalvenor (" + keptVersion->Text() + ") is kept in " + kept +
              ", so it stays for the checks by name");
      return;
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
  if (copied.ok()) return;
  (void)system_.Delete(temporary);
  notKept(copied.error().message);
}

}  // namespace kalvenor::engine
