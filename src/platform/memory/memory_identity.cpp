// The memory platform's paths as Windows opens them: every spelling of one file finds it, links
// lead where they point, and a file held open for a run keeps others from writing it.
#include <algorithm>
#include <vector>

#include "platform/memory/folded.h"
#include "platform/memory/memory_platform.h"

namespace kalvenor::platform::memory {
namespace {

// What follows the root of a path Windows reaches the local drives through: "\\?\C:\x" and
// "\\.\C:\x" as "C:\x", "\\localhost\C$\x" and "\\127.0.0.1\C$\x" as "C:\x". `literal`: a
// "\\?\" path, whose elements Windows takes as they are written.
std::string LocalSpelling(std::string path, bool& literal) {
  std::replace(path.begin(), path.end(), '/', '\\');
  literal = path.starts_with("\\\\?\\");
  if (literal || path.starts_with("\\\\.\\")) {
    path.erase(0, 4);
    if (Folded(path).starts_with("UNC\\")) path = "\\\\" + path.substr(4);
  }
  for (const char* host : {"\\\\LOCALHOST\\", "\\\\127.0.0.1\\"}) {
    const std::string folded = Folded(path);
    if (folded.starts_with(host) && folded.size() > std::string(host).size() + 1 &&
        folded[std::string(host).size() + 1] == '$') {
      const std::size_t drive = std::string(host).size();
      path = std::string(1, path[drive]) + ":" + path.substr(drive + 2);
    }
  }
  return path;
}

// `name` in `folder`, a drive's root "C:\\" already ending in its backslash.
std::string Within(const std::string& folder, std::string_view name) {
  return folder + (folder.ends_with('\\') ? "" : "\\") + std::string(name);
}

}  // namespace

std::string MemoryPlatform::Resolved(std::string_view given, bool followLast) const {
  bool literal = false;
  std::string path = LocalSpelling(std::string(given), literal);
  // "C:" and "C:x" lie in the drive's current folder: here the current folder, on its drive.
  if (path.size() >= 2 && path[1] == ':' && (path.size() == 2 || path[2] != '\\')) {
    const bool current = Folded(curDir_.substr(0, 2)) == Folded(path.substr(0, 2));
    path = (current ? curDir_ : path.substr(0, 2)) + "\\" + path.substr(2);
  }
  // Only the local drives are known here: a share's path keeps its "\\" and is resolved below.
  const std::string root = path.starts_with("\\\\") ? "\\\\" : "";
  path.erase(0, root.size());
  std::vector<std::string> parts;
  std::size_t at = 0;
  for (;;) {
    const std::size_t slash = path.find('\\', at);
    std::string part = path.substr(at, slash == std::string::npos ? slash : slash - at);
    // Windows drops the dots and blanks that end an element, "system32." being "system32".
    if (!literal && part != "." && part != "..") {
      while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.pop_back();
    }
    if (part == "..") {
      if (parts.size() > 1) parts.pop_back();
    } else if (part != "." && (!part.empty() || parts.empty())) {
      parts.push_back(std::move(part));
    }
    if (slash == std::string::npos) break;
    at = slash + 1;
  }
  std::string resolved = root;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    resolved += (i ? "\\" : "") + parts[i];
    // A link on the way leads on from where it points.
    const bool last = i + 1 == parts.size();
    if (last && !followLast) break;
    for (int hops = 0; hops < 8; ++hops) {
      const auto link = links_.find(Folded(resolved));
      if (link == links_.end()) break;
      resolved = link->second;
    }
  }
  const auto longName = longNames_.find(Folded(resolved));
  return longName == longNames_.end() ? resolved : longName->second;
}

std::string MemoryPlatform::Key(std::string_view path) const { return Folded(Resolved(path)); }

void MemoryPlatform::AddLink(const std::string& link, const std::string& target) {
  links_[Folded(Resolved(link, false))] = target;
}

std::optional<FileId> MemoryPlatform::IdentityOf(std::string_view path) const {
  identified.emplace_back(path);
  const Entry* entry = Find(path);
  std::optional<FileId> id;
  if (entry) id = FileId{1, {entry->order + 1, 0}};
  if (onIdentified) onIdentified(std::string(path));
  return id;
}

std::string MemoryPlatform::FinalPath(std::string_view path) const {
  const Entry* entry = Find(path);
  return entry ? entry->path : std::string();
}

// A report's handle: it writes what others may not while it is held.
class MemoryHeldFile final : public HeldFile {
 public:
  MemoryHeldFile(MemoryPlatform& platform, std::string path, FileId id, bool made, bool hold)
      : platform_(platform), path_(std::move(path)), id_(id), made_(made), hold_(hold) {}
  ~MemoryHeldFile() override {
    if (hold_) platform_.HoldFile(path_, false);
  }
  FileId Identity() const override { return id_; }
  const std::string& FinalPath() const override { return path_; }
  Status Empty() override { return platform_.WriteHeld(path_, {}, true); }
  Status Append(std::string_view text) override { return platform_.WriteHeld(path_, text, false); }
  Status ReadPieces(const PieceSink& sink) override { return platform_.ReadPieces(path_, sink); }
  bool Made() const override { return made_; }
  void DiscardIfNew() override {
    if (!made_) return;
    if (hold_) platform_.HoldFile(path_, false);
    hold_ = made_ = false;
    (void)platform_.Delete(path_);
  }
  Status Rename(std::string_view destination, const HeldFolder& folder) override;

 private:
  MemoryPlatform& platform_;
  std::string path_;
  FileId id_;
  bool made_, hold_;
};

