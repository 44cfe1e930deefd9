#pragma once
// The bytes of registry string values, UTF-16LE ended by a null, and the program's UTF-8 text;
// the UTF-8 of one code point, which the version reader uses too.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kalvenor::platform {

// Appends one code point in UTF-8.
void AppendUtf8(std::string& out, char32_t c);

// A string value's bytes, as the registry holds them: UTF-16LE with a terminating null.
std::vector<std::byte> StringData(std::string_view text);
// The text of a string value's bytes, without the nulls that end it.
std::string StringText(const std::vector<std::byte>& data);

}  // namespace kalvenor::platform
