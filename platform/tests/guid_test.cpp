// GUID text forms: compile-time parsing, registry form, COM string functions.
#include <gtest/gtest.h>

#include "nxpal/windows.h"

namespace {

constexpr GUID kSample = nx::Guid("6B29FC40-CA47-1067-B31D-00DD010662DA");
static_assert(kSample.Data1 == 0x6B29FC40 && kSample.Data2 == 0xCA47 && kSample.Data3 == 0x1067);
static_assert(kSample.Data4[0] == 0xB3 && kSample.Data4[1] == 0x1D && kSample.Data4[7] == 0xDA);

TEST(GuidTest, RegistryFormRoundTrips) {
  WCHAR text[NX_GUID_STRING_CCH];
  EXPECT_EQ(StringFromGUID2(kSample, text, NX_GUID_STRING_CCH), 39);
  EXPECT_EQ(std::u16string(text), u"{6B29FC40-CA47-1067-B31D-00DD010662DA}");
  GUID back{};
  EXPECT_EQ(CLSIDFromString(text, &back), NOERROR);
  EXPECT_TRUE(IsEqualGUID(back, kSample));
  // Lower-case hex is accepted; the output is always upper case.
  EXPECT_EQ(CLSIDFromString(u"{6b29fc40-ca47-1067-b31d-00dd010662da}", &back), NOERROR);
  EXPECT_EQ(back, kSample);
  char narrow[NX_GUID_STRING_CCH];
  EXPECT_EQ(nx::FormatGuid(GUID_NULL, narrow), 38);
  EXPECT_STREQ(narrow, "{00000000-0000-0000-0000-000000000000}");
}

TEST(GuidTest, BadTextAndBuffersAreRefused) {
  WCHAR small[38];
  EXPECT_EQ(StringFromGUID2(kSample, small, 38), 0);
  EXPECT_EQ(StringFromGUID2(kSample, nullptr, 39), 0);
  GUID g = kSample;
  for (const char16_t* bad : {u"6B29FC40-CA47-1067-B31D-00DD010662DA", u"{6B29FC40-CA47-1067-B31D-00DD010662DA",
                              u"{6B29FC40-CA47-1067-B31D-00DD010662DG}", u"{6B29FC40+CA47-1067-B31D-00DD010662DA}",
                              u"{6B29FC40-CA47-1067-B31D-00DD010662DA}x", u""}) {
    g = kSample;
    EXPECT_EQ(CLSIDFromString(bad, &g), CO_E_CLASSSTRING) << std::string(bad, bad + nx::WStrLen(bad));
    EXPECT_EQ(g, GUID_NULL);
  }
  EXPECT_EQ(CLSIDFromString(u"{6B29FC40-CA47-1067-B31D-00DD010662DA}", nullptr), E_INVALIDARG);
  EXPECT_EQ(CLSIDFromString(nullptr, &g), NOERROR);
  EXPECT_EQ(g, GUID_NULL);
  EXPECT_EQ(IIDFromString(u"nonsense", &g), E_INVALIDARG);
  EXPECT_FALSE(IsEqualGUID(kSample, GUID_NULL));
}

}  // namespace
