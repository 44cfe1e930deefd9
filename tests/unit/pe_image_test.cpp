#include "inspect/pe_image.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "pe_writer.h"

namespace kalvenor::testing {
namespace {

using inspect::Machine;
using inspect::PeImage;
using inspect::ReadPeImage;
using Bytes = std::vector<std::byte>;
using Function = PeWriter::Function;

Bytes AsBytes(std::string_view text) {
  Bytes bytes;
  for (char c : text) bytes.push_back(std::byte(c));
  return bytes;
}

// "name:f1,#7" per DLL, "delay " before delay-loaded ones.
std::vector<std::string> Listed(const std::vector<inspect::ImportedDll>& dlls) {
  std::vector<std::string> listed;
  for (const auto& dll : dlls) {
    std::string line = (dll.delayLoaded ? "delay " : "") + dll.name + ":";
    for (const auto& f : dll.functions) {
      line += (f.byOrdinal ? "#" + std::to_string(f.ordinal) : f.name) + ",";
    }
    listed.push_back(line);
  }
  return listed;
}

// A type library longer than a name may be, with no NUL in it.
const Bytes kTypeLibrary = AsBytes("MSFT" + std::string(600, 'T'));

PeWriter Component(Machine machine, bool vaBasedDelay = false) {
  PeWriter w(machine);
  w.Dll(true)
      .Export("DllRegisterServer")
      .Export("DllUnregisterServer")
      .Import("msvcr90.dll", {"malloc", "free"})
      .Import("ole32.dll", {Function::Ordinal(7), "CoCreateInstance"})
      .DelayImport("oleaut32.dll", {"SysAllocString", Function::Ordinal(2)}, vaBasedDelay)
      .TypeLibrary(kTypeLibrary)
      .Manifest("<assembly/>");
  return w;
}

const std::vector<std::string> kComponentImports = {"msvcr90.dll:malloc,free,",
                                                    "ole32.dll:#7,CoCreateInstance,",
                                                    "delay oleaut32.dll:SysAllocString,#2,"};

TEST(PeImage, ReadsBackWhatTheWriterBuilt) {
  struct Case {
    Machine machine;
    std::uint16_t code;
    bool pe32Plus;
    bool vaBasedDelay;
  };
  for (const Case& c :
       {Case{Machine::X86, 0x14C, false, false}, Case{Machine::X86, 0x14C, false, true},
        Case{Machine::X64, 0x8664, true, false}, Case{Machine::Arm64, 0xAA64, true, false}}) {
    SCOPED_TRACE(std::to_string(c.code) + (c.vaBasedDelay ? " VA-based delay imports" : ""));
    auto image = ReadPeImage(Component(c.machine, c.vaBasedDelay).Build());
    ASSERT_TRUE(image);
    EXPECT_EQ(image->machine, c.machine);
    EXPECT_EQ(image->machineCode, c.code);
    EXPECT_EQ(image->pe32Plus, c.pe32Plus);
    EXPECT_TRUE(image->isDll);
    EXPECT_FALSE(image->isDotNet);
    EXPECT_EQ(image->exports,
              (std::vector<std::string>{"DllRegisterServer", "DllUnregisterServer"}));
    EXPECT_TRUE(image->Exports("DllRegisterServer"));
    EXPECT_FALSE(image->Exports("dllregisterserver"));
    EXPECT_EQ(Listed(image->imports), kComponentImports);
    EXPECT_EQ(image->typeLibrary, kTypeLibrary);
    EXPECT_EQ(image->manifest, "<assembly/>");
    EXPECT_FALSE(image->damaged);
  }
  auto assembly = ReadPeImage(PeWriter(Machine::X86).DotNet().Build());
  ASSERT_TRUE(assembly);
  EXPECT_TRUE(assembly->isDotNet);
  EXPECT_FALSE(assembly->isDll);
  EXPECT_TRUE(assembly->imports.empty() && assembly->exports.empty() && !assembly->damaged);
}

TEST(PeImage, NotAPeImageIsRefused) {
  Bytes mzOnly(64);
  PeWriter::Set(mzOnly, 0, 0x5A4D, 2);
  Bytes peOutside = mzOnly;
  PeWriter::Set(peOutside, 0x3C, 0xFFFFFFF0, 4);
  PeWriter writer = Component(Machine::X64);
  const Bytes good = writer.Build();
  Bytes badMagic = good, shortOptional = good, sectionsOutside = good;
  PeWriter::Set(badMagic, 0x58, 0x107, 2);
  PeWriter::Set(shortOptional, 0x54, 100, 2);
  PeWriter::Set(sectionsOutside, 0x46, 0xFFFF, 2);
  for (const Bytes& bytes : {Bytes{}, AsBytes("MZ is not enough to be a program"), mzOnly,
                             peOutside, badMagic, shortOptional, sectionsOutside}) {
    EXPECT_FALSE(ReadPeImage(bytes));
  }
}

// Every cut of a good image, and each byte flipped in it: read within bounds (ASan checks), and
// refused exactly when the headers are cut.
TEST(PeImage, EveryPrefixAndFlippedByteIsReadWithinBounds) {
  for (Machine machine : {Machine::X86, Machine::X64}) {
    PeWriter writer = Component(machine);
    const Bytes good = writer.Build();
    const PeImage full = *ReadPeImage(good);
    for (std::size_t size = 0; size < good.size(); ++size) {
      const Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size));
      const auto image = ReadPeImage(cut);
      ASSERT_EQ(image.has_value(), size >= writer.offsets().headersEnd) << "cut at " << size;
      if (!image) continue;
      ASSERT_LE(image->exports.size(), full.exports.size());
      EXPECT_TRUE(std::equal(image->exports.begin(), image->exports.end(), full.exports.begin()));
    }
    for (std::size_t at = 0; at < good.size(); ++at) {
      Bytes flipped = good;
      flipped[at] ^= std::byte{0xFF};
      (void)ReadPeImage(flipped);
    }
  }
}

