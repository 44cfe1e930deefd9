#pragma once
// The bytes of registry string values, UTF-16LE ended by a null, and the program's UTF-8 text.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kalvenor::platform {

// A string value's bytes, as the registry holds them: UTF-16LE with a terminating null.
std::vector<std::byte> StringData(std::string_view text);
// The text of a string value's bytes, without the nulls that end it.
std::string StringText(const std::vector<std::byte>& data);

}  // namespace kalvenor::platform
