#include "journal/journal.h"

#include <algorithm>
#include <charconv>
#include <span>

#include "base/sha256.h"
#include "base/text.h"
#include "inspect/pe_image.h"
#include "lib/lib_filesystem.h"
#include "paths/paths.h"

namespace kalvenor::journal {
namespace {

// Each kind of record and how many fields it has, one line a kind. Fields added to a kind
// later are optional, so that journals of earlier versions still read: the most is one more
// than the least then.
constexpr struct {
  std::string_view kind;
  std::size_t least, most;
} kKinds[] = {
    {kinds::kRun, 2, 3},        {kinds::kBackup, 4, 4},   {kinds::kAbsent, 1, 1},
    {kinds::kCopy, 2, 2},       {kinds::kDelete, 1, 1},   {kinds::kClass, 3, 3},
    {kinds::kRegistered, 2, 2}, {kinds::kRegister, 1, 1}, {kinds::kUnregister, 1, 1},
    {kinds::kCount, 2, 2},      {kinds::kUndone, 0, 0},   {kinds::kShare, 6, 7},
    {kinds::kKey, 4, 5},        {kinds::kSubkey, 3, 3},   {kinds::kValue, 6, 6},
    {kinds::kFileUndone, 1, 1}, {kinds::kLeft, 1, 5},     {kinds::kChangedSince, 0, 3},
    {kinds::kInstalled, 5, 5},  {kinds::kSetAside, 1, 1}, {kinds::kNewKey, 4, 4},
};

// What the writer puts after a line that a crash cut short: no encoded field ends with a
// lone '%', so the line reads as cut short, never as a record.
constexpr std::string_view kTornEnd = "%\r\n";

bool Escaped(unsigned char c) { return c < 0x20 || c == 0x7F || c == '%'; }

std::string Encode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (!Escaped(byte)) {
      encoded += c;
      continue;
    }
    encoded += '%';
    encoded += kHex[byte >> 4];
    encoded += kHex[byte & 0xF];
  }
  return encoded;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Nothing for text that Encode does not make: a raw control character, or a '%' that is not
// followed by two of its hexadecimal digits of a character it escapes.
std::optional<std::string> Decode(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte != '%') {
      if (Escaped(byte)) return std::nullopt;
      decoded += text[i];
      continue;
    }
    const int high = i + 2 < text.size() ? HexDigit(text[i + 1]) : -1;
    const int low = high >= 0 ? HexDigit(text[i + 2]) : -1;
    if (low < 0 || !Escaped(static_cast<unsigned char>(high * 16 + low))) return std::nullopt;
    decoded += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return decoded;
}

