// Flag sets as PROPVARIANT byte vectors (both directions, refusals), and registry
// values read into buffers of exactly their size.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nxtest/temp.h"
#include "regtest.h"
#include "vkrt.h"

namespace {

using namespace vkrttest;

std::vector<UCHAR> Elements(const PROPVARIANT& pv) {
  return std::vector<UCHAR>(pv.caub.pElems, pv.caub.pElems + pv.caub.cElems);
}

TEST(BitFlagsTest, FlagsBecomeAscendingBitNumbersPlusOne) {
  struct Case {
    DWORD flags;
    std::vector<UCHAR> elements;
  } cases[] = {
      {0x80000001u, {1, 32}},
      {0x12u, {2, 5}},
      {0x00010000u, {17}},
  };
  for (const Case& c : cases) {
    PROPVARIANT pv;
    PropVariantInit(&pv);
    ASSERT_EQ(vkPropVariantFromBitFlags(c.flags, &pv), S_OK) << std::hex << c.flags;
    EXPECT_EQ(pv.vt, VT_VECTOR | VT_UI1);
    EXPECT_EQ(Elements(pv), c.elements) << std::hex << c.flags;
    DWORD back = 0;
    EXPECT_EQ(vkPropVariantToBitFlags(&pv, &back), S_OK);
    EXPECT_EQ(back, c.flags);
    EXPECT_EQ(PropVariantClear(&pv), S_OK);  // the vector is the task allocator's
  }

  PROPVARIANT all;
  PropVariantInit(&all);
  ASSERT_EQ(vkPropVariantFromBitFlags(0xFFFFFFFFu, &all), S_OK);
  ASSERT_EQ(all.caub.cElems, 32u);
  for (UCHAR i = 0; i < 32; ++i) EXPECT_EQ(all.caub.pElems[i], i + 1);
  PropVariantClear(&all);
}

TEST(BitFlagsTest, NoFlagsGiveAnEmptyVectorWithoutStorage) {
  PROPVARIANT pv;
  PropVariantInit(&pv);
  ASSERT_EQ(vkPropVariantFromBitFlags(0, &pv), S_OK);
  EXPECT_EQ(pv.vt, VT_VECTOR | VT_UI1);
  EXPECT_EQ(pv.caub.cElems, 0u);
  EXPECT_EQ(pv.caub.pElems, nullptr);
  DWORD back = 0xDEAD;
  EXPECT_EQ(vkPropVariantToBitFlags(&pv, &back), S_OK);
  EXPECT_EQ(back, 0u);
}

TEST(BitFlagsTest, OnlyAnEmptyPropVariantIsFilled) {
  PROPVARIANT number;
  PropVariantInit(&number);
  number.vt = VT_I4;
  number.lVal = 77;
  EXPECT_EQ(vkPropVariantFromBitFlags(1, &number), E_INVALIDARG);
  EXPECT_EQ(number.vt, VT_I4);
  EXPECT_EQ(number.lVal, 77);

  PROPVARIANT converted;
  PropVariantInit(&converted);
  ASSERT_EQ(vkPropVariantFromBitFlags(0x12, &converted), S_OK);
  UCHAR* before = converted.caub.pElems;
  EXPECT_EQ(vkPropVariantFromBitFlags(0x1, &converted), E_INVALIDARG) << "a second conversion would leak the first";
  EXPECT_EQ(converted.caub.pElems, before);
  EXPECT_EQ(Elements(converted), (std::vector<UCHAR>{2, 5}));
  PropVariantClear(&converted);

  EXPECT_EQ(vkPropVariantFromBitFlags(1, nullptr), E_INVALIDARG);
}

TEST(BitFlagsTest, ConvertingBackIgnoresOrderAndRepeatsAndWrapsModulo32) {
  UCHAR elements[] = {5, 2, 5, 0, 33, 64};
  PROPVARIANT pv;
  PropVariantInit(&pv);
  pv.vt = VT_VECTOR | VT_UI1;
  pv.caub.cElems = sizeof elements;
  pv.caub.pElems = elements;
  DWORD flags = 0;
  ASSERT_EQ(vkPropVariantToBitFlags(&pv, &flags), S_OK);
  // 5 and 2: bits 4 and 1; 0: bit 31; 33: bit 0; 64: bit 31 again.
  EXPECT_EQ(flags, 0x80000013u);

  pv.vt = VT_VECTOR | VT_UI2;
  EXPECT_EQ(vkPropVariantToBitFlags(&pv, &flags), E_INVALIDARG);
  pv.vt = VT_VECTOR | VT_UI1;
  EXPECT_EQ(vkPropVariantToBitFlags(&pv, nullptr), E_INVALIDARG);
  EXPECT_EQ(vkPropVariantToBitFlags(nullptr, &flags), E_INVALIDARG);
  pv.caub.pElems = nullptr;  // a count without storage
  EXPECT_EQ(vkPropVariantToBitFlags(&pv, &flags), E_INVALIDARG);
}

// ---- registry values ------------------------------------------------------------------

class RegistryStringTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Put(kPath);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPath.c_str(), 0, KEY_READ, &key_), ERROR_SUCCESS);
  }
  void TearDown() override { RegCloseKey(key_); }
  static SIZE_T BlockSize(void* p) {
    IMalloc* m = nullptr;
    CoGetMalloc(MEMCTX_TASK, &m);
    SIZE_T size = m->GetSize(p);
    m->Release();
    return size;
  }

  const std::u16string kPath = u"Software\\Veltrak\\Test";
  nxtest::TempRegistry registry_;
  HKEY key_ = nullptr;
};

