// Kernel handles of the platform layer: threads, events (and later files and pipes).
// A handle's value is the descriptor behind the object, so a peer process that may
// reach this process's descriptors (pidfd_getfd) finds the object by its number.
#pragma once

#include <memory>

#include "nxpal/types.h"

namespace nxpal {

class KernelObject {
 public:
  virtual ~KernelObject() = default;
  // Descriptor that becomes readable when the object is signalled; -1 if not waitable.
  virtual int WaitFd() const { return -1; }
  // Called after WaitFd polled readable; false when another waiter took the signal
  // first (auto-reset events), so the wait goes on.
  virtual bool ConsumeSignal() { return true; }
};

// Descriptor numbers below 3 are never handed out: 0 would read as a null handle.
int RaiseDescriptor(int fd);

// Registers obj under handle value fd (the object keeps fd open for its whole life,
// so the number cannot be reused while the handle or a waiter holds the object).
HANDLE InsertHandle(int fd, std::shared_ptr<KernelObject> obj);
// The object behind a handle, or null for an unknown handle.
std::shared_ptr<KernelObject> FindHandle(HANDLE h);
template <typename T>
std::shared_ptr<T> FindHandleAs(HANDLE h) {
  return std::dynamic_pointer_cast<T>(FindHandle(h));
}
// Unregisters; the object lives on while someone else holds it. False if unknown.
bool RemoveHandle(HANDLE h);

inline int HandleToFd(HANDLE h) { return static_cast<int>(reinterpret_cast<intptr_t>(h)); }
inline HANDLE FdToHandle(int fd) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd)); }

// Win32 code for an errno value of a failed system call.
DWORD Win32FromErrno(int err);

}  // namespace nxpal
