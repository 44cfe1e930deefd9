// Class identifiers of the sample component DLLs. Every build registers under its own CLSID, so
// tests can register several of them side by side without one overwriting another's key:
//
//   kalvenor_sample.dll  {069D1E67-6900-4A01-BC80-D77EE99E1CF4}  registers normally
//   sample_regfail.dll   {8A8744DA-88B0-44FF-A64E-A051E94E014C}  (un)registering returns E_FAIL
//   sample_crash.dll     {D8E2A9FE-1AAF-4D9D-8A7B-85014F723A4B}  registering crashes the host
//   sample_msgbox.dll    {54461A3F-6BF2-4240-8DD5-113D3340E4C1}  message box, then registers
//   sample_slow.dll      {22C1AD53-AD6B-4959-93C0-D66190145D77}  sleeps 2 s, then registers
//   sample_silent.dll    {5B0E8C4D-3F21-4A7E-9D16-2C8B7A54E301}  reports success, writes nothing
//   sample_elsewhere.dll {A3C7E915-6D48-4B2F-8E03-91F4D2B6C702}  registers another path
//   sample_progid.dll    {849A091E-E750-4180-885D-B29DBFFCD015}  registers a ProgID too
//   sample_nofactory.dll {63709560-B232-4B8B-9539-830DBF9EFA03}  its objects: E_NOTIMPL
//   sample_hangfactory.dll {5044C27B-96C0-40A9-AEE6-E025FD823835}  its objects: never made
//
// Those that carry a type library declare their class in it: kalvenor_sample, sample_silent,
// sample_elsewhere, sample_nofactory and sample_hangfactory; sample_plain.dll is
// kalvenor_sample.dll without it, under the same class. sample_older.dll (6.0.88.62) and
// sample_newer.dll (6.1.98.39) are kalvenor_sample.dll with a version resource. Other variants:
// sample_missingdep.dll imports a DLL that exists nowhere, sample_sibling.dll one that is built
// beside it, sample_noentry.dll has no entry point.
//
// A DLL that registers writes HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32.
#pragma once

#include <windows.h>

