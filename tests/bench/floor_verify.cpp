// The verification floor: the least a check of installed components reads, in one process.
//   floor_verify <package folder> <system folder>
// Learns the classes that clients create, the interfaces and the library id from the type
// library of the package's first .dll (before the clock starts: every component of the bench is
// a copy of the same one). Then for each .dll of the package, in name order: the SHA-256 of the
// package's file and of its copy in the system folder, the copy's imports looked for there and
// in the system's own directory, and the values a check reads in the view of its bitness: each
// class's InprocServer32 and ThreadingModel (the server's long name when it is not the copy),
// its per-user InprocServer32, its ProgIDs, the library's TypeLib key, each interface's
// proxy/stub class and that class's server, the shared count and the mark of a held share.
// Prints "elapsed_ms", "files" and "values" (registry values found, over all the components).
#include <windows.h>
// After windows.h, which they depend on.
#include <oleauto.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/win32/handles.h"

#include "base/sha256.h"

namespace {

using Key = kalvenor::win32::UniqueKey;
using Search = kalvenor::win32::UniqueFind;

struct Releaser {
  void operator()(IUnknown* object) const { object->Release(); }
};

double Seconds() {
  LARGE_INTEGER counter{}, frequency{};
  ::QueryPerformanceCounter(&counter);
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::wstring Text(const GUID& id) {
  wchar_t text[40] = {};
  ::StringFromGUID2(id, text, 40);
  return text;
}

// What the type library says to check.
struct Declared {
  std::vector<std::wstring> classes, interfaces;
  std::wstring libid;
};

Declared DeclaredBy(const std::wstring& component) {
  Declared declared;
  ITypeLib* opened = nullptr;
  if (FAILED(::LoadTypeLibEx(component.c_str(), REGKIND_NONE, &opened))) return declared;
  const std::unique_ptr<ITypeLib, Releaser> library(opened);
  TLIBATTR* attributes = nullptr;
  if (SUCCEEDED(library->GetLibAttr(&attributes))) {
    declared.libid = Text(attributes->guid);
    library->ReleaseTLibAttr(attributes);
  }
  for (UINT i = 0; i < library->GetTypeInfoCount(); ++i) {
    ITypeInfo* info = nullptr;
    if (FAILED(library->GetTypeInfo(i, &info))) continue;
    const std::unique_ptr<ITypeInfo, Releaser> type(info);
    TYPEATTR* typeAttributes = nullptr;
    if (FAILED(type->GetTypeAttr(&typeAttributes))) continue;
    if (typeAttributes->typekind == TKIND_COCLASS &&
        (typeAttributes->wTypeFlags & TYPEFLAG_FCANCREATE)) {
      declared.classes.push_back(Text(typeAttributes->guid));
    } else if (typeAttributes->typekind == TKIND_INTERFACE ||
               typeAttributes->typekind == TKIND_DISPATCH) {
      declared.interfaces.push_back(Text(typeAttributes->guid));
    }
    type->ReleaseTypeAttr(typeAttributes);
  }
  return declared;
}

// Registry reads in the view of this program's bitness, counting the values found.
class Reader {
 public:
  std::wstring String(HKEY root, const std::wstring& path, const wchar_t* name = nullptr) {
    const Key key = Open(root, path);
    if (!key) return {};
    wchar_t data[1024] = {};
    DWORD size = sizeof data - sizeof(wchar_t), type = 0;
    if (::RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
        0) {
      return {};
    }
    ++values_;
    return data;
  }
  bool Dword(HKEY root, const std::wstring& path, const std::wstring& name) {
    const Key key = Open(root, path);
    DWORD data = 0, size = sizeof data;
    const bool found = key && ::RegQueryValueExW(key.get(), name.c_str(), nullptr, nullptr,
                                                 reinterpret_cast<BYTE*>(&data), &size) == 0;
    values_ += found;
    return found;
  }
  std::vector<std::wstring> Subkeys(HKEY root, const std::wstring& path) {
    std::vector<std::wstring> names;
    const Key key = Open(root, path);
    wchar_t name[256];
    for (DWORD i = 0; key; ++i) {
      DWORD length = 256;
      if (::RegEnumKeyExW(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != 0) {
        break;
      }
      names.emplace_back(name, length);
    }
    return names;
  }
  std::size_t Values() const { return values_; }

 private:
  static Key Open(HKEY root, const std::wstring& path) {
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &opened) != 0) return Key();
    return Key(opened);
  }
  std::size_t values_ = 0;
};

// The file's SHA-256, read in pieces as the program reads it; its first bytes go to `head`.
std::string Digest(const std::wstring& path, std::vector<std::byte>& head) {
  const kalvenor::win32::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                       nullptr, OPEN_EXISTING,
                                                       FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return {};
  kalvenor::Sha256 hash;
  std::vector<std::byte> piece(64 * 1024);
  head.clear();
  DWORD read = 0;
  while (::ReadFile(file.get(), piece.data(), static_cast<DWORD>(piece.size()), &read, nullptr) &&
         read > 0) {
    hash.Add(std::span(piece.data(), read));
    if (head.empty()) head.assign(piece.begin(), piece.begin() + read);
  }
  return hash.Hex();
}

// The names of the DLLs an image imports, from its headers.
std::vector<std::string> Imports(const std::vector<std::byte>& image) {
  std::vector<std::string> names;
  const auto at = [&](std::size_t offset, std::size_t size) {
    return offset + size <= image.size() ? image.data() + offset : nullptr;
  };
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(at(0, sizeof(IMAGE_DOS_HEADER)));
  if (!dos) return names;
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      at(static_cast<std::size_t>(dos->e_lfanew), sizeof(IMAGE_NT_HEADERS)));
  if (!nt) return names;
  const DWORD rva = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
  const auto* sections = IMAGE_FIRST_SECTION(nt);
  const auto offsetOf = [&](DWORD address) -> std::size_t {
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
      const IMAGE_SECTION_HEADER& section = sections[i];
      if (address >= section.VirtualAddress &&
          address < section.VirtualAddress + section.SizeOfRawData) {
        return address - section.VirtualAddress + section.PointerToRawData;
      }
    }
    return image.size();
  };
  for (std::size_t entry = offsetOf(rva);; entry += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
    const auto* import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(
        at(entry, sizeof(IMAGE_IMPORT_DESCRIPTOR)));
    if (!import || import->Name == 0) break;
    const std::size_t name = offsetOf(import->Name);
    if (name >= image.size()) break;
    const char* text = reinterpret_cast<const char*>(image.data() + name);
    names.emplace_back(text, strnlen(text, image.size() - name));
  }
  return names;
}

