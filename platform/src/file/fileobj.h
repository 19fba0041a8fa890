// Kernel objects behind file handles: the common interface of regular files, raw
// volumes, files on unmounted FAT volumes and pipe client ends, and the shared logic of
// the positioned kinds (one position per handle, guarded by the object's mutex).
#pragma once

#include <mutex>
#include <string>

#include "kernel/kernel.h"
#include "nxpal/errors.h"

namespace nxpal {

class FileObject : public KernelObject {
 public:
  // Each returns a Win32 code (0 on success); *done is the amount moved, also on failure.
  virtual DWORD Read(void* buf, DWORD n, DWORD* done) = 0;
  virtual DWORD Write(const void* buf, DWORD n, DWORD* done) = 0;
  virtual DWORD Seek(LONGLONG distance, DWORD method, ULONGLONG* newPos) = 0;
  virtual DWORD Size(ULONGLONG* size) = 0;
  // Descriptor of a regular file that a mapping may share, or -1.
  virtual int MappableFd() const { return -1; }
  virtual bool CanWrite() const = 0;
};

// A file with a position of its own and positioned transfers.
class PositionedFile : public FileObject {
 public:
  DWORD Read(void* buf, DWORD n, DWORD* done) override;
  DWORD Write(const void* buf, DWORD n, DWORD* done) override;
  DWORD Seek(LONGLONG distance, DWORD method, ULONGLONG* newPos) override;

 protected:
  // Transfers at an absolute offset; *done as above.
  virtual DWORD ReadAt(ULONGLONG offset, void* buf, DWORD n, DWORD* done) = 0;
  virtual DWORD WriteAt(ULONGLONG offset, const void* buf, DWORD n, DWORD* done) = 0;
  // Positions and lengths must be multiples of this (raw volumes: a sector).
  virtual DWORD Granularity() const { return 1; }

 private:
  std::mutex m_;  // guards pos_; held across a transfer so that transfers on one handle do not interleave
  ULONGLONG pos_ = 0;
};

// Opens the client end of the pipe NAME ("\\.\pipe\NAME" without its prefix).
DWORD OpenPipeClient(const std::u16string& name, HANDLE* out);

}  // namespace nxpal