namespace kalvenor::sample {

inline constexpr wchar_t kNormalClsidString[] = L"{069D1E67-6900-4A01-BC80-D77EE99E1CF4}";
inline constexpr GUID kNormalClsid = {
    0x069D1E67, 0x6900, 0x4A01, {0xBC, 0x80, 0xD7, 0x7E, 0xE9, 0x9E, 0x1C, 0xF4}};

inline constexpr wchar_t kRegFailClsidString[] = L"{8A8744DA-88B0-44FF-A64E-A051E94E014C}";
inline constexpr GUID kRegFailClsid = {
    0x8A8744DA, 0x88B0, 0x44FF, {0xA6, 0x4E, 0xA0, 0x51, 0xE9, 0x4E, 0x01, 0x4C}};

inline constexpr wchar_t kCrashClsidString[] = L"{D8E2A9FE-1AAF-4D9D-8A7B-85014F723A4B}";
inline constexpr GUID kCrashClsid = {
    0xD8E2A9FE, 0x1AAF, 0x4D9D, {0x8A, 0x7B, 0x85, 0x01, 0x4F, 0x72, 0x3A, 0x4B}};

inline constexpr wchar_t kMessageBoxClsidString[] = L"{54461A3F-6BF2-4240-8DD5-113D3340E4C1}";
inline constexpr GUID kMessageBoxClsid = {
    0x54461A3F, 0x6BF2, 0x4240, {0x8D, 0xD5, 0x11, 0x3D, 0x33, 0x40, 0xE4, 0xC1}};

inline constexpr wchar_t kSlowClsidString[] = L"{22C1AD53-AD6B-4959-93C0-D66190145D77}";
inline constexpr GUID kSlowClsid = {
    0x22C1AD53, 0xAD6B, 0x4959, {0x93, 0xC0, 0xD6, 0x61, 0x90, 0x14, 0x5D, 0x77}};

inline constexpr wchar_t kSilentClsidString[] = L"{5B0E8C4D-3F21-4A7E-9D16-2C8B7A54E301}";
inline constexpr GUID kSilentClsid = {
    0x5B0E8C4D, 0x3F21, 0x4A7E, {0x9D, 0x16, 0x2C, 0x8B, 0x7A, 0x54, 0xE3, 0x01}};

inline constexpr wchar_t kElsewhereClsidString[] = L"{A3C7E915-6D48-4B2F-8E03-91F4D2B6C702}";
inline constexpr GUID kElsewhereClsid = {
    0xA3C7E915, 0x6D48, 0x4B2F, {0x8E, 0x03, 0x91, 0xF4, 0xD2, 0xB6, 0xC7, 0x02}};
// Where sample_elsewhere.dll says its class is.
inline constexpr wchar_t kElsewherePath[] = L"C:\\elsewhere\\sample_elsewhere.dll";

inline constexpr wchar_t kProgIdClsidString[] = L"{849A091E-E750-4180-885D-B29DBFFCD015}";
inline constexpr GUID kProgIdClsid = {
    0x849A091E, 0xE750, 0x4180, {0x88, 0x5D, 0xB2, 0x9D, 0xBF, 0xFC, 0xD0, 0x15}};
// The ProgID that sample_progid.dll names its class by.
inline constexpr wchar_t kProgId[] = L"Kalvenor.SampleProgId.1";

inline constexpr wchar_t kFactoryFailClsidString[] = L"{63709560-B232-4B8B-9539-830DBF9EFA03}";
inline constexpr GUID kFactoryFailClsid = {
    0x63709560, 0xB232, 0x4B8B, {0x95, 0x39, 0x83, 0x0D, 0xBF, 0x9E, 0xFA, 0x03}};

inline constexpr wchar_t kFactoryHangClsidString[] = L"{5044C27B-96C0-40A9-AEE6-E025FD823835}";
inline constexpr GUID kFactoryHangClsid = {
    0x5044C27B, 0x96C0, 0x40A9, {0xAE, 0xE6, 0xE0, 0x25, 0xFD, 0x82, 0x38, 0x35}};

// Each identifier is written twice above; a typo in one copy would make the DLL register a key
// that DllGetClassObject never answers for, so the compiler checks that the two copies agree.
namespace detail {

constexpr int HexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;  // lower case is rejected too, to keep the registry spelling uniform
}

constexpr bool HexFieldIs(const wchar_t* text, int digits, unsigned long expected) {
  unsigned long value = 0;
  for (int i = 0; i < digits; ++i) {
    const int digit = HexValue(text[i]);
    if (digit < 0) return false;
    value = value * 16 + static_cast<unsigned long>(digit);
  }
  return value == expected;
}

// Expects the registry form {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}.
constexpr bool SameClsid(const wchar_t (&text)[39], const GUID& guid) {
  if (text[0] != L'{' || text[9] != L'-' || text[14] != L'-' || text[19] != L'-' ||
      text[24] != L'-' || text[37] != L'}') {
    return false;
  }
  if (!HexFieldIs(text + 1, 8, guid.Data1) || !HexFieldIs(text + 10, 4, guid.Data2) ||
      !HexFieldIs(text + 15, 4, guid.Data3) || !HexFieldIs(text + 20, 2, guid.Data4[0]) ||
      !HexFieldIs(text + 22, 2, guid.Data4[1])) {
    return false;
  }
  for (int i = 0; i < 6; ++i) {
    if (!HexFieldIs(text + 25 + 2 * i, 2, guid.Data4[2 + i])) return false;
  }
  return true;
}

static_assert(SameClsid(kNormalClsidString, kNormalClsid));
static_assert(SameClsid(kRegFailClsidString, kRegFailClsid));
static_assert(SameClsid(kCrashClsidString, kCrashClsid));
static_assert(SameClsid(kMessageBoxClsidString, kMessageBoxClsid));
static_assert(SameClsid(kSlowClsidString, kSlowClsid));
static_assert(SameClsid(kSilentClsidString, kSilentClsid));
static_assert(SameClsid(kElsewhereClsidString, kElsewhereClsid));
static_assert(SameClsid(kProgIdClsidString, kProgIdClsid));
static_assert(SameClsid(kFactoryFailClsidString, kFactoryFailClsid));
static_assert(SameClsid(kFactoryHangClsidString, kFactoryHangClsid));

}  // namespace detail
}  // namespace kalvenor::sample
