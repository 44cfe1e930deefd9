#pragma once
// Files and folders: looking them up, copying, replacing, deleting and writing them.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace kalvenor::platform {

// Which entries a directory search returns: files (hidden ones too, with Hidden; those with the
// system attribute only with HiddenAndSystem) or, with Folders, folders alone, whatever their
// attributes.
enum class DirAttributes { Normal = 0, Hidden = 2, HiddenAndSystem = 6, Folders = 16 };

// A file of any size is read and copied a piece at a time, each piece handed to a sink; an
// error the sink returns ends the read or the copy with it.
inline constexpr std::size_t kPieceBytes = std::size_t{1} << 20;
using PieceSink = std::function<Status(std::span<const std::byte>)>;

// How a path stands.
struct FileState {
  bool exists = false, folder = false, hidden = false, system = false, readOnly = false;
  friend bool operator==(const FileState&, const FileState&) = default;
};

// What a path opens: a volume and a file or folder on it. Every spelling of one file, and every
// link that leads to it, gives the same identity.
struct FileId {
  std::uint64_t volume = 0;
  std::uint64_t file[2] = {};  // 128 bits: ReFS has more files than 64 bits tell apart
  friend bool operator==(const FileId&, const FileId&) = default;
};

class HeldFolder;

// A file held open for a whole run, so that what its name means cannot change under it.
class HeldFile {
 public:
  virtual ~HeldFile() = default;
  virtual FileId Identity() const = 0;
  // Its full path as the system resolved it when it was opened, or renamed through this handle,
  // links followed; empty where the system gives none.
  virtual const std::string& FinalPath() const = 0;
  // Cuts it to nothing.
  virtual Status Empty() = 0;
  // Adds `text` at its end and has it on the disk before returning.
  virtual Status Append(std::string_view text) = 0;
  // Hands its bytes to `sink` from the start, at most kPieceBytes at a time.
  virtual Status ReadPieces(const PieceSink& sink) = 0;
  // Whether the open made it, rather than finding it there.
  virtual bool Made() const = 0;
  // Removes it when the open made it: a report refused before its first line leaves nothing.
  virtual void DiscardIfNew() = 0;
  // Takes the place of `destination`'s name, as Windows reads it, in `folder`, the folder it was
  // made in: through the handles, never by a path. A file there is replaced (a read-only one is
  // refused, as Windows refuses it), a link itself too. Only a file made in `folder` may be
  // renamed.
  virtual Status Rename(std::string_view destination, const HeldFolder& folder) = 0;
};

// A folder held for a run: files are made in it, opened again and renamed into it through its
// handle, never by a path, so wherever its path comes to lead meanwhile, nothing lands elsewhere.
class HeldFolder {
 public:
  virtual ~HeldFolder() = default;
  virtual FileId Identity() const = 0;
  // Makes the file `name` (no path) in it, to be written through for the run: refused where a
  // file or a link of that name is there. Others may read it meanwhile, but not write it.
  virtual Result<std::unique_ptr<HeldFile>> MakeFile(std::string_view name) = 0;
  // Opens again the file `name` in it that MakeFile made and that was closed since (for another
  // program to read it), to read, rename or discard it: refused unless the name still holds that
  // very file, itself and not a link in its place. Made() is true of it.
  virtual Result<std::unique_ptr<HeldFile>> OpenMade(std::string_view name, const FileId& made) = 0;
};

class Files {
 public:
  virtual ~Files() = default;
  // The names (without folder) of the files matching `pattern`, a path whose last element may
  // hold * and ?, letter case ignored. Empty when none match or the search fails.
  virtual std::vector<std::string> Dir(std::string_view pattern, DirAttributes attributes) = 0;
  // How the path stands; any failure of the lookup reads as "not there".
  virtual FileState StateOf(std::string_view path) const = 0;
  // Sets the file's hidden, system and read-only attributes as `state` has them.
  virtual Status SetAttributes(std::string_view path, const FileState& state) = 0;

