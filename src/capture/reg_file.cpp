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

// A value as regedit writes it; a string value's strings as Windows reads them, written anew
// with placeholders.
std::string ValueLine(const RegistryValue& value, const std::string& where,
                      const Captured& component, const Naming& naming,
                      std::vector<std::string>& notes) {
  const std::string head = (value.name.empty() ? "@" : Quoted(value.name)) + "=";
  if (!IsString(value.type)) {
    if (const auto number = Dword(value)) return head + "dword:" + HexDigits(*number, 8, false);
    return HexData(head, value.type, value.data);
  }
  ReadStrings read = StringsAsRead(value);
  if (read.cut) notes.push_back(CutNote(where, value));
  for (std::string& text : read.strings) text = WithPlaceholders(text, component, naming);
  if (value.type == platform::kRegMultiSz)
    return HexData(head, value.type, MultiStringData(read.strings));
  // A quoted string holds anything but line breaks and the like.
  const std::string& text = read.strings[0];
  const bool quotable = std::all_of(text.begin(), text.end(),
                                    [](char c) { return static_cast<unsigned char>(c) >= 0x20; });
  if (value.type == platform::kRegSz && quotable) return head + Quoted(text);
  return HexData(head, value.type, platform::StringData(text));
}

// A .reg file has a line for each key and value: a name with a line break in it, or another
// control character, would be read as something else, and so would a key's name with the ']'
// that ends its line.
bool Controls(std::string_view name) {
  return std::any_of(name.begin(), name.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

void AppendTree(ExportFile& file, std::string_view root, const platform::RegistryTree& tree,
                std::string (*inView)(std::string_view), const Captured& component,
                const Naming& naming) {
  for (const KeyValues& key : KeysToWrite(tree)) {
    const std::string where =
        std::string(root) + (key.key.empty() ? "" : "\\" + (inView ? inView(key.key) : key.key));
    if (Controls(key.key) || key.key.find(']') != std::string::npos) {
      file.failures.push_back(where +
                              ": it holds a control character or a ']' that a .reg file cannot "
                              "hold, the key and its values are left out");
      continue;
    }
    file.text += "[" + where + "]\r\n";
    for (const RegistryValue* value : key.values) {
      if (Controls(value->name)) {
        file.failures.push_back(ValuePlace(where, *value) +
                                ": it holds a control character that a .reg file cannot hold, "
                                "the value is left out");
        continue;
      }
      file.text += ValueLine(*value, where, component, naming, file.notes) + "\r\n";
    }
    file.text += "\r\n";
  }
}

}  // namespace

ExportFile RegFile(const std::vector<Captured>& components, const SystemDirectories& system,
                   std::string_view path) {
  ExportFile file{std::string(path), "Windows Registry Editor Version 5.00\r\n\r\n"};
  for (const Captured& component : components) {
    const bool bits64 = component.view == platform::RegistryView::Bits64;
    const std::string& folder = bits64 ? system.bits64 : system.bits32;
    const std::string installed = folder + "\\" + BareName(component);
    const Naming naming{installed, installed, folder, folder + "\\", "\\\\?\\"};
    const platform::CapturedRegistration& registration = component.registration;
    AppendTree(file, "HKEY_CLASSES_ROOT", registration.classesRoot, bits64 ? nullptr : Classes32,
               component, naming);
    AppendTree(file, "HKEY_LOCAL_MACHINE", registration.localMachine, bits64 ? nullptr : Machine32,
               component, naming);
    AppendTree(file, "HKEY_CURRENT_USER", registration.currentUser, bits64 ? nullptr : User32,
               component, naming);
  }
  std::vector<std::byte> data = platform::StringData(file.text);
  data.resize(data.size() - 2);  // no terminating null in a file
  file.text = "\xFF\xFE" + std::string(reinterpret_cast<const char*>(data.data()), data.size());
  return file;
}

}  // namespace kalvenor::capture
