#pragma once
// The journal of a run: before a run changes anything it opens a folder of its own in the
// store, and before each step that changes a file or a registration it writes down, on the
// disk, what the step will change and how it stood, with a backup of each file it replaces or
// deletes. A run cut short leaves a journal that Undo can still use.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system.h"
#include "platform/version_resource.h"

namespace kalvenor::journal {

// One line of a journal: its kind, then its fields, separated by tabs. Each is written
// encoded, so that no value (a registry value may hold any character) ends a field or a
// record: '%', tabs, line ends and other control characters become %XX.
struct Record {
  std::string kind;
  std::vector<std::string> fields;
  const std::string& Field(std::size_t i) const;  // empty when there is none
};

// The kinds of records, in the order a step writes them.
namespace kinds {
inline constexpr char kRun[] = "run";        // what kind of run, the system directory, its bitness
inline constexpr char kBackup[] = "backup";  // target, backup file, SHA-256, version
inline constexpr char kAbsent[] = "absent";  // target: there was no file
inline constexpr char kCopy[] = "copy";      // target, SHA-256 of what the copy puts there
inline constexpr char kDelete[] = "delete";  // target
// Target: a running program holds it, so the copy renames it aside to take its name.
inline constexpr char kSetAside[] = "set-aside";
inline constexpr char kClass[] = "class";                // target, CLSID, its InprocServer32 before
inline constexpr char kRegistered[] = "was-registered";  // target: a class pointed at it
inline constexpr char kRegister[] = "register";          // target
inline constexpr char kUnregister[] = "unregister";      // target
// Written by older versions: target, shared count before, or "-".
inline constexpr char kCount[] = "count";
// Target, the count's name, the count before and after ("-" for none), whether Kalvenor held a
// share before and after ("1" or "0"), the registry view of the count. An Overwrite copy, which
// takes no share, writes the count unchanged: Undo looks it up by the name and view it had.
inline constexpr char kShare[] = "share";
// What Kalvenor's Install put at a file, as a detection reads it: target, the record's name, the
// registry view, the record before and after (empty for none).
inline constexpr char kInstalled[] = "installed";
// A registry key the tool may change, as it stood: target, view ("32" or "64"), the key under
// the hive's classes, whether it existed ("1" or "0"), the hive ("machine" or "user"; older
// versions wrote none, for the key under HKCR); then its subkeys (view, key, subkey) and its
// values (view, key, subkey, name, type, data in hexadecimal), which follow it.
inline constexpr char kKey[] = "key";
inline constexpr char kSubkey[] = "subkey";
inline constexpr char kValue[] = "value";
// Once the tool has ended, each key it may have written as the tool left it: target, hive, view,
// key, the SHA-256 of its tree ("-" when there is none). A tool that may write no key leaves one
// record of the target alone. Undo gives back only the keys that still hold that; it writes the
// same records of the keys it gives back, as it left them, for an Undo that runs again.
inline constexpr char kLeft[] = "left";
// A `left` record's digest before the tool of its step runs, for a key an earlier step kept:
// until the step's records after the tool follow, what tools left of it is not known.
inline constexpr char kToolRunning[] = "*";
// A `left` record's digest of a key that could not be read once the tool had ended.
inline constexpr char kUnread[] = "?";
// With those, each ProgID the classes name that the run did not keep and that HKCR did not hold
// before the run: target, hive, view, key. Undo takes it for a key kept as missing.
inline constexpr char kNewKey[] = "new-key";
// Written by Undo before its first step: each key another registration changed since the run
// (hive, view, key), or one record without fields where none did. An Undo that runs again after
// one that failed or was cut short takes the keys as the first found them, not as its steps left
// them.
inline constexpr char kChangedSince[] = "changed-since";
inline constexpr char kFileUndone[] = "file-undone";  // target: Undo is done with it
inline constexpr char kUndone[] = "undone";           // the run was undone
}  // namespace kinds

// The store of journals: %ProgramData%\Kalvenor\runs, one folder per run, writable by
// administrators and SYSTEM alone.
class Store {
 public:
  static constexpr std::size_t kRunsKept = 20;
  explicit Store(platform::System& system) : system_(system) {}

  // The store's folder, made where it is missing. A folder that others than administrators and
  // SYSTEM may change, or a file, in its place is moved aside unread and the folder made anew,
  // which Notice() then tells; an error when that fails too.
  platform::Result<std::string> Open();
  const std::string& Notice() const { return notice_; }
  // A new run's folder, never one that was there: "<sequence>-<UTC time>", its sequence one
  // more than the highest in the store, so that the store's order holds whatever the clock
  // does. The oldest runs beyond the last kRunsKept go first.
  platform::Result<std::string> NewRun();
  // The newest run that was not undone, if any, whatever its journal: one that cannot be
  // undone is refused by its name, never passed over for the one before. Nothing from a store
  // others may change.
  std::optional<std::string> LastRun();
  // The runs that the last NewRun took out of the store although they were not undone: they can
  // be undone no more. By their folders' names.
  const std::vector<std::string>& PrunedNotUndone() const { return prunedNotUndone_; }
  // The folder of the run that `run` names, by its folder or by the folder's name: only a run of
  // this store, since Undo puts what a run's folder holds into the system directory.
  platform::Result<std::string> RunNamed(const std::string& run);
  // What the newest Install of this build that was not undone put at `target`: the SHA-256 of
  // its copy record. Nothing from a store others may change, nor where no such Install copied
  // there.
  std::optional<std::string> LastInstallTo(const std::string& target);

