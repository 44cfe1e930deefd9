// The .reg file: what regsvr32.exe of the installed copy would write, for the 64-bit reg.exe,
// which writes each key at the path the file names.
#include <algorithm>
#include <array>

#include "base/text.h"
#include "capture/exports.h"
#include "capture/placeholders.h"
#include "capture/registry_walk.h"
#include "platform/registry_strings.h"
#include "platform/registry_views.h"

namespace kalvenor::capture {
namespace {

using platform::RegistryValue;

// A key of the classes as a 32-bit program writes it: the redirected ones under Wow6432Node.
std::string Classes32(std::string_view key) {
  const bool apart = platform::IsRedirected(platform::RegistryRoot::MachineClasses, key);
  return (apart ? "Wow6432Node\\" : "") + std::string(key);
}

// HKLM or HKCU as a 32-bit program writes it: the classes as above; under HKLM, Software in
// Software\Wow6432Node but for the keys both views share.
std::string InView32(std::string_view key, platform::RegistryRoot root) {
  if (const auto classes = BelowClasses(key)) {
    return std::string(key.substr(0, 16)) + (classes->empty() ? "" : "\\" + Classes32(*classes));
  }
  if (root == platform::RegistryRoot::LocalMachine && platform::IsRedirected(root, key))
    return std::string(key.substr(0, 8)) + "\\Wow6432Node" + std::string(key.substr(8));
  return std::string(key);
}
std::string Machine32(std::string_view key) {
  return InView32(key, platform::RegistryRoot::LocalMachine);
}
std::string User32(std::string_view key) {
  return InView32(key, platform::RegistryRoot::UserClasses);
}

std::string Quoted(std::string_view text) {
  std::string quoted = "\"";
  for (const char c : text) quoted += c == '\\' || c == '"' ? std::string{'\\', c} : std::string{c};
  return quoted + "\"";
}

// hex:… or hex(N):…, cut into lines of about 80 characters as regedit cuts them.
std::string HexData(std::string line, std::uint32_t type, const std::vector<std::byte>& data) {
  line += type == platform::kRegBinary ? "hex:" : "hex(" + HexDigits(type, 1, false) + "):";
  std::size_t column = line.size();
  for (std::size_t i = 0; i < data.size(); ++i) {
    line += HexDigits(std::to_integer<unsigned>(data[i]), 2, false);
    column += 2;
    if (i + 1 == data.size()) break;
    line += ',';
    if (++column > 76) {
      line += "\\\r\n  ";
      column = 2;
    }
  }
  return line;
}

// The strings of a string value whose bytes are exactly those the strings make, so that they
// can be written anew with placeholders; nothing for any other, written byte for byte.
std::optional<std::vector<std::string>> Canonical(const RegistryValue& value) {
  if (!IsString(value.type)) return std::nullopt;
  std::vector<std::string> strings = Strings(value);
  const bool multi = value.type == platform::kRegMultiSz;
  if ((multi ? MultiStringData(strings) : platform::StringData(strings[0])) != value.data)
    return std::nullopt;
  return strings;
}

std::string ValueLine(const RegistryValue& value, const Captured& component, const Naming& naming) {
  const std::string head = (value.name.empty() ? "@" : Quoted(value.name)) + "=";
  auto strings = Canonical(value);
  if (!strings) {
    if (const auto number = Dword(value)) return head + "dword:" + HexDigits(*number, 8, false);
    return HexData(head, value.type, value.data);
  }
  for (std::string& text : *strings) text = WithPlaceholders(text, component, naming);
  if (value.type == platform::kRegMultiSz)
    return HexData(head, value.type, MultiStringData(*strings));
  // A quoted string holds anything but line breaks and the like.
  const std::string& text = (*strings)[0];
  const bool quotable = std::all_of(text.begin(), text.end(),
                                    [](char c) { return static_cast<unsigned char>(c) >= 0x20; });
  if (value.type == platform::kRegSz && quotable) return head + Quoted(text);
  return HexData(head, value.type, platform::StringData(text));
}

void AppendTree(std::string& out, std::string_view root, const platform::RegistryTree& tree,
                std::string (*inView)(std::string_view), const Captured& component,
                const Naming& naming) {
  for (const KeyValues& key : KeysToWrite(tree)) {
    const std::string path = inView ? inView(key.key) : key.key;
    out += "[" + std::string(root) + (path.empty() ? "" : "\\" + path) + "]\r\n";
    for (const RegistryValue* value : key.values)
      out += ValueLine(*value, component, naming) + "\r\n";
    out += "\r\n";
  }
}

}  // namespace

ExportFile RegFile(const std::vector<Captured>& components, const SystemDirectories& system,
                   std::string_view path) {
  std::string text = "Windows Registry Editor Version 5.00\r\n\r\n";
  for (const Captured& component : components) {
    const bool bits64 = component.view == platform::RegistryView::Bits64;
    const std::string& folder = bits64 ? system.bits64 : system.bits32;
    const std::string file = folder + "\\" + BareName(component);
    const Naming naming{file, file, folder, folder + "\\", "\\\\?\\"};
    const platform::CapturedRegistration& registration = component.registration;
    AppendTree(text, "HKEY_CLASSES_ROOT", registration.classesRoot, bits64 ? nullptr : Classes32,
               component, naming);
    AppendTree(text, "HKEY_LOCAL_MACHINE", registration.localMachine, bits64 ? nullptr : Machine32,
               component, naming);
    AppendTree(text, "HKEY_CURRENT_USER", registration.currentUser, bits64 ? nullptr : User32,
               component, naming);
  }
  std::vector<std::byte> data = platform::StringData(text);
  data.resize(data.size() - 2);  // no terminating null in a file
  return {std::string(path),
          "\xFF\xFE" + std::string(reinterpret_cast<const char*>(data.data()), data.size())};
}

}  // namespace kalvenor::capture
