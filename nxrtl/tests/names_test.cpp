// Tests of nxFileNameFromGUIDA/W: exact text, buffer limits, null arguments.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "nxrtl/nxrtl.h"

namespace {

// Distinct bytes in every field, so that a swapped field or byte shows in the text.
constexpr GUID kGuid{0x6B29FC40, 0xCA47, 0x1067, {0xB3, 0x1D, 0x00, 0xDD, 0x01, 0x06, 0x62, 0xDA}};
constexpr char kText[] = "{6B29FC40-CA47-1067-B31D-00DD010662DA}";

TEST(FileNameFromGuid, AnsiWritesPrefixBackslashAndRegistryForm) {
  const std::string prefix = "Software\\Veltrak\\DataProviders";
  const std::string want = prefix + "\\" + kText;
  char out[260];
  ASSERT_TRUE(nxFileNameFromGUIDA(prefix.c_str(), nullptr, &kGuid, out, sizeof out));
  EXPECT_EQ(std::string(out), want);

  // "Out"/"In" prefixes into the 64-character buffers the stream functions use.
  char small[64];
  ASSERT_TRUE(nxFileNameFromGUIDA("Out", "ignored", &kGuid, small, sizeof small));
  EXPECT_EQ(std::string(small), std::string("Out\\") + kText);
  ASSERT_TRUE(nxFileNameFromGUIDA("", nullptr, &kGuid, small, sizeof small));
  EXPECT_EQ(std::string(small), std::string("\\") + kText);
}

TEST(FileNameFromGuid, AnsiBufferMustHoldTextAndTerminator) {
  const char* prefix = "In";
  const DWORD len = 2 + 1 + 38;
  char out[64];
  std::memset(out, '#', sizeof out);
  ASSERT_TRUE(nxFileNameFromGUIDA(prefix, nullptr, &kGuid, out, len + 1));
  EXPECT_EQ(out[len], '\0');
  EXPECT_EQ(out[len + 1], '#') << "nothing written past the terminator";

  SetLastError(0);
  std::memset(out, '#', sizeof out);
  EXPECT_FALSE(nxFileNameFromGUIDA(prefix, nullptr, &kGuid, out, len));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(out[len - 1], '#') << "a failing call writes nothing";
  EXPECT_FALSE(nxFileNameFromGUIDA(prefix, nullptr, &kGuid, out, 0));
}

TEST(FileNameFromGuid, WideMatchesAnsiAndHasTheSameLimits) {
  const std::u16string prefix = u"Software\\Veltrak\\DataTypeHandlers";
  const DWORD len = static_cast<DWORD>(prefix.size()) + 1 + 38;
  WCHAR out[260];
  for (auto& c : out) c = u'#';
  ASSERT_TRUE(nxFileNameFromGUIDW(prefix.c_str(), nullptr, &kGuid, out, len + 1));
  EXPECT_EQ(std::u16string(out), prefix + u"\\{6B29FC40-CA47-1067-B31D-00DD010662DA}");
  EXPECT_EQ(out[len + 1], u'#');
  SetLastError(0);
  EXPECT_FALSE(nxFileNameFromGUIDW(prefix.c_str(), nullptr, &kGuid, out, len));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(FileNameFromGuid, NullArgumentsFailWithInvalidParameter) {
  char a[64];
  WCHAR w[64];
  struct Case {
    const char* what;
    BOOL result;
  } cases[] = {
      {"A null prefix", nxFileNameFromGUIDA(nullptr, nullptr, &kGuid, a, 64)},
      {"A null guid", nxFileNameFromGUIDA("p", nullptr, nullptr, a, 64)},
      {"A null buffer", nxFileNameFromGUIDA("p", nullptr, &kGuid, nullptr, 64)},
      {"W null prefix", nxFileNameFromGUIDW(nullptr, nullptr, &kGuid, w, 64)},
      {"W null guid", nxFileNameFromGUIDW(u"p", nullptr, nullptr, w, 64)},
      {"W null buffer", nxFileNameFromGUIDW(u"p", nullptr, &kGuid, nullptr, 64)},
  };
  for (const auto& c : cases) EXPECT_FALSE(c.result) << c.what;
  SetLastError(0);
  EXPECT_FALSE(nxFileNameFromGUIDW(u"p", nullptr, nullptr, w, 64));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
