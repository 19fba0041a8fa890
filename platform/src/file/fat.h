// FAT12/16/32 volumes read and written through VolumeIo: the boot sector, the tables,
// cluster chains and directory entries. Used for files on unmounted volumes, volume
// labels and serial numbers, and free space as Windows reports it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "file/volume.h"
#include "nxpal/bytes.h"
#include "nxpal/types.h"

namespace nxpal {

// ---- on-disk records (all integers little-endian, read with nx::LoadLe16/32) ---------
#pragma pack(push, 1)
// The BIOS parameter block shared by all FAT kinds, bytes 0-35 of the boot sector.
struct FatBpb {
  uint8_t jump[3];  // 0: EB xx 90 or E9 xx xx
  uint8_t oemName[8];  // 3: formatting system's name
  uint8_t bytsPerSec[2];  // 11: bytes per sector (512, 1024, 2048, 4096)
  uint8_t secPerClus;  // 13: sectors per cluster (a power of two)
  uint8_t rsvdSecCnt[2];  // 14: reserved sectors before the first FAT
  uint8_t numFats;  // 16: number of FAT copies
  uint8_t rootEntCnt[2];  // 17: root directory entries (0 on FAT32)
  uint8_t totSec16[2];  // 19: total sectors when below 65536, else 0
  uint8_t media;  // 21: media byte
  uint8_t fatSz16[2];  // 22: sectors per FAT (0 on FAT32)
  uint8_t secPerTrk[2];  // 24: geometry, unused
  uint8_t numHeads[2];  // 26: geometry, unused
  uint8_t hiddSec[4];  // 28: sectors before the volume, unused
  uint8_t totSec32[4];  // 32: total sectors when totSec16 is 0
};
static_assert(sizeof(FatBpb) == 36);
static_assert(offsetof(FatBpb, secPerClus) == 13 && offsetof(FatBpb, numFats) == 16 &&
              offsetof(FatBpb, media) == 21 && offsetof(FatBpb, totSec32) == 32);

// The extended boot record of FAT12/16, bytes 36-61.
struct FatExt16 {
  uint8_t drvNum;  // 36: BIOS drive number
  uint8_t reserved1;  // 37
  uint8_t bootSig;  // 38: 0x29 when the next three fields are valid
  uint8_t volId[4];  // 39: volume serial number
  uint8_t volLab[11];  // 43: volume label, blank padded
  uint8_t filSysType[8];  // 54: "FAT12   ", "FAT16   " (informative only)
};
static_assert(sizeof(FatExt16) == 26);
static_assert(offsetof(FatExt16, volId) == 39 - 36 && offsetof(FatExt16, filSysType) == 54 - 36);

// The extended boot record of FAT32, bytes 36-89.
struct FatExt32 {
  uint8_t fatSz32[4];  // 36: sectors per FAT
  uint8_t extFlags[2];  // 40: mirroring flags
  uint8_t fsVer[2];  // 42: version, 0
  uint8_t rootClus[4];  // 44: first cluster of the root directory
  uint8_t fsInfo[2];  // 48: sector of the FSInfo record
  uint8_t bkBootSec[2];  // 50: sector of the boot sector's copy
  uint8_t reserved[12];  // 52
  uint8_t drvNum;  // 64: BIOS drive number
  uint8_t reserved1;  // 65
  uint8_t bootSig;  // 66: 0x29 when the next three fields are valid
  uint8_t volId[4];  // 67: volume serial number
  uint8_t volLab[11];  // 71: volume label, blank padded
  uint8_t filSysType[8];  // 82: "FAT32   "
};
static_assert(sizeof(FatExt32) == 54);
static_assert(offsetof(FatExt32, rootClus) == 44 - 36 && offsetof(FatExt32, volId) == 67 - 36);

// A 32-byte directory entry.
struct FatDirEntry {
  uint8_t name[11];  // 0: 8.3 name, blank padded, no dot; name[0] 0xE5 deleted, 0 end
  uint8_t attr;  // 11: FILE_ATTRIBUTE_* bits; 0x08 volume label, 0x0F long-name part
  uint8_t ntRes;  // 12: case flags
  uint8_t crtTimeTenth;  // 13
  uint8_t crtTime[2];  // 14
  uint8_t crtDate[2];  // 16
  uint8_t lstAccDate[2];  // 18
  uint8_t fstClusHi[2];  // 20: high half of the first cluster (FAT32)
  uint8_t wrtTime[2];  // 22: hour*2048 + minute*32 + second/2
  uint8_t wrtDate[2];  // 24: (year-1980)*512 + month*32 + day
  uint8_t fstClusLo[2];  // 26: low half of the first cluster
  uint8_t fileSize[4];  // 28: length in bytes
};
static_assert(sizeof(FatDirEntry) == 32);
static_assert(offsetof(FatDirEntry, attr) == 11 && offsetof(FatDirEntry, fstClusHi) == 20 &&
              offsetof(FatDirEntry, fstClusLo) == 26 && offsetof(FatDirEntry, fileSize) == 28);
#pragma pack(pop)

// Extended boot signature (bootSig of FatExt16 and FatExt32): serial and label are valid.
inline constexpr uint8_t kFatExtendedBootSignature = 0x29;
// The last two bytes of a boot sector or partition table: 55 AA.
inline constexpr size_t kBootSignatureOffset = 510;
inline constexpr uint8_t kBootSignature[2] = {0x55, 0xAA};

// The FAT's width follows from the cluster count alone: fewer than 4085 clusters is
// FAT12, fewer than 65525 FAT16, otherwise FAT32.
inline constexpr uint32_t kFat12ClusterLimit = 4085;
inline constexpr uint32_t kFat16ClusterLimit = 65525;
// FAT32 entries use 28 bits; the top four are reserved.
inline constexpr uint32_t kFat32EntryMask = 0x0FFFFFFF;
// Entries from this value on end a chain, by FAT width.
constexpr uint32_t FatEndOfChain(int bits) { return bits == 12 ? 0xFF8 : bits == 16 ? 0xFFF8 : 0x0FFFFFF8; }

// First name byte of a directory entry: the end of the folder's entries, a deleted
// entry, and the escape that stores a real leading E5 byte of a name in its place.
inline constexpr uint8_t kFatEndOfDirectory = 0x00;
inline constexpr uint8_t kFatDeletedEntry = 0xE5;
inline constexpr uint8_t kFatDeletedEscape = 0x05;

inline constexpr uint8_t kFatAttrVolumeLabel = 0x08;
inline constexpr uint8_t kFatAttrLongName = 0x0F;
inline constexpr uint8_t kFatAttrDirectory = 0x10;
inline constexpr uint8_t kFatAttrReadOnly = 0x01;

// What the boot sector says, with the derived values.
struct FatLayout {
  uint32_t bytesPerSector = 0;
  uint32_t sectorsPerCluster = 0;
  uint32_t reservedSectors = 0;
  uint32_t numFats = 0;
  uint32_t rootEntries = 0;
  uint32_t fatSectors = 0;
  uint32_t totalSectors = 0;
  uint32_t rootDirSectors = 0;
  uint32_t firstDataSector = 0;
  uint32_t clusterCount = 0;  // data clusters: numbered 2 .. clusterCount + 1
  uint32_t rootCluster = 0;  // FAT32 only
  int bits = 0;  // 12, 16 or 32, by the cluster count
  uint32_t serial = 0;
  std::string bootLabel;  // from the boot sector, blanks trimmed; empty for "NO NAME"
  uint32_t ClusterBytes() const { return bytesPerSector * sectorsPerCluster; }
};

// Parses a boot sector; false when it is not one of a FAT volume.
bool ParseFatBootSector(const uint8_t* sector, size_t len, FatLayout* out);

// A file or folder found by path.
struct FatNode {
  uint8_t attr = 0;
  uint32_t firstCluster = 0;
  uint32_t size = 0;
};

class FatVolume {
 public:
  // Reads and checks the boot sector: 1005 when the volume holds no FAT file system.
  static DWORD Open(std::shared_ptr<VolumeIo> io, std::unique_ptr<FatVolume>* out);