  // Puts `replacement` in the place of `destination` in one step, replacing it if present,
  // attributes and all. A read-only destination is refused, as Windows refuses it.
  virtual Status Replace(std::string_view replacement, std::string_view destination) = 0;
  // Deletes the file; a read-only one is refused.
  virtual Status Delete(std::string_view path) = 0;
  // Opens the file with the right to delete it, which a rename, a replace and a delete need, and
  // closes it again: refused where its rights deny this process that (access denied) or another
  // program holds it without sharing that (a sharing violation). A read-only attribute is no
  // refusal here.
  virtual Status OpenForDelete(std::string_view path) const = 0;
  // The bytes this process may still write on the volume that holds `folder`.
  virtual Result<std::uint64_t> FreeBytes(std::string_view folder) const = 0;

  // Hands the file's bytes to `sink` in order, at most kPieceBytes at a time.
  virtual Status ReadPieces(std::string_view path, const PieceSink& sink) const = 0;
  // Copies `source` as the new file `destination` (failing when one of that name exists),
  // handing each piece to `sink` as it goes, and has the copy on the disk before returning,
  // with normal attributes. A copy that fails part-way, on a full disk say, is removed.
  virtual Status CopyNewDurably(std::string_view source, std::string_view destination,
                                const PieceSink& sink) = 0;

  // ---- Read-only looks at components
  // The file's first `maxBytes` bytes at most.
  virtual Result<std::vector<std::byte>> ReadFile(std::string_view path,
                                                  std::size_t maxBytes) const = 0;
  // The path with every element in its long form, when the path exists; as it is otherwise.
  virtual std::string LongPathName(std::string_view path) const = 0;
  // The path in its short (8.3) form, when the path exists and has one; as it is otherwise.
  virtual std::string ShortPathName(std::string_view path) const = 0;

  // ---- Keeping the log and the journal
  // Writes `bytes` as a new file, failing when one of that name exists.
  virtual Status WriteNew(std::string_view path, std::string_view bytes) = 0;
  // Creates the folder, inheriting the rights of the one it is in; an existing one is done.
  virtual Status CreateFolder(std::string_view path) = 0;
  // The same, failing when a folder or file of that name exists: a folder that is new.
  virtual Status CreateNewFolder(std::string_view path) = 0;
  // Removes an empty folder.
  virtual Status RemoveFolder(std::string_view path) = 0;
  // Appends `text` to the file, creating it, and has it on the disk before returning.
  virtual Status AppendDurably(std::string_view path, std::string_view text) = 0;

  // ---- Files in use
  // Gives the file another name in the same folder; fails when `to` exists. A DLL that a
  // running program has loaded can be renamed, though not replaced or deleted.
  virtual Status Rename(std::string_view from, std::string_view to) = 0;
  // Whether a running program holds the file so that it cannot be replaced or deleted.
  virtual bool InUse(std::string_view path) const = 0;
  // Has the system delete the file when Windows next starts (administrators only), by the name
  // the system will know it by then.
  virtual Status DeleteAtRestart(std::string_view path) = 0;
  // The file's name as 64-bit programs and Windows itself know it: a 32-bit program on 64-bit
  // Windows reaches SysWOW64 as system32, and the 64-bit system32 as Sysnative. Elsewhere the
  // path as it is.
  virtual std::string NativePath(std::string_view path) const = 0;
  // The programs that hold the file, as far as the system tells; an empty list means it did
  // not say, never that none do.
  virtual std::vector<std::string> ProgramsUsing(std::string_view path) const = 0;

  // ---- Identity: what a path opens, whatever its spelling
  // The identity of the file or folder `path` opens, links followed; nothing when it opens none.
  virtual std::optional<FileId> IdentityOf(std::string_view path) const = 0;
  // The full path of what `path` opens, links followed, as the system resolves it; empty when it
  // opens nothing.
  virtual std::string FinalPath(std::string_view path) const = 0;
  // Opens a file to be written through for the run (a report, a copy into the store), making
  // it when missing and keeping what it holds until Empty: never through a link in its place,
  // nor a file with other names (hard links); others may read it meanwhile, but not write it.
  virtual Result<std::unique_ptr<HeldFile>> OpenToWrite(std::string_view path) = 0;
  // Holds the folder `path` opens, links followed, for files to be made in it.
  virtual Result<std::unique_ptr<HeldFolder>> OpenFolder(std::string_view path) = 0;
  // The program's own file, opened to be read, and checked to be the image that runs.
  virtual Result<std::unique_ptr<HeldFile>> OpenOwnImage() = 0;
};

}  // namespace kalvenor::platform
