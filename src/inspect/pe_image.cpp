#include "inspect/pe_image.h"

#include <algorithm>

#include "platform/byte_reader.h"
#include "platform/version_resource.h"

namespace kalvenor::inspect {
namespace {

constexpr std::uint16_t kDosMagic = 0x5A4D;         // "MZ"
constexpr std::uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::uint16_t kFileDll = 0x2000;

constexpr std::size_t kFileHeaderBytes = 20;
constexpr std::size_t kSectionHeaderBytes = 40;
constexpr std::size_t kImportDescriptorBytes = 20;
constexpr std::size_t kDelayDescriptorBytes = 32;
constexpr std::size_t kExportDirectoryBytes = 40;
constexpr std::size_t kResourceDirectoryBytes = 16;
constexpr std::size_t kResourceEntryBytes = 8;
constexpr std::size_t kResourceDataEntryBytes = 16;

constexpr std::size_t kExportDirectory = 0;
constexpr std::size_t kImportDirectory = 1;
constexpr std::size_t kResourceDirectory = 2;
constexpr std::size_t kDelayImportDirectory = 13;
constexpr std::size_t kClrDirectory = 14;
constexpr std::size_t kDirectoryCount = 16;

constexpr std::size_t kMaxDlls = 4096;  // per directory
constexpr std::size_t kMaxFunctions = 65536;
constexpr std::size_t kMaxExports = 65536;
constexpr std::size_t kMaxName = 512;
constexpr std::uint16_t kManifestType = 24;
// The manifest the loader reads for a DLL's own imports; 1 is a program's, 3 one without them.
constexpr std::uint32_t kDllManifestId = 2;
constexpr std::uint16_t kVersionType = 16;
constexpr std::u16string_view kTypeLibraryType = u"TYPELIB";
constexpr std::uint32_t kHighBit = 0x80000000;

// Tables may share their entries (many descriptors can name one huge thunk array), so the walks
// draw on one budget for the whole image: an entry costs about what its record takes in memory,
// a name its length. A legitimate image with the largest tables uses a fraction of it.
constexpr std::size_t kWorkBudget = 16u << 20;
constexpr std::size_t kEntryCost = 32;

using Reader = platform::ByteReader;

struct DataDirectory {
  std::uint32_t rva = 0;
  std::uint32_t size = 0;
};

// The part of a section that comes from the file; the rest of it is zero-filled on load and
// has nothing to read.
struct Section {
  std::uint64_t rva = 0;
  std::size_t fileOffset = 0;
  std::size_t size = 0;
};

class Work {
 public:
  bool Spend(std::size_t units) {
    if (units > left_) {
      left_ = 0;
      return false;
    }
    left_ -= units;
    return true;
  }

 private:
  std::size_t left_ = kWorkBudget;
};

Machine MachineOf(std::uint16_t code) {
  switch (code) {
    case 0x014C: return Machine::X86;
    case 0x8664: return Machine::X64;
    case 0xAA64: return Machine::Arm64;
    default: return Machine::Unknown;
  }
}

char16_t AsciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? c - u'a' + u'A' : c; }

class Parser {
 public:
  Parser(const Reader& in, PeImage& image) : in_(in), image_(image) {}

  bool ReadHeaders();
  void ReadTables() {
    image_.damaged |= !ReadImports(directories_[kImportDirectory]);
    image_.damaged |= !ReadDelayImports(directories_[kDelayImportDirectory]);
    image_.damaged |= !ReadExports(directories_[kExportDirectory]);
    const std::uint32_t resources = directories_[kResourceDirectory].rva;
    if (resources != 0) {
      if (auto data = FindResource(resources, kNamedType)) {
        image_.typeLibrary.assign(data->begin(), data->end());
      }
      if (auto data = FindResource(resources, kManifestType, kDllManifestId)) {
        image_.manifest.assign(reinterpret_cast<const char*>(data->data()), data->size());
      }
      if (auto data = FindResource(resources, kVersionType)) {
        image_.version = platform::ParseFileVersion(*data);
      }
    }
  }

 private:
  static constexpr std::uint32_t kNamedType = 0x10000;  // not an id: look for TYPELIB by name

