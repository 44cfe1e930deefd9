#include "capture/registry_walk.h"

#include <algorithm>
#include <map>
#include <set>

#include "base/text.h"
#include "platform/registry_strings.h"

namespace kalvenor::capture {

using platform::RegistryTree;
using platform::RegistryValue;

std::vector<KeyValues> KeysToWrite(const RegistryTree& tree) {
  std::map<std::string, std::vector<const RegistryValue*>> values;
  for (const RegistryValue& value : tree.values) values[AsciiLower(value.key)].push_back(&value);
  std::set<std::string> parents;
  for (const std::string& key : tree.keys) {
    const std::size_t slash = key.rfind('\\');
    parents.insert(AsciiLower(slash == std::string::npos ? "" : key.substr(0, slash)));
  }
  std::vector<KeyValues> keys;
  for (const std::string& key : tree.keys) {
    const std::string lower = AsciiLower(key);
    auto held = values.find(lower);
    if (held != values.end()) {
      keys.push_back({key, held->second});
    } else if (!key.empty() && !parents.contains(lower)) {
      keys.push_back({key, {}});
    }
  }
  return keys;
}

std::optional<std::string> BelowClasses(std::string_view key) {
  static constexpr std::string_view kClasses = "software\\classes";
  const std::string lower = AsciiLower(key);
  if (lower == kClasses) return std::string();
  if (lower.starts_with(kClasses) && lower[kClasses.size()] == '\\')
    return std::string(key.substr(kClasses.size() + 1));
  return std::nullopt;
}

RegistryTree Classes(const platform::CapturedRegistration& registration) {
  RegistryTree classes;
  std::map<std::string, std::string> spelled;  // each key's first spelling, by its lower case
  std::set<std::string> named;                 // each value's key and name, lower case
  auto merge = [&](const RegistryTree& tree, bool whole) {
    auto relative = [&](const std::string& key) {
      return whole ? std::optional<std::string>(key) : BelowClasses(key);
    };
    for (const std::string& key : tree.keys) {
      if (auto inside = relative(key);
          inside && spelled.emplace(AsciiLower(*inside), *inside).second)
        classes.keys.push_back(*inside);
    }
    for (const RegistryValue& value : tree.values) {
      auto inside = relative(value.key);
      if (!inside) continue;
      const std::string lower = AsciiLower(*inside);
      if (!named.insert(lower + '\0' + AsciiLower(value.name)).second) continue;
      const auto key = spelled.find(lower);
      classes.values.push_back(
          {key == spelled.end() ? *inside : key->second, value.name, value.type, value.data});
    }
  };
  merge(registration.classesRoot, true);
  merge(registration.localMachine, false);
  merge(registration.currentUser, false);
  return classes;
}

bool IsString(std::uint32_t type) {
  return type == platform::kRegSz || type == platform::kRegExpandSz ||
         type == platform::kRegMultiSz;
}

std::vector<std::string> Strings(const RegistryValue& value) {
  const std::string text = platform::StringText(value.data);
  if (value.type != platform::kRegMultiSz) return {text};
  if (text.empty()) return {};
  std::vector<std::string> strings(1);
  for (const char c : text) {
    if (c == '\0') {
      strings.emplace_back();
    } else {
      strings.back() += c;
    }
  }
  return strings;
}

ReadStrings StringsAsRead(const RegistryValue& value) {
  const std::string text = platform::StringText(value.data);  // without its trailing nulls
  if (value.type != platform::kRegMultiSz) {
    const std::size_t end = text.find('\0');
    return {{text.substr(0, end)}, end != std::string::npos};
  }
  ReadStrings read;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\0', start), text.size());
    if (end == start) return {std::move(read.strings), true};
    read.strings.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return read;
}

std::string ValuePlace(std::string_view where, const RegistryValue& value) {
  return std::string(where) + ", " +
         (value.name.empty() ? "its default value" : "value \"" + value.name + "\"");
}

std::string CutNote(std::string_view where, const RegistryValue& value) {
  return ValuePlace(where, value) +
         (value.type == platform::kRegMultiSz
              ? ": the strings after the empty one that ends the list are left out"
              : ": the characters after the first null are left out");
}

std::vector<std::byte> MultiStringData(const std::vector<std::string>& strings) {
  std::vector<std::byte> data;
  for (const std::string& text : strings) {
    const std::vector<std::byte> one = platform::StringData(text);
    data.insert(data.end(), one.begin(), one.end());
  }
  data.resize(data.size() + 2, std::byte{0});
  return data;
}

std::optional<std::uint32_t> Dword(const RegistryValue& value) {
  if (value.type != platform::kRegDword || value.data.size() != 4) return std::nullopt;
  std::uint32_t number = 0;
  for (int i = 3; i >= 0; --i) number = number << 8 | std::to_integer<std::uint32_t>(value.data[i]);
  return number;
}

std::string Hex(const std::vector<std::byte>& data) {
  std::string hex;
  for (const std::byte b : data) hex += HexDigits(std::to_integer<unsigned>(b), 2, false);
  return hex;
}

}  // namespace kalvenor::capture
