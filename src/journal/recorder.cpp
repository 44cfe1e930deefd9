#include "journal/recorder.h"

#include "inspect/verification.h"
#include "lib/lib_filesystem.h"

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
  platform::Status written = writer.Write({kinds::kRun, {runKind, systemDir}});
  if (!written.ok()) return written;
  writer_.emplace(std::move(writer));
  return platform::Done{};
}

const std::string& Recorder::Folder() const { return writer_->Folder(); }

platform::Status Recorder::Write(Record record) {
  if (!writer_) return platform::Done{};
  platform::Status written = writer_->Write(record);
  if (written.ok()) return written;
  return platform::SystemError{written.error().code,
                               "the run's journal cannot be written: " + written.error().message};
}

platform::Status Recorder::BackUp(const std::string& target) {
  if (!writer_ || !File_Exists(system_, target)) return Write({kinds::kAbsent, {target}});
  auto backup = writer_->Backup(target);
  if (!backup.ok()) {
    return platform::SystemError{backup.error().code,
                                 "the file cannot be backed up: " + backup.error().message};
  }
  return Write(std::move(backup.value()));
}

platform::Status Recorder::BeforeCopy(const std::string& source, const std::string& target) {
  if (!writer_) return platform::Done{};
  auto hash = Sha256Of(system_, source);
  if (!hash.ok()) return platform::Done{};  // the copy itself fails, and says why
  platform::Status saved = BackUp(target);
  if (!saved.ok()) return saved;
  return Write({kinds::kCopy, {target, hash.value()}});
}

platform::Status Recorder::BeforeDelete(const std::string& target) {
  if (!writer_ || !File_Exists(system_, target)) return platform::Done{};
  platform::Status saved = BackUp(target);
  if (!saved.ok()) return saved;
  return Write({kinds::kDelete, {target}});
}

platform::Status Recorder::BeforeTool(const inspect::Component& component) {
  if (!writer_) return platform::Done{};
  // Without a type library there is nothing to read: Undo then takes the file for registered.
  const auto servers = inspect::ReadClassServers(system_, component);
  bool pointed = false;
  for (const inspect::ClassServer& server : servers) {
    pointed = pointed || server.toCopy;
    platform::Status written =
        Write({kinds::kClass, {component.copy, server.clsid, server.server}});
    if (!written.ok()) return written;
  }
  if (!servers.empty()) {
    platform::Status written = Write({kinds::kRegistered, {component.copy, pointed ? "1" : "0"}});
    if (!written.ok()) return written;
  }
  return Write({component.registering ? kinds::kRegister : kinds::kUnregister, {component.copy}});
}

platform::Status Recorder::BeforeCount(const std::string& target,
                                       std::optional<std::uint32_t> count) {
  return Write({kinds::kCount, {target, count ? std::to_string(*count) : "-"}});
}

}  // namespace kalvenor::journal
