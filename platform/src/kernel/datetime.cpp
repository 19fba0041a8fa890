// Calendar conversions of FILETIME counts and the local time of day.
#include <time.h>

#include "nxpal/datetime.h"

namespace {

constexpr ULONGLONG kUnitsPerSecond = 10000000ull;
constexpr ULONGLONG kSecondsPerDay = 86400ull;

// Proleptic Gregorian date of a day count since 1601-01-01 (a Monday). Works in
// 400-year eras of 146097 days, 1601 being the first year of such an era.
void DateFromDays(ULONGLONG days, SYSTEMTIME* st) {
  st->wDayOfWeek = static_cast<WORD>((days + 1) % 7);
  ULONGLONG era = days / 146097;
  ULONGLONG doe = days % 146097;  // day of the era
  // Years of the era: every 4th year leaps except the 100th, 200th and 300th.
  ULONGLONG yoe = (doe - doe / 1460 + doe / 36524 - (doe == 146096 ? 1 : 0)) / 365;
  ULONGLONG doy = doe - (365 * yoe + yoe / 4 - yoe / 100);  // day of the year, 0-based
  ULONGLONG year = 1601 + era * 400 + yoe;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  static const WORD kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  WORD month = 0;
  while (true) {
    ULONGLONG n = kMonthDays[month] + (month == 1 && leap ? 1 : 0);
    if (doy < n) break;
    doy -= n;
    ++month;
  }
  st->wYear = static_cast<WORD>(year);
  st->wMonth = static_cast<WORD>(month + 1);
  st->wDay = static_cast<WORD>(doy + 1);
}

}  // namespace

BOOL FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME systemTime) {
  if (!fileTime || !systemTime) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ULONGLONG t = (static_cast<ULONGLONG>(fileTime->dwHighDateTime) << 32) | fileTime->dwLowDateTime;
  if (t > 0x7FFFFFFFFFFFFFFFull) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ULONGLONG seconds = t / kUnitsPerSecond;
  ULONGLONG secondOfDay = seconds % kSecondsPerDay;
  DateFromDays(seconds / kSecondsPerDay, systemTime);
  systemTime->wHour = static_cast<WORD>(secondOfDay / 3600);
  systemTime->wMinute = static_cast<WORD>(secondOfDay / 60 % 60);
  systemTime->wSecond = static_cast<WORD>(secondOfDay % 60);
  systemTime->wMilliseconds = static_cast<WORD>(t / 10000 % 1000);
  return TRUE;
}

void GetLocalTime(LPSYSTEMTIME systemTime) {
  if (!systemTime) return;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  systemTime->wYear = static_cast<WORD>(local.tm_year + 1900);
  systemTime->wMonth = static_cast<WORD>(local.tm_mon + 1);
  systemTime->wDayOfWeek = static_cast<WORD>(local.tm_wday);
  systemTime->wDay = static_cast<WORD>(local.tm_mday);
  systemTime->wHour = static_cast<WORD>(local.tm_hour);
  systemTime->wMinute = static_cast<WORD>(local.tm_min);
  // A leap second shows as :59, as Windows never reports :60.
  systemTime->wSecond = static_cast<WORD>(local.tm_sec > 59 ? 59 : local.tm_sec);
  systemTime->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}