bool Exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::wstring> Components(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found{};
  HANDLE search = ::FindFirstFileExW((folder + L"\\*.dll").c_str(), FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return names;
  const Search closes(search);
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
  } while (::FindNextFileW(search, &found));
  std::sort(names.begin(), names.end());
  return names;
}

constexpr wchar_t kSharedDlls[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
constexpr wchar_t kHeldShares[] = L"SOFTWARE\\Kalvenor\\Shares";

void Check(Reader& reader, const Declared& declared, const std::wstring& copy) {
  for (const std::wstring& clsid : declared.classes) {
    const std::wstring key = L"CLSID\\" + clsid;
    const std::wstring server = reader.String(HKEY_CLASSES_ROOT, key + L"\\InprocServer32");
    reader.String(HKEY_CLASSES_ROOT, key + L"\\InprocServer32", L"ThreadingModel");
    if (!server.empty() && ::lstrcmpiW(server.c_str(), copy.c_str()) != 0) {
      wchar_t full[MAX_PATH] = {};
      ::GetLongPathNameW(server.c_str(), full, MAX_PATH);
    }
    reader.String(HKEY_CURRENT_USER, L"Software\\Classes\\" + key + L"\\InprocServer32");
    for (const wchar_t* named : {L"\\ProgID", L"\\VersionIndependentProgID"}) {
      const std::wstring progId = reader.String(HKEY_CLASSES_ROOT, key + named);
      if (!progId.empty()) reader.String(HKEY_CLASSES_ROOT, progId + L"\\CLSID");
    }
  }
  if (!declared.libid.empty()) {
    const std::wstring key = L"TypeLib\\" + declared.libid;
    for (const std::wstring& version : reader.Subkeys(HKEY_CLASSES_ROOT, key)) {
      for (const std::wstring& locale : reader.Subkeys(HKEY_CLASSES_ROOT, key + L"\\" + version)) {
        reader.String(HKEY_CLASSES_ROOT, key + L"\\" + version + L"\\" + locale + L"\\win32");
      }
    }
  }
  for (const std::wstring& iid : declared.interfaces) {
    const std::wstring proxy =
        reader.String(HKEY_CLASSES_ROOT, L"Interface\\" + iid + L"\\ProxyStubClsid32");
    if (!proxy.empty()) reader.String(HKEY_CLASSES_ROOT, L"CLSID\\" + proxy + L"\\InprocServer32");
  }
  reader.Dword(HKEY_LOCAL_MACHINE, kSharedDlls, copy);
  reader.Dword(HKEY_LOCAL_MACHINE, kHeldShares, copy);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  const std::wstring package = argv[1], system = argv[2];
  wchar_t own[MAX_PATH] = {};
  ::GetSystemDirectoryW(own, MAX_PATH);
  const std::vector<std::wstring> places{system, own};
  const std::vector<std::wstring> components = Components(package);
  const Declared declared =
      components.empty() ? Declared() : DeclaredBy(package + L"\\" + components.front());
  Reader reader;
  const double start = Seconds();
  std::vector<std::byte> head;
  for (const std::wstring& name : components) {
    const std::wstring copy = system + L"\\" + name;
    if (Digest(package + L"\\" + name, head) != Digest(copy, head)) return 1;
    for (const std::string& dll : Imports(head)) {
      const std::wstring wide(dll.begin(), dll.end());
      for (const std::wstring& place : places) {
        if (Exists(place + L"\\" + wide)) break;
      }
    }
    Check(reader, declared, copy);
  }
  std::printf("elapsed_ms %.1f\nfiles %zu\nvalues %zu\n", (Seconds() - start) * 1000,
              components.size(), reader.Values());
  return 0;
}
