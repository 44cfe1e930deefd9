// WiX source: plain RegistryValue elements rather than SelfReg or the advertising Class and
// TypeLib elements, so that the package installs the keys exactly as captured.
#include <set>

#include "base/sha256.h"
#include "base/text.h"
#include "capture/exports.h"
#include "capture/placeholders.h"
#include "capture/registry_walk.h"
#include "capture/xml_text.h"

namespace kalvenor::capture {
namespace {

using platform::RegistryValue;

std::string Sha256Of(std::string_view text) {
  return Sha256Hex({reinterpret_cast<const std::byte*>(text.data()), text.size()});
}

// A GUID made of a name (RFC 9562 version 8, from SHA-256), the same for the same name.
std::string NameGuid(std::string_view name) {
  std::string hex = Sha256Of(name).substr(0, 32);
  hex[12] = '8';
  hex[16] = "89ab"[std::stoi(hex.substr(16, 1), nullptr, 16) & 3];
  for (char& c : hex) c = static_cast<char>(c >= 'a' ? c - 'a' + 'A' : c);
  return "{" + hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
         hex.substr(16, 4) + "-" + hex.substr(20) + "}";
}

// The ids and GUID of a component, from its file name and bitness alone, so that capturing the
// same files gives the same source. An id holds letters, digits, '_' and '.' and at most 72 of
// them: a longer name is cut, with its hash to tell it from others cut the same.
struct Identity {
  std::string fileId, componentId, guid;
  bool bits64;
};

Identity IdentityOf(const Captured& component) {
  const bool bits64 = component.view == platform::RegistryView::Bits64;
  const std::string name = AsciiLower(BareName(component));
  std::string part;
  for (const char c : name) {
    const bool kept = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_';
    part += kept ? c : '_';
  }
  if (part.size() > 64) part = part.substr(0, 55) + "_" + Sha256Of(name).substr(0, 8);
  const std::string bits = bits64 ? "64" : "32";
  return {"f" + bits + "_" + part, "c" + bits + "_" + part,
          NameGuid("Kalvenor component " + name + " " + bits), bits64};
}

// Windows Installer reads keys, names and values as formatted text: a literal bracket is
// written [\[]; a brace only matters where the text holds brackets or doubled braces, so GUIDs
// stay as they are elsewhere. A leading '#' of a string value is left to WiX, which doubles it
// ("[\#]…" is no way out: Wine's msiexec formats the text before it reads the type from it).
std::string Brackets(std::string_view text) {
  std::string out;
  for (const char c : text) out += c == '[' ? "[\\[]" : c == ']' ? "[\\]]" : std::string(1, c);
  return out;
}

std::string BracketsAndBraces(std::string_view text) {
  std::string out;
  for (const char c : text) out += c == '{' ? "[\\{]" : c == '}' ? "[\\}]" : Brackets({&c, 1});
  return out;
}

std::string Formatted(std::string_view text, const Captured* component, const Naming& naming) {
  auto render = [&](Literal literal) {
    return component ? WithPlaceholders(text, *component, naming, literal) : literal(text);
  };
  const std::string plain = render(Brackets);
  const bool braces = plain.find('[') != std::string::npos ||
                      plain.find("{{") != std::string::npos ||
                      plain.find("}}") != std::string::npos;
  return braces ? render(BracketsAndBraces) : plain;
}

// One component's element, its keys and values in it.
class ComponentWriter {
 public:
  explicit ComponentWriter(const Captured& component) : component_(component) {
    const Identity identity = IdentityOf(component);
    const std::string folder = identity.bits64 ? "System64Folder" : "SystemFolder";
    naming_ = {"[#" + identity.fileId + "]", "[!" + identity.fileId + "]", "[" + folder + "]",
               "[" + folder + "]", "\\\\?\\"};
    out_ = "      <Component Id=\"" + identity.componentId + "\" Directory=\"" + folder +
           "\" Guid=\"" + identity.guid + "\" Bitness=\"" +
           (identity.bits64 ? "always64" : "always32") + "\">\n        <File Id=\"" +
           identity.fileId + "\" Source=\"" + XmlAttribute(component.path) +
           "\" KeyPath=\"yes\" />\n";
    const platform::CapturedRegistration& registration = component.registration;
    Keys("HKCR", KeysToWrite(Classes(registration)), nullptr);
    Keys("HKLM", KeysToWrite(registration.localMachine), BelowClasses);
    Keys("HKCU", KeysToWrite(registration.currentUser), BelowClasses);
    out_ += "      </Component>\n";
  }

