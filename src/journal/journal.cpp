#include "journal/journal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "inspect/pe_image.h"
#include "lib/lib_filesystem.h"
#include "lib/sha256.h"
#include "lib/text.h"

namespace kalvenor::journal {
namespace {

std::string Line(const Record& record) {
  std::string line = record.kind;
  for (const std::string& field : record.fields) line += "\t" + field;
  return line + "\r\n";
}

// Every field, empty ones too (a class with no server before): unlike SplitList.
std::vector<std::string> Split(std::string_view line, char separator) {
  std::vector<std::string> parts;
  for (std::size_t start = 0;;) {
    const std::size_t end = line.find(separator, start);
    parts.emplace_back(line.substr(start, end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
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

platform::Result<std::string> Sha256Of(platform::System& system, const std::string& path) {
  auto bytes = system.ReadFile(path, kMaxFileBytes);
  if (!bytes.ok()) return bytes.error();
  return Sha256Hex(bytes.value());
}

// ---- The store

platform::Result<std::string> Store::Open() {
  const std::string data = system_.ProgramDataFolder();
  if (data.empty()) return platform::SystemError{2, "There is no folder for program data."};
  const std::string program = data + "\\Kalvenor", root = program + "\\runs";
  for (const std::string& folder : {program, root}) {
    platform::Status created = system_.CreateProtectedFolder(folder);
    if (!created.ok()) return created.error();
    // Anyone who may add to the store may have Undo put their file into the system directory.
    platform::Result<bool> isProtected = system_.IsProtectedFolder(folder);
    if (!isProtected.ok()) return isProtected.error();
    if (!isProtected.value()) {
      return platform::SystemError{
          5, folder + " may be changed by others than administrators and SYSTEM."};
    }
  }
  return root;
}

std::vector<std::string> Store::Runs(const std::string& root) {
  std::vector<std::string> runs = system_.Dir(root + "\\*", platform::DirAttributes::Folders);
  std::erase_if(runs, [](const std::string& name) { return name == "." || name == ".."; });
  std::sort(runs.begin(), runs.end());  // yyyyMMdd-HHmmss: by time
  for (std::string& run : runs) run = root + "\\" + run;
  return runs;
}

void Store::RemoveRun(const std::string& folder) {
  for (const std::string& file : system_.Dir(folder + "\\*", platform::DirAttributes::Hidden)) {
    (void)system_.Delete(folder + "\\" + file);
  }
  (void)system_.RemoveFolder(folder);
}

platform::Result<std::string> Store::NewRun() {
  auto root = Open();
  if (!root.ok()) return root.error();
  std::vector<std::string> runs = Runs(root.value());
  while (runs.size() >= kRunsKept) {
    RemoveRun(runs.front());
    runs.erase(runs.begin());
  }
  const platform::LocalTime now = system_.Now();
  char name[32];
  std::snprintf(name, sizeof name, "%04d%02d%02d-%02d%02d%02d", now.year, now.month, now.day,
                now.hour, now.minute, now.second);
  // Runs in one second: each later one gets a suffix that sorts after the newest before it,
  // whatever went from the store since.
  std::string folder = root.value() + "\\" + name;
  if (!runs.empty() && File_GetName(runs.back()).starts_with(name)) {
    const std::string newest = File_GetName(runs.back());
    const std::size_t digits = std::strlen(name) + 1;  // after the dash
    const int last = newest.size() > digits ? std::atoi(newest.c_str() + digits) : 1;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "-%03d", last + 1);
    folder += suffix;
  }
  platform::Status created = system_.CreateFolder(folder);
  if (!created.ok()) return created.error();
  return folder;
}

std::optional<std::string> Store::LastRun() {
  auto root = Open();
  if (!root.ok()) return std::nullopt;
  const std::vector<std::string> runs = Runs(root.value());
  for (auto run = runs.rbegin(); run != runs.rend(); ++run) {
    const std::vector<Record> records = ReadJournal(system_, *run);
    if (!records.empty() && !WasUndone(records)) return *run;
  }
  return std::nullopt;
}

// ---- Reading and writing

std::vector<Record> ReadJournal(platform::System& system, const std::string& folder) {
  std::vector<Record> records;
  auto bytes = system.ReadFile(folder + "\\" + kJournalName, kMaxFileBytes);
  if (!bytes.ok()) return records;
  const std::string_view text(reinterpret_cast<const char*>(bytes.value().data()),
                              bytes.value().size());
  // Only whole lines: one cut short by a crash announces nothing that happened.
  for (std::size_t start = 0, end; (end = text.find("\r\n", start)) != std::string_view::npos;
       start = end + 2) {
    std::vector<std::string> parts = Split(text.substr(start, end - start), '\t');
    Record record{std::move(parts.front()), {}};
    record.fields.assign(std::make_move_iterator(parts.begin() + 1),
                         std::make_move_iterator(parts.end()));
    records.push_back(std::move(record));
  }
  return records;
}

bool WasUndone(const std::vector<Record>& records) {
  return std::any_of(records.begin(), records.end(),
                     [](const Record& record) { return record.kind == kinds::kUndone; });
}

Writer::Writer(platform::System& system, std::string folder)
    : system_(system), folder_(std::move(folder)) {}

platform::Status Writer::Write(const std::vector<Record>& records) {
  std::string lines;
  for (const Record& record : records) lines += Line(record);
  return system_.AppendDurably(folder_ + "\\" + kJournalName, lines);
}

platform::Result<Record> Writer::Backup(const std::string& file,
                                        std::optional<platform::FileVersion>* version) {
  auto bytes = system_.ReadFile(file, kMaxFileBytes);
  if (!bytes.ok()) return bytes.error();
  const std::string saved = folder_ + "\\" + std::to_string(++backups_) + "-" + File_GetName(file);
  // On the disk before the record that names it, so that the power gone leaves no record of a
  // backup that is not there; the SHA-256 tells a torn one all the same.
  const std::string_view data(reinterpret_cast<const char*>(bytes.value().data()),
                              bytes.value().size());
  platform::Status written = system_.AppendDurably(saved, data);
  if (!written.ok()) return written.error();
  const auto image = inspect::ReadPeImage(bytes.value());
  const std::optional<platform::FileVersion> found = image ? image->version : std::nullopt;
  if (version) *version = found;
  return Record{kinds::kBackup,
                {file, saved, Sha256Hex(bytes.value()), found ? found->Text() : std::string()}};
}

}  // namespace kalvenor::journal
