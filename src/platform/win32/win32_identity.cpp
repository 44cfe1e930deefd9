// Files judged by what they open on Win32: identities, final paths, and the files a run holds.
#include <windows.h>
#include <winternl.h>

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32/file_io.h"
#include "platform/win32/handles.h"
#include "platform/win32/text.h"
#include "platform/win32/win32_system.h"

namespace kalvenor::win32 {
namespace {

// Opened for its attributes alone, a folder too, while others may do anything with it. A pipe a
// path may name learns who opened it, but may not act as them (the flag also leaves an offline
// file's contents where they are, which identity does not need).
UniqueFile OpenToIdentify(std::string_view path) {
  return UniqueFile(::CreateFileW(
      Widen(path).c_str(), FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
}

platform::Result<BY_HANDLE_FILE_INFORMATION> InformationOf(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (!::GetFileInformationByHandle(file, &information)) return LastError();
  return information;
}

// The 128-bit file ID where the file system gives one, else the 64-bit index; either with the
// volume serial number's 32 bits that both calls give, so that NTFS answers alike through both.
// The index is asked for only when the ID is not given: each query costs Wine a millisecond.
std::optional<platform::FileId> IdOf(HANDLE file) {
  FILE_ID_INFO id{};
  if (::GetFileInformationByHandleEx(file, FileIdInfo, &id, sizeof id)) {
    platform::FileId found{id.VolumeSerialNumber & 0xFFFFFFFF};
    static_assert(sizeof id.FileId.Identifier == sizeof found.file);
    std::memcpy(found.file, id.FileId.Identifier, sizeof found.file);
    return found;
  }
  platform::Result<BY_HANDLE_FILE_INFORMATION> information = InformationOf(file);
  if (!information.ok()) return std::nullopt;
  const BY_HANDLE_FILE_INFORMATION& read = information.value();
  return platform::FileId{read.dwVolumeSerialNumber,
                          {(std::uint64_t{read.nFileIndexHigh} << 32) | read.nFileIndexLow, 0}};
}

// The path the system resolved the handle to, in the form paths are written: "C:\..." or
// "\\server\share\...", not "\\?\C:\..." or "\\?\UNC\...".
std::string FinalPathOf(HANDLE file) {
  std::string path = Narrow(GrowingBuffer([file](wchar_t* buffer, DWORD size) {
    return ::GetFinalPathNameByHandleW(file, buffer, size, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  }));
  if (path.starts_with("\\\\?\\UNC\\")) return "\\\\" + path.substr(8);
  if (path.starts_with("\\\\?\\")) return path.substr(4);
  return path;
}

// The last element of `path` as Windows reads it, without the dots and blanks it drops from the
// end of a name (which a "\\?\" path keeps). No file is looked at.
std::wstring NameAsWindowsReadsIt(const std::wstring& path) {
  std::wstring full = GrowingBuffer([&path](wchar_t* buffer, DWORD size) {
    return ::GetFullPathNameW(path.c_str(), size, buffer, nullptr);
  });
  // A device's name (NUL, CON, COM1) names no file: none is made of that name.
  if (full.starts_with(L"\\\\.\\") && !path.starts_with(L"\\\\.\\")) return {};
  return full.substr(full.find_last_of(L'\\') + 1);
}

platform::Status Checked(BOOL succeeded) {
  if (!succeeded) return LastError();
  return platform::Done{};
}

// FILE_RENAME_INFORMATION as the native call takes it. SetFileInformationByHandle cannot be used:
// Wine reads its file name as a path of the current folder's, and refuses a folder handle.
struct RenameInformation {
  BOOLEAN replaceIfExists;
  HANDLE rootDirectory;
  ULONG fileNameLength;
  WCHAR fileName[1];
};
constexpr auto kFileRenameInformation = static_cast<FILE_INFORMATION_CLASS>(10);

// Renames `file` to `name` in the folder `root` holds, in place of a file of that name.
platform::Status RenameInto(HANDLE file, HANDLE root, const std::wstring& name) {
  const std::size_t bytes = name.size() * sizeof(wchar_t);
  std::vector<std::byte> buffer(offsetof(RenameInformation, fileName) + bytes + sizeof(wchar_t));
  auto* rename = reinterpret_cast<RenameInformation*>(buffer.data());
  rename->replaceIfExists = TRUE;
  rename->rootDirectory = root;
  rename->fileNameLength = static_cast<ULONG>(bytes);
  std::memcpy(rename->fileName, name.data(), bytes);
  IO_STATUS_BLOCK status{};
  const NTSTATUS result = ::NtSetInformationFile(
      file, &status, rename, static_cast<ULONG>(buffer.size()), kFileRenameInformation);
  if (result < 0) return ErrorOf(::RtlNtStatusToDosError(result));
  return platform::Done{};
}

// Opens `name` in the folder `root` holds, by the handle: however the folder's path is
// spelled or where it leads meanwhile, `name` is looked up there alone. Never a link's target.
platform::Result<UniqueFile> OpenIn(HANDLE root, const std::wstring& name, ACCESS_MASK access,
                                    ULONG disposition) {
  if (name.empty() || name.find_first_of(L"\\/") != std::wstring::npos) {
    return ErrorOf(ERROR_INVALID_NAME);
  }
  UNICODE_STRING text{static_cast<USHORT>(name.size() * sizeof(wchar_t)),
                      static_cast<USHORT>(name.size() * sizeof(wchar_t)),
                      const_cast<wchar_t*>(name.c_str())};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, root, nullptr);
  IO_STATUS_BLOCK status{};
  HANDLE file = INVALID_HANDLE_VALUE;
  const NTSTATUS result = ::NtCreateFile(
      &file, access | SYNCHRONIZE, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL,
      FILE_SHARE_READ, disposition,
      FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr, 0);
  if (result < 0) return ErrorOf(::RtlNtStatusToDosError(result));
  return UniqueFile(file);
}

class Win32HeldFolder final : public platform::HeldFolder {
 public:
  Win32HeldFolder(UniqueFile folder, platform::FileId id) : folder_(std::move(folder)), id_(id) {}

  platform::FileId Identity() const override { return id_; }
  HANDLE Handle() const { return folder_.get(); }
  platform::Result<std::unique_ptr<platform::HeldFile>> MakeFile(std::string_view name) override;
  platform::Result<std::unique_ptr<platform::HeldFile>> OpenMade(
      std::string_view name, const platform::FileId& made) override;

 private:
  UniqueFile folder_;
  platform::FileId id_;
};

class Win32HeldFile final : public platform::HeldFile {
 public:
  Win32HeldFile(UniqueFile file, platform::FileId id, std::string finalPath, bool made)
      : file_(std::move(file)), id_(id), finalPath_(std::move(finalPath)), made_(made) {}

  platform::FileId Identity() const override { return id_; }
  const std::string& FinalPath() const override { return finalPath_; }

  platform::Status Empty() override {
    LARGE_INTEGER start{};
    if (!::SetFilePointerEx(file_.get(), start, nullptr, FILE_BEGIN)) return LastError();
    return Checked(::SetEndOfFile(file_.get()));
  }

  platform::Status Append(std::string_view text) override {
    LARGE_INTEGER none{};
    if (!::SetFilePointerEx(file_.get(), none, nullptr, FILE_END)) return LastError();
    platform::Status written = WriteAll(file_.get(), text);
    if (!written.ok()) return written;
    return Checked(::FlushFileBuffers(file_.get()));
  }

  platform::Status ReadPieces(const platform::PieceSink& sink) override {
    LARGE_INTEGER start{};
    if (!::SetFilePointerEx(file_.get(), start, nullptr, FILE_BEGIN)) return LastError();
    return EachPiece(file_.get(), sink);
  }

  bool Made() const override { return made_; }
  void DiscardIfNew() override {
    if (!made_) return;
    FILE_DISPOSITION_INFO dispose{TRUE};
    ::SetFileInformationByHandle(file_.get(), FileDispositionInfo, &dispose, sizeof dispose);
    made_ = false;
  }

  platform::Status Rename(std::string_view destination,
                          const platform::HeldFolder& folder) override {
    const std::wstring name = NameAsWindowsReadsIt(Widen(destination));
    if (name.empty()) return ErrorOf(ERROR_INVALID_NAME);
    // Only this layer's folders are ever handed to its files.
    const HANDLE root = static_cast<const Win32HeldFolder&>(folder).Handle();
    // Windows refuses to replace a read-only file; Wine replaces it. Refused alike everywhere.
    if (auto there = OpenIn(root, name, FILE_READ_ATTRIBUTES, FILE_OPEN); there.ok()) {
      auto information = InformationOf(there.value().get());
      if (information.ok() && (information.value().dwFileAttributes & FILE_ATTRIBUTE_READONLY)) {
        return ErrorOf(ERROR_ACCESS_DENIED);
      }
    }
    platform::Status renamed = RenameInto(file_.get(), root, name);
    if (renamed.ok()) finalPath_ = FinalPathOf(file_.get());
    return renamed;
  }

 private:
  UniqueFile file_;
  platform::FileId id_;
  std::string finalPath_;
  bool made_;
};

// The fields of the headers the loader maps as they stand in the file, which no relocation
// changes: a file that differs in them is not the image that runs.
bool SameImage(HANDLE file, HMODULE image) {
  const auto* mapped = reinterpret_cast<const BYTE*>(image);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(mapped);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(mapped + dos->e_lfanew);
  const DWORD size = static_cast<DWORD>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS);
  std::string head(size, '\0');
  DWORD read = 0;
  if (!::ReadFile(file, head.data(), size, &read, nullptr) || read != size) return false;
  const auto* onDisk = reinterpret_cast<const IMAGE_NT_HEADERS*>(head.data() + dos->e_lfanew);
  return onDisk->Signature == nt->Signature &&
         onDisk->FileHeader.TimeDateStamp == nt->FileHeader.TimeDateStamp &&
         onDisk->OptionalHeader.SizeOfImage == nt->OptionalHeader.SizeOfImage &&
         onDisk->OptionalHeader.CheckSum == nt->OptionalHeader.CheckSum &&
         onDisk->OptionalHeader.AddressOfEntryPoint == nt->OptionalHeader.AddressOfEntryPoint;
}

}  // namespace

std::optional<platform::FileId> Win32System::IdentityOf(std::string_view path) const {
  const UniqueFile file = OpenToIdentify(path);
  if (!file) return std::nullopt;
  return IdOf(file.get());
}

std::string Win32System::FinalPath(std::string_view path) const {
  const UniqueFile file = OpenToIdentify(path);
  return file ? FinalPathOf(file.get()) : std::string();
}

platform::Result<std::unique_ptr<platform::HeldFile>> Win32System::OpenToWrite(
    std::string_view path) {
  // The link itself is opened, never where it leads; DELETE lets a refused new file go again.
  UniqueFile file(::CreateFileW(Widen(path).c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES | DELETE,
                                FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) return LastError();
  const bool made = ::GetLastError() != ERROR_ALREADY_EXISTS;
  platform::Result<BY_HANDLE_FILE_INFORMATION> information = InformationOf(file.get());
  std::optional<platform::FileId> id;
  std::optional<platform::SystemError> refused;
  if (!information.ok()) {
    refused = information.error();
  } else if (information.value().dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    refused = {ERROR_CANT_ACCESS_FILE, "it is a link, which a report never follows"};
  } else if (information.value().nNumberOfLinks > 1) {
    refused = {ERROR_CANT_ACCESS_FILE,
               "the file has other names (hard links), which a report never writes through"};
  } else if (!(id = IdOf(file.get()))) {
    refused = LastError();
  }
  std::string finalPath = refused ? std::string() : FinalPathOf(file.get());
  auto held = std::make_unique<Win32HeldFile>(std::move(file), id.value_or(platform::FileId{}),
                                              std::move(finalPath), made);
  if (refused) {
    held->DiscardIfNew();  // nothing made for a refusal is left behind
    return *refused;
  }
  return std::unique_ptr<platform::HeldFile>(std::move(held));
}

platform::Result<std::unique_ptr<platform::HeldFolder>> Win32System::OpenFolder(
    std::string_view path) {
  UniqueFile folder(::CreateFileW(Widen(path).c_str(), FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!folder) return LastError();
  auto information = InformationOf(folder.get());
  if (!information.ok()) return information.error();
  if (!(information.value().dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return ErrorOf(ERROR_DIRECTORY);
  }
  const std::optional<platform::FileId> id = IdOf(folder.get());
  if (!id) return LastError();
  return std::unique_ptr<platform::HeldFolder>(
      std::make_unique<Win32HeldFolder>(std::move(folder), *id));
}

platform::Result<std::unique_ptr<platform::HeldFile>> Win32HeldFolder::MakeFile(
    std::string_view name) {
  auto made = OpenIn(folder_.get(), Widen(name), GENERIC_WRITE | FILE_READ_ATTRIBUTES | DELETE,
                     FILE_CREATE);
  if (!made.ok()) return made.error();
  UniqueFile file = std::move(made.value());
  const std::optional<platform::FileId> id = IdOf(file.get());
  std::string finalPath = FinalPathOf(file.get());
  auto held = std::make_unique<Win32HeldFile>(std::move(file), id.value_or(platform::FileId{}),
                                              std::move(finalPath), true);
  if (!id) {
    held->DiscardIfNew();
    return ErrorOf(ERROR_CANT_ACCESS_FILE);
  }
  return std::unique_ptr<platform::HeldFile>(std::move(held));
}

platform::Result<std::unique_ptr<platform::HeldFile>> Win32HeldFolder::OpenMade(
    std::string_view name, const platform::FileId& made) {
  auto opened =
      OpenIn(folder_.get(), Widen(name), DELETE | FILE_READ_DATA | FILE_READ_ATTRIBUTES, FILE_OPEN);
  if (!opened.ok()) return opened.error();
  UniqueFile file = std::move(opened.value());
  const std::optional<platform::FileId> id = IdOf(file.get());
  if (!id || *id != made) {
    return platform::SystemError{ERROR_CANT_ACCESS_FILE,
                                 "it is no longer the file this run made there"};
  }
  std::string finalPath = FinalPathOf(file.get());
  return std::unique_ptr<platform::HeldFile>(
      std::make_unique<Win32HeldFile>(std::move(file), *id, std::move(finalPath), true));
}

platform::Result<std::unique_ptr<platform::HeldFile>> Win32System::OpenOwnImage() {
  UniqueFile file(::CreateFileW(ModulePath().c_str(), GENERIC_READ | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return LastError();
  // A file put in the program's place since it started is not the program.
  if (!SameImage(file.get(), ::GetModuleHandleW(nullptr))) {
    return platform::SystemError{ERROR_FILE_INVALID,
                                 "the program's file was replaced after it started"};
  }
  const std::optional<platform::FileId> id = IdOf(file.get());
  if (!id) return LastError();
  std::string finalPath = FinalPathOf(file.get());
  return std::unique_ptr<platform::HeldFile>(
      std::make_unique<Win32HeldFile>(std::move(file), *id, std::move(finalPath), false));
}

}  // namespace kalvenor::win32
