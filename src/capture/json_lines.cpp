// JSON lines for tools: every value as captured, no placeholders.
#include "base/text.h"
#include "capture/exports.h"
#include "capture/registry_walk.h"

namespace kalvenor::capture {
namespace {

using platform::RegistryValue;

std::string TypeName(std::uint32_t type) {
  switch (type) {
    case 0: return "REG_NONE";
    case platform::kRegSz: return "REG_SZ";
    case platform::kRegExpandSz: return "REG_EXPAND_SZ";
    case platform::kRegBinary: return "REG_BINARY";
    case platform::kRegDword: return "REG_DWORD";
    case platform::kRegMultiSz: return "REG_MULTI_SZ";
    case 11: return "REG_QWORD";
    default: return "REG_" + std::to_string(type);
  }
}

// Strings as JSON strings (a REG_MULTI_SZ as an array of them), a REG_DWORD as a number, any
// other data as hex digits.
std::string Data(const RegistryValue& value) {
  if (value.type == platform::kRegMultiSz) {
    std::string array = "[";
    for (const std::string& text : Strings(value))
      array += (array.size() > 1 ? "," : "") + JsonString(text);
    return array + "]";
  }
  if (IsString(value.type)) return JsonString(Strings(value)[0]);
  if (const auto number = Dword(value)) return std::to_string(*number);
  return JsonString(Hex(value.data));
}

}  // namespace

std::string JsonLines(const std::vector<Captured>& components) {
  std::string lines;
  for (const Captured& component : components) {
    const std::string head = "{\"component\":" + JsonString(component.path) + ",\"view\":" +
                             (component.view == platform::RegistryView::Bits64 ? "64" : "32") +
                             ",\"key\":";
    const platform::CapturedRegistration& registration = component.registration;
    const std::pair<const char*, const platform::RegistryTree*> trees[] = {
        {"HKEY_CLASSES_ROOT", &registration.classesRoot},
        {"HKEY_LOCAL_MACHINE", &registration.localMachine},
        {"HKEY_CURRENT_USER", &registration.currentUser}};
    for (const auto& [root, tree] : trees) {
      for (const RegistryValue& value : tree->values) {
        lines +=
            head + JsonString(std::string(root) + (value.key.empty() ? "" : "\\") + value.key) +
            ",\"name\":" + JsonString(value.name) +
            ",\"type\":" + JsonString(TypeName(value.type)) + ",\"data\":" + Data(value) + "}\r\n";
      }
    }
  }
  return lines;
}

}  // namespace kalvenor::capture
