// Number and time formatting by format records and pictures, and FILETIME conversion.
#include <gtest/gtest.h>

#include <string>

#include "nxpal/windows.h"

namespace {

std::u16string Number(const char16_t* value, UINT digits, UINT leadingZero, UINT grouping, UINT negativeOrder,
                      const char16_t* dec = u",", const char16_t* thou = u" ") {
  std::u16string d(dec), t(thou);
  NUMBERFMTW f{digits, leadingZero, grouping, d.data(), t.data(), negativeOrder};
  WCHAR buf[64];
  int n = GetNumberFormatW(LOCALE_USER_DEFAULT, 0, value, &f, buf, 64);
  if (n == 0) return u"<error " + std::u16string(1, static_cast<char16_t>(u'0' + GetLastError() % 10)) + u">";
  EXPECT_EQ(static_cast<size_t>(n), std::char_traits<char16_t>::length(buf) + 1);
  return buf;
}

TEST(NumberFormat, GroupsRoundsAndPlacesTheSign) {
  // The card sizes' format: no decimals, groups of three, space separator.
  EXPECT_EQ(Number(u"32768", 0, 0, 3, 0), u"32 768");
  EXPECT_EQ(Number(u"1048576", 0, 0, 3, 0), u"1 048 576");
  EXPECT_EQ(Number(u"999", 0, 0, 3, 0), u"999");
  EXPECT_EQ(Number(u"0", 0, 0, 3, 0), u"0");
  EXPECT_EQ(Number(u"-4096", 0, 0, 3, 0), u"(4 096)");
  // Other group patterns: 3 then 2 repeating, a single group of 3, none.
  EXPECT_EQ(Number(u"123456789", 0, 0, 32, 1, u".", u","), u"12,34,56,789");
  EXPECT_EQ(Number(u"123456789", 0, 0, 30, 1, u".", u","), u"123456,789");
  EXPECT_EQ(Number(u"123456789", 0, 0, 0, 1), u"123456789");
  // Rounding half away from zero, carries into a new digit and a new group.
  EXPECT_EQ(Number(u"999.96", 1, 1, 3, 1, u".", u","), u"1,000.0");
  EXPECT_EQ(Number(u"-0.04", 1, 1, 3, 1, u".", u","), u"0.0");
  EXPECT_EQ(Number(u".5", 2, 0, 3, 1, u".", u","), u".50");
  EXPECT_EQ(Number(u".5", 2, 1, 3, 1, u".", u","), u"0.50");
  EXPECT_EQ(Number(u"-1.25", 1, 1, 3, 2, u".", u","), u"- 1.3");
  EXPECT_EQ(Number(u"-7", 0, 1, 3, 3), u"7-");
  EXPECT_EQ(Number(u"-7", 0, 1, 3, 4), u"7 -");
}

TEST(NumberFormat, RefusesBadInputAndSmallBuffersLikeWindows) {
  WCHAR sep[] = u" ", dec[] = u",";
  NUMBERFMTW f{0, 0, 3, dec, sep, 0};
  WCHAR buf[8];
  for (const char16_t* bad : {u"", u"-", u"12a", u"1.2.3", u"+5", u" 5"}) {
    SetLastError(0);
    EXPECT_EQ(GetNumberFormatW(LOCALE_USER_DEFAULT, 0, bad, &f, buf, 8), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  EXPECT_EQ(GetNumberFormatW(LOCALE_USER_DEFAULT, LOCALE_NOUSEROVERRIDE, u"5", &f, buf, 8), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
  // Size query, then a buffer one short of it.
  EXPECT_EQ(GetNumberFormatW(LOCALE_USER_DEFAULT, 0, u"1234567", &f, nullptr, 0), 10);
  EXPECT_EQ(GetNumberFormatW(LOCALE_USER_DEFAULT, 0, u"1234567", &f, buf, 8), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  NUMBERFMTW badGroup{0, 0, 303, dec, sep, 0};
  EXPECT_EQ(GetNumberFormatW(LOCALE_USER_DEFAULT, 0, u"5", &badGroup, buf, 8), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

std::u16string Time(const SYSTEMTIME& st, const char16_t* picture, DWORD flags = 0) {
  WCHAR buf[64];
  if (GetTimeFormatW(LOCALE_USER_DEFAULT, flags, &st, picture, buf, 64) == 0) return u"<error>";
  return buf;
}

TEST(TimeFormat, PicturesQuotesAndFlags) {
  SYSTEMTIME st{2026, 12, 1, 7, 15, 5, 9, 0};
  EXPECT_EQ(Time(st, u"mm' мин. 'ss' с.'"), u"05 мин. 09 с.");
  EXPECT_EQ(Time(st, u"H:m:s"), u"15:5:9");
  EXPECT_EQ(Time(st, u"hh:mm tt"), u"03:05 PM");
  EXPECT_EQ(Time(st, u"h 't' t"), u"3 t P");
  EXPECT_EQ(Time(st, u"'It''s' HH"), u"It's 15");
  EXPECT_EQ(Time(st, u"HH:mm:ss", TIME_NOSECONDS), u"15:05");
  EXPECT_EQ(Time(st, u"hh:mm tt", TIME_FORCE24HOURFORMAT), u"15:05 ");
  SYSTEMTIME midnight{2026, 1, 4, 1, 0, 0, 0, 0};
  EXPECT_EQ(Time(midnight, u"h tt"), u"12 AM");
  SYSTEMTIME bad = st;
  bad.wMinute = 60;
  EXPECT_EQ(Time(bad, u"mm"), u"<error>");
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  WCHAR small[4];
  EXPECT_EQ(GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &st, u"HH:mm", nullptr, 0), 6);
  EXPECT_EQ(GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &st, u"HH:mm", small, 4), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

FILETIME Ft(ULONGLONG t) { return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)}; }

TEST(FileTimeToSystemTime, CalendarDatesAcrossLeapRulesAndIntervals) {
  struct Case {
    ULONGLONG unixSeconds;
    WORD y, mo, dow, d, h, mi, s;
  };
  // Unix seconds of known dates: 1970-01-01 (Thu), 2000-02-29 (Tue), 2100-03-01 (Mon),
  // 2024-12-31 23:59:59 (Tue), 1900-03-01 (Thu; 1900 is not a leap year).
  const Case cases[] = {
      {0, 1970, 1, 4, 1, 0, 0, 0},
      {951782400, 2000, 2, 2, 29, 0, 0, 0},
      {4107542400ull, 2100, 3, 1, 1, 0, 0, 0},
      {1735689599, 2024, 12, 2, 31, 23, 59, 59},
  };
  constexpr ULONGLONG kEpoch = 116444736000000000ull;
  for (const Case& c : cases) {
    SYSTEMTIME st{};
    FILETIME ft = Ft(kEpoch + c.unixSeconds * 10000000ull + 1234567);
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
    EXPECT_EQ(st.wYear, c.y);
    EXPECT_EQ(st.wMonth, c.mo);
    EXPECT_EQ(st.wDayOfWeek, c.dow) << c.y;
    EXPECT_EQ(st.wDay, c.d);
    EXPECT_EQ(st.wHour, c.h);
    EXPECT_EQ(st.wMinute, c.mi);
    EXPECT_EQ(st.wSecond, c.s);
    EXPECT_EQ(st.wMilliseconds, 123);
  }
  // 1900-03-01, before the Unix epoch: 299 years of which 72 leap, and 59 days.
  SYSTEMTIME st{};
  FILETIME ft = Ft((299ull * 365 + 72 + 59) * 86400ull * 10000000ull);
  ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
  EXPECT_EQ(st.wYear, 1900);
  EXPECT_EQ(st.wMonth, 3);
  EXPECT_EQ(st.wDay, 1);
  // An interval of 1 h 5 min 7 s read as a FILETIME: the clock part shows it.
  ft = Ft((3600ull + 5 * 60 + 7) * 10000000ull);
  ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
  EXPECT_EQ(st.wYear, 1601);
  EXPECT_EQ(st.wDayOfWeek, 1);
  EXPECT_EQ(st.wHour, 1);
  EXPECT_EQ(st.wMinute, 5);
  EXPECT_EQ(st.wSecond, 7);
  ft = Ft(0x8000000000000000ull);
  EXPECT_FALSE(FileTimeToSystemTime(&ft, &st));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(FileTimeToSystemTime, AgreesWithTheSystemClockAndLocalTime) {
  setenv("TZ", "UTC", 1);
  tzset();
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  SYSTEMTIME utc{}, local{};
  ASSERT_TRUE(FileTimeToSystemTime(&now, &utc));
  GetLocalTime(&local);
  // Under TZ=UTC both describe the same moment, at most a second apart.
  EXPECT_EQ(local.wYear, utc.wYear);
  EXPECT_EQ(local.wMonth, utc.wMonth);
  EXPECT_EQ(local.wDayOfWeek, utc.wDayOfWeek);
  int a = ((local.wDay * 24 + local.wHour) * 60 + local.wMinute) * 60 + local.wSecond;
  int b = ((utc.wDay * 24 + utc.wHour) * 60 + utc.wMinute) * 60 + utc.wSecond;
  EXPECT_LE(a - b, 1);
  EXPECT_GE(a - b, 0);
}

}  // namespace