// A broken table keeps what was read before it and leaves the other tables alone.
TEST(PeImage, BrokenTableStopsOnlyItself) {
  using Offsets = PeWriter::Offsets;
  struct Case {
    const char* what;
    std::function<void(Bytes&, const Offsets&)> damage;
    std::function<void(const PeImage&)> check;
    bool damaged = true;
  };
  const auto set = [](Bytes& bytes, std::size_t at, std::uint32_t value) {
    PeWriter::Set(bytes, at, value, 4);
  };
  const Case cases[] = {
      {"import DLL name outside the file",
       [&](Bytes& b, const Offsets& o) { set(b, o.importDescriptors + 12, 0x7FFFFFF0); },
       [](const PeImage& i) {
         EXPECT_EQ(Listed(i.imports), std::vector<std::string>{kComponentImports[2]});
         EXPECT_EQ(i.exports.size(), 2u);
       }},
      {"thunk table outside the file",
       [&](Bytes& b, const Offsets& o) { set(b, o.importDescriptors, 0xFFFFFFF0); },
       [](const PeImage& i) {
         EXPECT_EQ(Listed(i.imports),
                   (std::vector<std::string>{"msvcr90.dll:", kComponentImports[1],
                                             kComponentImports[2]}));
       }},
      {"import DLL name in the headers",
       [&](Bytes& b, const Offsets& o) {
         for (std::size_t i = 0; i < 7; ++i) b[o.headersEnd + i] = std::byte("hdr.dll"[i]);
         set(b, o.importDescriptors + 12, static_cast<std::uint32_t>(o.headersEnd));
       },
       [](const PeImage& i) { EXPECT_EQ(i.imports.at(0).name, "hdr.dll"); }, false},
      {"delay DLL name outside the file",
       [&](Bytes& b, const Offsets& o) { set(b, o.delayDescriptors + 4, 0x7FFFFFF0); },
       [](const PeImage& i) { EXPECT_EQ(i.imports.size(), 2u); }},
      {"export name count far past the table",
       [&](Bytes& b, const Offsets& o) { set(b, o.exportDirectory + 24, 0xFFFFFFFF); },
       [](const PeImage& i) {
         ASSERT_GE(i.exports.size(), 2u);
         EXPECT_EQ(i.exports[1], "DllUnregisterServer");
       }},
      {"export name longer than a name may be",
       [&](Bytes& b, const Offsets& o) {
         const std::size_t names = PeWriter::FileOffset(PeWriter::Get32(b, o.exportDirectory + 32));
         set(b, names + 4, PeWriter::Get32(b, o.typeLibraryDataEntry));
       },
       [](const PeImage& i) {
         EXPECT_EQ(i.exports, std::vector<std::string>{"DllRegisterServer"});
       }},
      {"type library data outside the file",
       [&](Bytes& b, const Offsets& o) { set(b, o.typeLibraryDataEntry, 0x7FFFFFF0); },
       [](const PeImage& i) {
         EXPECT_TRUE(i.typeLibrary.empty());
         EXPECT_EQ(i.manifest, "<assembly/>");
       }},
      {"type library size past the file",
       [&](Bytes& b, const Offsets& o) { set(b, o.typeLibraryDataEntry + 4, 0x7FFFFFFF); },
       [](const PeImage& i) { EXPECT_TRUE(i.typeLibrary.empty()); }},
      {"language level leading back to the root",
       [&](Bytes& b, const Offsets& o) { set(b, o.typeLibraryLanguageEntry + 4, 0x80000000); },
       [](const PeImage& i) {
         EXPECT_TRUE(i.typeLibrary.empty());
         EXPECT_EQ(i.manifest, "<assembly/>");
       }},
      {"section data past the end of the file",
       [&](Bytes& b, const Offsets& o) { set(b, o.sectionHeader + 20, 0x10000000); },
       [](const PeImage& i) {
         EXPECT_TRUE(i.imports.empty() && i.exports.empty() && i.typeLibrary.empty());
         EXPECT_TRUE(i.isDll);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PeWriter writer = Component(Machine::X64);
    Bytes bytes = writer.Build();
    c.damage(bytes, writer.offsets());
    const auto image = ReadPeImage(bytes);
    ASSERT_TRUE(image);
    c.check(*image);
    EXPECT_EQ(image->damaged, c.damaged);
  }
}

TEST(PeImage, ImportTablesStopAtTheirLimits) {
  PeWriter many(Machine::X86);
  for (int i = 0; i < 4097; ++i) many.Import("d.dll", {"f"});
  const auto manyDlls = ReadPeImage(many.Build());
  ASSERT_TRUE(manyDlls);
  EXPECT_EQ(manyDlls->imports.size(), 4096u);
  EXPECT_TRUE(manyDlls->damaged);

  // 4096 descriptors sharing one 65536-entry thunk table: a legitimately large DLL reads whole,
  // but the shared table is not walked 4096 times.
  PeWriter shared(Machine::X64);
  shared.Import("big.dll", std::vector<Function>(65536, "f"));
  for (int i = 1; i < 4096; ++i) shared.Import("d.dll", {"f"});
  Bytes bytes = shared.Build();
  const std::size_t first = shared.offsets().importDescriptors;
  for (std::size_t i = 1; i < 4096; ++i) {
    PeWriter::Set(bytes, first + 20 * i, PeWriter::Get32(bytes, first), 4);
  }
  const auto image = ReadPeImage(bytes);
  ASSERT_TRUE(image);
  ASSERT_FALSE(image->imports.empty());
  EXPECT_EQ(image->imports[0].functions.size(), 65536u);
  std::size_t total = 0;
  for (const auto& dll : image->imports) total += dll.functions.size();
  EXPECT_LT(total, 1'000'000u);
  EXPECT_TRUE(image->damaged);
}

}  // namespace
}  // namespace kalvenor::testing