  const std::string& Text() const { return out_; }

 private:
  using Skip = std::optional<std::string> (*)(std::string_view key);

  // Each key as WiX names it under `root`, but those that `skip` names.
  void Keys(std::string_view root, const std::vector<KeyValues>& keys, Skip skip) {
    std::set<std::string> holding;  // the keys that hold values, lower case
    for (const KeyValues& key : keys) {
      if (!key.values.empty()) holding.insert(AsciiLower(key.key));
    }
    for (const KeyValues& key : keys) {
      if (skip && skip(key.key)) continue;
      const std::string place =
          " Root=\"" + std::string(root) + "\" Key=\"" + Attribute(key.key, false) + "\"";
      if (key.values.empty()) {
        // A key of the component's own (below one that holds its values) goes with it on
        // removal; any other, such as CLSID itself, is only made.
        out_ += "        <RegistryKey" + place + " ForceCreateOnInstall=\"yes\"" +
                (Owned(key.key, holding) ? " ForceDeleteOnUninstall=\"yes\"" : "") + " />\n";
      }
      for (const RegistryValue* value : key.values) {
        out_ += "        <RegistryValue" + place +
                (value->name.empty() ? "" : " Name=\"" + Attribute(value->name, false) + "\"");
        Value(*value);
      }
    }
  }

  static bool Owned(std::string key, const std::set<std::string>& holding) {
    for (std::size_t slash; (slash = key.rfind('\\')) != std::string::npos;) {
      key.resize(slash);
      if (holding.contains(AsciiLower(key))) return true;
    }
    return false;
  }

  std::string Attribute(std::string_view text, bool placeholders) const {
    return XmlAttribute(Formatted(text, placeholders ? &component_ : nullptr, naming_));
  }

  void Value(const RegistryValue& value) {
    if (value.type == platform::kRegSz || value.type == platform::kRegExpandSz) {
      out_ += std::string(" Type=\"") + (value.type == platform::kRegSz ? "string" : "expandable") +
              "\" Value=\"" + Attribute(Strings(value)[0], true) + "\" />\n";
    } else if (value.type == platform::kRegMultiSz) {
      out_ += " Type=\"multiString\">\n";
      for (const std::string& text : Strings(value))
        out_ += "          <MultiStringValue Value=\"" + Attribute(text, true) + "\" />\n";
      out_ += "        </RegistryValue>\n";
    } else if (const auto number = Dword(value)) {
      // Windows Installer reads the number as a signed one.
      out_ += " Type=\"integer\" Value=\"" + std::to_string(static_cast<std::int32_t>(*number)) +
              "\" />\n";
    } else {
      out_ += " Type=\"binary\" Value=\"" + Hex(value.data) + "\" />";
      // The installer writes no other type: any other comes out as REG_BINARY.
      if (value.type != platform::kRegBinary)
        out_ += " <!-- captured as type " + std::to_string(value.type) + " -->";
      out_ += "\n";
    }
  }

  const Captured& component_;
  Naming naming_;
  std::string out_;
};

}  // namespace

ExportFile WixSource(const std::vector<Captured>& components, std::string_view path) {
  std::string out =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      "<Wix xmlns=\"http://wixtoolset.org/schemas/v4/wxs\">\n"
      "  <Fragment>\n"
      "    <ComponentGroup Id=\"CapturedComponents\">\n";
  for (const Captured& component : components) out += ComponentWriter(component).Text();
  return {std::string(path), out + "    </ComponentGroup>\n  </Fragment>\n</Wix>\n"};
}

}  // namespace kalvenor::capture
