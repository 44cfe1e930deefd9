// WiX source: plain RegistryValue elements rather than SelfReg or the advertising Class and
// TypeLib elements, so that the package installs the keys exactly as captured. A File's Source is
// the file's path relative to the folder all the files lie in (its bare name when that is its own
// folder), which WiX looks up in its bind paths (wix build -bindpath <that folder>), so that the
// source names nothing of the machine it was captured on.
#include <algorithm>
#include <map>
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

// A component's ids and GUIDs. An id holds letters, digits, '_' and '.' and at most 72 of them.
struct Identity {
  std::string fileId, componentId, userComponentId, guid, userGuid, source;
  bool bits64 = false;
  // Another component of its bitness has its name, so that both install as one file.
  bool shared = false;
};

// A name of letters, digits, '.' and '_' alone that no other component of its bitness has gives
// the ids and GUIDs from itself and the bitness, so that capturing the same files gives the same
// source. Another name gives its ids from the component's path too (a short hash), as would
// ids of its letters alone collide ("my-lib.dll" and "my_lib.dll", "ü.dll" and "é.dll"); a shared
// name gives its GUIDs from the path too. A name too long for an id is cut, with a hash.
std::vector<Identity> IdentitiesOf(const std::vector<Captured>& components) {
  auto bitsOf = [](const Captured& component) {
    return component.view == platform::RegistryView::Bits64 ? std::string("64") : "32";
  };
  std::map<std::string, int> named;  // components by bitness and lower-case name
  for (const Captured& component : components)
    ++named[bitsOf(component) + AsciiLower(BareName(component))];
  std::map<std::string, int> repeats;  // components by bitness and lower-case path
  std::vector<Identity> identities;
  for (const Captured& component : components) {
    const std::string bits = bitsOf(component), name = AsciiLower(BareName(component));
    std::string part;
    for (const char c : name) {
      const bool kept = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_';
      part += kept ? c : '_';
    }
    const bool shared = named[bits + name] > 1;
    // A file given twice is two components still, each with ids of its own.
    std::string lowerPath = AsciiLower(component.path);
    if (const int repeat = repeats[bits + lowerPath]++) lowerPath += "\n" + std::to_string(repeat);
    if (shared || part != name) {
      part = part.substr(0, 55) + "_" + Sha256Of(lowerPath).substr(0, 8);
    } else if (part.size() > 64) {
      part = part.substr(0, 55) + "_" + Sha256Of(name).substr(0, 8);
    }
    const std::string seed = "Kalvenor component " + (shared ? lowerPath : name) + " " + bits;
    identities.push_back({"f" + bits + "_" + part, "c" + bits + "_" + part, "u" + bits + "_" + part,
                          NameGuid(seed), NameGuid(seed + " per user"), "", bits == "64", shared});
  }
  return identities;
}

