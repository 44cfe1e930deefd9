// The program lives in a folder full of DLLs by design. Windows looks for an imported DLL in the
// program's folder first unless it is a known system DLL, so any other import would let a DLL
// lying beside the program load into it; a MinGW runtime DLL would also simply be missing.
// This reads the import tables of the program under test straight from its file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>
#include <set>
#include <tuple>

#include "harness.h"

namespace kalvenor::e2e {
namespace {

// An image file, read with every offset checked against its size.
class PeFile {
 public:
  explicit PeFile(const std::wstring& path) {
    HANDLE opened = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) return;
    UniqueHandle file(opened);
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart > (64 << 20)) return;
    bytes_.resize(static_cast<std::size_t>(size.QuadPart));
    DWORD read = 0;
    if (!::ReadFile(file.get(), bytes_.data(), static_cast<DWORD>(bytes_.size()), &read, nullptr)) {
      read = 0;
    }
    bytes_.resize(read);
  }

  // The names of the DLLs in the import and the delay-load import tables; empty optional when
  // the file is no image this reader understands.
  std::optional<std::vector<std::string>> ImportedDlls() {
    const auto dos = Read<IMAGE_DOS_HEADER>(0);
    if (!dos || dos->e_magic != IMAGE_DOS_SIGNATURE) return std::nullopt;
    const auto offset = static_cast<std::size_t>(dos->e_lfanew);
    const auto signature = Read<DWORD>(offset);
    const auto header = Read<IMAGE_FILE_HEADER>(offset + sizeof(DWORD));
    if (!signature || *signature != IMAGE_NT_SIGNATURE || !header) return std::nullopt;
    const std::size_t optional = offset + sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER);
    sections_ = optional + header->SizeOfOptionalHeader;
    sectionCount_ = header->NumberOfSections;

    std::optional<IMAGE_DATA_DIRECTORY> imports, delayed;
    const auto magic = Read<WORD>(optional);
    if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
      std::tie(imports, delayed) = Directories<IMAGE_OPTIONAL_HEADER32>(optional);
    } else if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
      std::tie(imports, delayed) = Directories<IMAGE_OPTIONAL_HEADER64>(optional);
    }
    if (!imports || !delayed) return std::nullopt;

    std::vector<std::string> names;
    // Import descriptors: 20 bytes, the name's RVA at 12; delay-load ones: 32 bytes, at 4.
    if (!Names(*imports, sizeof(IMAGE_IMPORT_DESCRIPTOR), 12, names)) return std::nullopt;
    if (!Names(*delayed, 32, 4, names)) return std::nullopt;
    return names;
  }

 private:
  template <class T>
  std::optional<T> Read(std::size_t offset) const {
    if (offset > bytes_.size() || bytes_.size() - offset < sizeof(T)) return std::nullopt;
    T value;
    std::memcpy(&value, bytes_.data() + offset, sizeof(T));
    return value;
  }

  template <class Header>
  std::pair<std::optional<IMAGE_DATA_DIRECTORY>, std::optional<IMAGE_DATA_DIRECTORY>> Directories(
      std::size_t offset) const {
    const auto header = Read<Header>(offset);
    if (!header || header->NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT) return {};
    return {header->DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT],
            header->DataDirectory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT]};
  }

  // The file offset of a relative virtual address, through the section that holds it.
  std::optional<std::size_t> FileOffset(DWORD rva) const {
    for (std::size_t i = 0; i < sectionCount_; ++i) {
      const auto section = Read<IMAGE_SECTION_HEADER>(sections_ + i * sizeof(IMAGE_SECTION_HEADER));
      if (!section) return std::nullopt;
      const DWORD size = std::max(section->Misc.VirtualSize, section->SizeOfRawData);
      if (rva >= section->VirtualAddress && rva - section->VirtualAddress < size) {
        return section->PointerToRawData + (rva - section->VirtualAddress);
      }
    }
    return std::nullopt;
  }

  std::optional<std::string> StringAt(DWORD rva) const {
    const auto offset = FileOffset(rva);
    if (!offset || *offset >= bytes_.size()) return std::nullopt;
    const auto end =
        std::find(bytes_.begin() + static_cast<std::ptrdiff_t>(*offset), bytes_.end(), '\0');
    if (end == bytes_.end()) return std::nullopt;
    return std::string(bytes_.begin() + static_cast<std::ptrdiff_t>(*offset), end);
  }

  // Walks a table of descriptors, ended by an all-zero one, collecting the DLL names.
  bool Names(const IMAGE_DATA_DIRECTORY& table, std::size_t entrySize, std::size_t nameField,
             std::vector<std::string>& names) const {
    if (table.VirtualAddress == 0) return true;
    const auto start = FileOffset(table.VirtualAddress);
    if (!start) return false;
    for (std::size_t entry = *start;; entry += entrySize) {
      const auto name = Read<DWORD>(entry + nameField);
      if (!name) return false;
      if (*name == 0) return true;
      const auto text = StringAt(*name);
      if (!text) return false;
      names.push_back(*text);
    }
  }

  std::vector<char> bytes_;
  std::size_t sections_ = 0;  // where the section table starts
  std::size_t sectionCount_ = 0;
};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Known system DLLs: always loaded from the system directory, never from the program's folder.
// API sets ("api-ms-win-...") are no files at all; the loader maps them to system DLLs.
const std::set<std::string> kKnownSystemDlls{
    "advapi32.dll", "combase.dll", "comdlg32.dll", "gdi32.dll",    "imagehlp.dll", "imm32.dll",
    "kernel32.dll", "msctf.dll",   "msvcrt.dll",   "normaliz.dll", "nsi.dll",      "ole32.dll",
    "oleaut32.dll", "psapi.dll",   "rpcrt4.dll",   "sechost.dll",  "setupapi.dll", "shcore.dll",
    "shell32.dll",  "shlwapi.dll", "user32.dll",   "wldap32.dll",  "ws2_32.dll",   "ntdll.dll",
};

TEST(Imports, OnlyKnownSystemDlls) {
  const std::optional<std::vector<std::string>> imported = PeFile(UnderTest().exe).ImportedDlls();
  ASSERT_TRUE(imported) << "not a readable image: " << Narrow(UnderTest().exe);
  // Every program needs at least these; finding them shows the table was read.
  const std::set<std::string> names = [&] {
    std::set<std::string> lower;
    for (const std::string& name : *imported) lower.insert(Lower(name));
    return lower;
  }();
  EXPECT_TRUE(names.contains("kernel32.dll") && names.contains("user32.dll"))
      << ::testing::PrintToString(*imported);
  for (const std::string& name : names) {
    EXPECT_TRUE(kKnownSystemDlls.contains(name) || name.starts_with("api-ms-win-"))
        << name << " is no known system DLL";
  }
}

}  // namespace
}  // namespace kalvenor::e2e
