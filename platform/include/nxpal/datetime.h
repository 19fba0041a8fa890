// Calendar times: SYSTEMTIME, the conversion of a FILETIME into one, and the local
// time of day. (The wall clock as a FILETIME is GetSystemTimeAsFileTime in sync.h.)
#pragma once

#include "errors.h"
#include "export.h"
#include "types.h"

typedef struct SYSTEMTIME SYSTEMTIME;
struct SYSTEMTIME {
  WORD wYear;  // 1601..30827
  WORD wMonth;  // 1..12
  WORD wDayOfWeek;  // 0 = Sunday
  WORD wDay;  // 1..31
  WORD wHour;  // 0..23
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};
typedef SYSTEMTIME* LPSYSTEMTIME;
NX_STATIC_ASSERT(sizeof(SYSTEMTIME) == 16);

// The calendar date and time of a count of 100 ns units since 1601-01-01 (no time zone is
// applied). FALSE with ERROR_INVALID_PARAMETER (87) for a count above 0x7FFFFFFFFFFFFFFF,
// as on Windows.
NXPAL_API BOOL FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME systemTime);
// The current date and time in the user's time zone (TZ, /etc/localtime).
NXPAL_API void GetLocalTime(LPSYSTEMTIME systemTime);
