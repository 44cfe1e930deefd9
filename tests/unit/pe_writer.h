#pragma once
// Builds small PE images in memory for the tests: the headers and one section holding the
// export, import, delay-import and resource tables, laid out the way linkers lay them out.
//
//   PeWriter w(Machine::X64);
//   w.Dll(true).Export("DllRegisterServer").Import("msvcr90.dll", {"malloc"});
//   std::vector<std::byte> image = w.Build();

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "inspect/pe_image.h"

namespace kalvenor::testing {

class PeWriter {
 public:
  using Bytes = std::vector<std::byte>;

  // A function to import: by name, or by ordinal through Ordinal(n).
  struct Function {
    Function(const char* name) : name(name) {}
    Function(std::string name) : name(std::move(name)) {}
    static Function Ordinal(std::uint16_t ordinal) {
      Function function("");
      function.ordinal = ordinal;
      return function;
    }
    std::string name;
    std::uint16_t ordinal = 0;  // non-zero: imported by ordinal
  };

  // File offsets in the last image built, for tests that damage it.
  struct Offsets {
    std::size_t headersEnd = 0;  // after the section table; padding up to the section
    std::size_t sectionHeader = 0;
    std::size_t exportDirectory = 0;
    std::size_t importDescriptors = 0;
    std::size_t delayDescriptors = 0;
    std::size_t typeLibraryLanguageEntry = 0;  // the entry that leads to the data entry
    std::size_t typeLibraryDataEntry = 0;
  };

  static constexpr std::uint32_t kSectionRva = 0x1000;
  static constexpr std::size_t kSectionFile = 0x200;  // also SizeOfHeaders

  explicit PeWriter(inspect::Machine machine)
      : machineCode_(machine == inspect::Machine::X64     ? 0x8664
                     : machine == inspect::Machine::Arm64 ? 0xAA64
                                                          : 0x014C),
        pe32Plus_(machine == inspect::Machine::X64 || machine == inspect::Machine::Arm64),
        imageBase_(pe32Plus_ ? 0x180000000 : 0x10000000) {}

  PeWriter& Dll(bool dll) { return dll_ = dll, *this; }
  PeWriter& DotNet() { return dotNet_ = true, *this; }
  PeWriter& Export(std::string name) { return exports_.push_back(std::move(name)), *this; }
  PeWriter& Import(std::string dll, std::vector<Function> functions) {
    return imports_.push_back({std::move(dll), std::move(functions), false}), *this;
  }
  // `vaBased`: the old form that stores VAs instead of RVAs (PE32 images only).
  PeWriter& DelayImport(std::string dll, std::vector<Function> functions, bool vaBased = false) {
    return delayImports_.push_back({std::move(dll), std::move(functions), vaBased}), *this;
  }
  PeWriter& TypeLibrary(Bytes bytes) { return typeLibrary_ = std::move(bytes), *this; }
  // `id` 2: the manifest the loader reads for a DLL's imports.
  PeWriter& Manifest(std::string_view text, std::uint32_t id = 2) {
    manifest_.assign(reinterpret_cast<const std::byte*>(text.data()),
                     reinterpret_cast<const std::byte*>(text.data() + text.size()));
    manifestId_ = id;
    return *this;
  }

  const Offsets& offsets() const { return offsets_; }

