// A C caller and the C++ libraries agree: the records, constants and GUIDs of the public
// headers read the same in both languages, and interface tables work both ways.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "vkbth.h"
#include "vkrt.h"

extern "C" {
size_t nx_c_rows(long long* out);
size_t nx_c_guids(const GUID** out);
int nx_c_guid_macros(void);
int nx_c_task_allocator(void);
int nx_c_codec_round_trip(DWORD* codedBytes);
int nx_c_bit_flags(void);
}

namespace {

TEST(PublicCBinding, RecordsAndConstantsReadTheSameInC) {
  const char* const names[] = {
#define NX_ROW(e) #e,
#include "c_binding_rows.inc"
#undef NX_ROW
  };
  const long long cpp[] = {
#define NX_ROW(e) (long long)(e),
#include "c_binding_rows.inc"
#undef NX_ROW
  };
  constexpr size_t count = sizeof(cpp) / sizeof(cpp[0]);
  std::vector<long long> c(count + 8);
  ASSERT_EQ(nx_c_rows(c.data()), count);
  for (size_t i = 0; i < count; ++i) EXPECT_EQ(c[i], cpp[i]) << names[i];
}

TEST(PublicCBinding, GuidConstantsReadTheSameInC) {
  const char* const names[] = {
#define NX_GUID_ROW(g) #g,
#include "c_guids.inc"
#undef NX_GUID_ROW
  };
  const GUID* const cpp[] = {
#define NX_GUID_ROW(g) &g,
#include "c_guids.inc"
#undef NX_GUID_ROW
  };
  constexpr size_t count = sizeof(cpp) / sizeof(cpp[0]);
  std::vector<const GUID*> c(count + 8);
  ASSERT_EQ(nx_c_guids(c.data()), count);
  for (size_t i = 0; i < count; ++i) {
    OLECHAR cText[NX_GUID_STRING_CCH], cppText[NX_GUID_STRING_CCH];
    StringFromGUID2(*c[i], cText, NX_GUID_STRING_CCH);
    StringFromGUID2(*cpp[i], cppText, NX_GUID_STRING_CCH);
    EXPECT_EQ(std::u16string(cText), std::u16string(cppText)) << names[i];
  }
  EXPECT_EQ(nx_c_guid_macros(), 1);
}

// C calls the methods of a C++ object through its table, and the library's C++ code calls
// the methods of C objects: both read the same slots.
TEST(PublicCBinding, InterfaceTablesWorkBothWays) {
  EXPECT_EQ(nx_c_task_allocator(), 0);
  DWORD coded = 0;
  EXPECT_EQ(nx_c_codec_round_trip(&coded), 0);
  // Mostly one-byte codes, with a two-byte one every 97 samples.
  EXPECT_GT(coded, 10000u);
  EXPECT_LT(coded, 10300u);
}

TEST(PublicCBinding, PropVariantFromC) { EXPECT_EQ(nx_c_bit_flags(), 0); }

}  // namespace
