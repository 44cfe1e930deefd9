#pragma once
// Text inside an XML attribute's quotes.

#include <string>
#include <string_view>

namespace kalvenor::capture {

// `text` with what XML would read otherwise as character references: markup, quotes, and the
// control characters that an attribute would turn into spaces.
std::string XmlAttribute(std::string_view text);

// Whether XML 1.0 can carry `text` at all: it has no character for the control characters but
// tab, line feed and carriage return, nor for U+FFFE and U+FFFF, not even as a reference
// ("&#x1;" is malformed).
bool XmlHolds(std::string_view text);

// `text` inside a WiX source attribute, read as it is written: XML's escapes, and WiX's own for
// what its preprocessor reads as a variable ("$(var.X)") and its binder as one ("!(loc.X)").
std::string WixAttribute(std::string_view text);

}  // namespace kalvenor::capture
