// The memory platform's registry: keys by root, view and folded path.
#include <algorithm>

#include "platform/memory/folded.h"
#include "platform/memory/memory_platform.h"
#include "platform/registry_strings.h"
#include "platform/registry_views.h"

namespace kalvenor::platform::memory {
namespace {

std::string Joined(std::string_view key, std::string_view relative) {
  return relative.empty() ? std::string(key) : std::string(key) + "\\" + std::string(relative);
}

}  // namespace

RegistryView MemoryPlatform::StoredView(RegistryRoot root, RegistryView view,
                                        std::string_view key) const {
  // 32-bit Windows has one view; 64-bit Windows one for the keys both views share.
  if (systemFolders_.wow64.empty()) return RegistryView::Bits32;
  return IsRedirected(root, key) ? view : RegistryView::Bits64;
}

MemoryPlatform::RegistryPath MemoryPlatform::PathOf(RegistryRoot root, RegistryView view,
                                                    std::string_view key) const {
  return {root, StoredView(root, view, key), Folded(key)};
}

RegistryRoot MemoryPlatform::Hive(RegistryRoot root, RegistryView view,
                                  std::string_view key) const {
  if (root != RegistryRoot::ClassesRoot) return root;
  return registry_.contains(PathOf(RegistryRoot::UserClasses, view, key))
             ? RegistryRoot::UserClasses
             : RegistryRoot::MachineClasses;
}

MemoryPlatform::RegistryKey& MemoryPlatform::MakeKey(RegistryRoot root, RegistryView view,
                                                     std::string_view path) {
  // As in the registry, a key is made with the keys above it.
  for (std::size_t slash = path.find('\\'); slash != std::string_view::npos;
       slash = path.find('\\', slash + 1)) {
    registry_.try_emplace(PathOf(root, view, path.substr(0, slash)),
                          RegistryKey{std::string(path.substr(0, slash)), {}});
  }
  return registry_.try_emplace(PathOf(root, view, path), RegistryKey{std::string(path), {}})
      .first->second;
}

const RegistryValue* MemoryPlatform::FindValue(RegistryRoot root, RegistryView view,
                                               std::string_view key, std::string_view name) const {
  auto found = registry_.find(PathOf(Hive(root, view, key), view, key));
  if (found == registry_.end()) return nullptr;
  for (const RegistryValue& value : found->second.values) {
    if (Folded(value.name) == Folded(name)) return &value;
  }
  return nullptr;
}

void MemoryPlatform::SetValue(RegistryRoot root, RegistryView view, std::string_view key,
                              RegistryValue value) {
  std::vector<RegistryValue>& values = MakeKey(Hive(root, view, key), view, key).values;
  value.key.clear();
  for (RegistryValue& existing : values) {
    if (Folded(existing.name) == Folded(value.name)) {
      existing.type = value.type;
      existing.data = std::move(value.data);
      return;
    }
  }
  values.push_back(std::move(value));
}

std::vector<std::map<MemoryPlatform::RegistryPath, MemoryPlatform::RegistryKey>::const_iterator>
MemoryPlatform::KeyTree(RegistryRoot root, RegistryView view, std::string_view path) const {
  const std::string folded = Folded(path);
  root = Hive(root, view, path);
  std::vector<std::map<RegistryPath, RegistryKey>::const_iterator> keys;
  // Every path that begins with the key's lies together in each stored view; only the key and
  // those below it count, not "{A}B" beside "{A}", and of each view only the keys this view sees
  // there.
  for (const RegistryView stored : {RegistryView::Bits32, RegistryView::Bits64}) {
    for (auto at = registry_.lower_bound({root, stored, folded});
         at != registry_.end() && std::get<0>(at->first) == root &&
         std::get<1>(at->first) == stored && std::get<2>(at->first).starts_with(folded);
         ++at) {
      const std::string& other = std::get<2>(at->first);
      // A root's own subkeys: all of its keys.
      const bool below =
          folded.empty() || other.size() == folded.size() || other[folded.size()] == '\\';
      if (below && StoredView(root, view, other) == stored) keys.push_back(at);
    }
  }
  // Each key after its parent.
  std::sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) {
    return std::get<2>(a->first) < std::get<2>(b->first);
  });
  return keys;
}

std::string MemoryPlatform::Expanded(std::string_view text) const {
  std::string expanded;
  for (;;) {
    const std::size_t open = text.find('%');
    const std::size_t close = open == std::string_view::npos ? open : text.find('%', open + 1);
    if (close == std::string_view::npos) return expanded + std::string(text);
    expanded += text.substr(0, open);
    if (const auto value = Environ(text.substr(open + 1, close - open - 1))) {
      expanded += *value;
      text.remove_prefix(close + 1);
    } else {
      // Left as it is; its closing % may open the next name.
      expanded += text.substr(open, close - open);
      text.remove_prefix(close);
    }
  }
}

void MemoryPlatform::SetRegistryString(RegistryRoot root, RegistryView view, std::string key,
                                       std::string name, std::string value) {
  SetValue(root, view, key, {{}, std::move(name), kRegSz, StringData(value)});
}

