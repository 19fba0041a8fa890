// The byte coding of on-disk and wire layouts: fixed little-endian order at any offset,
// high bits that survive char buffers, and UTF-16LE text.
#include "nxpal/bytes.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace {

TEST(BytesTest, IntegersAreLittleEndianAtAnyOffsetAndTouchOnlyTheirBytes) {
  std::array<uint8_t, 16> b;
  b.fill(0xAA);
  nx::StoreLe32(b.data() + 3, 0x11223344u);
  EXPECT_EQ(b[2], 0xAA);
  EXPECT_EQ(b[3], 0x44);
  EXPECT_EQ(b[4], 0x33);
  EXPECT_EQ(b[5], 0x22);
  EXPECT_EQ(b[6], 0x11);
  EXPECT_EQ(b[7], 0xAA);
  nx::StoreLe64(b.data() + 7, 0x0102030405060708ull);
  EXPECT_EQ(b[7], 0x08);
  EXPECT_EQ(b[14], 0x01);
  EXPECT_EQ(b[15], 0xAA);
  EXPECT_EQ(nx::LoadLe64(b.data() + 7), 0x0102030405060708ull);
  nx::StoreLe16(b.data() + 1, 0xBEEF);
  EXPECT_EQ(nx::LoadLe16(b.data() + 1), 0xBEEF);
  EXPECT_EQ(b[1], 0xEF);
  static_assert(nx::LoadLe16(std::array<uint8_t, 2>{0x34, 0x12}.data()) == 0x1234);
}

// Bytes with the top bit set: a char is signed here, and a shift of an int into bit 31
// would be undefined; either fault shows as wrong high bits.
TEST(BytesTest, HighBitsSurviveCharBuffers) {
  const std::string ones(8, '\xFF');
  EXPECT_EQ(nx::LoadLe16(ones.data()), 0xFFFFu);
  EXPECT_EQ(nx::LoadLe32(ones.data()), 0xFFFFFFFFu);
  EXPECT_EQ(nx::LoadLe64(ones.data()), ~0ull);
  const std::string top("\x00\x00\x00\x80\x00\x00\x00\x80", 8);
  EXPECT_EQ(nx::LoadLe32(top.data()), 0x80000000u);
  EXPECT_EQ(nx::LoadLe64(top.data()), 0x8000000080000000ull);
  std::string out(4, '\0');
  nx::StoreLe32(out.data(), 0xFEDCBA98u);
  EXPECT_EQ(out, std::string("\x98\xBA\xDC\xFE", 4));
}

TEST(BytesTest, Utf16LeTextKeepsSurrogatePairsAndDropsAnOddLastByte) {
  const std::u16string text = u"Я\U0001F600a";  // Cyrillic, a surrogate pair, ASCII
  const std::string bytes = nx::Utf16LeBytes(text);
  EXPECT_EQ(bytes, std::string("\x2F\x04\x3D\xD8\x00\xDE\x61\x00", 8));
  EXPECT_EQ(nx::FromUtf16LeBytes(bytes), text);
  EXPECT_EQ(nx::FromUtf16LeBytes(bytes + "\x62"), text);
  // A heap buffer wider than GCC 12's vector stores at -O3: with a 10-byte array it warns
  // falsely (-Wstringop-overflow) about the vectorised loop writing past the end.
  std::vector<uint8_t> buf(64);
  const std::u16string ab = u"AB";
  nx::PutUtf16Le(buf.data() + 1, ab);
  EXPECT_EQ(buf[1], 'A');
  EXPECT_EQ(buf[3], 'B');
  EXPECT_EQ(nx::GetUtf16Le(buf.data() + 1, 2), u"AB");
}

}  // namespace