// Every field, empty ones too (a class with no server before): unlike SplitList.
std::vector<std::string_view> Split(std::string_view line, char separator) {
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    const std::size_t end = line.find(separator, start);
    parts.push_back(line.substr(start, end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

constexpr std::size_t kStampLength = 16;  // 20261208T141700Z

// The sequence number of a run folder named "<sequence>-<UTC time>"; 0 for any other name,
// such as the yyyyMMdd-HHmmss of earlier versions, which come before every numbered run.
std::uint64_t SequenceOf(std::string_view name) {
  const std::size_t dash = name.find('-');
  if (dash == 0 || dash == std::string_view::npos || name.size() != dash + 1 + kStampLength) {
    return 0;
  }
  const std::string_view stamp = name.substr(dash + 1);
  for (std::size_t i = 0; i < stamp.size(); ++i) {
    const char wanted = i == 8 ? 'T' : i == 15 ? 'Z' : '0';
    if (wanted == '0' ? (stamp[i] < '0' || stamp[i] > '9') : stamp[i] != wanted) return 0;
  }
  std::uint64_t sequence = 0;
  const auto [end, error] = std::from_chars(name.data(), name.data() + dash, sequence);
  return error == std::errc() && end == name.data() + dash ? sequence : 0;
}

// A record as one line of the journal, CR LF included.
std::string EncodeRecord(const Record& record) {
  std::string line = Encode(record.kind);
  for (const std::string& field : record.fields) line += "\t" + Encode(field);
  return line + "\r\n";
}

// The record of one line (without its CR LF); nothing for a line of an unknown kind, with the
// wrong number of fields for its kind, or not encoded as Encode encodes.
std::optional<Record> DecodeRecord(std::string_view line) {
  const std::vector<std::string_view> parts = Split(line, '\t');
  const auto known = std::find_if(std::begin(kKinds), std::end(kKinds),
                                  [&](const auto& kind) { return kind.kind == parts.front(); });
  const std::size_t fields = parts.size() - 1;
  if (known == std::end(kKinds) || fields < known->least || fields > known->most) {
    return std::nullopt;
  }
  Record record{std::string(parts.front()), {}};
  for (std::size_t i = 1; i < parts.size(); ++i) {
    std::optional<std::string> field = Decode(parts[i]);
    if (!field) return std::nullopt;
    record.fields.push_back(std::move(*field));
  }
  return record;
}

// Hashes each piece, keeping the file's first bytes in `head`, when given.
platform::PieceSink Hashing(Sha256& hash, std::vector<std::byte>* head) {
  return [&hash, head](std::span<const std::byte> piece) {
    hash.Add(piece);
    if (head && head->size() < inspect::kMaxImageBytes) {
      head->insert(head->end(), piece.begin(),
                   piece.begin() + std::min(piece.size(), inspect::kMaxImageBytes - head->size()));
    }
    return platform::Status(platform::Done{});
  };
}

bool Exists(const platform::SystemError& error) {
  return error.code == platform::kErrorAlreadyExists || error.code == platform::kErrorFileExists;
}

// ", in use by A, B" as the in-use lines name them, where the system names the programs that
// hold the path; nothing where it does not.
std::string InUseBy(const platform::Files& files, const std::string& path) {
  std::string holders;
  for (const std::string& program : files.ProgramsUsing(path)) {
    holders += (holders.empty() ? ", in use by " : ", ") + program;
  }
  return holders;
}

}  // namespace

const std::string& Record::Field(std::size_t i) const {
  static const std::string kNone;
  return i < fields.size() ? fields[i] : kNone;
}

std::string ViewText(platform::RegistryView view) {
  return view == platform::RegistryView::Bits64 ? "64" : "32";
}

std::optional<platform::RegistryView> ViewFromText(std::string_view text) {
  if (text == "32") return platform::RegistryView::Bits32;
  if (text == "64") return platform::RegistryView::Bits64;
  return std::nullopt;
}

std::string HiveText(platform::RegistryRoot hive) {
  return hive == platform::RegistryRoot::UserClasses ? "user" : "machine";
}

std::optional<platform::RegistryRoot> HiveFromText(std::string_view text) {
  if (text == "machine") return platform::RegistryRoot::MachineClasses;
  if (text == "user") return platform::RegistryRoot::UserClasses;
  return std::nullopt;
}

std::string TreeDigest(const std::optional<platform::RegistryTree>& tree) {
  if (!tree) return "-";
  // Each field encoded, so that no name or data runs into the next.
  std::vector<std::string> lines;
  for (const std::string& key : tree->keys) lines.push_back("k\t" + Encode(AsciiLower(key)));
  for (const platform::RegistryValue& value : tree->values) {
    const std::string_view data(reinterpret_cast<const char*>(value.data.data()),
                                value.data.size());
    lines.push_back("v\t" + Encode(AsciiLower(value.key)) + "\t" + Encode(AsciiLower(value.name)) +
                    "\t" + std::to_string(value.type) + "\t" + Encode(data));
  }
  std::sort(lines.begin(), lines.end());
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return Sha256Hex(std::as_bytes(std::span(text)));
}

std::string UtcStamp(const platform::DateTime& time) {
  return Padded(time.year, 4) + Padded(time.month, 2) + Padded(time.day, 2) + "T" +
         Padded(time.hour, 2) + Padded(time.minute, 2) + Padded(time.second, 2) + "Z";
}

platform::Result<std::string> Sha256Of(platform::System& system, const std::string& path,
                                       std::vector<std::byte>* head, std::uint64_t* bytes) {
  Sha256 hash;
  const platform::PieceSink hashing = Hashing(hash, head);
  if (bytes) *bytes = 0;
  platform::Status read = system.ReadPieces(path, [&](std::span<const std::byte> piece) {
    if (bytes) *bytes += piece.size();
    return hashing(piece);
  });
  if (!read.ok()) return read.error();
  return hash.Hex();
}

platform::Result<CopyBeside> MakeCopyBeside(platform::System& system, const std::string& source,
                                            const std::string& target) {
  Sha256 hash;
  CopyBeside copy;
  auto made = File_CopyBeside(system, source, target, Hashing(hash, &copy.head));
  if (!made.ok()) return made.error();
  copy.temporary = std::move(made.value());
  copy.sha256 = hash.Hex();
  return copy;
}

// ---- The store

platform::Result<std::string> Store::Open() { return Open(true); }

platform::Result<std::string> Store::Open(bool heal) {
  const std::string data = system_.ProgramDataFolder();
  if (data.empty()) return platform::SystemError{2, "There is no folder for program data."};
  const std::string program = data + "\\Kalvenor", root = program + "\\runs";
  for (const std::string& folder : {program, root}) {
    for (bool moved = false;; moved = true) {
      // Anyone who may add to the store may have Undo put their file into the system
      // directory: such a store is not read, and a file in its place is no store either.
      platform::Status created = system_.CreateProtectedFolder(folder);
      const bool foreign = !created.ok() && Exists(created.error());
      if (!created.ok() && !foreign) return created.error();
      platform::Result<bool> isProtected = system_.IsProtectedFolder(folder);
      if (!isProtected.ok()) return isProtected.error();
      if (isProtected.value()) break;
      if (!heal || moved) {
        return platform::SystemError{
            5, folder + " may be changed by others than administrators and SYSTEM."};
      }
      platform::Status aside = MoveAside(folder);
      if (!aside.ok()) return aside.error();
    }
  }
  return root;
}

// Renames what stands at the store's place, unread, to "<name>.untrusted-<UTC time>".
platform::Status Store::MoveAside(const std::string& folder) {
  const std::string aside = folder + ".untrusted-" + UtcStamp(system_.UtcNow());
  for (int n = 1;; ++n) {
    const std::string to = n == 1 ? aside : aside + "-" + std::to_string(n);
    platform::Status renamed = system_.Rename(folder, to);
    if (renamed.ok()) {
      notice_ = "the journal's store " + folder +
                " could be changed by others, so it was moved to " + to + " and made anew";
      return renamed;
    }
    if (!Exists(renamed.error()) || n == 9) {
      return platform::SystemError{
          renamed.error().code, folder + " may be changed by others than administrators and " +
                                    "SYSTEM, and cannot be moved aside" + InUseBy(system_, folder) +
                                    ": " + renamed.error().message};
    }
  }
}

std::vector<std::string> Store::Runs(const std::string& root) {
  std::vector<std::string> runs = system_.Dir(root + "\\*", platform::DirAttributes::Folders);
  std::erase_if(runs, [](const std::string& name) { return name == "." || name == ".."; });
  std::sort(runs.begin(), runs.end(), [](const std::string& a, const std::string& b) {
    const std::uint64_t first = SequenceOf(a), second = SequenceOf(b);
    return first != second ? first < second : a < b;
  });
  for (std::string& run : runs) run = root + "\\" + run;
  return runs;
}

// Every file of the run goes, whatever its attributes: a backup keeps its file's hidden and
// system ones, which a search leaves out unless asked, and a read-only file is not deleted.
void Store::RemoveRun(const std::string& folder) {
  for (const std::string& file :
       system_.Dir(folder + "\\*", platform::DirAttributes::HiddenAndSystem)) {
    const std::string path = folder + "\\" + file;
    (void)system_.SetAttributes(path, {});
    (void)system_.Delete(path);
  }
  (void)system_.RemoveFolder(folder);
}

platform::Result<std::string> Store::NewRun() {
  auto root = Open();
  if (!root.ok()) return root.error();
  std::vector<std::string> runs = Runs(root.value());
  const std::uint64_t next = runs.empty() ? 1 : SequenceOf(File_GetName(runs.back())) + 1;
  prunedNotUndone_.clear();
  while (runs.size() >= kRunsKept) {
    const std::vector<Record> records = ReadJournal(system_, runs.front());
    if (records.size() > 1 && !WasUndone(records)) {  // a run that changed something
      prunedNotUndone_.push_back(File_GetName(runs.front()));
    }
    RemoveRun(runs.front());
    runs.erase(runs.begin());
  }
  const std::string stamp = UtcStamp(system_.UtcNow());
  // Never into a folder that is there: a file of the name, say, moves the run to the next.
  for (std::uint64_t sequence = next;; ++sequence) {
    const std::string folder = root.value() + "\\" + Padded(sequence, 6) + "-" + stamp;
    platform::Status created = system_.CreateNewFolder(folder);
    if (created.ok()) return folder;
    if (!Exists(created.error()) || sequence == next + 9) return created.error();
  }
}

std::optional<std::string> Store::LastRun() {
  auto root = Open(false);
  if (!root.ok()) return std::nullopt;
  const std::vector<std::string> runs = Runs(root.value());
  for (auto run = runs.rbegin(); run != runs.rend(); ++run) {
    if (!WasUndone(ReadJournal(system_, *run))) return *run;
  }
  return std::nullopt;
}

std::optional<std::string> Store::LastInstallTo(const std::string& target) {
  auto root = Open(false);
  if (!root.ok()) return std::nullopt;
  const std::vector<std::string> runs = Runs(root.value());
  // Another build names the system directories otherwise: its paths are not this build's.
  const std::string bits = std::to_string(system_.App().bits);
  for (auto run = runs.rbegin(); run != runs.rend(); ++run) {
    const std::vector<Record> records = ReadJournal(system_, *run);
    if (records.empty() || records.front().kind != kinds::kRun ||
        records.front().Field(0) != "install" || records.front().Field(2) != bits ||
        WasUndone(records)) {
      continue;
    }
    const auto of = [&](const Record& record, std::string_view kind) {
      return record.kind == kind && paths::SamePath(system_, record.Field(0), target);
    };
    // A file an Undo that did not finish was done with is as that Undo left it.
    if (std::any_of(records.begin(), records.end(),
                    [&](const Record& record) { return of(record, kinds::kFileUndone); })) {
      continue;
    }
    for (auto record = records.rbegin(); record != records.rend(); ++record) {
      if (of(*record, kinds::kCopy)) return record->Field(1);
    }
  }
  return std::nullopt;
}

platform::Result<std::string> Store::RunNamed(const std::string& run) {
  auto root = Open(false);
  if (!root.ok()) return root.error();
  const std::string name = File_GetName(run);
  const bool inStore = name == run || paths::SamePath(system_, paths::FolderOf(run), root.value());
  const std::string folder = root.value() + "\\" + name;
  if (inStore && name.find_first_of("/:") == std::string::npos && name != "." && name != ".." &&
      system_.StateOf(folder).folder) {
    return folder;
  }
  return platform::SystemError{platform::kErrorPathNotFound,
                               run + " is no run in the journal's store " + root.value()};
}

// ---- Reading and writing

std::vector<Record> ReadJournal(platform::System& system, const std::string& folder,
                                std::size_t* unreadable) {
  std::vector<Record> records;
  if (unreadable) *unreadable = 0;
  auto bytes = system.ReadFile(folder + "\\" + kJournalName, kMaxFileBytes);
  if (!bytes.ok()) return records;
  std::string_view text(reinterpret_cast<const char*>(bytes.value().data()), bytes.value().size());
  // Saved again by an editor, it may begin with a byte-order mark and end its lines in LF alone:
  // it is the same journal.
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  // Only whole lines: one cut short by a crash announces nothing that happened, and neither
  // does one that the writer ended afterwards.
  for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string_view::npos;
       start = end + 1) {
    std::string_view line = text.substr(start, end - start);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.ends_with(kTornEnd.front())) continue;
    if (std::optional<Record> record = DecodeRecord(line)) {
      records.push_back(std::move(*record));
    } else if (unreadable) {
      ++*unreadable;
    }
  }
  return records;
}