  const FatLayout& Layout() const { return layout_; }
  VolumeIo& Io() { return *io_; }
  const std::shared_ptr<VolumeIo>& IoPtr() const { return io_; }

  // Follows a path of components below the root (8.3 names, any case):
  // ERROR_FILE_NOT_FOUND (2) when the last component is missing, ERROR_PATH_NOT_FOUND (3)
  // when a folder on the way is.
  DWORD Find(const std::vector<std::u16string>& components, FatNode* out);
  // The clusters of the chain starting at first; a damaged chain (a loop, a cluster out
  // of range) gives ERROR_FILE_INVALID.
  DWORD Chain(uint32_t first, std::vector<uint32_t>* out);
  DWORD CountFreeClusters(uint32_t* out);
  // The label in the root directory, else the boot sector's.
  DWORD Label(std::string* out);
  // Byte offset of a data cluster within the volume.
  ULONGLONG ClusterOffset(uint32_t cluster) const;

 private:
  explicit FatVolume(std::shared_ptr<VolumeIo> io) : io_(std::move(io)) {}
  DWORD Entry(uint32_t cluster, uint32_t* value);
  // Calls fn for each entry of a folder (cluster 0: the root); fn returns false to stop.
  template <typename Fn>
  DWORD ForEachEntry(uint32_t firstCluster, Fn fn);
  DWORD ReadFatBytes(ULONGLONG offset, uint8_t* out, size_t n);

  std::shared_ptr<VolumeIo> io_;
  FatLayout layout_;
  // A window of the first FAT kept between entry reads.
  std::vector<uint8_t> window_;
  ULONGLONG windowStart_ = 0;
};

// The 11-byte directory form of a name ("vkfrcg.bin" -> "VKFRCG  BIN"); false when the
// name cannot be an 8.3 name.
bool FatShortName(std::u16string_view name, uint8_t out[11]);

}  // namespace nxpal