  Bytes Build() {
    data_.clear();
    offsets_ = {};
    std::uint32_t directories[16][2] = {};
    if (!exports_.empty()) WriteExports(directories[0]);
    if (!imports_.empty()) WriteImports(directories[1]);
    if (!typeLibrary_.empty() || !manifest_.empty()) WriteResources(directories[2]);
    if (!delayImports_.empty()) WriteDelayImports(directories[13]);
    if (dotNet_) {
      const std::size_t clr = Reserve(72);
      Set(data_, clr, 72, 4);
      directories[14][0] = Rva(clr);
      directories[14][1] = 72;
    }
    for (std::size_t* offset :
         {&offsets_.exportDirectory, &offsets_.importDescriptors, &offsets_.delayDescriptors,
          &offsets_.typeLibraryLanguageEntry, &offsets_.typeLibraryDataEntry}) {
      *offset += kSectionFile;
    }

    Bytes image(kSectionFile);
    Set(image, 0, 0x5A4D, 2);
    Set(image, 0x3C, 0x40, 4);
    Set(image, 0x40, 0x00004550, 4);
    const std::size_t optionalSize = pe32Plus_ ? 240 : 224;
    Set(image, 0x44, machineCode_, 2);
    Set(image, 0x46, 1, 2);  // one section
    Set(image, 0x54, optionalSize, 2);
    Set(image, 0x56, 0x0002 | (dll_ ? 0x2000 : 0) | (pe32Plus_ ? 0x0020 : 0x0100), 2);
    const std::size_t optional = 0x58;
    const std::size_t directoryTable = optional + (pe32Plus_ ? 112 : 96);
    Set(image, optional, pe32Plus_ ? 0x20B : 0x10B, 2);
    Set(image, optional + (pe32Plus_ ? 24 : 28), imageBase_, pe32Plus_ ? 8 : 4);
    Set(image, optional + 32, 0x1000, 4);  // section alignment
    Set(image, optional + 36, 0x200, 4);   // file alignment
    Set(image, optional + 56, kSectionRva + AlignUp(data_.size(), 0x1000), 4);
    Set(image, optional + 60, kSectionFile, 4);
    Set(image, optional + 68, 2, 2);  // GUI subsystem
    Set(image, directoryTable - 4, 16, 4);
    for (std::size_t i = 0; i < 16; ++i) {
      Set(image, directoryTable + 8 * i, directories[i][0], 4);
      Set(image, directoryTable + 8 * i + 4, directories[i][1], 4);
    }
    offsets_.sectionHeader = optional + optionalSize;
    offsets_.headersEnd = offsets_.sectionHeader + 40;
    const std::size_t header = offsets_.sectionHeader;
    for (std::size_t i = 0; i < 5; ++i) image[header + i] = std::byte(".data"[i]);
    Set(image, header + 8, data_.size(), 4);
    Set(image, header + 12, kSectionRva, 4);
    Set(image, header + 16, AlignUp(data_.size(), 0x200), 4);
    Set(image, header + 20, kSectionFile, 4);
    Set(image, header + 36, 0xC0000040, 4);  // initialized data, read, write
    image.insert(image.end(), data_.begin(), data_.end());
    image.resize(kSectionFile + AlignUp(data_.size(), 0x200));
    return image;
  }

  static void Set(Bytes& bytes, std::size_t at, std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) bytes[at + i] = std::byte((value >> (8 * i)) & 0xFF);
  }
  static std::uint32_t Get32(const Bytes& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
      value |= std::to_integer<std::uint32_t>(bytes[at + i]) << 8 * i;
    return value;
  }
  // The file offset of an RVA in the section.
  static std::size_t FileOffset(std::uint32_t rva) { return rva - kSectionRva + kSectionFile; }

 private:
  struct DllEntry {
    std::string name;
    std::vector<Function> functions;
    bool vaBased;
  };

  static std::size_t AlignUp(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }
  std::uint32_t Rva(std::size_t at) const { return static_cast<std::uint32_t>(kSectionRva + at); }
  std::size_t Reserve(std::size_t count, std::size_t align = 4) {
    data_.resize(AlignUp(data_.size(), align));
    data_.resize(data_.size() + count);
    return data_.size() - count;
  }
  std::size_t String(std::string_view text) {
    const std::size_t at = Reserve(text.size() + 1, 2);
    for (std::size_t i = 0; i < text.size(); ++i) data_[at + i] = std::byte(text[i]);
    return at;
  }
  // A name table and an address table with the same thunks; returns their offsets.
  std::pair<std::size_t, std::size_t> Thunks(const std::vector<Function>& functions,
                                             std::uint64_t base) {
    const std::size_t width = pe32Plus_ ? 8 : 4;
    std::vector<std::uint64_t> thunks;
    for (const Function& function : functions) {
      if (function.ordinal != 0) {
        thunks.push_back(std::uint64_t{1} << (width * 8 - 1) | function.ordinal);
      } else {
        const std::size_t hintName = Reserve(2, 2);
        String(function.name);
        thunks.push_back(base + Rva(hintName));
      }
    }
    std::size_t tables[2];
    for (std::size_t& table : tables) {
      table = Reserve((thunks.size() + 1) * width, 8);
      for (std::size_t i = 0; i < thunks.size(); ++i)
        Set(data_, table + i * width, thunks[i], width);
    }
    return {tables[0], tables[1]};
  }