bool WasUndone(const std::vector<Record>& records) {
  return std::any_of(records.begin(), records.end(),
                     [](const Record& record) { return record.kind == kinds::kUndone; });
}

std::string WhyNoRecords(platform::System& system, const std::string& folder) {
  const std::string refused = "the run " + File_GetName(folder) + " cannot be undone: ";
  if (File_Exists(system, folder + "\\" + kNoJournalName)) return refused + "it kept no journal";
  auto bytes = system.ReadFile(folder + "\\" + kJournalName, kMaxFileBytes);
  if (bytes.ok()) return refused + "its journal holds no record that can be read";
  const std::uint32_t code = bytes.error().code;
  if (code == platform::kErrorFileNotFound || code == platform::kErrorPathNotFound) {
    return refused + "its journal is missing";
  }
  return refused + "its journal cannot be read (" + bytes.error().message + ")";
}

std::optional<std::string> WhyNotUndo(const platform::AppInfo& app,
                                      const std::vector<Record>& records) {
  if (records.empty()) return std::nullopt;  // nothing to undo
  const Record& run = records.front();
  if (run.kind != kinds::kRun) {
    return "the first line of its journal is no record of the run, so it does not tell which "
           "build of Kalvenor made it";
  }
  const std::string own = std::to_string(app.bits);
  if (run.fields.size() < 3 || run.Field(2) == own) return std::nullopt;
  const std::string& bits = run.Field(2);
  const std::string build = bits == "32"   ? "the x86 build"
                            : bits == "64" ? "the x64 build"
                                           : "another build";
  return "this run was made by " + build + " of Kalvenor: undo it with that build";
}

