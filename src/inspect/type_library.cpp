#include "inspect/type_library.h"

#include <cstdint>

#include "base/text.h"
#include "platform/byte_reader.h"

namespace kalvenor::inspect {
namespace {

constexpr std::uint32_t kMagic = 0x5446534D;  // "MSFT"
constexpr std::size_t kHeaderSize = 0x54;
constexpr std::uint32_t kHasHelpDll = 0x100;
constexpr std::size_t kSegments = 15;
constexpr std::size_t kSegmentEntry = 16;  // offset, length and two reserved words
constexpr std::size_t kTypeInfoSegment = 0, kGuidSegment = 5, kNameSegment = 7;
constexpr std::size_t kTypeInfoSize = 0x64;  // kind at 0, GUID at 0x2C, flags 0x30, name 0x34
constexpr std::size_t kMaxTypeInfos = 65536;
constexpr std::uint32_t kInterface = 3, kDispatch = 4, kCoclass = 5;  // TKIND_*
constexpr std::uint32_t kCanCreate = 0x2;                             // TYPEFLAG_FCANCREATE
constexpr std::uint32_t kLicensed = 0x4;                              // TYPEFLAG_FLICENSED
constexpr std::uint32_t kOleAutomation = 0x100;                       // TYPEFLAG_FOLEAUTOMATION

using Reader = platform::ByteReader;

struct Segment {
  std::size_t offset = 0, length = 0;
  // Where `count` bytes at `position` within the segment lie in the file, if they fit.
  std::optional<std::size_t> At(std::uint32_t position, std::size_t count) const {
    if (position > length || count > length - position) return std::nullopt;
    return offset + position;
  }
};

// The registry's spelling of the 16 bytes of a GUID, stored little-endian in its first fields.
std::string GuidText(const Reader& reader, std::size_t at) {
  // The byte order of each group, and where the dashes fall.
  static constexpr std::size_t kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  std::string text = "{";
  for (std::size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += HexDigits(reader.Byte(at + kOrder[i]), 2);
  }
  return text + "}";
}

}  // namespace

std::optional<TypeLibrary> ReadTypeLibrary(std::span<const std::byte> bytes) {
  const Reader reader(bytes);
  if (!reader.Has(0, kHeaderSize) || reader.Dword(0) != kMagic) return std::nullopt;
  const std::size_t typeInfos = reader.Dword(0x20);
  if (typeInfos > kMaxTypeInfos) return std::nullopt;
  // After the header: the help DLL's name when there is one, an offset per type, then the
  // directory of segments.
  const std::size_t directory =
      kHeaderSize + ((reader.Dword(0x14) & kHasHelpDll) ? 4 : 0) + typeInfos * 4;
  if (!reader.Has(directory, kSegments * kSegmentEntry)) return std::nullopt;
  Segment segments[kSegments];
  for (std::size_t i = 0; i < kSegments; ++i) {
    const std::size_t offset = reader.Dword(directory + i * kSegmentEntry);
    const std::size_t length = reader.Dword(directory + i * kSegmentEntry + 4);
    // An absent segment has offset -1; one that runs outside the file is taken as absent.
    if (reader.Has(offset, length)) segments[i] = {offset, length};
  }
  const Segment& guids = segments[kGuidSegment];
  const Segment& names = segments[kNameSegment];
  // A name: two words of hashing, its length in the low byte of the third, then the text.
  const auto nameAt = [&](std::uint32_t position) {
    std::string name;
    const auto entry = names.At(position, 12);
    if (!entry) return name;
    const std::size_t length = reader.Byte(*entry + 8);
    if (!names.At(position + 12, length)) return name;
    for (std::size_t c = 0; c < length; ++c)
      name += static_cast<char>(reader.Byte(*entry + 12 + c));
    return name;
  };

  TypeLibrary library;
  library.name = nameAt(reader.Dword(0x38));  // the header names it at 0x38
  // The header's own GUID, by its offset in the GUID segment.
  if (const auto libid = guids.At(reader.Dword(0x08), 16)) library.libid = GuidText(reader, *libid);
  // The major version in the low word, the minor in the high one; the key names them in hex.
  const std::uint32_t version = reader.Dword(0x18);
  library.version = HexDigits(version & 0xFFFF, 1) + "." + HexDigits(version >> 16, 1);
  for (std::size_t i = 0; i < typeInfos; ++i) {
    const auto info =
        segments[kTypeInfoSegment].At(static_cast<std::uint32_t>(i * kTypeInfoSize), kTypeInfoSize);
    if (!info) break;
    const std::uint32_t kind = reader.Dword(*info) & 0xF;
    if (kind != kCoclass && kind != kInterface && kind != kDispatch) continue;
    const auto guid = guids.At(reader.Dword(*info + 0x2C), 16);
    if (!guid) continue;
    const std::uint32_t flags = reader.Dword(*info + 0x30);
    if (kind != kCoclass) {
      library.interfaces.push_back(GuidText(reader, *guid));
      if (kind == kDispatch || (flags & kOleAutomation) != 0) {
        library.automation.push_back(library.interfaces.back());
      }
      continue;
    }
    library.classes.push_back({GuidText(reader, *guid), nameAt(reader.Dword(*info + 0x34)),
                               (flags & kCanCreate) != 0, (flags & kLicensed) != 0});
  }
  return library;
}

}  // namespace kalvenor::inspect
