// The client's block file as a session keeps it between requests: the descriptor taken
// from the client and a shared mapping of the file's start, so that a transfer moves the
// data between the target and the block with a single copy. And the guard that keeps a
// block cut short under the mapping from killing the service with SIGBUS.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace pfsvc {

// Owns one block file's descriptor and at most one mapping of it. Not thread-safe: one
// session uses it from its own thread.
class BlockView {
 public:
  BlockView() = default;
  ~BlockView() { Reset(); }
  BlockView(const BlockView&) = delete;
  BlockView& operator=(const BlockView&) = delete;

  // Takes over fd (a regular file opened with accessMode, O_RDONLY/O_WRONLY/O_RDWR) as
  // the file behind the client's handle value; the previous file and its mapping go.
  void Adopt(int fd, uint32_t handle, int accessMode);
  // Forgets the file and its mapping.
  void Reset();

  bool Held() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  uint32_t Handle() const { return handle_; }
  int AccessMode() const { return mode_; }

  // The start of a shared mapping covering at least the file's first `length` bytes
  // (writable when asked; the mapping may reach past the file's end, where it must not
  // be touched), or null when the file cannot be mapped that way (a write-only
  // descriptor, or a file system that refuses). The mapping stays until the file
  // changes, a longer one is needed, or Unmap.
  uint8_t* Map(size_t length, bool writable);
  void Unmap();
  // Bytes the current mapping covers (0 without one).
  size_t Mapped() const { return mapped_; }

 private:
  int fd_ = -1;
  uint32_t handle_ = 0;
  int mode_ = 0;
  uint8_t* map_ = nullptr;
  size_t mapped_ = 0;
};

// While alive, a SIGBUS on this thread from touching [begin, begin + length) - a mapped
// file cut short under the mapping - does not end the process: the page is replaced by
// anonymous memory, the access goes on there, and Hit() turns true. The mapping must
// then be given up: what went to those pages never reached the file. Faults elsewhere
// keep their usual effect. Kernel copies into or out of such pages fail with EFAULT
// instead and never raise the signal.
class FaultGuard {
 public:
  FaultGuard(const void* begin, size_t length);
  ~FaultGuard();
  FaultGuard(const FaultGuard&) = delete;
  FaultGuard& operator=(const FaultGuard&) = delete;
  bool Hit() const { return zone_.hit != 0; }

  // The guarded range as the signal handler sees it (through a thread-local pointer).
  struct Zone {
    uintptr_t begin;
    uintptr_t end;
    Zone* outer;  // the guard this one is nested in, restored at its end
    volatile int hit;
  };

 private:
  Zone zone_;
};

}  // namespace pfsvc
