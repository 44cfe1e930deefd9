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

bool XmlHolds(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
  }
  // U+FFFE and U+FFFF, in UTF-8.
  return text.find("\xEF\xBF\xBE") == std::string_view::npos &&
         text.find("\xEF\xBF\xBF") == std::string_view::npos;
}

std::string WixAttribute(std::string_view text) {
  // The preprocessor reads "$$" as one '$' wherever it stands, so a '$' before another or before
  // '(' is doubled: "$(" becomes "$$(". The binder reads "!(" only before the name of one of its
  // kinds of variable and a ')' that closes it, and takes "!!(" there as a plain "!(", but leaves
  // "!!(" elsewhere as it is.
  static constexpr std::string_view kBinderKinds[] = {"loc.", "wix.", "bind.", "bindpath."};
  std::string wix;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::string_view rest = text.substr(i + 1);
    if (text[i] == '$' && (rest.starts_with('$') || rest.starts_with('('))) wix += '$';
    if (text[i] == '!' && rest.starts_with('(')) {
      for (const std::string_view kind : kBinderKinds) {
        if (rest.substr(1).starts_with(kind) &&
            rest.find(')', 1 + kind.size()) != std::string_view::npos)
          wix += '!';
      }
    }
    wix += text[i];
  }
  return XmlAttribute(wix);
}

}  // namespace kalvenor::capture