// Each file's Source: its path below the folder that all the files lie in, so that one bind path
// finds each, even two of one name in two folders (a 32-bit and a 64-bit build); nothing when
// they lie in no folder in common (on two drives).
std::optional<std::vector<std::string>> SourcesOf(const std::vector<Captured>& components) {
  std::vector<std::vector<std::string>> folders;
  for (const Captured& component : components) {
    folders.push_back(SplitList(component.path, '\\'));
    if (!folders.back().empty()) folders.back().pop_back();
  }
  std::size_t common = folders.empty() ? 0 : folders[0].size();
  for (const std::vector<std::string>& folder : folders) {
    std::size_t same = 0;
    while (same < std::min(common, folder.size()) &&
           AsciiLower(folder[same]) == AsciiLower(folders[0][same]))
      ++same;
    common = same;
  }
  // A share's root is its server and share name together.
  const std::size_t root = !components.empty() && components[0].path.starts_with("\\\\") ? 2 : 1;
  if (common < root) return std::nullopt;
  std::vector<std::string> sources;
  for (std::size_t i = 0; i < components.size(); ++i) {
    std::string source;
    for (std::size_t at = common; at < folders[i].size(); ++at) source += folders[i][at] + "\\";
    sources.push_back(source + BareName(components[i]));
  }
  return sources;
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

// Why a key or value is left out: WiX source is XML, and XML has no way to write these.
constexpr char kUnheld[] = "it holds a control character that WiX source cannot hold";

// One component's elements, its keys and values in them, and the notes on what they change.
class ComponentWriter {
 public:
  ComponentWriter(const Captured& component, const Identity& identity, ExportFile& file)
      : component_(component), notes_(file.notes), failures_(file.failures) {
    const std::string folder = identity.bits64 ? "System64Folder" : "SystemFolder";
    naming_ = {"[#" + identity.fileId + "]", "[!" + identity.fileId + "]", "[" + folder + "]",
               "[" + folder + "]", "\\\\?\\"};
    const std::string bitness = identity.bits64 ? "always64" : "always32";
    auto head = [&](const std::string& id, const std::string& guid) {
      return "      <Component Id=\"" + id + "\" Directory=\"" + folder + "\" Guid=\"" + guid +
             "\" Bitness=\"" + bitness + "\">\n";
    };
    if (identity.shared)
      notes_.push_back(component.path + ": another component has its name, and a package " +
                       "installs only one file of a name in " + naming_.folder);
    out_ = head(identity.componentId, identity.guid) + "        <File Id=\"" + identity.fileId +
           "\" Source=\"" + WixAttribute(identity.source) + "\" KeyPath=\"yes\" />\n";
    const platform::CapturedRegistration& registration = component.registration;
    Keys("HKCR", KeysToWrite(Classes(registration)), nullptr);
    Keys("HKLM", KeysToWrite(registration.localMachine), BelowClasses);
    out_ += "      </Component>\n";
    // Windows Installer takes a component's key path for the sign that it is installed, and
    // checks it under the user a repair runs for: values under HKCU in the component of a file
    // in the system folder would be missing for every other user, so they get one of their own,
    // whose key path is a value of this program's under HKCU (ICE38), the same whatever was
    // captured: a captured value may be a key alone, or one the component rewrites when it runs.
    const std::size_t machine = out_.size();
    Keys("HKCU", KeysToWrite(registration.currentUser), BelowClasses);
    if (out_.size() == machine) return;
    notes_.push_back(component.path + ": its values under HKEY_CURRENT_USER in component " +
                     identity.userComponentId + " of their own, for the user who installs");
    out_.insert(machine, head(identity.userComponentId, identity.userGuid) +
                             "        <RegistryValue Root=\"HKCU\" Key=\"Software\\Kalvenor\\"
                             "Installed\" Name=\"" +
                             identity.userComponentId +
                             "\" Type=\"integer\" Value=\"1\" KeyPath=\"yes\" />\n");
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
      const std::string where = std::string(root) + "\\" + key.key;
      if (!XmlHolds(key.key)) {
        failures_.push_back(where + ": " + kUnheld + ", the key and its values are left out");
        continue;
      }
      const std::string place =
          " Root=\"" + std::string(root) + "\" Key=\"" + Attribute(key.key, false) + "\"";
      if (key.values.empty()) {
        // A key of the component's own (below one that holds its values) goes with it on
        // removal; any other, such as CLSID itself, is only made.
        out_ += "        <RegistryKey" + place + " ForceCreateOnInstall=\"yes\"" +
                (Owned(key.key, holding) ? " ForceDeleteOnUninstall=\"yes\"" : "") + " />\n";
      }
      for (const RegistryValue* value : key.values) Value(place, *value, where);
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
    return WixAttribute(Formatted(text, placeholders ? &component_ : nullptr, naming_));
  }

  void Value(const std::string& place, const RegistryValue& value, const std::string& where) {
    const ReadStrings read = IsString(value.type) ? StringsAsRead(value) : ReadStrings{};
    if (!XmlHolds(value.name) || !std::all_of(read.strings.begin(), read.strings.end(), XmlHolds)) {
      failures_.push_back(ValuePlace(where, value) + ": " + kUnheld + ", the value is left out");
      return;
    }
    if (read.cut) notes_.push_back(CutNote(where, value));
    out_ += "        <RegistryValue" + place +
            (value.name.empty() ? "" : " Name=\"" + Attribute(value.name, false) + "\"");
    if (value.type == platform::kRegMultiSz) {
      out_ += " Type=\"multiString\">\n";
      for (const std::string& text : read.strings)
        out_ += "          <MultiStringValue Value=\"" + Attribute(text, true) + "\" />\n";
      out_ += "        </RegistryValue>\n";
    } else if (IsString(value.type)) {
      out_ += std::string(" Type=\"") + (value.type == platform::kRegSz ? "string" : "expandable") +
              "\" Value=\"" + Attribute(read.strings[0], true) + "\" />\n";
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
  std::vector<std::string>&notes_, &failures_;
  Naming naming_;
  std::string out_;
};

}  // namespace

ExportFile WixSource(const std::vector<Captured>& components, std::string_view path) {
  ExportFile file{std::string(path),
                  "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                  "<Wix xmlns=\"http://wixtoolset.org/schemas/v4/wxs\">\n"
                  "  <Fragment>\n"
                  "    <ComponentGroup Id=\"CapturedComponents\">\n"};
  std::vector<Identity> identities = IdentitiesOf(components);
  const auto sources = SourcesOf(components);
  if (!sources)
    file.notes.push_back(
        "the files lie in no folder in common: each File's Source is its full path");
  for (std::size_t i = 0; i < components.size(); ++i)
    identities[i].source = sources ? (*sources)[i] : components[i].path;
  for (std::size_t i = 0; i < components.size(); ++i)
    file.text += ComponentWriter(components[i], identities[i], file).Text();
  file.text += "    </ComponentGroup>\n  </Fragment>\n</Wix>\n";
  return file;
}

}  // namespace kalvenor::capture