TEST_F(RegistryStringTest, ValuesComeBackAsStoredInBuffersOfTheirSize) {
  PutString(kPath, nullptr, u"по умолчанию");
  PutString(kPath, u"Name", u"Имя");
  Put(kPath, u"Bare", REG_SZ, u"ab", 4);  // stored without terminator
  const BYTE blob[5] = {1, 2, 3, 0, 9};
  Put(kPath, u"Blob", REG_BINARY, blob, sizeof blob);

  LPWSTR text = nullptr;
  ASSERT_EQ(vkGetStringFromRVW(key_, nullptr, &text), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(text), u"по умолчанию");
  EXPECT_EQ(BlockSize(text), (12u + 1) * sizeof(WCHAR));
  CoTaskMemFree(text);

  LPSTR narrow = nullptr;
  ASSERT_EQ(vkGetStringFromRVA(key_, "Name", &narrow), ERROR_SUCCESS);
  EXPECT_STREQ(narrow, "Имя");
  EXPECT_EQ(BlockSize(narrow), std::string("Имя").size() + 1) << "UTF-8 bytes with the terminator";
  CoTaskMemFree(narrow);

  ASSERT_EQ(vkGetStringFromRVW(key_, u"Bare", &text), ERROR_SUCCESS);
  EXPECT_EQ(BlockSize(text), 4u) << "no terminator was stored, none is added";
  EXPECT_EQ(std::u16string(text, 2), u"ab");
  CoTaskMemFree(text);

  ASSERT_EQ(vkGetStringFromRVW(key_, u"Blob", &text), ERROR_SUCCESS);
  ASSERT_EQ(BlockSize(text), sizeof blob);
  EXPECT_EQ(std::memcmp(text, blob, sizeof blob), 0);
  CoTaskMemFree(text);
}

TEST_F(RegistryStringTest, AnAbsentValueAssignsNothing) {
  auto* sentinel = reinterpret_cast<LPWSTR>(0x1234);
  LPWSTR text = sentinel;
  EXPECT_EQ(vkGetStringFromRVW(key_, u"Missing", &text), static_cast<LONG>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(text, sentinel);
  LPSTR narrow = reinterpret_cast<LPSTR>(0x1234);
  EXPECT_EQ(vkGetStringFromRVA(key_, nullptr, &narrow), static_cast<LONG>(ERROR_FILE_NOT_FOUND)) << "no default value";
  EXPECT_EQ(narrow, reinterpret_cast<LPSTR>(0x1234));

  EXPECT_EQ(vkGetStringFromRVW(key_, u"Missing", nullptr), static_cast<LONG>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(vkGetStringFromRVW(reinterpret_cast<HKEY>(0x7777), u"x", &text), static_cast<LONG>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(text, sentinel);
}

}  // namespace