std::optional<std::string> MemoryPlatform::RegistryString(RegistryRoot root, RegistryView view,
                                                          std::string_view key,
                                                          std::string_view name) const {
  const RegistryValue* value = FindValue(root, view, key, name);
  if (!value || (value->type != kRegSz && value->type != kRegExpandSz)) return std::nullopt;
  const std::string text = StringText(value->data);
  return value->type == kRegExpandSz ? Expanded(text) : text;
}

std::optional<std::uint32_t> MemoryPlatform::RegistryDword(RegistryRoot root, RegistryView view,
                                                           std::string_view key,
                                                           std::string_view name) const {
  const RegistryValue* value = FindValue(root, view, key, name);
  if (!value || value->type != kRegDword || value->data.size() != 4) return std::nullopt;
  std::uint32_t number = 0;
  for (int i = 3; i >= 0; --i)
    number = number << 8 | std::to_integer<std::uint32_t>(value->data[i]);
  return number;
}

Status MemoryPlatform::SetRegistryDword(RegistryRoot root, RegistryView view, std::string_view key,
                                        std::string_view name, std::uint32_t value) {
  std::vector<std::byte> data;
  for (int i = 0; i < 4; ++i) data.push_back(static_cast<std::byte>((value >> (8 * i)) & 0xFF));
  SetValue(root, view, key, {{}, std::string(name), kRegDword, std::move(data)});
  return Done{};
}

Status MemoryPlatform::WriteRegistryString(RegistryRoot root, RegistryView view,
                                           std::string_view key, std::string_view name,
                                           std::string_view text) {
  SetRegistryString(root, view, std::string(key), std::string(name), std::string(text));
  return Done{};
}

Status MemoryPlatform::DeleteRegistryValue(RegistryRoot root, RegistryView view,
                                           std::string_view key, std::string_view name) {
  auto found = registry_.find(PathOf(Hive(root, view, key), view, key));
  if (found != registry_.end()) {
    std::erase_if(found->second.values,
                  [&](const RegistryValue& value) { return Folded(value.name) == Folded(name); });
  }
  return Done{};
}

std::vector<std::string> MemoryPlatform::RegistrySubkeys(RegistryRoot root, RegistryView view,
                                                         std::string_view key) const {
  std::vector<std::string> names;
  // HKCR lists the subkeys of both hives, each name once.
  const bool merged = root == RegistryRoot::ClassesRoot;
  for (const RegistryRoot hive :
       merged ? std::vector{RegistryRoot::UserClasses, RegistryRoot::MachineClasses}
              : std::vector{root}) {
    for (const auto& at : KeyTree(hive, view, key)) {
      const std::string& path = at->second.path;
      if (path.size() <= key.size()) continue;  // the key itself
      const std::string name = key.empty() ? path : path.substr(key.size() + 1);
      if (name.find('\\') != std::string::npos) continue;
      if (std::none_of(names.begin(), names.end(),
                       [&](const std::string& listed) { return Folded(listed) == Folded(name); })) {
        names.push_back(name);
      }
    }
  }
  return names;
}

Result<std::optional<RegistryTree>> MemoryPlatform::ReadRegistryTree(RegistryRoot root,
                                                                     RegistryView view,
                                                                     std::string_view key) const {
  const auto keys = KeyTree(root, view, key);
  if (keys.empty()) return std::optional<RegistryTree>();
  RegistryTree tree;
  for (const auto& at : keys) {
    const std::string relative =
        at->second.path.substr(std::min(key.size() + 1, at->second.path.size()));
    tree.keys.push_back(relative);
    for (RegistryValue value : at->second.values) {
      value.key = relative;
      tree.values.push_back(std::move(value));
    }
  }
  return std::optional<RegistryTree>(std::move(tree));
}

Status MemoryPlatform::WriteRegistryTree(RegistryRoot root, RegistryView view, std::string_view key,
                                         const std::optional<RegistryTree>& tree) {
  if (key.empty()) return MemoryError(kErrorInvalidParameter);
  root = Hive(root, view, key);
  if (tree) {
    MakeKey(root, view, key);
    for (const std::string& relative : tree->keys) MakeKey(root, view, Joined(key, relative));
    for (const RegistryValue& value : tree->values)
      SetValue(root, view, Joined(key, value.key), value);
  }
  // Then what the tree does not hold goes.
  // A key that only a value names is made, and so held, too.
  auto keyHeld = [&](const std::string& relative) {
    auto same = [&](std::string_view kept) { return Folded(kept) == Folded(relative); };
    return tree && (relative.empty() || std::any_of(tree->keys.begin(), tree->keys.end(), same) ||
                    std::any_of(tree->values.begin(), tree->values.end(),
                                [&](const RegistryValue& value) { return same(value.key); }));
  };
  auto valueHeld = [&](const std::string& relative, const std::string& name) {
    return std::any_of(tree->values.begin(), tree->values.end(), [&](const RegistryValue& value) {
      return Folded(value.key) == Folded(relative) && Folded(value.name) == Folded(name);
    });
  };
  for (const auto& at : KeyTree(root, view, key)) {
    const std::string relative =
        at->second.path.substr(std::min(key.size() + 1, at->second.path.size()));
    if (!keyHeld(relative)) {
      registry_.erase(at);
      continue;
    }
    std::erase_if(registry_.find(at->first)->second.values,
                  [&](const RegistryValue& value) { return !valueHeld(relative, value.name); });
  }
  return Done{};
}

}  // namespace kalvenor::platform::memory
