// The share of a file that Kalvenor takes when it installs it and gives back when it removes
// it, as other installers count theirs; and beside it, what its Install put there.
#include "engine/engine.h"
#include "inspect/pe_image.h"
#include "journal/journal.h"
#include "lib/lib_filesystem.h"

namespace kalvenor::engine {

// Kalvenor takes one share of a file the first time it installs it: a new file has this install
// alone; one found in place with no count had one install before this one.
std::optional<journal::ShareChange> Engine::ShareToTake(const std::string& target, bool inPlace) {
  const platform::RegistryView view = CountView(target);
  journal::SharedCount before = counts_->Read(CountName(target), view);
  // A mark whose count a cleaner removed holds nothing: the share is taken as for no count.
  before.held = before.held && before.value;
  if (inPlace && before.held) return std::nullopt;  // a repair: taken already
  journal::SharedCount after = before;
  after.value = !inPlace ? 1 : before.value ? *before.value + 1 : 2;
  after.held = true;
  return journal::ShareChange{before, after, view};
}

// The count of a file that an Overwrite copy, which takes no share, journals unchanged: Undo
// looks the count up by the name and view it has here, to keep a file others came to count on.
journal::ShareChange Engine::ShareUnchanged(const std::string& target) {
  const platform::RegistryView view = CountView(target);
  const journal::SharedCount count = counts_->Read(CountName(target), view);
  return {count, count, view};
}

// Kalvenor's own share as Remove gives it back; nothing where it holds none.
std::optional<journal::ShareChange> Engine::ShareToGiveBack(const std::string& target) {
  const platform::RegistryView view = CountView(target);
  const journal::SharedCount before = counts_->Read(CountName(target), view);
  if (!before.held) return std::nullopt;
  journal::SharedCount after = before;
  after.held = false;
  if (before.value)
    after.value = *before.value > 1 ? std::optional(*before.value - 1) : std::nullopt;
  return journal::ShareChange{before, after, view};
}

// While other programs count on the file beyond Kalvenor's share, Remove gives that share back
// and keeps the file, registered, for them: false then, and when the share could not be given
// back.
bool Engine::NoOthersCountOn(const std::string& target,
                             const std::optional<journal::ShareChange>& share) {
  const journal::SharedCount left =
      share ? share->after : counts_->Read(CountName(target), CountView(target));
  if (!left.value) return true;
  if (share && !ChangeShare(target, *share)) return false;
  BeginStep("keep", {}, target, "> Keeping file " + target);
  LogNote(share ? "its shared count is now " + std::to_string(*left.value) +
                      ": other installed programs count on it"
                : "its shared count is " + std::to_string(*left.value) +
                      " and holds no install of Kalvenor's: the programs that installed it "
                      "count on it");
  return false;
}

void Engine::NoteOthersCountOn(const std::string& target) {
  const journal::SharedCount count = counts_->Read(CountName(target), CountView(target));
  const std::uint32_t own = count.held ? 1 : 0;
  if (count.value.value_or(0) <= own) return;
  LogNote("its shared count is " + std::to_string(*count.value) +
          ": other installed programs count on it, and meet \"Class not registered\" until it is "
          "registered again");
}

void Engine::KeepInstalled(const std::string& target) {
  // A share that could not be taken has said so: its Install holds nothing to detect.
  if (!counts_->Read(CountName(target), CountView(target)).held) return;
  std::vector<std::byte> head;
  platform::Result<std::string> digest = journal::Sha256Of(system_, target, &head);
  if (!digest.ok()) {
    LogFailure("what was installed cannot be kept for its detection: " + digest.error().message);
    return;
  }
  const std::optional<inspect::PeImage> image = inspect::ReadPeImage(head);
  const journal::Installed installed{digest.value(), image ? image->version : std::nullopt};
  if (!ChangeInstalled(target, journal::InstalledText(installed))) return;
  // A file with no version is asked for by its bytes.
  installed_.push_back({File_GetName(target), installed.version,
                        installed.version ? std::nullopt : std::optional(installed.sha256)});
}

bool Engine::ChangeInstalled(const std::string& target, const std::optional<std::string>& after) {
  const std::string name = CountName(target);
  const platform::RegistryView view = CountView(target);
  const std::optional<std::string> before = counts_->InstalledRecord(name, view);
  if (before == after) return true;
  if (!Journaled(recorder_.BeforeInstalled(target, name, view, before, after))) return false;
  const platform::Status set = counts_->WriteInstalled(name, view, after);
  if (!set.ok()) {
    LogFailure("what was installed cannot be kept for its detection: " + set.error().message);
  }
  return set.ok();
}

bool Engine::ChangeShare(const std::string& target, const journal::ShareChange& change) {
  return Journaled(recorder_.BeforeShare(target, change)) && WriteShare(target, change);
}

bool Engine::WriteShare(const std::string& target, const journal::ShareChange& change) {
  platform::Status set = counts_->Write(CountName(target), change.after, change.view);
  if (set.ok()) return true;
  LogFailure("its shared count cannot be kept: " + set.error().message);
  return false;
}

}  // namespace kalvenor::engine
