// The card layout: FAT chains in both entry widths read back with an independent
// decoder, the directory entry, the refusals of unusable boot records, the sizes shown,
// and the number and interval texts.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "card.h"
#include "ids.h"
#include "layout.h"
#include "worker.h"

namespace fci {
namespace {

// A FAT16 boot record of a card: 4 sectors per cluster, 1 reserved sector, two FATs of
// fatSectors, 512 root entries; totalSectors goes to the 32- or 16-bit field.
std::vector<uint8_t> BootSector(DWORD totalSectors, WORD fatSectors, BYTE secPerClus, const char* type) {
  std::vector<uint8_t> s(512, 0);
  s[11] = 0x00, s[12] = 0x02;  // 512 bytes per sector
  s[13] = secPerClus;
  s[14] = 1;  // reserved sectors
  s[16] = 2;  // FATs
  s[17] = 0x00, s[18] = 0x02;  // 512 root entries
  if (totalSectors < 65536) {
    s[19] = static_cast<uint8_t>(totalSectors), s[20] = static_cast<uint8_t>(totalSectors >> 8);
  } else {
    for (int i = 0; i < 4; ++i) s[32 + i] = static_cast<uint8_t>(totalSectors >> (8 * i));
  }
  s[21] = 0xF8;
  s[22] = static_cast<uint8_t>(fatSectors), s[23] = static_cast<uint8_t>(fatSectors >> 8);
  std::memcpy(&s[54], type, std::strlen(type));
  s[510] = 0x55, s[511] = 0xAA;
  return s;
}

// The data area of a boot record's volume in whole clusters (what the drive reports).
ULONGLONG Capacity(const BootRecord& b) {
  ULONGLONG data = TotalSectors(b) - b.rsvdSecCnt - 2ull * b.fatSz16 - b.rootEntCnt / 16;
  return data / b.secPerClus * b.secPerClus * 512;
}

// Entry n of a FAT as every FAT driver reads it.
DWORD Entry(const std::vector<uint8_t>& fat, bool fat12, DWORD n) {
  if (!fat12) return fat[2 * n] | fat[2 * n + 1] << 8;
  DWORD off = n + n / 2;
  DWORD w = fat[off] | fat[off + 1] << 8;
  return n % 2 ? w >> 4 : w & 0xFFF;
}

TEST(CardLayout, Fat16ChainOfTenThousandClusters) {
  // 10 000 clusters of 2 KiB after 1 + 2 × 40 + 32 sectors.
  const DWORD total = 1 + 80 + 32 + 10000 * 4;
  BootRecord b = DecodeBootRecord(BootSector(total, 40, 4, "FAT16   ").data());
  EXPECT_EQ(b.totSec32, 0u);
  ASSERT_EQ(Capacity(b), 10000ull * 2048);
  CardLayout l{};
  ASSERT_EQ(ComputeLayout(b, Capacity(b), &l), Refusal::None);
  EXPECT_EQ(l.fatOffset, 512u);
  EXPECT_EQ(l.rootOffset, 81u * 512);
  EXPECT_EQ(l.dataOffset, 81u * 512 + 512 * 32);
  EXPECT_EQ(l.lastCluster, 10001u);
  EXPECT_FALSE(l.fat12);
  std::vector<uint8_t> fat(l.fatBytes, 0xAA);
  FillFat(l, fat.data());
  EXPECT_EQ(fat[0], 0xF8);
  EXPECT_EQ(fat[1], 0xFF);
  EXPECT_EQ(Entry(fat, false, 1), 0xFFFFu);
  for (DWORD n = 2; n <= 10000; ++n) ASSERT_EQ(Entry(fat, false, n), n + 1) << n;
  EXPECT_EQ(Entry(fat, false, 10001), 0xFFFFu);
  for (size_t i = 2 * 10002; i < fat.size(); ++i) ASSERT_EQ(fat[i], 0) << i;
}

TEST(CardLayout, Fat12ChainPacksTwelveBitEntriesForOddAndEvenEnds) {
  for (DWORD clusters : {3000u, 3001u}) {
    const DWORD total = 1 + 2 * 9 + 32 + clusters * 8;
    BootRecord b = DecodeBootRecord(BootSector(total, 9, 8, "FAT12   ").data());
    ASSERT_TRUE(b.fat12);
    CardLayout l{};
    ASSERT_EQ(ComputeLayout(b, Capacity(b), &l), Refusal::None);
    ASSERT_TRUE(l.fat12);
    std::vector<uint8_t> fat(l.fatBytes, 0x5A);
    FillFat(l, fat.data());
    EXPECT_EQ(Entry(fat, true, 0), 0xFF8u);
    EXPECT_EQ(Entry(fat, true, 1), 0xFFFu);
    for (DWORD n = 2; n <= clusters; ++n) ASSERT_EQ(Entry(fat, true, n), n + 1) << n;
    EXPECT_EQ(Entry(fat, true, clusters + 1), 0xFFFu);
    EXPECT_EQ(Entry(fat, true, clusters + 2), 0u);  // the nibble after the end mark
    for (size_t i = (clusters + 3) * 3 / 2 + 1; i < fat.size(); ++i) ASSERT_EQ(fat[i], 0) << i;
  }
}

TEST(CardLayout, RefusesBootRecordsThisLayoutCannotServe) {
  const std::vector<uint8_t> good = BootSector(1 + 80 + 32 + 10000 * 4, 40, 4, "FAT16   ");
  struct Case {
    const char* what;
    void (*mutate)(std::vector<uint8_t>&);
    ULONGLONG capacity;  // 0: the volume's own
    Refusal expected;
  };
  const Case cases[] = {
      {"4096-byte sectors", [](auto& s) { s[12] = 0x10; }, 0, Refusal::SectorSize},
      {"one FAT", [](auto& s) { s[16] = 1; }, 0, Refusal::FatCount},
      {"FAT32", [](auto& s) { s[22] = s[23] = 0; }, 0, Refusal::Fat32},
      {"0 sectors per cluster", [](auto& s) { s[13] = 0; }, 0, Refusal::ClusterSize},
      {"3 sectors per cluster", [](auto& s) { s[13] = 3; }, 0, Refusal::ClusterSize},
      {"4 GiB", [](auto&) {}, 0x100000000ull, Refusal::Capacity},
      {"no root entries", [](auto& s) { s[17] = s[18] = 0; }, 0, Refusal::RootDir},
      {"root directory ending inside a sector", [](auto& s) { s[17] = 0x01; }, 0, Refusal::RootDir},
      {"no reserved sector", [](auto& s) { s[14] = 0; }, 0, Refusal::Reserved},
      {"capacity beyond the volume", [](auto&) {}, 10001ull * 2048, Refusal::DataArea},
      {"capacity not whole clusters", [](auto&) {}, 10000ull * 2048 - 512, Refusal::DataArea},
      {"FAT of 10 sectors", [](auto& s) { s[22] = 10; }, 0, Refusal::FatSize},
      {"FAT12 label on 10 000 clusters", [](auto& s) { std::memcpy(&s[54], "FAT12", 5); }, 0, Refusal::FatType},
      {"one cluster of 512 bytes", [](auto& s) { s[13] = 1; }, 512, Refusal::TooSmall},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> s = good;
    c.mutate(s);
    BootRecord b = DecodeBootRecord(s.data());
    ULONGLONG cap = c.capacity ? c.capacity : Capacity(DecodeBootRecord(good.data()));
    CardLayout l{};
    EXPECT_EQ(ComputeLayout(b, cap, &l), c.expected) << c.what;
    EXPECT_NE(RefusalText(c.expected), 0u);
  }
  // A FAT16 volume past 65 524 clusters would write chain values that read as end marks.
  BootRecord big = DecodeBootRecord(BootSector(1 + 2 * 256 + 32 + 65530u * 2, 256, 2, "FAT16   ").data());
  CardLayout l{};
  EXPECT_EQ(ComputeLayout(big, Capacity(big), &l), Refusal::FatType);
}

TEST(CardLayout, RootSectorEntryAndFileHeader) {
  uint8_t sector[512];
  std::memset(sector, 0x77, sizeof sector);
  SYSTEMTIME t{2026, 12, 1, 7, 23, 59, 59, 0};
  FillRootSector(sector, 0x01234800, t);
  EXPECT_EQ(std::memcmp(sector, "VKFRCG  BIN", 11), 0);
  EXPECT_EQ(sector[11], 0);
  auto get16 = [&](int o) { return sector[o] | sector[o + 1] << 8; };
  EXPECT_EQ(get16(22), (23 << 11) | (59 << 5) | 29);
  EXPECT_EQ(get16(24), (46 << 9) | (12 << 5) | 7);
  EXPECT_EQ(get16(26), 2);
  EXPECT_EQ(get16(28) | get16(30) << 16, 0x01234800);
  for (int i = 12; i < 22; ++i) EXPECT_EQ(sector[i], 0) << i;
  for (int i = 32; i < 512; ++i) ASSERT_EQ(sector[i], 0) << i;

  std::vector<uint8_t> header(kFileHeaderSize, 0x33);
  FillFileHeader(header.data());
  EXPECT_EQ(std::memcmp(header.data(), "VKFRCG", 6), 0);
  for (size_t i = 6; i < header.size(); ++i) ASSERT_EQ(header[i], 0) << i;
}

TEST(CardInformation, SizesTakeTheSixteenBitTotalOfSmallCards) {
  // 16 MiB FAT12 volume: total in BPB_TotSec16, BPB_TotSec32 0.
  BootRecord small = DecodeBootRecord(BootSector(32768, 12, 8, "FAT12   ").data());
  CardSizes s = SizesFromBootRecord(small);
  EXPECT_EQ(s.clusterBytes, 4096);
  EXPECT_EQ(s.totalKiB, 16384);
  EXPECT_EQ(s.freeKiB, (32768 - 24 - 32 - 1) / 2);
  BootRecord large = DecodeBootRecord(BootSector(131072, 128, 4, "FAT16   ").data());
  s = SizesFromBootRecord(large);
  EXPECT_EQ(s.totalKiB, 65536);
  EXPECT_EQ(s.freeKiB, (131072 - 256 - 32 - 1) / 2);
}

TEST(CardInformation, NumbersAndIntervalsReadAsTheDialogShowsThem) {
  EXPECT_EQ(FormatSize(32768, IDS_UNIT_BYTES), u"32 768 Б");
  EXPECT_EQ(FormatSize(1048576, IDS_UNIT_KIB), u"1 048 576 кБ");
  EXPECT_EQ(FormatSize(512, IDS_UNIT_BYTES), u"512 Б");
  EXPECT_EQ(FormatSize(-2048, IDS_UNIT_KIB), u"(2 048) кБ");
  const std::u16string form = LoadText(IDS_TIME_FORMAT, 24);
  ASSERT_EQ(form, u"mm' мин. 'ss' с.'");
  EXPECT_EQ(FormatInterval(0, form), u"00 мин. 00 с.");
  EXPECT_EQ(FormatInterval(754ull * 10000000, form), u"12 мин. 34 с.");
  EXPECT_EQ(FormatInterval((3600ull + 300) * 10000000, form), u"05 мин. 00 с.");  // hours dropped
  EXPECT_EQ(InitWorker::StepBase(65536), 4);
  EXPECT_EQ(InitWorker::StepBase(65537), 5);
  EXPECT_EQ(InitWorker::StepBase(0xFFFF0000u), 65535 + 3);
}

}  // namespace
}  // namespace fci