 private:
  platform::Result<std::string> Open(bool heal);
  platform::Status MoveAside(const std::string& folder);
  std::vector<std::string> Runs(const std::string& root);  // oldest first
  void RemoveRun(const std::string& folder);
  platform::System& system_;
  std::string notice_;
  std::vector<std::string> prunedNotUndone_;
};

// How the journal names a registry view, and the hive of a key's classes.
std::string ViewText(platform::RegistryView view);
std::optional<platform::RegistryView> ViewFromText(std::string_view text);
std::string HiveText(platform::RegistryRoot hive);
std::optional<platform::RegistryRoot> HiveFromText(std::string_view text);
// The hives whose classes HKCR merges, each kept apart.
inline constexpr platform::RegistryRoot kHives[] = {platform::RegistryRoot::MachineClasses,
                                                    platform::RegistryRoot::UserClasses};

// The SHA-256 of a key's tree in one order, names without letter case, so that two reads of one
// key give one digest; "-" for a key that is not there.
std::string TreeDigest(const std::optional<platform::RegistryTree>& tree);

// The time as the store's names hold it: 20261208T141700Z.
std::string UtcStamp(const platform::DateTime& time);

// The SHA-256 of a file's bytes, in hexadecimal, read a piece at a time whatever its size.
// `head`, when given, gets the file's first bytes, as many as an image is read for its version
// and type library.
// `bytes`, when given, gets its size.
platform::Result<std::string> Sha256Of(platform::System& system, const std::string& path,
                                       std::vector<std::byte>* head = nullptr,
                                       std::uint64_t* bytes = nullptr);

// A copy made beside its target (File_CopyBeside), not yet in its place: its temporary name,
// and the SHA-256 and first bytes of what it holds, read as it was made, so that what the
// journal records of it is what takes the target's name.
struct CopyBeside {
  std::string temporary, sha256;
  std::vector<std::byte> head;
};
platform::Result<CopyBeside> MakeCopyBeside(platform::System& system, const std::string& source,
                                            const std::string& target);

// The records of the run in `folder`. A line cut short by a crash is left out; `unreadable`,
// when given, counts the other lines left out: of an unknown kind, with the wrong number of
// fields for their kind, or not encoded as the writer encodes.
std::vector<Record> ReadJournal(platform::System& system, const std::string& folder,
                                std::size_t* unreadable = nullptr);
bool WasUndone(const std::vector<Record>& records);
// Why the run in `folder` cannot be undone, when its journal gives no record: the run kept none,
// or its journal is missing, cannot be read or holds no line that reads. Names the run.
std::string WhyNoRecords(platform::System& system, const std::string& folder);
// Why this build must not undo the run of `records`: one of the other build, whose steps went
// to the other system directory and registry view, or one whose first line is no record of its
// run, which cannot tell. Nothing when it may; a run record that does not say (of an earlier
// version) is taken for this build's own.
std::optional<std::string> WhyNotUndo(const platform::AppInfo& app,
                                      const std::vector<Record>& records);

// Writes the records of one run, each on the disk before the step it announces.
class Writer {
 public:
  Writer(platform::System& system, std::string folder);
  const std::string& Folder() const { return folder_; }
  // Appends the records, on the disk when it returns; a last line that a crash cut short is
  // ended first, so that it stays a line of its own that announces nothing.
  platform::Status Write(const std::vector<Record>& records);
  // Copies `file` into the run's folder; the record of it, or the copy's failure. `version`
  // gets its file version, when it has one.
  platform::Result<Record> Backup(const std::string& file,
                                  std::optional<platform::FileVersion>* version = nullptr);

 private:
  platform::System& system_;
  std::string folder_;
  int backups_ = 0;
  bool endChecked_ = false;  // the journal ends with a whole line
};

inline constexpr char kJournalName[] = "journal.txt";
// A run's folder is made before its journal, so that a run whose journal cannot be written is
// still in the store, and Undo refuses it rather than taking the run before; this empty file in
// it says that the run kept none, where it can be written.
inline constexpr char kNoJournalName[] = "no-journal";
// The most of a journal that is read, far more than a run writes. Backups and hashes take files
// of any size.
inline constexpr std::size_t kMaxFileBytes = std::size_t{1} << 30;

}  // namespace kalvenor::journal
