#include "journal/recorder.h"

#include "inspect/pe_image.h"
#include "inspect/verification.h"
#include "lib/lib_filesystem.h"
#include "lib/sha256.h"

namespace kalvenor::journal {
namespace {

platform::RegistryView ToolView(platform::System& system) {
  return inspect::ViewOf(inspect::ToolMachine(system));
}

}  // namespace

std::optional<std::uint32_t> SharedCount(platform::System& system, const std::string& path) {
  return system.RegistryDword(platform::RegistryRoot::LocalMachine, ToolView(system),
                              kSharedDllsKey, path);
}

platform::Status SetSharedCount(platform::System& system, const std::string& path,
                                std::optional<std::uint32_t> count) {
  if (!count) {
    return system.DeleteRegistryValue(platform::RegistryRoot::LocalMachine, ToolView(system),
                                      kSharedDllsKey, path);
  }
  return system.SetRegistryDword(platform::RegistryRoot::LocalMachine, ToolView(system),
                                 kSharedDllsKey, path, *count);
}

platform::Result<SetAside> SetAsideInUse(platform::System& system, const std::string& target) {
  SetAside setAside{target + ".kalvenor-old", system.ProgramsUsing(target), std::nullopt};
  for (int n = 2; File_Exists(system, setAside.aside); ++n) {
    setAside.aside = target + ".kalvenor-old" + std::to_string(n);
  }
  platform::Status renamed = system.Rename(target, setAside.aside);
  if (!renamed.ok()) return renamed.error();
  platform::Status scheduled = system.DeleteAtRestart(setAside.aside);
  if (!scheduled.ok()) setAside.notScheduled = scheduled.error();
  return setAside;
}

platform::Status Recorder::Begin(const std::string& runKind, const std::string& systemDir) {
  writer_.reset();
  auto folder = Store(system_).NewRun();
  if (!folder.ok()) return folder.error();
  Writer writer(system_, folder.value());
  // Undo by the other build would look into the other system directory and registry view.
  platform::Status written =
      writer.Write({{kinds::kRun, {runKind, systemDir, std::to_string(system_.App().bits)}}});
  if (!written.ok()) return written;
  writer_.emplace(std::move(writer));
  return platform::Done{};
}

const std::string& Recorder::Folder() const { return writer_->Folder(); }

// The records of one step go to the disk together, before the step: one flush a step.
platform::Status Recorder::Write(const std::vector<Record>& records) {
  if (!writer_) return platform::Done{};
  platform::Status written = writer_->Write(records);
  if (written.ok()) return written;
  return platform::SystemError{written.error().code,
                               "the run's journal cannot be written: " + written.error().message};
}

platform::Result<Record> Recorder::BackUp(const std::string& target,
                                          std::optional<platform::FileVersion>* version) {
  if (!File_Exists(system_, target)) return Record{kinds::kAbsent, {target}};
  auto backup = writer_->Backup(target, version);
  if (!backup.ok()) {
    return platform::SystemError{backup.error().code,
                                 "the file cannot be backed up: " + backup.error().message};
  }
  return std::move(backup.value());
}

platform::Result<std::optional<Recorder::Downgrade>> Recorder::BeforeCopy(
    const std::string& source, const std::string& target) {
  if (!writer_) return std::optional<Downgrade>();
  auto bytes = system_.ReadFile(source, kMaxFileBytes);
  if (!bytes.ok()) return std::optional<Downgrade>();  // the copy itself fails, and says why
  std::optional<platform::FileVersion> replaced;
  auto saved = BackUp(target, &replaced);
  if (!saved.ok()) return saved.error();
  platform::Status written =
      Write({std::move(saved.value()), {kinds::kCopy, {target, Sha256Hex(bytes.value())}}});
  if (!written.ok()) return written.error();
  const auto image = inspect::ReadPeImage(bytes.value());
  if (replaced && image && image->version && *replaced > *image->version) {
    return std::optional(Downgrade{*replaced, *image->version});
  }
  return std::optional<Downgrade>();
}

platform::Status Recorder::BeforeDelete(const std::string& target) {
  if (!writer_ || !File_Exists(system_, target)) return platform::Done{};
  auto saved = BackUp(target);
  if (!saved.ok()) return saved.error();
  return Write({std::move(saved.value()), {kinds::kDelete, {target}}});
}

platform::Status Recorder::BeforeTool(const inspect::Component& component) {
  if (!writer_) return platform::Done{};
  // Without a type library there is nothing to read: Undo then takes the file for registered.
  const auto servers = inspect::ReadClassServers(system_, component);
  std::vector<Record> records;
  bool pointed = false;
  for (const inspect::ClassServer& server : servers) {
    pointed = pointed || server.toCopy;
    records.push_back({kinds::kClass, {component.copy, server.clsid, server.server}});
  }
  if (!servers.empty())
    records.push_back({kinds::kRegistered, {component.copy, pointed ? "1" : "0"}});
  records.push_back(
      {component.registering ? kinds::kRegister : kinds::kUnregister, {component.copy}});
  return Write(records);
}

platform::Status Recorder::BeforeCount(const std::string& target,
                                       std::optional<std::uint32_t> count) {
  return Write({{kinds::kCount, {target, count ? std::to_string(*count) : "-"}}});
}

}  // namespace kalvenor::journal
