// GUIDs: the 16-byte layout of Windows, compile-time parsing from text, and the
// registry form with braces ("{6B29FC40-CA47-1067-B31D-00DD010662DA}", 38 characters).
// In C a reference (REFGUID...) is a pointer, as in COM's C binding; the parsing helpers
// are C++ only.
#pragma once

#ifdef __cplusplus
#include <cstring>
#include <stdexcept>
#include <string_view>
#else
#include <string.h>
#endif

#include "errors.h"
#include "export.h"
#include "types.h"

typedef struct GUID GUID;
struct GUID {
  uint32_t Data1;  // first 8 hex digits, stored little-endian in memory on x86
  uint16_t Data2;  // next 4
  uint16_t Data3;  // next 4
  uint8_t Data4[8];  // last 16 hex digits, in text order
};
NX_STATIC_ASSERT(sizeof(GUID) == 16);
NX_STATIC_ASSERT(offsetof(GUID, Data2) == 4 && offsetof(GUID, Data3) == 6 && offsetof(GUID, Data4) == 8);

typedef GUID IID;
typedef GUID CLSID;
typedef GUID FMTID;
#ifdef __cplusplus
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;
#else
typedef const GUID* REFGUID;
typedef const IID* REFIID;
typedef const CLSID* REFCLSID;
#endif
typedef GUID* LPGUID;
typedef CLSID* LPCLSID;
typedef IID* LPIID;

// Characters of the registry form, without and with the terminating null.
NX_CONST(int, NX_GUID_STRING_LEN, 38);
NX_CONST(int, NX_GUID_STRING_CCH, 39);

// A GUID constant for C from its numbers (C++ writes the text form with nx::Guid): a
// static copy in each translation unit, as COM's C binding does without INITGUID.
#define NX_C_GUID(type, name, d1, d2, d3, b0, b1, b2, b3, b4, b5, b6, b7) \
  static const type name __attribute__((unused)) = {d1, d2, d3, {b0, b1, b2, b3, b4, b5, b6, b7}}

#ifdef __cplusplus
namespace nx {

namespace detail {
template <typename Ch>
constexpr int HexValue(Ch c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return -1;
}

// Parses exactly "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" (36 characters).
template <typename Ch>
constexpr bool ParseBare(std::basic_string_view<Ch> s, GUID& out) {
  if (s.size() != 36) return false;
  if (s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-') return false;
  auto hex = [&](size_t pos, int digits, uint64_t& v) {
    v = 0;
    for (int i = 0; i < digits; ++i) {
      int h = HexValue(s[pos + static_cast<size_t>(i)]);
      if (h < 0) return false;
      v = (v << 4) | static_cast<uint64_t>(h);
    }
    return true;
  };
  uint64_t a = 0, b = 0, c = 0, d = 0, e = 0;
  if (!hex(0, 8, a) || !hex(9, 4, b) || !hex(14, 4, c) || !hex(19, 4, d) || !hex(24, 12, e)) return false;
  out.Data1 = static_cast<uint32_t>(a);
  out.Data2 = static_cast<uint16_t>(b);
  out.Data3 = static_cast<uint16_t>(c);
  out.Data4[0] = static_cast<uint8_t>(d >> 8);
  out.Data4[1] = static_cast<uint8_t>(d);
  for (int i = 0; i < 6; ++i) out.Data4[2 + i] = static_cast<uint8_t>(e >> (8 * (5 - i)));
  return true;
}
}  // namespace detail

// Accepts the bare 36-character form or the 38-character form with braces.
template <typename Ch>
constexpr bool TryParseGuid(std::basic_string_view<Ch> s, GUID& out) {
  if (s.size() == 38) {
    if (s.front() != '{' || s.back() != '}') return false;
    s = s.substr(1, 36);
  }
  return detail::ParseBare(s, out);
}
inline constexpr bool TryParseGuid(const char* s, GUID& out) { return TryParseGuid(std::string_view(s), out); }
inline constexpr bool TryParseGuid(const char16_t* s, GUID& out) {
  return TryParseGuid(std::u16string_view(s), out);
}

// For constants: a malformed text is a compile error when evaluated at compile time.
constexpr GUID Guid(std::string_view s) {
  GUID g{};
  if (!TryParseGuid(s, g)) throw std::invalid_argument("malformed GUID text");
  return g;
}

// Writes the registry form into out (at least 39 units); returns 38.
template <typename Ch>
constexpr int FormatGuid(const GUID& g, Ch* out) {
  constexpr char digits[] = "0123456789ABCDEF";
  int n = 0;
  auto put = [&](uint64_t v, int count) {
    for (int i = count - 1; i >= 0; --i) out[n++] = static_cast<Ch>(digits[(v >> (4 * i)) & 0xF]);
  };
  out[n++] = '{';
  put(g.Data1, 8);
  out[n++] = '-';
  put(g.Data2, 4);
  out[n++] = '-';
  put(g.Data3, 4);
  out[n++] = '-';
  put(g.Data4[0], 2);
  put(g.Data4[1], 2);
  out[n++] = '-';
  for (int i = 2; i < 8; ++i) put(g.Data4[i], 2);
  out[n++] = '}';
  out[n] = 0;
  return n;
}

}  // namespace nx

inline bool IsEqualGUID(REFGUID a, REFGUID b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool IsEqualIID(REFIID a, REFIID b) { return IsEqualGUID(a, b); }
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) { return IsEqualGUID(a, b); }
inline bool operator==(const GUID& a, const GUID& b) { return IsEqualGUID(a, b); }
inline bool operator!=(const GUID& a, const GUID& b) { return !IsEqualGUID(a, b); }

inline constexpr GUID GUID_NULL{};
inline constexpr IID IID_NULL{};
inline constexpr CLSID CLSID_NULL{};
#else
#define IsEqualGUID(a, b) (memcmp((a), (b), sizeof(GUID)) == 0)
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)
NX_C_GUID(GUID, GUID_NULL, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
NX_C_GUID(IID, IID_NULL, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
NX_C_GUID(CLSID, CLSID_NULL, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
#endif

// Writes the registry form with braces; returns the characters written including
// the terminating null (39), or 0 when cchMax is too small.
NXPAL_API int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
// Parses the registry form with braces: NOERROR, E_INVALIDARG for null arguments,
// CO_E_CLASSSTRING for any other text.
NXPAL_API HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
NXPAL_API HRESULT IIDFromString(LPCOLESTR lpsz, LPIID lpiid);
