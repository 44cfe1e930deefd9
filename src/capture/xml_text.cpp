#include "capture/xml_text.h"

#include "base/text.h"

namespace kalvenor::capture {

std::string XmlAttribute(std::string_view text) {
  std::string xml;
  for (const char c : text) {
    switch (c) {
      case '&': xml += "&amp;"; break;
      case '<': xml += "&lt;"; break;
      case '>': xml += "&gt;"; break;
      case '"': xml += "&quot;"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          xml += "&#x" + HexDigits(static_cast<unsigned char>(c), 1) + ";";
        } else {
          xml += c;
        }
    }
  }
  return xml;
}

}  // namespace kalvenor::capture