Writer::Writer(platform::System& system, std::string folder)
    : system_(system), folder_(std::move(folder)) {}

platform::Status Writer::Write(const std::vector<Record>& records) {
  const std::string path = folder_ + "\\" + kJournalName;
  std::string lines;
  if (!endChecked_) {
    auto bytes = system_.ReadFile(path, kMaxFileBytes);
    const std::string_view text =
        bytes.ok() ? std::string_view(reinterpret_cast<const char*>(bytes.value().data()),
                                      bytes.value().size())
                   : std::string_view();
    if (!text.empty() && !text.ends_with('\n')) lines = kTornEnd;
  }
  for (const Record& record : records) lines += EncodeRecord(record);
  platform::Status written = system_.AppendDurably(path, lines);
  // A failed append may itself leave a line cut short.
  endChecked_ = written.ok();
  return written;
}

platform::Result<Record> Writer::Backup(const std::string& file,
                                        std::optional<platform::FileVersion>* version) {
  const std::string saved = folder_ + "\\" + std::to_string(++backups_) + "-" + File_GetName(file);
  // On the disk before the record that names it, so that the power gone leaves no record of a
  // backup that is not there; the SHA-256 tells a torn one all the same. Hashed as it is copied,
  // a piece at a time: a file of any size is backed up whole.
  Sha256 hash;
  std::vector<std::byte> head;
  platform::Status written = system_.CopyNewDurably(file, saved, Hashing(hash, &head));
  // The backup keeps the file's hidden and system attributes, which the copy back gives it
  // again; read-only it could not be removed with its run.
  platform::FileState state = system_.StateOf(file);
  if (written.ok() && (state.hidden || state.system)) {
    state.readOnly = false;
    written = system_.SetAttributes(saved, state);
  }
  if (!written.ok()) return written.error();
  const auto image = inspect::ReadPeImage(head);
  const std::optional<platform::FileVersion> found = image ? image->version : std::nullopt;
  if (version) *version = found;
  return Record{kinds::kBackup, {file, saved, hash.Hex(), found ? found->Text() : std::string()}};
}

}  // namespace kalvenor::journal
