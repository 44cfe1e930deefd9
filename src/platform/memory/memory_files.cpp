// The memory platform's files and folders.
#include <algorithm>

#include "platform/memory/folded.h"
#include "platform/memory/memory_platform.h"
#include "platform/wildcard.h"

namespace kalvenor::platform::memory {

SystemError MemoryError(std::uint32_t code) {
  switch (code) {
    case 2: return {code, "The system cannot find the file specified."};
    case 3: return {code, "The system cannot find the path specified."};
    case 5: return {code, "Access is denied."};
    case 32:
      return {code,
              "The process cannot access the file because it is being used by another "
              "process."};
    case 80: return {code, "The file exists."};
    case 87: return {code, "The parameter is incorrect."};
    case 145: return {code, "The directory is not empty."};
    case 183: return {code, "Cannot create a file when that file already exists."};
    case 112: return {code, "There is not enough space on the disk."};
    default: return {code, "Error " + std::to_string(code) + "."};
  }
}

MemoryPlatform::Entry* MemoryPlatform::Find(std::string_view path) {
  auto found = entries_.find(Key(path));
  return found == entries_.end() ? nullptr : &found->second;
}

const MemoryPlatform::Entry* MemoryPlatform::Find(std::string_view path) const {
  return const_cast<MemoryPlatform*>(this)->Find(path);
}

void MemoryPlatform::Put(std::string_view given, bool folder, FileOptions options) {
  std::string path = Resolved(given);
  std::string key = Folded(path);
  entries_.insert_or_assign(std::move(key),
                            Entry{std::move(path), folder, std::move(options), nextOrder_++});
}

std::vector<const MemoryPlatform::Entry*> MemoryPlatform::Ordered() const {
  std::vector<const Entry*> ordered;
  for (const auto& [key, entry] : entries_) ordered.push_back(&entry);
  std::sort(ordered.begin(), ordered.end(),
            [](const Entry* a, const Entry* b) { return a->order < b->order; });
  return ordered;
}

void MemoryPlatform::AddFolder(const std::string& path) {
  if (Find(path)) return;
  Put(path, true, {});
  Find(path)->protectedFolder = true;
}

void MemoryPlatform::LetOthersChange(const std::string& path, std::vector<std::string> others) {
  Find(path)->others = std::move(others);
}

void MemoryPlatform::AddFile(const std::string& path, FileOptions options) {
  if (Entry* existing = Find(path)) {
    existing->options = std::move(options);
    return;
  }
  Put(path, false, std::move(options));
}

bool MemoryPlatform::HasFile(const std::string& path) const {
  const Entry* entry = Find(path);
  return entry && !entry->folder;
}

std::string MemoryPlatform::Content(const std::string& path) const {
  const Entry* entry = Find(path);
  return entry ? entry->options.content : std::string();
}

std::vector<std::string> MemoryPlatform::Files() const {
  std::vector<std::string> files;
  for (const Entry* entry : Ordered()) {
    if (!entry->folder) files.push_back(entry->path);
  }
  return files;
}

void MemoryPlatform::AddShortName(const std::string& shortPath, const std::string& longPath) {
  longNames_[Folded(shortPath)] = longPath;
}

std::string MemoryPlatform::LongPathName(std::string_view path) const {
  const auto found = longNames_.find(Folded(path));
  return found == longNames_.end() ? std::string(path) : found->second;
}

std::string MemoryPlatform::ShortPathName(std::string_view path) const {
  for (const auto& [shortPath, longPath] : longNames_) {
    if (Folded(longPath) == Folded(path)) return shortPath;
  }
  return std::string(path);
}

std::vector<std::string> MemoryPlatform::Dir(std::string_view pattern, DirAttributes attributes) {
  listed.emplace_back(pattern);
  std::vector<std::string> names;
  // As the system opens it: "\\?\" taken off, the dots and blanks that end a name dropped.
  const std::string resolved = Resolved(pattern, false);
  pattern = resolved;
  const std::string folder = Key(FolderOf(pattern));
  const bool folders = attributes == DirAttributes::Folders;
  for (const Entry* entry : Ordered()) {
    if (entry->folder != folders) continue;
    // As the system's search: files with the system attribute never, hidden ones when asked
    // for; folders whatever their attributes.
    const FileOptions& options = entry->options;
    const bool all = attributes == DirAttributes::HiddenAndSystem;
    if (!folders && !all &&
        (options.system || (options.hidden && attributes != DirAttributes::Hidden))) {
      continue;
    }
    if (Folded(FolderOf(entry->path)) != folder) continue;
    if (WildcardMatch(NameOf(pattern), NameOf(entry->path))) {
      names.emplace_back(NameOf(entry->path));
    }
  }
  return names;
}

FileState MemoryPlatform::StateOf(std::string_view path) const {
  const Entry* entry = Find(path);
  if (!entry) return {};
  const FileOptions& options = entry->options;
  return {.exists = true,
          .folder = entry->folder,
          .hidden = options.hidden,
          .system = options.system,
          .readOnly = options.readOnly};
}

Status MemoryPlatform::SetAttributes(std::string_view path, const FileState& state) {
  Entry* entry = Find(path);
  if (!entry) return MemoryError(2);
  entry->options.hidden = state.hidden;
  entry->options.system = state.system;
  entry->options.readOnly = state.readOnly;
  return Done{};
}

Result<std::vector<std::byte>> MemoryPlatform::ReadFile(std::string_view path,
                                                        std::size_t maxBytes) const {
  const Entry* file = Find(path);
  if (!file || file->folder) return MemoryError(2);
  const std::string& content = file->options.content;
  const auto* bytes = reinterpret_cast<const std::byte*>(content.data());
  const std::size_t size = std::min(content.size(), maxBytes);
  largestRead = std::max(largestRead, size);
  return std::vector<std::byte>(bytes, bytes + size);
}

Status MemoryPlatform::ReadPieces(std::string_view path, const PieceSink& sink) const {
  const Entry* file = Find(path);
  if (!file || file->folder) return MemoryError(2);
  const std::string& content = file->options.content;
  const auto* bytes = reinterpret_cast<const std::byte*>(content.data());
  for (std::size_t at = 0; at < content.size(); at += kPieceBytes) {
    const std::size_t size = std::min(kPieceBytes, content.size() - at);
    largestRead = std::max(largestRead, size);
    Status taken = sink(std::span(bytes + at, size));
    if (!taken.ok()) return taken;
  }
  return Done{};
}

// A failed write, the disk full say, leaves no file, as the system's copy removes its part.
Status MemoryPlatform::CopyNewDurably(std::string_view source, std::string_view destination,
                                      const PieceSink& sink) {
  const Entry* folder = Find(FolderOf(destination));
  if (!folder || !folder->folder) return MemoryError(3);
  if (Find(destination)) return MemoryError(80);
  std::string copy;
  Status copied = ReadPieces(source, [&](std::span<const std::byte> piece) {
    if (copy.size() + piece.size() > freeBytes_) return Status(MemoryError(112));
    Status taken = sink(piece);
    if (taken.ok()) copy.append(reinterpret_cast<const char*>(piece.data()), piece.size());
    return taken;
  });
  if (copied.ok() && writeFailure_) copied = *std::exchange(writeFailure_, std::nullopt);
  if (copied.ok() && copyFailure_) copied = *std::exchange(copyFailure_, std::nullopt);
  if (!copied.ok()) return copied;
  Put(std::string(destination), false, {.content = std::move(copy)});
  return Done{};
}

// A rename over the destination: what the replacement is, attributes and all, takes its place.
Status MemoryPlatform::Replace(std::string_view replacement, std::string_view destination) {
  const Entry* from = Find(replacement);
  if (!from || from->folder) return MemoryError(2);
  const bool flushed = from->flushed;
  if (Entry* to = Find(destination)) {
    if (to->folder || to->options.readOnly || to->options.denied) return MemoryError(5);
    if (to->options.locked || to->options.loaded) return MemoryError(32);
    to->options = from->options;
  } else {
    Put(std::string(destination), false, from->options);
  }
  Find(destination)->flushed = flushed;
  entries_.erase(Key(replacement));
  return Done{};
}

Status MemoryPlatform::Delete(std::string_view path) {
  Entry* entry = Find(path);
  if (!entry || entry->folder) return MemoryError(2);
  if (entry->options.readOnly || entry->options.loaded || entry->options.denied) {
    return MemoryError(5);
  }
  if (entry->options.locked) return MemoryError(32);
  entries_.erase(Key(path));
  return Done{};
}

Status MemoryPlatform::OpenForDelete(std::string_view path) const {
  const Entry* entry = Find(path);
  if (!entry) return MemoryError(2);
  if (entry->options.denied) return MemoryError(5);
  if (entry->options.locked) return MemoryError(32);
  return Done{};
}

void MemoryPlatform::CutPower() {
  for (auto& [key, entry] : entries_) {
    if (!entry.flushed) entry.options.content.clear();
  }
}

Status MemoryPlatform::WriteNew(std::string_view path, std::string_view bytes) {
  if (writeFailure_) return *std::exchange(writeFailure_, std::nullopt);
  const Entry* folder = Find(FolderOf(path));
  if (!folder || !folder->folder) return MemoryError(3);
  if (Find(path)) return MemoryError(80);
  Put(std::string(path), false, {.content = std::string(bytes)});
  Find(path)->flushed = false;
  return Done{};
}

Status MemoryPlatform::CreateFolder(std::string_view path) {
  if (const Entry* existing = Find(path))
    return existing->folder ? Status(Done{}) : MemoryError(183);
  const Entry* parent = Find(FolderOf(path));
  if (!parent || !parent->folder) return MemoryError(3);
  Put(std::string(path), true, {});
  return Done{};
}

Status MemoryPlatform::CreateNewFolder(std::string_view path) {
  if (Find(path)) return MemoryError(183);
  return CreateFolder(path);
}

Status MemoryPlatform::RemoveFolder(std::string_view path) {
  const Entry* folder = Find(path);
  if (!folder || !folder->folder) return MemoryError(3);
  const std::string inside = Key(path) + "\\";
  for (const auto& [key, entry] : entries_) {
    if (key.starts_with(inside)) return MemoryError(145);  // the directory is not empty
  }
  entries_.erase(Key(path));
  return Done{};
}

Status MemoryPlatform::AppendDurably(std::string_view path, std::string_view text) {
  if (onAppend) onAppend();
  if (writeFailure_) return *std::exchange(writeFailure_, std::nullopt);
  if (Entry* existing = Find(path)) {
    if (existing->folder) return MemoryError(5);
    if (existing->options.locked) return MemoryError(32);
    existing->options.content += text;
    existing->flushed = true;  // the flush takes what was written before along
    return Done{};
  }
  const Entry* folder = Find(FolderOf(path));
  if (!folder || !folder->folder) return MemoryError(3);
  Put(std::string(path), false, {.content = std::string(text)});
  return Done{};
}

Status MemoryPlatform::Rename(std::string_view from, std::string_view to) {
  if (renamesBeforeFailure_ > 0) {
    --renamesBeforeFailure_;
  } else if (renameFailures_ > 0) {
    --renameFailures_;
    return renameFailure_;
  }
  Entry* entry = Find(from);
  if (!entry) return MemoryError(2);
  if (entry->options.denied) return MemoryError(5);
  if (entry->options.locked) return MemoryError(32);
  if (Find(to)) return MemoryError(183);
  Entry moved = *entry;
  const std::string fromKey = Key(from);
  entries_.erase(fromKey);
  Put(to, moved.folder, moved.options);
  Find(to)->order = moved.order;  // a file keeps its identity under its new name
  Find(to)->protectedFolder = moved.protectedFolder;
  Find(to)->others = moved.others;
  Find(to)->flushed = moved.flushed;
  // A folder takes what is inside it along.
  const std::string inside = fromKey + "\\";
  std::vector<Entry> children;
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (!it->first.starts_with(inside)) {
      ++it;
      continue;
    }
    children.push_back(std::move(it->second));
    it = entries_.erase(it);
  }
  for (Entry& child : children) {
    child.path = Find(to)->path + child.path.substr(inside.size() - 1);
    entries_.emplace(Folded(child.path), std::move(child));
  }
  return Done{};
}

bool MemoryPlatform::InUse(std::string_view path) const {
  const Entry* entry = Find(path);
  return entry && (entry->options.locked || entry->options.loaded);
}

std::vector<std::string> MemoryPlatform::ProgramsUsing(std::string_view path) const {
  const Entry* entry = Find(path);
  return entry ? entry->options.heldBy : std::vector<std::string>();
}

Status MemoryPlatform::DeleteAtRestart(std::string_view path) {
  if (!elevated_) return MemoryError(5);
  deletedAtRestart.emplace_back(path);
  return Done{};
}

}  // namespace kalvenor::platform::memory
