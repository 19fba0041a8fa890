// The card layout: boot record decoding, the checks of a card, and the bytes written.
#include "layout.h"

#include <cstring>

#include "ids.h"
#include "nxpal/bytes.h"

namespace fci {
namespace {

// FAT12 and FAT16 by the number of data clusters, as every FAT driver decides it.
constexpr ULONGLONG kMaxFat12Clusters = 4084;
constexpr ULONGLONG kMaxFat16Clusters = 65524;

}  // namespace

BootRecord DecodeBootRecord(const uint8_t sector[kSectorSize]) {
  RawBootRecord raw;
  std::memcpy(&raw, sector, sizeof raw);
  BootRecord b{};
  b.bytsPerSec = nx::LoadLe16(raw.bytsPerSec);
  b.secPerClus = raw.secPerClus;
  b.rsvdSecCnt = nx::LoadLe16(raw.rsvdSecCnt);
  b.numFATs = raw.numFATs;
  b.rootEntCnt = nx::LoadLe16(raw.rootEntCnt);
  b.totSec16 = nx::LoadLe16(raw.totSec16);
  b.media = raw.media;
  b.fatSz16 = nx::LoadLe16(raw.fatSz16);
  b.totSec32 = nx::LoadLe32(raw.totSec32);
  b.fat12 = std::memcmp(raw.filSysType, "FAT12", 5) == 0;
  return b;
}

DWORD TotalSectors(const BootRecord& b) { return b.totSec16 != 0 ? b.totSec16 : b.totSec32; }

UINT RefusalText(Refusal r) {
  switch (r) {
    case Refusal::None: return 0;
    case Refusal::SectorSize: return IDS_REFUSED_SECTOR_SIZE;
    case Refusal::FatCount: return IDS_REFUSED_FAT_COUNT;
    case Refusal::Fat32: return IDS_REFUSED_FAT32;
    case Refusal::ClusterSize: return IDS_REFUSED_CLUSTER_SIZE;
    case Refusal::Capacity: return IDS_REFUSED_CAPACITY;
    case Refusal::FatSize: return IDS_REFUSED_FAT_SIZE;
    case Refusal::DataArea: return IDS_REFUSED_DATA_AREA;
    case Refusal::RootDir: return IDS_REFUSED_ROOT_DIR;
    case Refusal::FatType: return IDS_REFUSED_FAT_TYPE;
    case Refusal::TooSmall: return IDS_REFUSED_TOO_SMALL;
    case Refusal::Reserved: return IDS_REFUSED_RESERVED;
  }
  return IDS_FAILED;
}

Refusal CheckBootRecord(const BootRecord& b) {
  if (b.bytsPerSec != kSectorSize) return Refusal::SectorSize;
  if (b.numFATs != 2) return Refusal::FatCount;
  if (b.fatSz16 == 0) return Refusal::Fat32;
  if (b.secPerClus == 0 || (b.secPerClus & (b.secPerClus - 1)) != 0) return Refusal::ClusterSize;
  if (b.rsvdSecCnt == 0) return Refusal::Reserved;
  // The data area starts at a sector: a root directory ending inside one would put the
  // file header where no FAT driver looks for cluster 2.
  if (b.rootEntCnt == 0 || (b.rootEntCnt * 32u) % kSectorSize != 0) return Refusal::RootDir;
  return Refusal::None;
}

Refusal ComputeLayout(const BootRecord& b, ULONGLONG capacity, CardLayout* out) {
  if (Refusal r = CheckBootRecord(b); r != Refusal::None) return r;
  if (capacity >= 0x100000000ull) return Refusal::Capacity;
  // Everything below in 64 bits: no sum or product of these fields can wrap there.
  const ULONGLONG clusterBytes = ULONGLONG{b.secPerClus} * kSectorSize;
  const ULONGLONG fatOffset = ULONGLONG{b.rsvdSecCnt} * kSectorSize;
  const ULONGLONG fatBytes = ULONGLONG{b.fatSz16} * kSectorSize;
  const ULONGLONG rootOffset = fatOffset + 2 * fatBytes;
  const ULONGLONG dataOffset = rootOffset + ULONGLONG{b.rootEntCnt} * 32;
  if (capacity < kFileHeaderSize) return Refusal::TooSmall;
  // The file spans whole clusters from cluster 2 to the volume's last sector.
  if (capacity % clusterBytes != 0 || dataOffset + capacity > ULONGLONG{TotalSectors(b)} * kSectorSize)
    return Refusal::DataArea;
  const ULONGLONG clusters = capacity / clusterBytes;
  const ULONGLONG lastCluster = clusters + 1;
  // Entry n of a 12-bit FAT covers bytes 3n/2 and 3n/2 + 1; of a 16-bit FAT 2n and 2n + 1.
  const ULONGLONG fatNeeded = b.fat12 ? lastCluster * 3 / 2 + 2 : (lastCluster + 1) * 2;
  if (fatNeeded > fatBytes) return Refusal::FatSize;
  // Chain values must stay below the bad-cluster and end marks of the entry width.
  if (b.fat12 != (clusters <= kMaxFat12Clusters) || clusters > kMaxFat16Clusters) return Refusal::FatType;

  out->fatOffset = static_cast<DWORD>(fatOffset);
  out->fatBytes = static_cast<DWORD>(fatBytes);
  out->rootOffset = static_cast<DWORD>(rootOffset);
  out->dataOffset = static_cast<DWORD>(dataOffset);
  out->capacity = static_cast<DWORD>(capacity);
  out->lastCluster = static_cast<DWORD>(lastCluster);
  out->fat12 = b.fat12;
  out->media = b.media;
  return Refusal::None;
}

void FillFat(const CardLayout& layout, uint8_t* image) {
  std::memset(image, 0, layout.fatBytes);
  image[0] = layout.media;
  if (!layout.fat12) {
    image[1] = image[2] = image[3] = 0xFF;
    for (DWORD n = 2; n < layout.lastCluster; ++n) nx::StoreLe16(image + 2 * n, static_cast<uint16_t>(n + 1));
    nx::StoreLe16(image + 2 * layout.lastCluster, 0xFFFF);
    return;
  }
  image[1] = image[2] = 0xFF;
  auto put12 = [image](DWORD n, DWORD value) {
    uint8_t* p = image + n * 3 / 2;
    if (n % 2 == 0) {  // the low byte, then the low nibble of the next one
      p[0] = static_cast<uint8_t>(value);
      p[1] = static_cast<uint8_t>((p[1] & 0xF0) | ((value >> 8) & 0x0F));
    } else {  // the high nibble of a byte, then the next byte
      p[0] = static_cast<uint8_t>((p[0] & 0x0F) | ((value << 4) & 0xF0));
      p[1] = static_cast<uint8_t>(value >> 4);
    }
  };
  for (DWORD n = 2; n < layout.lastCluster; ++n) put12(n, n + 1);
  put12(layout.lastCluster, 0xFFF);
}

void FillFileHeader(uint8_t header[kFileHeaderSize]) {
  std::memset(header, 0, kFileHeaderSize);
  std::memcpy(header, "VKFRCG", 7);
}

void FillRootSector(uint8_t sector[kSectorSize], DWORD fileSize, const SYSTEMTIME& local) {
  std::memset(sector, 0, kSectorSize);
  RawDirEntry e{};
  std::memcpy(e.name, "VKFRCG  ", 8);
  std::memcpy(e.ext, "BIN", 3);
  nx::StoreLe16(e.wrtTime, static_cast<uint16_t>(local.wHour * 2048u + local.wMinute * 32u + local.wSecond / 2u));
  nx::StoreLe16(e.wrtDate, static_cast<uint16_t>(((local.wYear - 1980u) & 0x7F) * 512u + local.wMonth * 32u + local.wDay));
  nx::StoreLe16(e.fstClus, 2);
  nx::StoreLe32(e.fileSize, static_cast<uint32_t>(fileSize));
  std::memcpy(sector, &e, sizeof e);
}

CardSizes SizesFromBootRecord(const BootRecord& b) {
  const LONGLONG total = TotalSectors(b);
  const LONGLONG free = total - LONGLONG{b.fatSz16} * b.numFATs - b.rootEntCnt / 16 - b.rsvdSecCnt;
  return CardSizes{LONGLONG{b.secPerClus} * kSectorSize, total / 2, free / 2};
}

}  // namespace fci
