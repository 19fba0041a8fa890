// IsBadReadPtr: asks the kernel to copy one byte of every page of the range, which
// fails with EFAULT instead of faulting when a page is not readable. IsBadWritePtr: has
// the kernel write one byte of every page back with the value it holds, or, where that is
// forbidden, looks the range up in the process's memory map. Both answer at once for a
// range in the live part of the calling thread's stack.
#include "nxpal/memprobe.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>

namespace {

enum class Probe { kReadable, kUnreadable, kUnavailable };

// Whether [start, end) lies between this call's frame and the top of the calling thread's
// stack: memory the thread's callers are using, so mapped, readable and writable. Callers
// mostly hand in their own locals (a link read's byte and count, thousands of times a
// second), which then cost no system call. The stack's bounds are asked once per thread.
// A frame elsewhere (an alternate signal stack, a sanitizer's fake stack, a coroutine's
// own stack) answers false and the range is probed as any other.
[[gnu::noinline]] bool InLiveStack(uintptr_t start, uintptr_t end) {
  struct Bounds {
    bool asked = false;
    uintptr_t low = 0, top = 0;
  };
  thread_local Bounds stack;
  if (!stack.asked) {
    stack.asked = true;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      void* low = nullptr;
      size_t size = 0;
      if (pthread_attr_getstack(&attr, &low, &size) == 0) {
        stack.low = reinterpret_cast<uintptr_t>(low);
        stack.top = stack.low + size;
      }
      pthread_attr_destroy(&attr);
    }
  }
  const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  return here >= stack.low && here < stack.top && start >= here && end <= stack.top && start < end;
}

// Copies one byte of our own memory through process_vm_readv.
Probe ProbeByCopy(uintptr_t address) {
  char byte;
  iovec local{&byte, 1};
  iovec remote{reinterpret_cast<void*>(address), 1};
  if (process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == 1) return Probe::kReadable;
  if (errno == EFAULT) return Probe::kUnreadable;
  return Probe::kUnavailable;  // e.g. forbidden by a seccomp filter
}

// Fallback: writing the byte into a pipe also fails with EFAULT for an unreadable
// address. One pipe for the process, used under a lock and drained after each probe.
Probe ProbeByPipe(uintptr_t address) {
  static std::mutex lock;
  static int fds[2] = {-1, -1};
  std::lock_guard<std::mutex> guard(lock);
  if (fds[0] < 0 && pipe2(fds, O_CLOEXEC) != 0) return Probe::kUnavailable;
  ssize_t n = write(fds[1], reinterpret_cast<const void*>(address), 1);
  if (n == 1) {
    char byte;
    (void)!read(fds[0], &byte, 1);
    return Probe::kReadable;
  }
  return errno == EFAULT ? Probe::kUnreadable : Probe::kUnavailable;
}

bool Readable(uintptr_t address) {
  Probe p = ProbeByCopy(address);
  if (p == Probe::kUnavailable) p = ProbeByPipe(address);
  // With no way to tell, trust the caller rather than refuse every record.
  return p != Probe::kUnreadable;
}

// Writes the byte at `address` back with its own value through process_vm_readv and
// process_vm_writev, which fail with EFAULT where the page may not be read or written.
// A few microseconds, where reading the memory map costs tens: link reads probe their
// one-byte buffers thousands of times a second.
Probe ProbeWriteByCopy(uintptr_t address) {
  char byte;
  iovec local{&byte, 1};
  iovec remote{reinterpret_cast<void*>(address), 1};
  if (process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == 1 &&
      process_vm_writev(getpid(), &local, 1, &remote, 1, 0) == 1)
    return Probe::kReadable;
  return errno == EFAULT ? Probe::kUnreadable : Probe::kUnavailable;
}

// Whether [start, end) lies in writable mappings without a gap, from /proc/self/maps.
bool WritableByMap(uintptr_t start, uintptr_t end) {
  FILE* maps = std::fopen("/proc/self/maps", "re");
  if (!maps) return true;  // no way to tell: trust the caller, as IsBadReadPtr does
  // The mappings come sorted by address; walk them while they cover the range without a
  // gap, each one writable.
  uintptr_t covered = start;
  char line[512];
  while (covered < end && std::fgets(line, sizeof line, maps)) {
    unsigned long from = 0, to = 0;
    char perms[5] = {};
    if (std::sscanf(line, "%lx-%lx %4s", &from, &to, perms) != 3) continue;
    if (to <= covered) continue;
    if (from > covered || perms[1] != 'w') break;
    covered = to;
  }
  std::fclose(maps);
  return covered >= end;
}

}  // namespace

BOOL IsBadReadPtr(const void* lp, UINT_PTR ucb) {
  if (ucb == 0) return FALSE;
  auto start = reinterpret_cast<uintptr_t>(lp);
  if (start == 0) return TRUE;
  const uintptr_t last = start + (ucb - 1);
  if (last < start) return TRUE;  // wraps around
  if (last + 1 != 0 && InLiveStack(start, last + 1)) return FALSE;
  // Protection is per page: one byte of each page touched is enough.
  const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  for (uintptr_t p = start;;) {
    if (!Readable(p)) return TRUE;
    uintptr_t next = (p & ~(page - 1)) + page;
    if (next == 0 || next > last) break;
    p = next;
  }
  return FALSE;
}

BOOL IsBadWritePtr(LPVOID lp, UINT_PTR ucb) {
  if (ucb == 0) return FALSE;
  auto start = reinterpret_cast<uintptr_t>(lp);
  if (start == 0) return TRUE;
  const uintptr_t end = start + ucb;  // just past the range
  if (end < start) return TRUE;
  if (InLiveStack(start, end)) return FALSE;
  const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  for (uintptr_t p = start;;) {
    const Probe probe = ProbeWriteByCopy(p);
    if (probe == Probe::kUnreadable) return TRUE;
    if (probe == Probe::kUnavailable) return !WritableByMap(start, end);  // e.g. a seccomp filter
    uintptr_t next = (p & ~(page - 1)) + page;
    if (next == 0 || next >= end) break;
    p = next;
  }
  return FALSE;
}
