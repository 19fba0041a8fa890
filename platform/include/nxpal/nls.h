// Locale-dependent formatting of numbers and times of day, with Windows' format records
// and format pictures. The locale itself is only consulted where the caller gives no
// format: this layer's user default is the Russian convention of the programs here.
#pragma once

#include "datetime.h"
#include "errors.h"
#include "export.h"
#include "types.h"

NX_CONST(LCID, LOCALE_SYSTEM_DEFAULT, 0x0800);
NX_CONST(LCID, LOCALE_USER_DEFAULT, 0x0400);
NX_CONST(LCID, LOCALE_INVARIANT, 0x007F);
#ifdef __cplusplus
inline constexpr DWORD LOCALE_NOUSEROVERRIDE = 0x80000000u;
#else
#define LOCALE_NOUSEROVERRIDE ((DWORD)0x80000000u)
#endif

NX_CONST(DWORD, TIME_NOMINUTESORSECONDS, 0x1);
NX_CONST(DWORD, TIME_NOSECONDS, 0x2);
NX_CONST(DWORD, TIME_NOTIMEMARKER, 0x4);
NX_CONST(DWORD, TIME_FORCE24HOURFORMAT, 0x8);

// How GetNumberFormatW lays out a number.
typedef struct NUMBERFMTW NUMBERFMTW;
struct NUMBERFMTW {
  UINT NumDigits;  // digits after the decimal separator (the value is rounded to them)
  UINT LeadingZero;  // 1: "0.5", 0: ".5"
  UINT Grouping;  // group sizes from the right as decimal digits: 3 = 3 repeating,
                  // 32 = 3 then 2 repeating, 30 = one group of 3 only, 0 = none
  LPWSTR lpDecimalSep;
  LPWSTR lpThousandSep;
  UINT NegativeOrder;  // 0 "(1.1)", 1 "-1.1", 2 "- 1.1", 3 "1.1-", 4 "1.1 -"
};

// Formats the number text `value` (an optional '-', digits, optionally '.' and digits) by
// `format`, or by the locale when `format` is null. Returns the characters stored with
// the terminator; with cchNumber 0 the size needed. Errors (0 returned):
// ERROR_INVALID_PARAMETER (87) for a malformed value or format,
// ERROR_INVALID_FLAGS (1004) for flags given together with a format,
// ERROR_INSUFFICIENT_BUFFER (122) when the buffer is too small.
NXPAL_API int GetNumberFormatW(LCID locale, DWORD flags, LPCWSTR value, const NUMBERFMTW* format, LPWSTR number,
                               int cchNumber);

// Formats a time of day (null: the local time now) by the picture `format` (null: the
// locale's "H:mm:ss"): h hh 12-hour, H HH 24-hour, m mm, s ss, t tt the time marker, text
// in single quotes literally ('' is a quote), anything else copied. Returns the
// characters stored with the terminator; with cchTime 0 the size needed. Errors (0):
// ERROR_INVALID_PARAMETER (87) for an invalid time, ERROR_INSUFFICIENT_BUFFER (122) when
// the buffer is too small.
NXPAL_API int GetTimeFormatW(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCWSTR format, LPWSTR timeStr,
                             int cchTime);

// The user's language (from LC_ALL, LC_MESSAGES or LANG): 0x0419 Russian, else 0x0409.
NXPAL_API LANGID GetUserDefaultLangID(void);
