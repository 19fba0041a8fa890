// Text conversion: "ANSI" strings are UTF-8 here; UTF-16 for the W functions;
// Windows-1251 where a stored format fixes that code page (through glibc iconv).
#pragma once

#ifdef __cplusplus
#include <string>
#include <string_view>
#endif

#include "errors.h"
#include "export.h"
#include "types.h"

NX_CONST(UINT, CP_ACP, 0);  // the "ANSI" code page: UTF-8 on this platform
NX_CONST(UINT, CP_OEMCP, 1);  // treated like CP_ACP
NX_CONST(UINT, CP_WINDOWS_1251, 1251);
NX_CONST(UINT, CP_UTF8, 65001);
NX_CONST(DWORD, MB_ERR_INVALID_CHARS, 0x8);
NX_CONST(DWORD, WC_ERR_INVALID_CHARS, 0x80);

// Win32 semantics: a length of -1 means null-terminated (the terminator is converted and
// counted); an output size of 0 asks for the needed size. Failures: 0 with last error
// ERROR_INVALID_PARAMETER (87) for bad arguments or code page,
// ERROR_INSUFFICIENT_BUFFER (122) when the buffer is too small,
// ERROR_NO_UNICODE_TRANSLATION (1113) for invalid input with the ERR_INVALID_CHARS flag
// (without it invalid input becomes U+FFFD or '?').
NXPAL_API int MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH src, int srcLen, LPWSTR dst, int dstLen);
NXPAL_API int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH src, int srcLen, LPSTR dst, int dstLen,
                                  LPCCH defaultChar, BOOL* usedDefaultChar);

// Length in characters of a null-terminated UTF-16 string (0 for null).
NXPAL_API int lstrlenW(LPCWSTR s);
// Copies at most max-1 characters and always terminates (max > 0); returns dst.
NXPAL_API LPWSTR lstrcpynW(LPWSTR dst, LPCWSTR src, int max);
// Compares ignoring case (Latin, Greek and Cyrillic letters); <0, 0, >0.
NXPAL_API int lstrcmpiW(LPCWSTR a, LPCWSTR b);
NXPAL_API int lstrcmpW(LPCWSTR a, LPCWSTR b);

#ifdef __cplusplus
namespace nx {
// Conversions for C++ callers. Invalid input becomes U+FFFD (to UTF-16) or '?'.
NX_EXPORT std::u16string Utf8ToUtf16(std::string_view s);
NX_EXPORT std::string Utf16ToUtf8(std::u16string_view s);
// Windows-1251 <-> UTF-16; characters without a 1251 form become '?'.
NX_EXPORT std::string Utf16ToCp1251(std::u16string_view s);
NX_EXPORT std::u16string Cp1251ToUtf16(std::string_view s);
// Upper-case form used for case-insensitive names (registry keys and values):
// ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic letters.
NX_EXPORT char16_t UpperChar(char16_t c);
NX_EXPORT std::u16string UpperCase(std::u16string_view s);
// Length of a null-terminated UTF-16 string.
inline size_t WStrLen(const char16_t* s) {
  size_t n = 0;
  if (s)
    while (s[n]) ++n;
  return n;
}
}  // namespace nx
#endif
