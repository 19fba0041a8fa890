// Fuzzes the card checks and the layout computation: the input is a boot sector (512
// bytes) followed by the capacity the drive reports (8 bytes, little-endian). Whatever
// the bytes, a card that is accepted gets writes only inside its volume and after its
// boot record, and the FAT image never runs past its own block.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "layout.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

// Entry n of a FAT as any FAT driver reads it.
uint32_t Entry(const std::vector<uint8_t>& fat, bool fat12, uint32_t n) {
  if (!fat12) return fat.at(2 * n) | fat.at(2 * n + 1) << 8;
  uint32_t off = n + n / 2;
  uint32_t w = fat.at(off) | fat.at(off + 1) << 8;
  return n % 2 ? w >> 4 : w & 0xFFF;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < fci::kSectorSize) return 0;
  uint64_t capacity = 0;
  for (size_t i = 0; i < 8 && fci::kSectorSize + i < size; ++i)
    capacity |= static_cast<uint64_t>(data[fci::kSectorSize + i]) << (8 * i);
  const fci::BootRecord boot = fci::DecodeBootRecord(data);
  fci::CardLayout l{};
  if (fci::ComputeLayout(boot, capacity, &l) != fci::Refusal::None) return 0;

  const uint64_t volumeEnd = uint64_t{fci::TotalSectors(boot)} * fci::kSectorSize;
  // Both FAT copies, then the root sector, then the data area; none overlaps another or
  // the boot record, and all lie inside the volume.
  Require(l.fatOffset >= fci::kSectorSize);
  Require(uint64_t{l.fatOffset} + 2ull * l.fatBytes <= l.rootOffset);
  Require(uint64_t{l.rootOffset} + fci::kSectorSize <= l.dataOffset);
  Require(l.dataOffset % fci::kSectorSize == 0);
  Require(uint64_t{l.dataOffset} + l.capacity <= volumeEnd);
  Require(l.capacity >= fci::kFileHeaderSize && l.capacity == capacity);
  Require(l.lastCluster >= 2);

  // The image in a block of exactly its size (the sanitizer sees any write past it); the
  // chain reads back from cluster 2 to its end mark.
  std::vector<uint8_t> fat(l.fatBytes);
  fci::FillFat(l, fat.data());
  const uint32_t end = l.fat12 ? 0xFFF : 0xFFFF;
  Require(Entry(fat, l.fat12, 1) == end);
  Require(Entry(fat, l.fat12, l.lastCluster) == end);
  const uint32_t step = l.lastCluster > 64 ? (l.lastCluster - 2) / 32 : 1;
  for (uint32_t n = 2; n < l.lastCluster; n += step) Require(Entry(fat, l.fat12, n) == n + 1);
  Require(Entry(fat, l.fat12, l.lastCluster - 1) == (l.lastCluster > 2 ? l.lastCluster : end));
  return 0;
}