  void WriteExports(std::uint32_t (&directory)[2]) {
    const std::size_t count = exports_.size();
    const std::size_t at = Reserve(40);
    const std::size_t functions = Reserve(4 * count), names = Reserve(4 * count);
    const std::size_t ordinals = Reserve(2 * count);
    for (std::size_t i = 0; i < count; ++i) {
      Set(data_, functions + 4 * i, kSectionRva, 4);
      Set(data_, names + 4 * i, Rva(String(exports_[i])), 4);
      Set(data_, ordinals + 2 * i, i, 2);
    }
    Set(data_, at + 12, Rva(String("component.dll")), 4);
    Set(data_, at + 16, 1, 4);  // ordinal base
    Set(data_, at + 20, count, 4);
    Set(data_, at + 24, count, 4);
    Set(data_, at + 28, Rva(functions), 4);
    Set(data_, at + 32, Rva(names), 4);
    Set(data_, at + 36, Rva(ordinals), 4);
    offsets_.exportDirectory = at;
    directory[0] = Rva(at);
    directory[1] = static_cast<std::uint32_t>(data_.size() - at);
  }

  void WriteImports(std::uint32_t (&directory)[2]) {
    const std::size_t at = Reserve(20 * (imports_.size() + 1));
    for (std::size_t i = 0; i < imports_.size(); ++i) {
      const auto [names, addresses] = Thunks(imports_[i].functions, 0);
      Set(data_, at + 20 * i, Rva(names), 4);
      Set(data_, at + 20 * i + 12, Rva(String(imports_[i].name)), 4);
      Set(data_, at + 20 * i + 16, Rva(addresses), 4);
    }
    offsets_.importDescriptors = at;
    directory[0] = Rva(at);
    directory[1] = static_cast<std::uint32_t>(20 * (imports_.size() + 1));
  }

  void WriteDelayImports(std::uint32_t (&directory)[2]) {
    const std::size_t at = Reserve(32 * (delayImports_.size() + 1));
    for (std::size_t i = 0; i < delayImports_.size(); ++i) {
      const DllEntry& dll = delayImports_[i];
      const std::uint64_t base = dll.vaBased ? imageBase_ : 0;
      const auto [names, addresses] = Thunks(dll.functions, base);
      const std::size_t handle = Reserve(8, 8);
      const std::size_t d = at + 32 * i;
      Set(data_, d, dll.vaBased ? 0 : 1, 4);
      Set(data_, d + 4, base + Rva(String(dll.name)), 4);
      Set(data_, d + 8, base + Rva(handle), 4);
      Set(data_, d + 12, base + Rva(addresses), 4);
      Set(data_, d + 16, base + Rva(names), 4);
    }
    offsets_.delayDescriptors = at;
    directory[0] = Rva(at);
    directory[1] = static_cast<std::uint32_t>(32 * (delayImports_.size() + 1));
  }