// A folder's handle: it finds the folder by its identity, wherever it has moved.
class MemoryHeldFolder final : public HeldFolder {
 public:
  MemoryHeldFolder(MemoryPlatform& platform, FileId id) : platform_(platform), id_(id) {}
  FileId Identity() const override { return id_; }
  // Where the folder lies now; nothing once it is gone.
  std::optional<std::string> Path() const { return platform_.FolderPathOf(id_); }

  Result<std::unique_ptr<HeldFile>> MakeFile(std::string_view name) override {
    const std::optional<std::string> folder = Path();
    if (!folder) return MemoryError(2);
    return platform_.MakeHeld(Within(*folder, name));
  }
  Result<std::unique_ptr<HeldFile>> OpenMade(std::string_view name, const FileId& made) override {
    const std::optional<std::string> folder = Path();
    if (!folder) return MemoryError(2);
    return platform_.OpenMade(Within(*folder, name), made);
  }

 private:
  MemoryPlatform& platform_;
  FileId id_;
};

Status MemoryHeldFile::Rename(std::string_view destination, const HeldFolder& folder) {
  const std::optional<std::string> at = static_cast<const MemoryHeldFolder&>(folder).Path();
  if (!at) return MemoryError(2);
  const std::string to = Within(*at, destination.substr(destination.rfind('\\') + 1));
  const Status renamed = platform_.ReplaceHeld(path_, to);
  if (renamed.ok()) path_ = platform_.FinalPath(to);  // what it releases once closed
  return renamed;
}

// A rename through a handle replaces a file's link in the way, never what it leads to; a
// folder's (a junction) is a folder, which no file replaces.
Status MemoryPlatform::ReplaceHeld(const std::string& held, const std::string& destination) {
  const std::string link = Folded(Resolved(destination, false));
  if (links_.contains(link)) {
    const Entry* target = Find(destination);
    if (target && target->folder) return MemoryError(5);
    links_.erase(link);
  }
  return Replace(held, destination);
}

void MemoryPlatform::HoldFile(std::string_view path, bool held) {
  if (Entry* entry = Find(path)) entry->options.locked = held;
}

void MemoryPlatform::FailHeldWrites(const std::string& path, std::optional<SystemError> error) {
  if (error) {
    failingHeld_[Key(path)] = *error;
  } else {
    failingHeld_.erase(Key(path));
  }
}

Status MemoryPlatform::WriteHeld(std::string_view path, std::string_view text, bool empty) {
  if (onAppend) onAppend();
  if (writeFailure_) return *std::exchange(writeFailure_, std::nullopt);
  if (const auto failing = failingHeld_.find(Key(path)); failing != failingHeld_.end()) {
    return failing->second;
  }
  Entry* entry = Find(path);
  if (!entry) return MemoryError(2);
  if (empty) entry->options.content.clear();
  entry->options.content += text;
  return Done{};
}

Result<std::unique_ptr<HeldFile>> MemoryPlatform::OpenToWrite(std::string_view path) {
  const std::string unfollowed = Resolved(path, false);
  if (links_.contains(Folded(unfollowed))) {
    return SystemError{1920, "it is a link, which a report never follows"};
  }
  bool made = false;
  if (const Entry* entry = Find(unfollowed)) {
    if (entry->folder) return MemoryError(5);
    if (entry->options.locked) return MemoryError(32);
  } else {
    const Entry* folder = Find(FolderOf(unfollowed));
    if (!folder || !folder->folder) return MemoryError(3);
    Put(unfollowed, false, {});
    made = true;
  }
  HoldFile(unfollowed, true);
  const Entry* entry = Find(unfollowed);
  return std::unique_ptr<HeldFile>(std::make_unique<MemoryHeldFile>(
      *this, entry->path, FileId{1, {entry->order + 1, 0}}, made, true));
}

Result<std::unique_ptr<HeldFile>> MemoryPlatform::OpenMade(std::string_view path,
                                                           const FileId& made) {
  const std::string unfollowed = Resolved(path, false);
  const Entry* entry = Find(unfollowed);
  if (links_.contains(Folded(unfollowed)) || !entry || IdentityOf(unfollowed) != made) {
    return SystemError{1920, "it is no longer the file this run made there"};
  }
  HoldFile(unfollowed, true);
  return std::unique_ptr<HeldFile>(
      std::make_unique<MemoryHeldFile>(*this, entry->path, made, true, true));
}

Result<std::unique_ptr<HeldFile>> MemoryPlatform::MakeHeld(const std::string& path) {
  const std::string unfollowed = Resolved(path, false);
  if (links_.contains(Folded(unfollowed)) || Find(unfollowed)) return MemoryError(80);
  return OpenToWrite(unfollowed);
}

Result<std::unique_ptr<HeldFolder>> MemoryPlatform::OpenFolder(std::string_view path) {
  const Entry* entry = Find(path);
  if (!entry) return MemoryError(2);
  if (!entry->folder) return MemoryError(267);
  return std::unique_ptr<HeldFolder>(
      std::make_unique<MemoryHeldFolder>(*this, FileId{1, {entry->order + 1, 0}}));
}

std::optional<std::string> MemoryPlatform::FolderPathOf(const FileId& id) const {
  for (const auto& [key, entry] : entries_) {
    if (entry.folder && FileId{1, {entry.order + 1, 0}} == id) return entry.path;
  }
  return std::nullopt;
}

Result<std::unique_ptr<HeldFile>> MemoryPlatform::OpenOwnImage() {
  const Entry* entry = Find(app_.file);
  if (!entry || entry->folder) return MemoryError(2);
  return std::unique_ptr<HeldFile>(std::make_unique<MemoryHeldFile>(
      *this, entry->path, FileId{1, {entry->order + 1, 0}}, false, false));
}

}  // namespace kalvenor::platform::memory
