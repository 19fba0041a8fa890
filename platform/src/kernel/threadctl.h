// Control block of a thread made by CreateThread: suspend count, end request and the
// wake-ups that let the layer's blocking calls notice both.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "nxpal/types.h"

namespace nxpal {

// The calling thread's id (the kernel's tid), asked of the kernel once per thread.
pid_t CurrentTid();

struct ThreadControl {
  ~ThreadControl();

  // m guards every field below that is not atomic; cv announces changes of them.
  std::mutex m;
  std::condition_variable cv;
  DWORD suspendCount = 0;
  std::atomic<bool> endRequested{false};  // written under m, read anywhere
  bool finished = false;
  bool started = false;  // the start routine was entered
  DWORD exitCode = 0;
  DWORD terminateCode = 0;
  pid_t tid = 0;
  int priority = 0;  // the Windows value last set

  // A lock wait in progress (critical sections): the requester of the end notifies
  // waitCv under *waitMutex. Both set and cleared under m by the waiting thread.
  std::mutex* waitMutex = nullptr;
  std::condition_variable* waitCv = nullptr;

  int wakeFd = -1;  // eventfd written once when the end is requested (poll waits)
  int exitFd = -1;  // eventfd written when the thread has finished; the handle value

  DWORD (*start)(void*) = nullptr;
  void* param = nullptr;
};

// The calling thread's control block, or null for threads this layer did not create
// (those are never suspended or ended early).
ThreadControl* CurrentThreadControl();

// Registers the calling thread's lock wait on (mutex, cv) so that an end request wakes
// it; returns false if the end is already requested. Unregister after leaving mutex.
bool RegisterLockWait(ThreadControl* tc, std::mutex* mutex, std::condition_variable* cv);
void UnregisterLockWait(ThreadControl* tc);

}  // namespace nxpal