  // Type, name (id 1) and language (0x409) levels; the named TYPELIB type before the ids.
  void WriteResources(std::uint32_t (&directory)[2]) {
    struct Resource {
      bool named;
      const Bytes* data;
    };
    std::vector<Resource> resources;
    if (!typeLibrary_.empty()) resources.push_back({true, &typeLibrary_});
    if (!manifest_.empty()) resources.push_back({false, &manifest_});
    const std::size_t root = Reserve(16 + 8 * resources.size());
    Set(data_, root + 12, typeLibrary_.empty() ? 0 : 1, 2);
    Set(data_, root + 14, manifest_.empty() ? 0 : 1, 2);
    for (std::size_t i = 0; i < resources.size(); ++i) {
      const std::size_t names = Reserve(24), languages = Reserve(24), entry = Reserve(16);
      Set(data_, names + 14, 1, 2);
      Set(data_, names + 16, resources[i].named ? 1 : manifestId_, 4);
      Set(data_, names + 20, 0x80000000 | (languages - root), 4);
      Set(data_, languages + 14, 1, 2);
      Set(data_, languages + 16, 0x409, 4);
      Set(data_, languages + 20, entry - root, 4);
      std::uint64_t type = 24;
      if (resources[i].named) {
        const std::size_t name = Reserve(2 + 14, 2);
        Set(data_, name, 7, 2);
        for (std::size_t c = 0; c < 7; ++c) Set(data_, name + 2 + 2 * c, "TYPELIB"[c], 2);
        type = 0x80000000 | (name - root);
        offsets_.typeLibraryLanguageEntry = languages + 16;
        offsets_.typeLibraryDataEntry = entry;
      }
      Set(data_, root + 16 + 8 * i, type, 4);
      Set(data_, root + 20 + 8 * i, 0x80000000 | (names - root), 4);
      const std::size_t bytes = Reserve(resources[i].data->size());
      std::copy(resources[i].data->begin(), resources[i].data->end(), data_.begin() + bytes);
      Set(data_, entry, Rva(bytes), 4);
      Set(data_, entry + 4, resources[i].data->size(), 4);
    }
    directory[0] = Rva(root);
    directory[1] = static_cast<std::uint32_t>(data_.size() - root);
  }

  std::uint16_t machineCode_;
  bool pe32Plus_;
  std::uint64_t imageBase_;
  bool dll_ = false;
  bool dotNet_ = false;
  std::vector<std::string> exports_;
  std::vector<DllEntry> imports_;
  std::vector<DllEntry> delayImports_;
  Bytes typeLibrary_;
  Bytes manifest_;
  std::uint32_t manifestId_ = 2;
  Bytes data_;  // the section
  Offsets offsets_;
};

// The smallest MSFT type library with one coclass named `name` of class
// {069D1E67-6900-4A01-BC80-D77EE99E1CF4}.
inline std::vector<std::byte> TypeLibrary(const std::string& name) {
  std::vector<std::byte> bytes;
  auto dword = [&](std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::byte>(value >> (8 * i)));
  };
  const std::uint8_t guid[16] = {0x67, 0x1E, 0x9D, 0x06, 0x00, 0x69, 0x01, 0x4A,
                                 0xBC, 0x80, 0xD7, 0x7E, 0xE9, 0x9E, 0x1C, 0xF4};
  const std::size_t segments = 0x54 + 4, data = segments + 15 * 16;
  const std::size_t typeInfo = data, guids = typeInfo + 0x64, names = guids + 24;
  dword(0x5446534D);                                                       // MSFT
  for (std::size_t at = 4; at < 0x54; at += 4) dword(at == 0x20 ? 1 : 0);  // one type
  dword(0);                                                                // its offset
  for (std::size_t i = 0; i < 15; ++i) {
    const std::size_t offset = i == 0 ? typeInfo : i == 5 ? guids : i == 7 ? names : 0xFFFFFFFF;
    const std::size_t length = i == 0 ? 0x64 : i == 5 ? 24 : i == 7 ? 12 + name.size() : 0;
    dword(static_cast<std::uint32_t>(offset));
    dword(static_cast<std::uint32_t>(length));
    dword(0xFFFFFFFF);
    dword(0x0F);
  }
  // A creatable coclass (TYPEFLAG_FCANCREATE), guid 0.
  for (std::size_t at = 0; at < 0x64; at += 4) dword(at == 0 ? 5 : at == 0x30 ? 2 : 0);
  for (std::uint8_t b : guid) bytes.push_back(static_cast<std::byte>(b));
  dword(0);
  dword(0);
  dword(0);
  dword(0);
  dword(static_cast<std::uint32_t>(name.size()));
  for (char c : name) bytes.push_back(static_cast<std::byte>(c));
  return bytes;
}

}  // namespace kalvenor::testing
