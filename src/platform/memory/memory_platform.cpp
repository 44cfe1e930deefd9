#include "platform/memory/memory_platform.h"

#include <algorithm>
#include <utility>

#include "platform/memory/memory_form.h"
#include "platform/registry_strings.h"
#include "platform/wildcard.h"

namespace kalvenor::platform::memory {
namespace {

// Windows compares paths without regard to the case of letters.
std::string Folded(std::string_view path) {
  std::string folded(path);
  for (char& c : folded) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return folded;
}

std::string_view FolderOf(std::string_view path) {
  const std::size_t slash = path.rfind('\\');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

std::string_view NameOf(std::string_view path) {
  const std::size_t slash = path.rfind('\\');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

class MemoryProcess final : public Process {
 public:
  MemoryProcess(MemoryPlatform& platform, const ProcessScript& script)
      : platform_(platform), exitCode_(script.exitCode), remainingMs_(script.runsForMs) {}
  Result<std::uint32_t> ExitCode() const override { return exitCode_; }
  void FlashWindows() override { platform_.processFlashes.push_back(platform_.TickCount()); }

 private:
  Wake Wait(std::optional<std::uint32_t> timeoutMs) override {
    if (platform_.EventsPending()) return Wake::Events;
    if (timeoutMs && *timeoutMs < remainingMs_) {
      platform_.AdvanceTicks(*timeoutMs);
      remainingMs_ -= *timeoutMs;
      return Wake::Timeout;
    }
    platform_.AdvanceTicks(remainingMs_);
    remainingMs_ = 0;
    return Wake::Ended;
  }

  MemoryPlatform& platform_;
  std::uint32_t exitCode_;
  std::uint32_t remainingMs_;
};

// Appends the lower-case form of one code point (ASCII, Latin-1, Greek, Cyrillic capitals).
void AppendLower(std::string& out, char32_t c) {
  if ((c >= U'A' && c <= U'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7))
    c += 0x20;
  else if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2)
    c += 0x20;
  else if (c >= 0x410 && c <= 0x42F)
    c += 0x20;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string Joined(std::string_view key, std::string_view relative) {
  return relative.empty() ? std::string(key) : std::string(key) + "\\" + std::string(relative);
}

}  // namespace

SystemError MemoryError(std::uint32_t code) {
  switch (code) {
    case 2: return {code, "The system cannot find the file specified."};
    case 3: return {code, "The system cannot find the path specified."};
    case 5: return {code, "Access is denied."};
    case 32:
      return {code,
              "The process cannot access the file because it is being used by another "
              "process."};
    case 80: return {code, "The file exists."};
    case 87: return {code, "The parameter is incorrect."};
    case 145: return {code, "The directory is not empty."};
    case 183: return {code, "Cannot create a file when that file already exists."};
    case 112: return {code, "There is not enough space on the disk."};
    default: return {code, "Error " + std::to_string(code) + "."};
  }
}

MemoryPlatform::MemoryPlatform() = default;
MemoryPlatform::~MemoryPlatform() = default;

MemoryPlatform::Entry* MemoryPlatform::Find(std::string_view path) {
  auto found = entries_.find(Folded(path));
  return found == entries_.end() ? nullptr : &found->second;
}

const MemoryPlatform::Entry* MemoryPlatform::Find(std::string_view path) const {
  return const_cast<MemoryPlatform*>(this)->Find(path);
}

void MemoryPlatform::Put(std::string path, bool folder, FileOptions options) {
  std::string key = Folded(path);
  entries_.insert_or_assign(std::move(key),
                            Entry{std::move(path), folder, std::move(options), nextOrder_++});
}

std::vector<const MemoryPlatform::Entry*> MemoryPlatform::Ordered() const {
  std::vector<const Entry*> ordered;
  for (const auto& [key, entry] : entries_) ordered.push_back(&entry);
  std::sort(ordered.begin(), ordered.end(),
            [](const Entry* a, const Entry* b) { return a->order < b->order; });
  return ordered;
}

void MemoryPlatform::AddFolder(const std::string& path) {
  if (!Find(path)) Put(path, true, {});
}

void MemoryPlatform::AddFile(const std::string& path, FileOptions options) {
  if (Entry* existing = Find(path)) {
    existing->options = std::move(options);
    return;
  }
  Put(path, false, std::move(options));
}

bool MemoryPlatform::HasFile(const std::string& path) const {
  const Entry* entry = Find(path);
  return entry && !entry->folder;
}

std::string MemoryPlatform::Content(const std::string& path) const {
  const Entry* entry = Find(path);
  return entry ? entry->options.content : std::string();
}

std::vector<std::string> MemoryPlatform::Files() const {
  std::vector<std::string> files;
  for (const Entry* entry : Ordered()) {
    if (!entry->folder) files.push_back(entry->path);
  }
  return files;
}

void MemoryPlatform::SetEnv(const std::string& name, std::optional<std::string> value) {
  if (value) {
    env_[Folded(name)] = *value;
  } else {
    env_.erase(Folded(name));
  }
}

void MemoryPlatform::AddShortName(const std::string& shortPath, const std::string& longPath) {
  longNames_[Folded(shortPath)] = longPath;
}

std::string MemoryPlatform::LongPathName(std::string_view path) const {
  const auto found = longNames_.find(Folded(path));
  return found == longNames_.end() ? std::string(path) : found->second;
}

std::optional<std::string> MemoryPlatform::Environ(std::string_view name) const {
  auto found = env_.find(Folded(name));
  if (found == env_.end()) return std::nullopt;
  return found->second;
}

std::string MemoryPlatform::LowerCase(std::string_view text) const {
  std::string lower;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if ((lead & 0xE0) == 0xC0 && i + 1 < text.size()) {
      AppendLower(lower, static_cast<char32_t>(((lead & 0x1F) << 6) | (text[i + 1] & 0x3F)));
      ++i;
    } else if (lead < 0x80) {
      AppendLower(lower, lead);
    } else {
      lower += text[i];
    }
  }
  return lower;
}

std::vector<std::string> MemoryPlatform::Dir(std::string_view pattern, DirAttributes attributes) {
  std::vector<std::string> names;
  const std::string folder = Folded(FolderOf(pattern));
  const bool folders = attributes == DirAttributes::Folders;
  for (const Entry* entry : Ordered()) {
    if (entry->folder != folders || entry->options.system) continue;
    if (entry->options.hidden && attributes != DirAttributes::Hidden) continue;
    if (Folded(FolderOf(entry->path)) != folder) continue;
    if (WildcardMatch(NameOf(pattern), NameOf(entry->path))) {
      names.emplace_back(NameOf(entry->path));
    }
  }
  return names;
}

Result<std::vector<std::byte>> MemoryPlatform::ReadFile(std::string_view path,
                                                        std::size_t maxBytes) const {
  const Entry* file = Find(path);
  if (!file || file->folder) return MemoryError(2);
  const std::string& content = file->options.content;
  const auto* bytes = reinterpret_cast<const std::byte*>(content.data());
  return std::vector<std::byte>(bytes, bytes + std::min(content.size(), maxBytes));
}

MemoryPlatform::RegistryKey& MemoryPlatform::MakeKey(RegistryRoot root, RegistryView view,
                                                     std::string_view path) {
  // As in the registry, a key is made with the keys above it.
  for (std::size_t slash = path.find('\\'); slash != std::string_view::npos;
       slash = path.find('\\', slash + 1)) {
    registry_.try_emplace({root, view, Folded(path.substr(0, slash))},
                          RegistryKey{std::string(path.substr(0, slash)), {}});
  }
  return registry_.try_emplace({root, view, Folded(path)}, RegistryKey{std::string(path), {}})
      .first->second;
}

const RegistryValue* MemoryPlatform::FindValue(RegistryRoot root, RegistryView view,
                                               std::string_view key, std::string_view name) const {
  auto found = registry_.find({root, view, Folded(key)});
  if (found == registry_.end()) return nullptr;
  for (const RegistryValue& value : found->second.values) {
    if (Folded(value.name) == Folded(name)) return &value;
  }
  return nullptr;
}

void MemoryPlatform::SetValue(RegistryRoot root, RegistryView view, std::string_view key,
                              RegistryValue value) {
  std::vector<RegistryValue>& values = MakeKey(root, view, key).values;
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
  std::vector<std::map<RegistryPath, RegistryKey>::const_iterator> keys;
  // Every path that begins with the key's lies together; only the key and those below it count,
  // not "{A}B" beside "{A}".
  for (auto at = registry_.lower_bound({root, view, folded});
       at != registry_.end() && std::get<0>(at->first) == root && std::get<1>(at->first) == view &&
       std::get<2>(at->first).starts_with(folded);
       ++at) {
    const std::string& other = std::get<2>(at->first);
    if (other.size() == folded.size() || other[folded.size()] == '\\') keys.push_back(at);
  }
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

Status MemoryPlatform::CopyNew(std::string_view source, std::string_view destination) {
  const Entry* from = Find(source);
  if (!from || from->folder) return MemoryError(2);
  const Entry* folder = Find(FolderOf(destination));
  if (!folder || !folder->folder) return MemoryError(3);
  if (Find(destination)) return MemoryError(80);
  FileOptions copy;
  copy.content = from->options.content;
  if (copyFailure_) {
    // The half that was written before the failure stays behind, as on a full disk.
    copy.content.resize(copy.content.size() / 2);
    Put(std::string(destination), false, copy);
    SystemError error = *copyFailure_;
    copyFailure_.reset();
    return error;
  }
  Put(std::string(destination), false, std::move(copy));
  return Done{};
}

Status MemoryPlatform::Replace(std::string_view replacement, std::string_view destination) {
  Entry* from = Find(replacement);
  if (!from || from->folder) return MemoryError(2);
  if (Entry* to = Find(destination)) {
    if (to->folder || to->options.readOnly) return MemoryError(5);
    if (to->options.locked || to->options.loaded) return MemoryError(32);
    to->options.content = from->options.content;
  } else {
    Put(std::string(destination), false, {from->options.content});
  }
  return Delete(replacement);
}

Status MemoryPlatform::Delete(std::string_view path) {
  Entry* entry = Find(path);
  if (!entry || entry->folder) return MemoryError(2);
  if (entry->options.readOnly || entry->options.loaded) return MemoryError(5);
  if (entry->options.locked) return MemoryError(32);
  entries_.erase(Folded(path));
  return Done{};
}

Result<std::unique_ptr<Process>> MemoryPlatform::Start(std::string_view program,
                                                       std::string_view commandLine, ShowWindow) {
  started.emplace_back(program, commandLine);
  ProcessScript script;
  if (onStart) script = onStart(std::string(program), std::string(commandLine));
  if (script.startError) return *script.startError;
  if (!HasFile(std::string(program))) return MemoryError(2);
  if (script.onStart) script.onStart();
  return std::unique_ptr<Process>(std::make_unique<MemoryProcess>(*this, script));
}

std::unique_ptr<Form> MemoryPlatform::CreateForm(const FormDescription& desc, FormEvents& events) {
  return std::make_unique<MemoryForm>(*this, desc, events);
}

std::vector<Form*> MemoryPlatform::Forms() { return {forms_.begin(), forms_.end()}; }

void MemoryPlatform::FormLoaded(MemoryForm* form) {
  forms_.push_back(form);
  everLoaded_ = true;
}

void MemoryPlatform::FormUnloaded(MemoryForm* form) {
  std::erase(forms_, form);
  if (focusForm_ == form) SetFocused(nullptr, nullptr, 0);
}

void MemoryPlatform::DoEvents() {
  ++doEventsCalls;
  // Only what is waiting now; events posted by these handlers wait for the next pass.
  std::deque<std::function<void()>> waiting;
  waiting.swap(events_);
  for (auto& event : waiting) event();
}

void MemoryPlatform::WaitForEvents(std::uint32_t milliseconds) {
  if (events_.empty()) ticks_ += milliseconds;
}

void MemoryPlatform::MsgBox(Form&, std::string_view text, std::string_view title, MsgBoxStyle) {
  messageBoxes.push_back(std::string(title) + "\n" + std::string(text));
}

void MemoryPlatform::OwnerlessMsgBox(std::string_view text, std::string_view title, MsgBoxStyle) {
  messageBoxes.push_back(std::string(title) + "\n" + std::string(text));
}

std::optional<std::string> MemoryPlatform::FileOpenDialog(Form&, const FileOpenRequest& request) {
  dialogRequests.push_back(request);
  std::optional<std::string> choice = std::move(nextDialogChoice);
  nextDialogChoice.reset();
  if (!choice || choice->size() > request.fileBuffer.size()) return std::nullopt;
  std::string buffer = request.fileBuffer;
  buffer.replace(0, choice->size() + 1, *choice + '\0');
  return buffer;
}

std::optional<std::string> MemoryPlatform::FileSaveDialog(Form&, const FileSaveRequest& request) {
  saveRequests.push_back(request);
  return std::exchange(nextSaveChoice, std::nullopt);
}

std::optional<std::size_t> MemoryPlatform::PopupMenu(Form&, const std::vector<std::string>& items) {
  menus.push_back(items);
  return std::exchange(nextMenuChoice, std::nullopt);
}

Status MemoryPlatform::SetClipboardText(Form&, std::string_view text) {
  clipboard = text;
  return Done{};
}

Status MemoryPlatform::WriteNew(std::string_view path, std::string_view bytes) {
  if (writeFailure_) return *std::exchange(writeFailure_, std::nullopt);
  const Entry* folder = Find(FolderOf(path));
  if (!folder || !folder->folder) return MemoryError(3);
  if (Find(path)) return MemoryError(80);
  Put(std::string(path), false, {.content = std::string(bytes)});
  return Done{};
}

Status MemoryPlatform::CreateFolder(std::string_view path) {
  if (const Entry* existing = Find(path))
    return existing->folder ? Status(Done{}) : MemoryError(183);
  const Entry* parent = Find(FolderOf(path));
  if (!parent || !parent->folder) return MemoryError(3);
  Put(std::string(path), true, {});
  return Done{};
}

Status MemoryPlatform::CreateNewFolder(std::string_view path) {
  if (Find(path)) return MemoryError(183);
  return CreateFolder(path);
}

Status MemoryPlatform::CreateProtectedFolder(std::string_view path) {
  const bool existed = Find(path) != nullptr;
  Status created = CreateFolder(path);
  if (created.ok() && !existed) Find(path)->protectedFolder = true;
  return created;
}

Result<bool> MemoryPlatform::IsProtectedFolder(std::string_view path) const {
  const Entry* folder = Find(path);
  if (!folder) return MemoryError(3);
  return folder->folder && folder->protectedFolder;  // a file is no folder of anyone's
}

Status MemoryPlatform::RemoveFolder(std::string_view path) {
  const Entry* folder = Find(path);
  if (!folder || !folder->folder) return MemoryError(3);
  const std::string inside = Folded(path) + "\\";
  for (const auto& [key, entry] : entries_) {
    if (key.starts_with(inside)) return MemoryError(145);  // the directory is not empty
  }
  entries_.erase(Folded(path));
  return Done{};
}

Status MemoryPlatform::AppendDurably(std::string_view path, std::string_view text) {
  if (onAppend) onAppend();
  if (writeFailure_) return *std::exchange(writeFailure_, std::nullopt);
  if (Entry* existing = Find(path)) {
    if (existing->folder) return MemoryError(5);
    existing->options.content += text;
    return Done{};
  }
  const Entry* folder = Find(FolderOf(path));
  if (!folder || !folder->folder) return MemoryError(3);
  Put(std::string(path), false, {.content = std::string(text)});
  return Done{};
}

Status MemoryPlatform::Rename(std::string_view from, std::string_view to) {
  Entry* entry = Find(from);
  if (!entry) return MemoryError(2);
  if (entry->options.locked) return MemoryError(32);
  if (Find(to)) return MemoryError(183);
  Entry moved = *entry;
  entries_.erase(Folded(from));
  Put(std::string(to), moved.folder, moved.options);
  Find(to)->protectedFolder = moved.protectedFolder;
  // A folder takes what is inside it along.
  const std::string inside = Folded(from) + "\\";
  std::vector<Entry> children;
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (!it->first.starts_with(inside)) {
      ++it;
      continue;
    }
    children.push_back(std::move(it->second));
    it = entries_.erase(it);
  }
  for (Entry& child : children) {
    child.path = std::string(to) + child.path.substr(from.size());
    entries_.emplace(Folded(child.path), std::move(child));
  }
  return Done{};
}

bool MemoryPlatform::InUse(std::string_view path) const {
  const Entry* entry = Find(path);
  return entry && (entry->options.locked || entry->options.loaded);
}

Status MemoryPlatform::DeleteAtRestart(std::string_view path) {
  if (!elevated_) return MemoryError(5);
  deletedAtRestart.emplace_back(path);
  return Done{};
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

Status MemoryPlatform::DeleteRegistryValue(RegistryRoot root, RegistryView view,
                                           std::string_view key, std::string_view name) {
  auto found = registry_.find({root, view, Folded(key)});
  if (found != registry_.end()) {
    std::erase_if(found->second.values,
                  [&](const RegistryValue& value) { return Folded(value.name) == Folded(name); });
  }
  return Done{};
}

std::vector<std::string> MemoryPlatform::RegistrySubkeys(RegistryRoot root, RegistryView view,
                                                         std::string_view key) const {
  std::vector<std::string> names;
  for (const auto& at : KeyTree(root, view, key)) {
    const std::string& path = at->second.path;
    if (path.size() <= key.size()) continue;  // the key itself
    const std::string name = path.substr(key.size() + 1);
    if (name.find('\\') == std::string::npos) names.push_back(name);
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
  for (const auto& at : KeyTree(root, view, key)) registry_.erase(at);
  if (!tree) return Done{};
  MakeKey(root, view, key);
  for (const std::string& relative : tree->keys) MakeKey(root, view, Joined(key, relative));
  for (const RegistryValue& value : tree->values)
    SetValue(root, view, Joined(key, value.key), value);
  return Done{};
}

void MemoryPlatform::Drop(Form& form, const std::vector<std::string>& paths) {
  auto& memoryForm = static_cast<MemoryForm&>(form);
  if (memoryForm.AcceptsDrops()) memoryForm.Events().OnDropFiles(paths);
}

void MemoryPlatform::ContextMenu(Form& form, int controlId) {
  static_cast<MemoryForm&>(form).Events().OnContextMenu(controlId);
}

void MemoryPlatform::SetFocused(const Control* control, const Form* form, int id) {
  focused_ = control;
  focusForm_ = form;
  focusedId_ = id;
}

void MemoryPlatform::Click(Form& form, int controlId) {
  auto& memoryForm = static_cast<MemoryForm&>(form);
  if (controlId != FormEvents::kSurface) {
    Control& control = form.Item(controlId);
    if (!control.Visible() || !control.Enabled()) return;
    (void)control.SetFocus();
    if (auto* check = dynamic_cast<CheckBox*>(&control))
      check->SetValue(check->Value() == 1 ? 0 : 1);
  }
  memoryForm.Events().OnClick(controlId);
}

// As on Windows, a disabled control does not take the mouse: its window's surface does.
void MemoryPlatform::MouseMove(Form& form, int controlId) {
  if (controlId != FormEvents::kSurface && !form.Item(controlId).Enabled()) {
    controlId = FormEvents::kSurface;
  }
  static_cast<MemoryForm&>(form).Events().OnMouseMove(controlId);
}

void MemoryPlatform::KeyPress(Form& form, int key) {
  static_cast<MemoryForm&>(form).Events().OnKeyPress(key);
}

}  // namespace kalvenor::platform::memory
