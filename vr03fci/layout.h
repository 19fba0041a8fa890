// The card layout: the boot record fields the initializer reads, the checks that a card
// can carry the session file, and the bytes it writes (file header, root directory
// sector, FAT image). Pure computation on byte buffers; no I/O.
#pragma once

#include <cstddef>
#include <cstdint>

#include "nxpal/windows.h"

namespace fci {

inline constexpr DWORD kSectorSize = 512;
inline constexpr DWORD kFileHeaderSize = 1536;  // three sectors at the start of the file
inline constexpr DWORD kChunkSize = 65536;  // data-area test transfer size

// The first sector of a FAT volume, as far as the initializer reads it. Byte arrays only,
// so the compiler adds no padding; multi-byte fields are little-endian.
struct RawBootRecord {
  uint8_t jump[3];  // BS_jmpBoot
  uint8_t oemName[8];  // BS_OEMName
  uint8_t bytsPerSec[2];  // BPB_BytsPerSec: must be 512
  uint8_t secPerClus;  // BPB_SecPerClus: sectors per cluster, a power of two
  uint8_t rsvdSecCnt[2];  // BPB_RsvdSecCnt: the first FAT follows these sectors
  uint8_t numFATs;  // BPB_NumFATs: must be 2
  uint8_t rootEntCnt[2];  // BPB_RootEntCnt: 32-byte root directory entries
  uint8_t totSec16[2];  // BPB_TotSec16: total sectors when below 65536, else 0
  uint8_t media;  // BPB_Media: copied into FAT entry 0
  uint8_t fatSz16[2];  // BPB_FATSz16: sectors per FAT (0 on FAT32)
  uint8_t secPerTrk[2];  // BPB_SecPerTrk (not used)
  uint8_t numHeads[2];  // BPB_NumHeads (not used)
  uint8_t hiddSec[4];  // BPB_HiddSec (not used)
  uint8_t totSec32[4];  // BPB_TotSec32: total sectors when BPB_TotSec16 is 0
  uint8_t drvNum;  // BS_DrvNum (not used)
  uint8_t reserved1;  // BS_Reserved1
  uint8_t bootSig;  // BS_BootSig (not used)
  uint8_t volId[4];  // BS_VolID (not used)
  uint8_t volLab[11];  // BS_VolLab (not used)
  uint8_t filSysType[8];  // BS_FilSysType: "FAT12" selects 12-bit FAT entries
  uint8_t rest[450];  // boot code and signature (not used)
};
static_assert(sizeof(RawBootRecord) == kSectorSize);
static_assert(offsetof(RawBootRecord, bytsPerSec) == 11);
static_assert(offsetof(RawBootRecord, secPerClus) == 13);
static_assert(offsetof(RawBootRecord, rsvdSecCnt) == 14);
static_assert(offsetof(RawBootRecord, numFATs) == 16);
static_assert(offsetof(RawBootRecord, rootEntCnt) == 17);
static_assert(offsetof(RawBootRecord, totSec16) == 19);
static_assert(offsetof(RawBootRecord, media) == 21);
static_assert(offsetof(RawBootRecord, fatSz16) == 22);
static_assert(offsetof(RawBootRecord, totSec32) == 32);
static_assert(offsetof(RawBootRecord, filSysType) == 54);

// The decoded fields.
struct BootRecord {
  WORD bytsPerSec;
  BYTE secPerClus;
  WORD rsvdSecCnt;
  BYTE numFATs;
  WORD rootEntCnt;
  WORD totSec16;
  BYTE media;
  WORD fatSz16;
  DWORD totSec32;
  bool fat12;  // BS_FilSysType begins with "FAT12"
};
BootRecord DecodeBootRecord(const uint8_t sector[kSectorSize]);

// Total sectors of the volume: BPB_TotSec16, or BPB_TotSec32 when that is 0.
DWORD TotalSectors(const BootRecord& b);

// Why a card cannot carry the session file (nothing is written to such a card).
enum class Refusal {
  None,
  SectorSize,  // bytes per sector other than 512
  FatCount,  // a number of FATs other than 2
  Fat32,  // BPB_FATSz16 of 0
  ClusterSize,  // 0 or not a power of two sectors per cluster
  Capacity,  // 4 GiB or more
  FatSize,  // the FAT cannot hold entries up to the last cluster
  DataArea,  // the data area would run past the end of the volume
  RootDir,  // a root directory of 0 entries, or not of whole sectors
  Reserved,  // no reserved sector: the first FAT would overwrite the boot record
  FatType,  // "FAT12" in the boot record disagrees with the number of clusters
  TooSmall,  // the data area cannot hold the file header
};
// The status text of a refusal (IDS_REFUSED_...); 0 for Refusal::None.
UINT RefusalText(Refusal r);

// Where the initializer writes, computed from the boot record and the capacity that the
// drive reports (clusters × cluster size). All offsets are from the volume's start.
struct CardLayout {
  DWORD fatOffset;  // BPB_RsvdSecCnt × 512: the first FAT copy
  DWORD fatBytes;  // BPB_FATSz16 × 512: one FAT copy (the image written twice)
  DWORD rootOffset;  // first root directory sector
  DWORD dataOffset;  // first byte of cluster 2: the file header
  DWORD capacity;  // ulCap: the file's size and the data-area test's length
  DWORD lastCluster;  // the chain runs over clusters 2 .. lastCluster
  bool fat12;  // 12-bit FAT entries
  BYTE media;
};
// The checks that need only the boot record (sector size, FAT count and width, cluster
// size, root directory); Refusal::None when they pass.
Refusal CheckBootRecord(const BootRecord& b);

// Fills *out and returns Refusal::None when the card can carry the file; otherwise the
// first reason found (*out is then unspecified).
Refusal ComputeLayout(const BootRecord& b, ULONGLONG capacity, CardLayout* out);

// The FAT image (layout.fatBytes bytes): the media byte, the reserved entries, the chain
// 2 -> 3 -> ... -> lastCluster and its end mark; every other byte 0.
void FillFat(const CardLayout& layout, uint8_t* image);

// The file header: "VKFRCG" and zeros.
void FillFileHeader(uint8_t header[kFileHeaderSize]);

// The root directory's first sector: the entry of VKFRCG.BIN (first cluster 2, the given
// size, written at the given local time) followed by zeros, which end the directory.
void FillRootSector(uint8_t sector[kSectorSize], DWORD fileSize, const SYSTEMTIME& local);

// One 32-byte directory entry, as the FAT file system lays it out.
struct RawDirEntry {
  uint8_t name[8];  // DIR_Name: base name, blank-padded
  uint8_t ext[3];  // DIR_Name: extension, blank-padded
  uint8_t attr;  // DIR_Attr
  uint8_t reserved[10];  // DIR_NTRes, creation and access times (all zero here)
  uint8_t wrtTime[2];  // DIR_WrtTime: hour << 11 | minute << 5 | second / 2
  uint8_t wrtDate[2];  // DIR_WrtDate: (year - 1980) << 9 | month << 5 | day
  uint8_t fstClus[2];  // DIR_FstClusLO
  uint8_t fileSize[4];  // DIR_FileSize
};
static_assert(sizeof(RawDirEntry) == 32);
static_assert(offsetof(RawDirEntry, attr) == 11);
static_assert(offsetof(RawDirEntry, wrtTime) == 22);
static_assert(offsetof(RawDirEntry, wrtDate) == 24);
static_assert(offsetof(RawDirEntry, fstClus) == 26);
static_assert(offsetof(RawDirEntry, fileSize) == 28);

// Card sizes shown by the dialog: cluster bytes, total and free KiB (free = the sectors
// after the reserved ones, the FATs and the root directory).
struct CardSizes {
  LONGLONG clusterBytes;
  LONGLONG totalKiB;
  LONGLONG freeKiB;
};
CardSizes SizesFromBootRecord(const BootRecord& b);

}  // namespace fci
