// Text conversions: UTF-8 "ANSI", UTF-16 and Windows-1251, with the Win32 contracts.
#include <gtest/gtest.h>

#include "nxpal/windows.h"

namespace {

TEST(TextTest, Utf8AndUtf16RoundTripWithSizesCountedAsWindowsDoes) {
  const char* utf8 = "Отчет \xF0\x9F\x98\x80 ok";  // Cyrillic, an astral character, ASCII
  int need = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  EXPECT_EQ(need, 6 + 2 + 3 + 1);  // the terminator counts with -1
  std::u16string wide(static_cast<size_t>(need), u'\0');
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, utf8, -1, wide.data(), need), need);
  EXPECT_EQ(wide.substr(0, 5), u"Отчет");
  char back[64];
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide.data(), -1, back, sizeof back, nullptr, nullptr),
            static_cast<int>(strlen(utf8) + 1));
  EXPECT_STREQ(back, utf8);
  // Without -1 no terminator is converted.
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 3, wide.data(), need), 3);
}

TEST(TextTest, FailuresSetTheWin32Codes) {
  WCHAR small[2];
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, small, 2), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xFF", 2, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
  WCHAR out[4];
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a\xFF", 2, out, 4), 2);
  EXPECT_EQ(out[1], 0xFFFD);
  EXPECT_EQ(MultiByteToWideChar(437, 0, "a", 1, out, 4), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, nullptr, 1, out, 4), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  const WCHAR lone[] = {u'a', 0xD800, 0};
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, -1, nullptr, 0, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
}

TEST(TextTest, Windows1251KeepsCyrillicAndMarksUnmappableCharacters) {
  std::string cp = nx::Utf16ToCp1251(u"Иванов Ёж");
  ASSERT_EQ(cp.size(), 9u);
  EXPECT_EQ(static_cast<unsigned char>(cp[0]), 0xC8);  // И
  EXPECT_EQ(static_cast<unsigned char>(cp[7]), 0xA8);  // Ё
  EXPECT_EQ(nx::Cp1251ToUtf16(cp), u"Иванов Ёж");
  BOOL usedDefault = FALSE;
  char out[8];
  int n = WideCharToMultiByte(CP_WINDOWS_1251, 0, u"a\u4E2Db", 3, out, sizeof out, "#", &usedDefault);
  ASSERT_EQ(n, 3);
  EXPECT_EQ(std::string(out, 3), "a#b");
  EXPECT_TRUE(usedDefault);
  EXPECT_EQ(WideCharToMultiByte(CP_WINDOWS_1251, 0, u"Да", 2, out, sizeof out, nullptr, &usedDefault), 2);
  EXPECT_FALSE(usedDefault);
  EXPECT_EQ(nx::Utf16ToCp1251(u"x\u4E2D"), "x?");
}

TEST(TextTest, CaseInsensitiveComparisonCoversCyrillicAndLatin) {
  EXPECT_EQ(lstrcmpiW(u"Software\\Veltrak", u"SOFTWARE\\veltrak"), 0);
  EXPECT_EQ(lstrcmpiW(u"Отчет ёж", u"ОТЧЕТ ЁЖ"), 0);
  EXPECT_EQ(lstrcmpiW(u"Ärger", u"äRGER"), 0);
  EXPECT_LT(lstrcmpiW(u"abc", u"ABD"), 0);
  EXPECT_NE(lstrcmpW(u"abc", u"ABC"), 0);
  EXPECT_EQ(nx::UpperCase(u"ďábel σς"), u"ĎÁBEL ΣΣ");
  WCHAR buf[4];
  lstrcpynW(buf, u"abcdef", 4);
  EXPECT_EQ(std::u16string(buf), u"abc");
  EXPECT_EQ(lstrlenW(buf), 3);
  EXPECT_EQ(lstrlenW(nullptr), 0);
}

}  // namespace