  // The file offset of `rva`, with the count of bytes that can be read from there.
  struct Mapped {
    std::size_t offset = 0;
    std::size_t available = 0;
  };
  std::optional<Mapped> Map(std::uint64_t rva) const {
    if (rva > UINT32_MAX) return std::nullopt;
    auto after =
        std::upper_bound(sections_.begin(), sections_.end(), rva,
                         [](std::uint64_t value, const Section& s) { return value < s.rva; });
    if (after != sections_.begin()) {
      const Section& section = *std::prev(after);
      const std::uint64_t delta = rva - section.rva;
      if (delta < section.size) {
        return Mapped{section.fileOffset + static_cast<std::size_t>(delta),
                      section.size - static_cast<std::size_t>(delta)};
      }
    }
    // The headers are mapped as they are in the file, from RVA 0.
    if (rva < headersSize_) {
      return Mapped{static_cast<std::size_t>(rva), headersSize_ - static_cast<std::size_t>(rva)};
    }
    return std::nullopt;
  }
  std::optional<std::size_t> Offset(std::uint64_t rva, std::size_t count) const {
    const auto mapped = Map(rva);
    if (!mapped || mapped->available < count) return std::nullopt;
    return mapped->offset;
  }
  // A NUL-ended name of at most kMaxName bytes.
  std::optional<std::string> Name(std::uint64_t rva) {
    const auto mapped = Map(rva);
    if (!mapped) return std::nullopt;
    const std::size_t limit = std::min(mapped->available, kMaxName + 1);
    for (std::size_t length = 0; length < limit; ++length) {
      if (in_.Byte(mapped->offset + length) != 0) continue;
      if (!work_.Spend(length + 1)) return std::nullopt;
      const auto text = in_.Bytes(mapped->offset, length);
      return std::string(reinterpret_cast<const char*>(text.data()), text.size());
    }
    return std::nullopt;
  }
  // An address as stored in a table: an RVA, or a VA when `imageBase` is given.
  static std::optional<std::uint64_t> ToRva(std::uint64_t address, std::uint64_t imageBase) {
    if (address < imageBase) return std::nullopt;
    return address - imageBase;
  }

  bool ReadThunks(std::uint64_t table, std::uint64_t imageBase,
                  std::vector<ImportedFunction>& functions);
  bool ReadImports(DataDirectory directory);
  bool ReadDelayImports(DataDirectory directory);
  bool ReadExports(DataDirectory directory);
  // The first resource of `type`; of the name `id` only, where one is given.
  std::optional<std::span<const std::byte>> FindResource(std::uint64_t root, std::uint32_t type,
                                                         std::optional<std::uint32_t> id = {});
  bool IsTypeLibraryName(std::uint64_t root, std::uint32_t nameOffset) const;

