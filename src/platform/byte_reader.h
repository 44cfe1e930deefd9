#pragma once
// Little-endian fields of a file's bytes, for the readers of version resources, PE images and
// type libraries. Callers check Has() before they read: the getters do not.

#include <cstddef>
#include <cstdint>
#include <span>

namespace kalvenor::platform {

class ByteReader {
 public:
  explicit ByteReader(std::span<const std::byte> bytes) : bytes_(bytes) {}
  std::size_t Size() const { return bytes_.size(); }
  // Whether `count` bytes at `offset` lie within the bytes, without overflow.
  bool Has(std::size_t offset, std::size_t count) const {
    return offset <= bytes_.size() && count <= bytes_.size() - offset;
  }
  std::uint8_t Byte(std::size_t offset) const {
    return std::to_integer<std::uint8_t>(bytes_[offset]);
  }
  std::uint16_t Word(std::size_t offset) const {
    return static_cast<std::uint16_t>(Byte(offset) | Byte(offset + 1) << 8);
  }
  std::uint32_t Dword(std::size_t offset) const {
    return Word(offset) | static_cast<std::uint32_t>(Word(offset + 2)) << 16;
  }
  std::uint64_t Qword(std::size_t offset) const {
    return Dword(offset) | static_cast<std::uint64_t>(Dword(offset + 4)) << 32;
  }
  std::span<const std::byte> Bytes(std::size_t offset, std::size_t count) const {
    return bytes_.subspan(offset, count);
  }

 private:
  std::span<const std::byte> bytes_;
};

}  // namespace kalvenor::platform
