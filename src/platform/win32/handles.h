#pragma once
// Move-only owners of Win32 resources, each closing with its own function and knowing its
// own empty value.

#include <windows.h>
// After windows.h, which it depends on.
#include <restartmanager.h>

#include <utility>

#include "platform/win32/shell.h"

namespace kalvenor::win32 {

// Traits give the handle type, its empty value and how to close it.
template <class Traits>
class Unique {
  using T = typename Traits::Type;

 public:
  Unique() = default;
  explicit Unique(T value) : value_(value) {}
  Unique(Unique&& other) noexcept : value_(std::exchange(other.value_, Traits::Empty())) {}
  Unique& operator=(Unique&& other) noexcept {
    if (this != &other) reset(std::exchange(other.value_, Traits::Empty()));
    return *this;
  }
  Unique(const Unique&) = delete;
  Unique& operator=(const Unique&) = delete;
  ~Unique() { reset(); }

  T get() const { return value_; }
  explicit operator bool() const { return value_ != Traits::Empty(); }
  // Gives up ownership: for a resource that the system has already closed.
  T release() { return std::exchange(value_, Traits::Empty()); }
  void reset(T value = Traits::Empty()) {
    if (value_ != Traits::Empty()) Traits::Close(value_);
    value_ = value;
  }

 private:
  T value_ = Traits::Empty();
};

template <class T, auto Closer>
struct NullEmpty {
  using Type = T;
  static T Empty() { return nullptr; }
  static void Close(T value) { Closer(value); }
};

struct FindTraits {
  using Type = HANDLE;
  static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE search) { ::FindClose(search); }
};

inline void CloseKernelHandle(HANDLE handle) { ::CloseHandle(handle); }
inline void DeleteGdiFont(HFONT font) { ::DeleteObject(font); }
inline void DeleteGdiBrush(HBRUSH brush) { ::DeleteObject(brush); }
inline void DestroyIconHandle(HICON icon) { ::DestroyIcon(icon); }
inline void ReleaseModule(HMODULE module) { ::FreeLibrary(module); }
inline void DestroyWindowHandle(HWND window) { ::DestroyWindow(window); }
inline void CloseRegistryKey(HKEY key) { ::RegCloseKey(key); }
inline void FreeLocal(HLOCAL memory) { ::LocalFree(memory); }

using UniqueHandle = Unique<NullEmpty<HANDLE, CloseKernelHandle>>;
using UniqueFind = Unique<FindTraits>;
// A file opened with CreateFileW: empty at INVALID_HANDLE_VALUE.
struct FileTraits {
  using Type = HANDLE;
  static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE file) { ::CloseHandle(file); }
};
using UniqueFile = Unique<FileTraits>;
// An activation context made by CreateActCtxW: empty at INVALID_HANDLE_VALUE.
struct ActivationContextTraits {
  using Type = HANDLE;
  static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE context) { ::ReleaseActCtx(context); }
};
using UniqueActivationContext = Unique<ActivationContextTraits>;
using UniqueFont = Unique<NullEmpty<HFONT, DeleteGdiFont>>;
using UniqueBrush = Unique<NullEmpty<HBRUSH, DeleteGdiBrush>>;
using UniqueIcon = Unique<NullEmpty<HICON, DestroyIconHandle>>;
using UniqueModule = Unique<NullEmpty<HMODULE, ReleaseModule>>;
using UniqueWindow = Unique<NullEmpty<HWND, DestroyWindowHandle>>;
using UniqueKey = Unique<NullEmpty<HKEY, CloseRegistryKey>>;
// A security descriptor the system allocated for the caller to LocalFree.
using UniqueSecurityDescriptor = Unique<NullEmpty<PSECURITY_DESCRIPTOR, FreeLocal>>;

// A Restart Manager session, ended through rstrtmgr.dll, which is loaded at run time. Session
// handles are small numbers, 0 among them: all bits set stands for none.
struct RestartSessionTraits {
  using Type = DWORD;
  static DWORD Empty() { return 0xFFFFFFFF; }
  static void Close(DWORD session) {
    if (auto end = RestartManager<decltype(::RmEndSession)>("RmEndSession")) end(session);
  }
};
using UniqueRestartSession = Unique<RestartSessionTraits>;

// A COM interface pointer, released once.
template <class Interface>
class UniqueCom {
 public:
  UniqueCom() = default;
  UniqueCom(const UniqueCom&) = delete;
  UniqueCom& operator=(const UniqueCom&) = delete;
  ~UniqueCom() { reset(); }
  Interface* get() const { return pointer_; }
  Interface* operator->() const { return pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }
  void reset() {
    if (pointer_) pointer_->Release();
    pointer_ = nullptr;
  }
  // For the functions that hand out a new pointer through a void**.
  void** put() {
    reset();
    return reinterpret_cast<void**>(&pointer_);
  }

 private:
  Interface* pointer_ = nullptr;
};

// A window's device context, released to the window it came from.
class WindowDC {
 public:
  explicit WindowDC(HWND window) : window_(window), dc_(::GetDC(window)) {}
  WindowDC(const WindowDC&) = delete;
  WindowDC& operator=(const WindowDC&) = delete;
  ~WindowDC() {
    if (dc_) ::ReleaseDC(window_, dc_);
  }
  HDC get() const { return dc_; }

 private:
  HWND window_;
  HDC dc_;
};

// Selects a GDI object into a DC for the lifetime of the scope.
class Selected {
 public:
  Selected(HDC dc, HGDIOBJ object) : dc_(dc), old_(::SelectObject(dc, object)) {}
  Selected(const Selected&) = delete;
  Selected& operator=(const Selected&) = delete;
  ~Selected() { ::SelectObject(dc_, old_); }

 private:
  HDC dc_;
  HGDIOBJ old_;
};

}  // namespace kalvenor::win32
