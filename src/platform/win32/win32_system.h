#pragma once
// The runtime and system services on Win32, their members defined by concern: win32_files.cpp,
// win32_identity.cpp, win32_registry.cpp, win32_processes.cpp, win32_security.cpp,
// win32_environment.cpp and win32_capture.cpp.

#include <string>

#include "platform/system.h"

namespace kalvenor::win32 {

// Whether this Windows is Wine, which keeps no security settings of files, labels no key and
// enforces no integrity level.
bool RunsUnderWine();

class Win32System final : public platform::System {
 public:
  Win32System();

  // ---- Files
  std::vector<std::string> Dir(std::string_view pattern,
                               platform::DirAttributes attributes) override;
  platform::FileState StateOf(std::string_view path) const override;
  platform::Status SetAttributes(std::string_view path, const platform::FileState& state) override;
  platform::Status Replace(std::string_view replacement, std::string_view destination) override;
  platform::Status Delete(std::string_view path) override;
  platform::Status OpenForDelete(std::string_view path) const override;
  platform::Result<std::uint64_t> FreeBytes(std::string_view folder) const override;
  platform::Status ReadPieces(std::string_view path,
                              const platform::PieceSink& sink) const override;
  platform::Status CopyNewDurably(std::string_view source, std::string_view destination,
                                  const platform::PieceSink& sink) override;
  platform::Result<std::vector<std::byte>> ReadFile(std::string_view path,
                                                    std::size_t maxBytes) const override;
  std::string LongPathName(std::string_view path) const override;
  std::string ShortPathName(std::string_view path) const override;
  platform::Status WriteNew(std::string_view path, std::string_view bytes) override;
  platform::Status CreateFolder(std::string_view path) override;
  platform::Status CreateNewFolder(std::string_view path) override;
  platform::Status RemoveFolder(std::string_view path) override;
  platform::Status AppendDurably(std::string_view path, std::string_view text) override;
  platform::Status Rename(std::string_view from, std::string_view to) override;
  bool InUse(std::string_view path) const override;
  platform::Status DeleteAtRestart(std::string_view path) override;
  std::string NativePath(std::string_view path) const override;
  std::vector<std::string> ProgramsUsing(std::string_view path) const override;
  // win32_identity.cpp
  std::optional<platform::FileId> IdentityOf(std::string_view path) const override;
  std::string FinalPath(std::string_view path) const override;
  platform::Result<std::unique_ptr<platform::HeldFile>> OpenToWrite(std::string_view path) override;
  platform::Result<std::unique_ptr<platform::HeldFolder>> OpenFolder(
      std::string_view path) override;
  platform::Result<std::unique_ptr<platform::HeldFile>> OpenOwnImage() override;

  // ---- Registry
  std::optional<std::string> RegistryString(platform::RegistryRoot root,
                                            platform::RegistryView view, std::string_view key,
                                            std::string_view name) const override;
  std::optional<std::uint32_t> RegistryDword(platform::RegistryRoot root,
                                             platform::RegistryView view, std::string_view key,
                                             std::string_view name) const override;
  platform::Status SetRegistryDword(platform::RegistryRoot root, platform::RegistryView view,
                                    std::string_view key, std::string_view name,
                                    std::uint32_t value) override;
  platform::Status DeleteRegistryValue(platform::RegistryRoot root, platform::RegistryView view,
                                       std::string_view key, std::string_view name) override;
  platform::Status WriteRegistryString(platform::RegistryRoot root, platform::RegistryView view,
                                       std::string_view key, std::string_view name,
                                       std::string_view text) override;
  std::vector<std::string> RegistrySubkeys(platform::RegistryRoot root, platform::RegistryView view,
                                           std::string_view key) const override;
  platform::Result<std::optional<platform::RegistryTree>> ReadRegistryTree(
      platform::RegistryRoot root, platform::RegistryView view,
      std::string_view key) const override;
  platform::Status WriteRegistryTree(platform::RegistryRoot root, platform::RegistryView view,
                                     std::string_view key,
                                     const std::optional<platform::RegistryTree>& tree) override;

  // ---- Processes
  platform::Result<std::unique_ptr<platform::Process>> Start(std::string_view program,
                                                             std::string_view commandLine,
                                                             std::string_view folder,
                                                             platform::ShowWindow show) override;
  std::uint32_t ProcessId() const override;

  // ---- Security
  bool Elevated() const override;
  bool RunsAsSystem() const override;
  platform::Status CreateProtectedFolder(std::string_view path) override;
  platform::Result<std::vector<std::string>> OthersWhoMayChange(
      std::string_view path) const override;
  platform::Result<std::unique_ptr<platform::RunLock>> LockRuns() override;

  // ---- Capture (win32_capture.cpp)
  platform::Result<std::unique_ptr<platform::CaptureSession>> StartCapture(
      std::string_view component, platform::RegistryView view, std::string_view folder) override;
  platform::Result<std::unique_ptr<platform::CaptureSession>> StartActivation(
      std::string_view component, platform::RegistryView view,
      const std::vector<std::string>& classes, std::string_view folder) override;
  platform::Status CheckManifest(std::string_view path, platform::RegistryView view) override;

  // ---- Environment
  const platform::AppInfo& App() const override { return app_; }
  std::optional<std::string> Environ(std::string_view name) const override;
  std::string CurDir() const override;
  platform::SystemFolders SystemFoldersOf() const override;
  std::string LowerCase(std::string_view text) const override;
  std::uint32_t TickCount() const override;
  platform::LocalTime Now() const override;
  platform::DateTime UtcNow() const override;
  std::string DocumentsFolder() const override;
  std::string ProgramDataFolder() const override;
  bool WriteToParentConsole(std::string_view text) override;
  bool WriteErrorsToParentConsole(std::string_view text) override;

 private:
  // CreateDirectoryW's outcome, a folder already there counting as made (a file does not).
  static platform::Status FolderMade(bool created, const std::wstring& folder);
  // The journal's store (%ProgramData%\Kalvenor), or why it may not be used: missing, or
  // others than administrators may change it.
  platform::Result<std::string> TrustedStore() const;
  // The capture helper of `view`'s bitness started on a private key of its own, given `words`
  // after that key; `classes` are an activation's, whose results it reads back.
  platform::Result<std::unique_ptr<platform::CaptureSession>> StartHelper(
      platform::RegistryView view, const std::wstring& words, std::vector<std::string> classes,
      std::string_view folder);

  platform::AppInfo app_;
};

}  // namespace kalvenor::win32
