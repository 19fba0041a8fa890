// FAT boot sector parsing, table entries, cluster chains and directory lookups.
#include "file/fat.h"

#include <algorithm>
#include <cstring>

#include "nxpal/errors.h"

namespace nxpal {
namespace {

constexpr size_t kFatWindow = 64 * 1024;

bool IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

std::string TrimmedLabel(const uint8_t* p, size_t n) {
  std::string s(reinterpret_cast<const char*>(p), n);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

uint32_t FirstCluster(const FatDirEntry& e) {
  return (static_cast<uint32_t>(nx::LoadLe16(e.fstClusHi)) << 16) | nx::LoadLe16(e.fstClusLo);
}

}  // namespace

bool ParseFatBootSector(const uint8_t* sector, size_t len, FatLayout* out) {
  if (len < 512) return false;
  FatBpb bpb;
  std::memcpy(&bpb, sector, sizeof bpb);
  if (bpb.jump[0] != 0xEB && bpb.jump[0] != 0xE9) return false;
  FatLayout l;
  l.bytesPerSector = nx::LoadLe16(bpb.bytsPerSec);
  l.sectorsPerCluster = bpb.secPerClus;
  l.reservedSectors = nx::LoadLe16(bpb.rsvdSecCnt);
  l.numFats = bpb.numFats;
  l.rootEntries = nx::LoadLe16(bpb.rootEntCnt);
  l.fatSectors = nx::LoadLe16(bpb.fatSz16);
  l.totalSectors = nx::LoadLe16(bpb.totSec16) != 0 ? nx::LoadLe16(bpb.totSec16) : nx::LoadLe32(bpb.totSec32);
  if (l.bytesPerSector < 512 || l.bytesPerSector > 4096 || !IsPowerOfTwo(l.bytesPerSector)) return false;
  if (!IsPowerOfTwo(l.sectorsPerCluster) || l.reservedSectors == 0 || l.numFats == 0) return false;
  FatExt32 ext32;
  std::memcpy(&ext32, sector + sizeof(FatBpb), sizeof ext32);
  if (l.fatSectors == 0) l.fatSectors = nx::LoadLe32(ext32.fatSz32);
  if (l.fatSectors == 0 || l.totalSectors == 0) return false;
  l.rootDirSectors = (l.rootEntries * 32 + l.bytesPerSector - 1) / l.bytesPerSector;
  uint64_t firstData = static_cast<uint64_t>(l.reservedSectors) + static_cast<uint64_t>(l.numFats) * l.fatSectors +
                       l.rootDirSectors;
  if (firstData >= l.totalSectors) return false;
  l.firstDataSector = static_cast<uint32_t>(firstData);
  l.clusterCount = (l.totalSectors - l.firstDataSector) / l.sectorsPerCluster;
  l.bits = l.clusterCount < kFat12ClusterLimit ? 12 : l.clusterCount < kFat16ClusterLimit ? 16 : 32;
  // The table must hold an entry for every cluster.
  uint64_t entries = static_cast<uint64_t>(l.fatSectors) * l.bytesPerSector * 8 / static_cast<uint64_t>(l.bits);
  if (entries < static_cast<uint64_t>(l.clusterCount) + 2) return false;
  if (l.bits == 32) {
    if (l.rootEntries != 0) return false;
    l.rootCluster = nx::LoadLe32(ext32.rootClus);
    if (ext32.bootSig == kFatExtendedBootSignature) {
      l.serial = nx::LoadLe32(ext32.volId);
      l.bootLabel = TrimmedLabel(ext32.volLab, sizeof ext32.volLab);
    }
  } else {
    if (l.rootEntries == 0) return false;
    FatExt16 ext16;
    std::memcpy(&ext16, sector + sizeof(FatBpb), sizeof ext16);
    if (ext16.bootSig == kFatExtendedBootSignature) {
      l.serial = nx::LoadLe32(ext16.volId);
      l.bootLabel = TrimmedLabel(ext16.volLab, sizeof ext16.volLab);
    }
  }
  if (l.bootLabel == "NO NAME") l.bootLabel.clear();
  *out = l;
  return true;
}

bool FatShortName(std::u16string_view name, uint8_t out[11]) {
  std::memset(out, ' ', 11);
  if (name.empty() || name == u"." || name == u"..") return false;
  size_t dot = name.rfind(u'.');
  std::u16string_view base = dot == std::u16string_view::npos ? name : name.substr(0, dot);
  std::u16string_view ext = dot == std::u16string_view::npos ? std::u16string_view() : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || ext.size() > 3) return false;
  auto put = [](std::u16string_view part, uint8_t* dst) {
    for (size_t i = 0; i < part.size(); ++i) {
      char16_t c = part[i];
      if (c < 0x21 || c > 0x7E || c == u'.' || c == u'*' || c == u'?') return false;
      if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
      dst[i] = static_cast<uint8_t>(c);
    }
    return true;
  };
  return put(base, out) && put(ext, out + 8);
}

DWORD FatVolume::Open(std::shared_ptr<VolumeIo> io, std::unique_ptr<FatVolume>* out) {
  uint8_t sector[512];
  size_t got = 0;
  DWORD err = io->ReadAt(0, sector, sizeof sector, &got);
  if (err != ERROR_SUCCESS) return err;
  std::unique_ptr<FatVolume> v(new FatVolume(std::move(io)));
  if (got != sizeof sector || !ParseFatBootSector(sector, got, &v->layout_)) return ERROR_UNRECOGNIZED_VOLUME;
  const FatLayout& l = v->layout_;
  if (static_cast<ULONGLONG>(l.totalSectors) * l.bytesPerSector > v->io_->Size()) {
    // A boot sector that claims more than the medium holds: trust only what is there.
    if (static_cast<ULONGLONG>(l.firstDataSector) * l.bytesPerSector >= v->io_->Size()) return ERROR_UNRECOGNIZED_VOLUME;
  }
  *out = std::move(v);
  return ERROR_SUCCESS;
}

ULONGLONG FatVolume::ClusterOffset(uint32_t cluster) const {
  return (static_cast<ULONGLONG>(layout_.firstDataSector) +
          static_cast<ULONGLONG>(cluster - 2) * layout_.sectorsPerCluster) *
         layout_.bytesPerSector;
}

DWORD FatVolume::ReadFatBytes(ULONGLONG offset, uint8_t* out, size_t n) {
  if (window_.empty() || offset < windowStart_ || offset + n > windowStart_ + window_.size()) {
    window_.assign(kFatWindow, 0);
    windowStart_ = offset - offset % 512;
    size_t got = 0;
    DWORD err = io_->ReadAt(windowStart_, window_.data(), window_.size(), &got);
    if (err != ERROR_SUCCESS) {
      window_.clear();
      return err;
    }
    window_.resize(got);
    if (offset + n > windowStart_ + window_.size()) {
      window_.clear();
      return ERROR_FILE_INVALID;
    }
  }
  std::memcpy(out, window_.data() + (offset - windowStart_), n);
  return ERROR_SUCCESS;
}

DWORD FatVolume::Entry(uint32_t cluster, uint32_t* value) {
  const ULONGLONG fatStart = static_cast<ULONGLONG>(layout_.reservedSectors) * layout_.bytesPerSector;
  uint8_t b[4] = {};
  DWORD err;
  switch (layout_.bits) {
    case 12:
      err = ReadFatBytes(fatStart + cluster + cluster / 2, b, 2);
      if (err != ERROR_SUCCESS) return err;
      *value = (cluster & 1) ? (nx::LoadLe16(b) >> 4) : (nx::LoadLe16(b) & 0x0FFF);
      return ERROR_SUCCESS;
    case 16:
      err = ReadFatBytes(fatStart + static_cast<ULONGLONG>(cluster) * 2, b, 2);
      if (err != ERROR_SUCCESS) return err;
      *value = nx::LoadLe16(b);
      return ERROR_SUCCESS;
    default:
      err = ReadFatBytes(fatStart + static_cast<ULONGLONG>(cluster) * 4, b, 4);
      if (err != ERROR_SUCCESS) return err;
      *value = nx::LoadLe32(b) & kFat32EntryMask;
      return ERROR_SUCCESS;
  }
}

DWORD FatVolume::Chain(uint32_t first, std::vector<uint32_t>* out) {
  out->clear();
  const uint32_t last = layout_.clusterCount + 1;
  const uint32_t endMark = FatEndOfChain(layout_.bits);
  if (first == 0) return ERROR_SUCCESS;  // an empty file has no clusters
  uint32_t c = first;
  while (c < endMark) {
    if (c < 2 || c > last || out->size() > layout_.clusterCount) return ERROR_FILE_INVALID;
    out->push_back(c);
    DWORD err = Entry(c, &c);
    if (err != ERROR_SUCCESS) return err;
  }
  return ERROR_SUCCESS;
}

DWORD FatVolume::CountFreeClusters(uint32_t* out) {
  uint32_t free = 0;
  for (uint32_t c = 2; c <= layout_.clusterCount + 1; ++c) {
    uint32_t v = 0;
    DWORD err = Entry(c, &v);
    if (err != ERROR_SUCCESS) return err;
    if (v == 0) ++free;
  }
  *out = free;
  return ERROR_SUCCESS;
}

template <typename Fn>
DWORD FatVolume::ForEachEntry(uint32_t firstCluster, Fn fn) {
  std::vector<uint8_t> buf;
  auto scan = [&](ULONGLONG offset, size_t bytes, bool* stop) -> DWORD {
    buf.resize(bytes);
    size_t got = 0;
    DWORD err = io_->ReadAt(offset, buf.data(), bytes, &got);
    if (err != ERROR_SUCCESS) return err;
    for (size_t i = 0; i + 32 <= got; i += 32) {
      FatDirEntry e;
      std::memcpy(&e, buf.data() + i, sizeof e);
      if (e.name[0] == kFatEndOfDirectory || !fn(e)) {
        *stop = true;
        break;
      }
    }
    if (got < bytes) *stop = true;
    return ERROR_SUCCESS;
  };
  bool stop = false;
  if (firstCluster == 0 && layout_.bits != 32) {
    ULONGLONG root = (static_cast<ULONGLONG>(layout_.reservedSectors) +
                      static_cast<ULONGLONG>(layout_.numFats) * layout_.fatSectors) *
                     layout_.bytesPerSector;
    return scan(root, static_cast<size_t>(layout_.rootEntries) * 32, &stop);
  }
  std::vector<uint32_t> chain;
  DWORD err = Chain(firstCluster == 0 ? layout_.rootCluster : firstCluster, &chain);
  if (err != ERROR_SUCCESS) return err;
  for (uint32_t c : chain) {
    err = scan(ClusterOffset(c), layout_.ClusterBytes(), &stop);
    if (err != ERROR_SUCCESS || stop) return err;
  }
  return ERROR_SUCCESS;
}

DWORD FatVolume::Find(const std::vector<std::u16string>& components, FatNode* out) {
  FatNode node;
  node.attr = kFatAttrDirectory;  // the root
  for (size_t i = 0; i < components.size(); ++i) {
    const bool lastPart = i + 1 == components.size();
    if (!(node.attr & kFatAttrDirectory)) return ERROR_PATH_NOT_FOUND;
    uint8_t want[11];
    if (!FatShortName(components[i], want)) return lastPart ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    bool found = false;
    FatNode next;
    DWORD err = ForEachEntry(node.firstCluster, [&](const FatDirEntry& e) {
      if (e.name[0] == kFatDeletedEntry || e.attr == kFatAttrLongName || (e.attr & kFatAttrVolumeLabel)) return true;
      uint8_t name[11];
      std::memcpy(name, e.name, 11);
      if (name[0] == kFatDeletedEscape) name[0] = kFatDeletedEntry;
      if (std::memcmp(name, want, 11) != 0) return true;
      found = true;
      next.attr = e.attr;
      next.firstCluster = FirstCluster(e);
      next.size = nx::LoadLe32(e.fileSize);
      return false;
    });
    if (err != ERROR_SUCCESS) return err;
    if (!found) return lastPart ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    node = next;
  }
  *out = node;
  return ERROR_SUCCESS;
}

DWORD FatVolume::Label(std::string* out) {
  std::string label;
  bool found = false;
  DWORD err = ForEachEntry(0, [&](const FatDirEntry& e) {
    if (e.name[0] == kFatDeletedEntry || e.attr == kFatAttrLongName || !(e.attr & kFatAttrVolumeLabel)) return true;
    label = TrimmedLabel(e.name, 11);
    found = true;
    return false;
  });
  if (err != ERROR_SUCCESS) return err;
  *out = found ? label : layout_.bootLabel;
  return ERROR_SUCCESS;
}

}  // namespace nxpal
