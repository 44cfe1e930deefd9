#pragma once
// SHA-256 of a file's bytes, for the journal: a backup is put back, and a copy is taken for the
// run's own, only when its bytes are those the journal recorded.

#include <cstddef>
#include <span>
#include <string>

namespace kalvenor {

// The digest as 64 lower-case hexadecimal digits.
std::string Sha256Hex(std::span<const std::byte> bytes);

}  // namespace kalvenor
