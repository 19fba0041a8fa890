// Raw access to a volume: a block device or an image file, bypassing the page cache
// (O_DIRECT where the file system allows it) so that reads come from the medium and
// writes reach it before they return. Any offset, length and buffer address is accepted;
// unaligned transfers go through an aligned bounce buffer.
#pragma once

#include <memory>
#include <string>

#include "nxpal/types.h"

namespace nxpal {

class VolumeIo {
 public:
  // Opens the volume at path (for writing when write is set). A block device opened for
  // writing is claimed exclusively, so that nobody mounts it meanwhile; when it is
  // mounted (or claimed) already it is opened for reading and WriteRefused() is set. An
  // image or device whose first sector is a partition table (no FAT boot sector) stands
  // for its first partition. Returns a Win32 code.
  static DWORD Open(const std::string& path, bool write, std::shared_ptr<VolumeIo>* out);
  ~VolumeIo();
  VolumeIo(const VolumeIo&) = delete;
  VolumeIo& operator=(const VolumeIo&) = delete;

  // Transfers within the volume, clipped at its end (*done tells how much). Win32 codes.
  DWORD ReadAt(ULONGLONG offset, void* buf, size_t n, size_t* done);
  DWORD WriteAt(ULONGLONG offset, const void* buf, size_t n, size_t* done);

  ULONGLONG Size() const { return size_; }
  int Fd() const { return fd_; }
  bool IsBlockDevice() const { return block_; }
  bool WriteRefused() const { return writeRefused_; }
  bool Writable() const { return writable_; }

 private:
  VolumeIo() = default;
  DWORD DirectTransfer(bool write, ULONGLONG offset, void* buf, size_t n, size_t* done);
  DWORD BounceTransfer(bool write, ULONGLONG offset, void* buf, size_t n, size_t* done);
  // n bytes at the absolute file position `at`, all of them or an error.
  static DWORD WriteAll(int fd, ULONGLONG at, const uint8_t* p, size_t n);
  DWORD WriteTail(ULONGLONG at, const uint8_t* p, size_t n);

  int fd_ = -1;
  bool direct_ = false;  // O_DIRECT in use: offsets, lengths and addresses aligned to align_
  bool block_ = false;
  bool writable_ = false;
  bool writeRefused_ = false;  // mounted or claimed elsewhere: no writes
  size_t align_ = 512;
  ULONGLONG base_ = 0;  // first byte of the volume within the file (partition start)
  ULONGLONG size_ = 0;
};

}  // namespace nxpal