  const Reader& in_;
  PeImage& image_;
  Work work_;
  std::uint64_t imageBase_ = 0;
  std::size_t headersSize_ = 0;
  std::vector<Section> sections_;  // by RVA
  DataDirectory directories_[kDirectoryCount] = {};
};

bool Parser::ReadHeaders() {
  if (!in_.Has(0, 64) || in_.Word(0) != kDosMagic) return false;
  const std::size_t signature = in_.Dword(0x3C);
  if (!in_.Has(signature, 4 + kFileHeaderBytes) || in_.Dword(signature) != kPeSignature) {
    return false;
  }
  const std::size_t fileHeader = signature + 4;
  image_.machineCode = in_.Word(fileHeader);
  image_.machine = MachineOf(image_.machineCode);
  const std::size_t sectionCount = in_.Word(fileHeader + 2);
  const std::size_t optionalSize = in_.Word(fileHeader + 16);
  image_.isDll = (in_.Word(fileHeader + 18) & kFileDll) != 0;

  const std::size_t optional = fileHeader + kFileHeaderBytes;
  if (optionalSize < 2 || !in_.Has(optional, optionalSize)) return false;
  const std::uint16_t magic = in_.Word(optional);
  if (magic != kPe32Magic && magic != kPe32PlusMagic) return false;
  image_.pe32Plus = magic == kPe32PlusMagic;
  const std::size_t directoryTable = image_.pe32Plus ? 112 : 96;
  if (optionalSize < directoryTable) return false;
  imageBase_ = image_.pe32Plus ? in_.Qword(optional + 24) : in_.Dword(optional + 28);
  headersSize_ = std::min<std::size_t>(in_.Dword(optional + 60), in_.Size());
  const std::size_t directoryCount =
      std::min<std::size_t>({in_.Dword(optional + directoryTable - 4),
                             (optionalSize - directoryTable) / 8, kDirectoryCount});
  for (std::size_t i = 0; i < directoryCount; ++i) {
    directories_[i] = {in_.Dword(optional + directoryTable + 8 * i),
                       in_.Dword(optional + directoryTable + 8 * i + 4)};
  }
  image_.isDotNet = directories_[kClrDirectory].rva != 0 && directories_[kClrDirectory].size != 0;

  const std::size_t sectionTable = optional + optionalSize;
  if (!in_.Has(sectionTable, sectionCount * kSectionHeaderBytes)) return false;
  sections_.reserve(sectionCount);
  for (std::size_t i = 0; i < sectionCount; ++i) {
    const std::size_t header = sectionTable + i * kSectionHeaderBytes;
    const std::uint32_t virtualSize = in_.Dword(header + 8);
    const std::uint32_t rawSize = in_.Dword(header + 16);
    const std::size_t fileOffset = in_.Dword(header + 20);
    if (fileOffset >= in_.Size()) continue;  // cut off by the end of the file
    std::size_t size = virtualSize == 0 ? rawSize : std::min(virtualSize, rawSize);
    size = std::min(size, in_.Size() - fileOffset);
    sections_.push_back({in_.Dword(header + 12), fileOffset, size});
  }
  std::stable_sort(sections_.begin(), sections_.end(),
                   [](const Section& a, const Section& b) { return a.rva < b.rva; });
  return true;
}

// An import name table: thunks of the image's pointer size up to a zero one.
bool Parser::ReadThunks(std::uint64_t table, std::uint64_t imageBase,
                        std::vector<ImportedFunction>& functions) {
  const std::size_t width = image_.pe32Plus ? 8 : 4;
  const std::uint64_t ordinalFlag = std::uint64_t{1} << (width * 8 - 1);
  for (std::size_t i = 0;; ++i) {
    const auto at = Offset(table + i * width, width);
    if (!at) return false;
    const std::uint64_t thunk = image_.pe32Plus ? in_.Qword(*at) : in_.Dword(*at);
    if (thunk == 0) return true;
    if (i == kMaxFunctions || !work_.Spend(kEntryCost)) return false;
    ImportedFunction function;
    if (thunk & ordinalFlag) {
      function.byOrdinal = true;
      function.ordinal = static_cast<std::uint16_t>(thunk & 0xFFFF);
    } else {
      // A hint (16 bits) and the name.
      const auto hintName = ToRva(thunk, imageBase);
      if (!hintName) return false;
      auto name = Name(*hintName + 2);
      if (!name) return false;
      function.name = std::move(*name);
    }
    functions.push_back(std::move(function));
  }
}

// IMAGE_IMPORT_DESCRIPTORs up to an all-zero one. A DLL whose function list is broken is kept
// with what was read, and the next DLL is still read.
bool Parser::ReadImports(DataDirectory directory) {
  if (directory.rva == 0) return true;
  bool complete = true;
  for (std::size_t i = 0;; ++i) {
    const auto at =
        Offset(directory.rva + std::uint64_t{i} * kImportDescriptorBytes, kImportDescriptorBytes);
    if (!at) return false;
    const std::uint32_t nameTable = in_.Dword(*at);
    const std::uint32_t name = in_.Dword(*at + 12);
    const std::uint32_t addressTable = in_.Dword(*at + 16);
    if (nameTable == 0 && in_.Dword(*at + 4) == 0 && in_.Dword(*at + 8) == 0 && name == 0 &&
        addressTable == 0) {
      return complete;
    }
    if (i == kMaxDlls || !work_.Spend(kEntryCost)) return false;
    auto dllName = Name(name);
    if (!dllName) return false;
    ImportedDll dll{.name = std::move(*dllName)};
    // Old linkers leave the name table out: the address table holds the same thunks on disk.
    const std::uint32_t thunks = nameTable != 0 ? nameTable : addressTable;
    if (thunks != 0) complete &= ReadThunks(thunks, 0, dll.functions);
    image_.imports.push_back(std::move(dll));
  }
}

// IMAGE_DELAYLOAD_DESCRIPTORs up to an all-zero one. Attributes bit 0 marks RVAs; without it
// (older linkers) the fields and the name table's entries are VAs.
bool Parser::ReadDelayImports(DataDirectory directory) {
  if (directory.rva == 0) return true;
  bool complete = true;
  for (std::size_t i = 0;; ++i) {
    const auto at =
        Offset(directory.rva + std::uint64_t{i} * kDelayDescriptorBytes, kDelayDescriptorBytes);
    if (!at) return false;
    bool empty = true;
    for (std::size_t field = 0; field < kDelayDescriptorBytes; field += 4) {
      empty &= in_.Dword(*at + field) == 0;
    }
    if (empty) return complete;
    if (i == kMaxDlls || !work_.Spend(kEntryCost)) return false;
    const std::uint64_t base = (in_.Dword(*at) & 1) ? 0 : imageBase_;
    const auto name = ToRva(in_.Dword(*at + 4), base);
    if (!name) return false;
    auto dllName = Name(*name);
    if (!dllName) return false;
    ImportedDll dll{.name = std::move(*dllName), .delayLoaded = true};
    if (const std::uint32_t nameTable = in_.Dword(*at + 16); nameTable != 0) {
      const auto table = ToRva(nameTable, base);
      complete &= table && ReadThunks(*table, base, dll.functions);
    }
    image_.imports.push_back(std::move(dll));
  }
}

bool Parser::ReadExports(DataDirectory directory) {
  if (directory.rva == 0) return true;
  const auto at = Offset(directory.rva, kExportDirectoryBytes);
  if (!at) return false;
  const std::uint32_t count = in_.Dword(*at + 24);
  const std::uint32_t names = in_.Dword(*at + 32);
  for (std::size_t i = 0; i < count; ++i) {
    if (i == kMaxExports || !work_.Spend(kEntryCost)) return false;
    const auto entry = Offset(names + std::uint64_t{i} * 4, 4);
    if (!entry) return false;
    auto name = Name(in_.Dword(*entry));
    if (!name) return false;
    image_.exports.push_back(std::move(*name));
  }
  return true;
}

// An IMAGE_RESOURCE_DIR_STRING_U (length, then UTF-16 units) at `nameOffset` in the tree.
bool Parser::IsTypeLibraryName(std::uint64_t root, std::uint32_t nameOffset) const {
  const std::uint64_t rva = root + nameOffset;
  const auto at = Offset(rva, 2 + 2 * kTypeLibraryType.size());
  if (!at || in_.Word(*at) != kTypeLibraryType.size()) return false;
  for (std::size_t i = 0; i < kTypeLibraryType.size(); ++i) {
    if (AsciiUpper(in_.Word(*at + 2 + 2 * i)) != kTypeLibraryType[i]) return false;
  }
  return true;
}

// The data of the first name and first language of resource `type` (an id, or kNamedType for
// TYPELIB). The tree is exactly three levels deep: type, name, language; a subdirectory where
// data belongs, or the other way round, breaks it.
std::optional<std::span<const std::byte>> Parser::FindResource(std::uint64_t root,
                                                               std::uint32_t type,
                                                               std::optional<std::uint32_t> id) {
  const auto broken = [this] {
    image_.damaged = true;
    return std::nullopt;
  };
  std::uint64_t directory = root;
  for (int level = 0; level < 3; ++level) {
    const auto at = Offset(directory, kResourceDirectoryBytes);
    if (!at) return broken();
    const std::size_t named = in_.Word(*at + 12);
    const std::size_t ids = in_.Word(*at + 14);
    // Named entries come first. Below the type level, the first entry of either kind is taken.
    std::size_t first = 0;
    std::size_t end = named + ids;
    if (level == 0) {
      first = type == kNamedType ? 0 : named;
      end = type == kNamedType ? named : named + ids;
    }
    const bool byName = level == 1 && id;  // else the first name of the type
    std::optional<std::uint32_t> target;
    for (std::size_t i = first; i < end && !target; ++i) {
      if (!work_.Spend(kEntryCost)) return broken();
      const auto entry = Offset(directory + kResourceDirectoryBytes + i * kResourceEntryBytes,
                                kResourceEntryBytes);
      if (!entry) return broken();
      const std::uint32_t name = in_.Dword(*entry);
      bool matches = byName ? name == *id : level > 0;
      if (level == 0) {
        matches = type == kNamedType
                      ? (name & kHighBit) && IsTypeLibraryName(root, name & ~kHighBit)
                      : !(name & kHighBit) && (name & 0xFFFF) == type;
      }
      if (matches) target = in_.Dword(*entry + 4);
    }
    if (!target) return level == 0 || byName ? std::nullopt : broken();
    const bool subdirectory = (*target & kHighBit) != 0;
    if (subdirectory != (level < 2)) return broken();
    directory = root + (*target & ~kHighBit);
  }
  // `directory` is now the IMAGE_RESOURCE_DATA_ENTRY; its data is at an RVA.
  const auto entry = Offset(directory, kResourceDataEntryBytes);
  if (!entry) return broken();
  const std::uint32_t size = in_.Dword(*entry + 4);
  const auto data = Offset(in_.Dword(*entry), size);
  if (!data) return broken();
  return in_.Bytes(*data, size);
}

}  // namespace

bool PeImage::Exports(std::string_view name) const {
  return std::find(exports.begin(), exports.end(), name) != exports.end();
}

Machine ReadMachine(std::span<const std::byte> bytes) {
  const Reader in(bytes);
  if (!in.Has(0, 64) || in.Word(0) != kDosMagic) return Machine::Unknown;
  const std::size_t signature = in.Dword(0x3C);
  if (!in.Has(signature, 6) || in.Dword(signature) != kPeSignature) return Machine::Unknown;
  return MachineOf(in.Word(signature + 4));
}

std::optional<PeImage> ReadPeImage(std::span<const std::byte> bytes) {
  const Reader in(bytes);
  PeImage image;
  Parser parser(in, image);
  if (!parser.ReadHeaders()) return std::nullopt;
  parser.ReadTables();
  return image;
}

}  // namespace kalvenor::inspect
