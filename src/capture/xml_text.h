#pragma once
// Text inside an XML attribute's quotes.

#include <string>
#include <string_view>

namespace kalvenor::capture {

// `text` with what XML would read otherwise as character references: markup, quotes, and the
// control characters that an attribute would turn into spaces.
std::string XmlAttribute(std::string_view text);

}  // namespace kalvenor::capture
