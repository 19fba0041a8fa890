// Raw volume I/O on block devices and image files, around the page cache.
#include "file/volume.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "file/fat.h"
#include "kernel/kernel.h"
#include "nxpal/errors.h"

namespace nxpal {
namespace {

constexpr size_t kBounceChunk = 1 << 20;

struct AlignedBuffer {
  explicit AlignedBuffer(size_t align, size_t n) : p(static_cast<uint8_t*>(std::aligned_alloc(align, n))) {}
  ~AlignedBuffer() { std::free(p); }
  uint8_t* p;
};

// The alignment O_DIRECT needs on this file: the device's logical block size, or what
// the file system says for regular files; at least 512.
size_t DirectAlignment(int fd, bool block) {
  size_t align = 512;
  if (block) {
    int ssz = 0;
    if (ioctl(fd, BLKSSZGET, &ssz) == 0 && ssz > 0) align = std::max(align, static_cast<size_t>(ssz));
    return align;
  }
#ifdef STATX_DIOALIGN
  struct statx sx{};
  if (statx(fd, "", AT_EMPTY_PATH, STATX_DIOALIGN, &sx) == 0 && (sx.stx_mask & STATX_DIOALIGN)) {
    align = std::max<size_t>({align, sx.stx_dio_offset_align, sx.stx_dio_mem_align});
  }
#endif
  return align;
}

// Offset of the first partition when sector 0 is a partition table rather than a FAT
// boot sector (an image of a whole card); 0 otherwise. *length gets the partition's.
ULONGLONG FirstPartition(const uint8_t* s, ULONGLONG* length) {
  FatLayout ignored;
  if (ParseFatBootSector(s, 512, &ignored)) return 0;
  if (std::memcmp(s + kBootSignatureOffset, kBootSignature, sizeof kBootSignature) != 0) return 0;
  const uint8_t* entry = s + 446;  // four 16-byte partition entries
  for (int i = 0; i < 4; ++i, entry += 16) {
    uint8_t type = entry[4];
    uint32_t first = nx::LoadLe32(entry + 8), count = nx::LoadLe32(entry + 12);
    if (type != 0 && type != 0xEE && first != 0 && count != 0) {
      *length = static_cast<ULONGLONG>(count) * 512;
      return static_cast<ULONGLONG>(first) * 512;
    }
  }
  return 0;
}

}  // namespace

DWORD VolumeIo::Open(const std::string& path, bool write, std::shared_ptr<VolumeIo>* out) {
  struct stat st{};
  if (stat(path.c_str(), &st) != 0) return errno == ENOENT ? ERROR_NOT_READY : Win32FromErrno(errno);
  const bool block = S_ISBLK(st.st_mode);
  if (!block && !S_ISREG(st.st_mode)) return ERROR_NOT_READY;

  std::shared_ptr<VolumeIo> v(new VolumeIo());
  v->block_ = block;
  int flags = O_CLOEXEC | O_DSYNC | (write ? O_RDWR : O_RDONLY);
  if (write && block) flags |= O_EXCL;  // no mount while we write; fails if mounted
  int fd = open(path.c_str(), flags | O_DIRECT);
  if (fd < 0 && errno == EINVAL) fd = open(path.c_str(), flags);  // file system without direct I/O
  else if (fd >= 0) v->direct_ = true;
  if (fd < 0 && errno == EBUSY && write && block) {
    fd = open(path.c_str(), O_CLOEXEC | O_RDONLY | O_DIRECT);
    v->direct_ = fd >= 0;
    v->writeRefused_ = true;
  }
  if (fd < 0) return errno == ENOMEDIUM ? ERROR_NOT_READY : Win32FromErrno(errno);
  v->fd_ = RaiseDescriptor(fd);
  if (v->fd_ < 0) return Win32FromErrno(errno);
  v->writable_ = write && !v->writeRefused_;
  v->align_ = v->direct_ ? DirectAlignment(v->fd_, block) : 512;

  ULONGLONG size = 0;
  if (block) {
    if (ioctl(v->fd_, BLKGETSIZE64, &size) != 0) return Win32FromErrno(errno);
  } else {
    size = static_cast<ULONGLONG>(st.st_size);
  }
  v->size_ = size;
  if (size == 0) return ERROR_NOT_READY;  // a reader without a card reports no size

  // Sector 0 decides whether the volume is the whole file or its first partition.
  AlignedBuffer first(4096, 4096);
  size_t got = 0;
  if (!first.p) return ERROR_NOT_ENOUGH_MEMORY;
  DWORD err = v->ReadAt(0, first.p, 512, &got);
  if (err != ERROR_SUCCESS) return err;
  if (got == 512) {
    ULONGLONG length = 0;
    ULONGLONG base = FirstPartition(first.p, &length);
    if (base != 0 && base < size) {
      v->base_ = base;
      v->size_ = std::min(length, size - base);
    }
  }
  *out = std::move(v);
  return ERROR_SUCCESS;
}

VolumeIo::~VolumeIo() {
  if (fd_ >= 0) close(fd_);
}

DWORD VolumeIo::ReadAt(ULONGLONG offset, void* buf, size_t n, size_t* done) {
  *done = 0;
  if (offset >= size_) return ERROR_SUCCESS;
  n = static_cast<size_t>(std::min<ULONGLONG>(n, size_ - offset));
  if (n == 0) return ERROR_SUCCESS;
  const bool aligned = (offset + base_) % align_ == 0 && n % align_ == 0 && reinterpret_cast<uintptr_t>(buf) % align_ == 0;
  if (!direct_) posix_fadvise(fd_, static_cast<off_t>(base_ + offset), static_cast<off_t>(n), POSIX_FADV_DONTNEED);
  return !direct_ || aligned ? DirectTransfer(false, offset, buf, n, done) : BounceTransfer(false, offset, buf, n, done);
}

DWORD VolumeIo::WriteAt(ULONGLONG offset, const void* buf, size_t n, size_t* done) {
  *done = 0;
  if (!writable_) return ERROR_ACCESS_DENIED;
  if (n == 0) return ERROR_SUCCESS;
  if (offset >= size_ || n > size_ - offset) return ERROR_DISK_FULL;  // a volume never grows
  void* p = const_cast<void*>(buf);  // only read from on writes
  const bool aligned = (offset + base_) % align_ == 0 && n % align_ == 0 && reinterpret_cast<uintptr_t>(buf) % align_ == 0;
  return !direct_ || aligned ? DirectTransfer(true, offset, p, n, done) : BounceTransfer(true, offset, p, n, done);
}

DWORD VolumeIo::DirectTransfer(bool write, ULONGLONG offset, void* buf, size_t n, size_t* done) {
  auto* p = static_cast<uint8_t*>(buf);
  while (*done < n) {
    off_t at = static_cast<off_t>(base_ + offset + *done);
    ssize_t r = write ? pwrite(fd_, p + *done, n - *done, at) : pread(fd_, p + *done, n - *done, at);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return errno == ENOMEDIUM ? ERROR_NOT_READY : Win32FromErrno(errno);
    if (r == 0) break;  // end of an image that is shorter than a whole sector
    *done += static_cast<size_t>(r);
  }
  return ERROR_SUCCESS;
}

DWORD VolumeIo::WriteAll(int fd, ULONGLONG at, const uint8_t* p, size_t n) {
  size_t put = 0;
  while (put < n) {
    ssize_t r = pwrite(fd, p + put, n - put, static_cast<off_t>(at + put));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return errno == ENOMEDIUM ? ERROR_NOT_READY : Win32FromErrno(errno);
    if (r == 0) return ERROR_WRITE_FAULT;
    put += static_cast<size_t>(r);
  }
  return ERROR_SUCCESS;
}

// Direct I/O writes whole blocks only, so the end of an image that stops inside a block
// is written through a second descriptor of the same file opened without it.
DWORD VolumeIo::WriteTail(ULONGLONG at, const uint8_t* p, size_t n) {
  if (!direct_) return WriteAll(fd_, at, p, n);
  const std::string self = "/proc/self/fd/" + std::to_string(fd_);
  int fd = open(self.c_str(), O_WRONLY | O_CLOEXEC | O_DSYNC);
  if (fd < 0) return Win32FromErrno(errno);
  DWORD err = WriteAll(fd, at, p, n);
  close(fd);
  return err;
}

// Covers [offset, offset + n) with aligned pieces of at most kBounceChunk bytes; a write
// reads the partial first and last blocks first so that their other bytes stay.
DWORD VolumeIo::BounceTransfer(bool write, ULONGLONG offset, void* buf, size_t n, size_t* done) {
  // No larger than the transfer needs: most are a sector or a directory entry.
  const size_t need = ((base_ + offset) % align_ + n + align_ - 1) / align_ * align_;
  const size_t chunk = std::min(kBounceChunk, need);
  AlignedBuffer bounce(align_, chunk);
  if (!bounce.p) return ERROR_NOT_ENOUGH_MEMORY;
  auto* p = static_cast<uint8_t*>(buf);
  while (*done < n) {
    ULONGLONG abs = base_ + offset + *done;
    ULONGLONG start = abs - abs % align_;
    size_t lead = static_cast<size_t>(abs - start);
    size_t piece = std::min(n - *done, chunk - lead);
    size_t span = (lead + piece + align_ - 1) / align_ * align_;
    if (!write || lead != 0 || span != lead + piece) {
      size_t got = 0;
      ULONGLONG rel = start - base_;
      // The block before base_ cannot happen: base_ is a multiple of 512 and of align_.
      DWORD err = DirectTransfer(false, rel, bounce.p, span, &got);
      if (err != ERROR_SUCCESS) return err;
      if (!write) {
        size_t usable = got > lead ? std::min(piece, got - lead) : 0;
        std::memcpy(p + *done, bounce.p + lead, usable);
        *done += usable;
        if (usable < piece) return ERROR_SUCCESS;  // end of the file
        continue;
      }
      if (got < span) std::memset(bounce.p + got, 0, span - got);
    }
    std::memcpy(bounce.p + lead, p + *done, piece);
    // An image whose length is no whole number of blocks ends inside the last one: only
    // the bytes it holds go back, or the write would lengthen it.
    const size_t keep = static_cast<size_t>(std::min<ULONGLONG>(span, base_ + size_ - start));
    DWORD err = keep == span ? WriteAll(fd_, start, bounce.p, span) : WriteTail(start, bounce.p, keep);
    if (err != ERROR_SUCCESS) return err;
    *done += piece;
  }
  return ERROR_SUCCESS;
}

}  // namespace nxpal
