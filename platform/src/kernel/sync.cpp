// Critical sections, sleeps, events, clocks, and the waits and closing of kernel handles.
#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "kernel/kernel.h"
#include "kernel/threadctl.h"
#include "nxpal/sync.h"
#include "nxpal/thread.h"

namespace nxpal {
namespace {

// The lock behind a CRITICAL_SECTION. m guards owner and count; cv announces a release.
struct CsLock {
  std::mutex m;
  std::condition_variable cv;
  pid_t owner = 0;
  LONG count = 0;
};

CsLock* LockOf(LPCRITICAL_SECTION cs) { return static_cast<CsLock*>(cs->Impl); }

// The owner and count shown in the CRITICAL_SECTION itself: written under the lock's
// mutex, read by anyone for diagnostics, hence atomic stores.
void Publish(LPCRITICAL_SECTION cs, pid_t owner, LONG count) {
  __atomic_store_n(&cs->OwningThread, static_cast<LONG>(owner), __ATOMIC_RELAXED);
  __atomic_store_n(&cs->RecursionCount, count, __ATOMIC_RELAXED);
}

enum class EnterResult { Entered, TimedOut, Aborted };

// Enters cs. With abortable, an end request of the calling thread ends the wait;
// timeoutMs bounds it (INFINITE: no bound).
EnterResult Enter(LPCRITICAL_SECTION cs, bool abortable, DWORD timeoutMs) {
  CsLock* l = LockOf(cs);
  const pid_t self = CurrentTid();
  ThreadControl* tc = abortable ? CurrentThreadControl() : nullptr;
  if (tc && !RegisterLockWait(tc, &l->m, &l->cv)) return EnterResult::Aborted;
  EnterResult result = EnterResult::Entered;
  {
    std::unique_lock<std::mutex> lk(l->m);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (l->owner == 0 || l->owner == self) break;
      if (tc && tc->endRequested.load()) {
        result = EnterResult::Aborted;
        break;
      }
      if (timeoutMs == INFINITE) {
        l->cv.wait(lk);
      } else if (l->cv.wait_until(lk, deadline) == std::cv_status::timeout && l->owner != 0 && l->owner != self) {
        result = EnterResult::TimedOut;
        break;
      }
    }
    if (result == EnterResult::Entered) {
      l->owner = self;
      ++l->count;
      Publish(cs, self, l->count);
    }
  }
  if (tc) UnregisterLockWait(tc);
  return result;
}

class EventObject : public KernelObject {
 public:
  EventObject(int fd, bool manual) : fd_(fd), manual_(manual) {}
  ~EventObject() override { close(fd_); }
  int WaitFd() const override { return fd_; }
  bool ConsumeSignal() override {
    if (manual_) return true;
    uint64_t v;
    return read(fd_, &v, sizeof v) == static_cast<ssize_t>(sizeof v);  // EAGAIN: taken by another waiter
  }
  void Set() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t r = write(fd_, &one, sizeof one);
  }
  void Reset() {
    uint64_t v;
    [[maybe_unused]] ssize_t r = read(fd_, &v, sizeof v);
  }

 private:
  int fd_;
  bool manual_;
};

ULONGLONG Clock100ns(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<ULONGLONG>(ts.tv_sec) * 10000000ull + static_cast<ULONGLONG>(ts.tv_nsec) / 100;
}

}  // namespace
}  // namespace nxpal

using namespace nxpal;

void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
  cs->Impl = new CsLock();
  cs->RecursionCount = 0;
  cs->OwningThread = 0;
}

BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION cs, DWORD) {
  cs->Impl = new (std::nothrow) CsLock();
  cs->RecursionCount = 0;
  cs->OwningThread = 0;
  if (!cs->Impl) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  return TRUE;
}

void DeleteCriticalSection(LPCRITICAL_SECTION cs) {
  delete LockOf(cs);
  cs->Impl = nullptr;
}

void EnterCriticalSection(LPCRITICAL_SECTION cs) { Enter(cs, false, INFINITE); }

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
  CsLock* l = LockOf(cs);
  const pid_t self = CurrentTid();
  std::lock_guard<std::mutex> g(l->m);
  if (l->owner != 0 && l->owner != self) return FALSE;
  l->owner = self;
  ++l->count;
  Publish(cs, self, l->count);
  return TRUE;
}

void LeaveCriticalSection(LPCRITICAL_SECTION cs) {
  CsLock* l = LockOf(cs);
  std::lock_guard<std::mutex> g(l->m);
  if (l->owner != CurrentTid() || l->count == 0) return;  // not ours: ignore, as a release build of Windows would corrupt
  if (--l->count == 0) {
    l->owner = 0;
    l->cv.notify_all();  // all: a waiter that gives up (end requested) must not swallow the wake-up
  }
  Publish(cs, l->owner, l->count);
}

BOOL NxEnterCriticalSectionAbortable(LPCRITICAL_SECTION cs) {
  if (Enter(cs, true, INFINITE) == EnterResult::Entered) return TRUE;
  SetLastError(ERROR_OPERATION_ABORTED);
  return FALSE;
}

BOOL NxEnterCriticalSectionTimeout(LPCRITICAL_SECTION cs, DWORD timeoutMs) {
  switch (Enter(cs, true, timeoutMs)) {
    case EnterResult::Entered: return TRUE;
    case EnterResult::TimedOut: SetLastError(WAIT_TIMEOUT); return FALSE;
    case EnterResult::Aborted: SetLastError(ERROR_OPERATION_ABORTED); return FALSE;
  }
  return FALSE;
}

BOOL NxSleep(DWORD ms) {
  if (!NxCheckpoint()) return FALSE;
  ThreadControl* tc = CurrentThreadControl();
  if (!tc) {
    if (ms == 0) std::this_thread::yield();
    else if (ms == INFINITE) for (;;) pause();
    else std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return TRUE;
  }
  if (ms == 0) {
    std::this_thread::yield();
    return TRUE;
  }
  std::unique_lock<std::mutex> lk(tc->m);
  auto ended = [&] { return tc->endRequested.load(); };
  if (ms == INFINITE) tc->cv.wait(lk, ended);
  else tc->cv.wait_for(lk, std::chrono::milliseconds(ms), ended);
  if (tc->endRequested.load()) {
    SetLastError(ERROR_OPERATION_ABORTED);
    return FALSE;
  }
  return TRUE;
}

void Sleep(DWORD ms) { NxSleep(ms); }

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  if (name) {  // named events would be shared between processes: not offered
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  int fd = RaiseDescriptor(eventfd(initialState ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (fd < 0) {
    SetLastError(Win32FromErrno(errno));
    return nullptr;
  }
  HANDLE h = InsertHandle(fd, std::make_shared<EventObject>(fd, manualReset != FALSE));
  SetLastError(ERROR_SUCCESS);
  return h;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, BOOL initialState, LPCSTR name) {
  if (name) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  return CreateEventW(sa, manualReset, initialState, nullptr);
}

BOOL SetEvent(HANDLE event) {
  auto e = FindHandleAs<EventObject>(event);
  if (!e) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  e->Set();
  return TRUE;
}

BOOL ResetEvent(HANDLE event) {
  auto e = FindHandleAs<EventObject>(event);
  if (!e) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  e->Reset();
  return TRUE;
}

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

ULONGLONG GetTickCount64() { return Clock100ns(CLOCK_MONOTONIC) / 10000; }

ULONGLONG NxMonotonicTime100ns() { return Clock100ns(CLOCK_MONOTONIC); }

void GetSystemTimeAsFileTime(LPFILETIME ft) {
  constexpr ULONGLONG kUnixEpochIn1601 = 116444736000000000ull;
  ULONGLONG t = Clock100ns(CLOCK_REALTIME) + kUnixEpochIn1601;
  ft->dwLowDateTime = static_cast<DWORD>(t);
  ft->dwHighDateTime = static_cast<DWORD>(t >> 32);
}

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
  count->QuadPart = static_cast<LONGLONG>(Clock100ns(CLOCK_MONOTONIC));
  return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* freq) {
  freq->QuadPart = 10000000;
  return TRUE;
}

BOOL CloseHandle(HANDLE h) {
  if (!RemoveHandle(h)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE h, DWORD ms) {
  auto obj = FindHandle(h);
  if (!obj || obj->WaitFd() < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  const ULONGLONG deadline = ms == INFINITE ? 0 : GetTickCount64() + ms;
  for (;;) {
    int timeout = -1;
    if (ms != INFINITE) {
      ULONGLONG now = GetTickCount64();
      timeout = now >= deadline ? 0 : static_cast<int>(std::min<ULONGLONG>(deadline - now, INT32_MAX));
    }
    pollfd p{obj->WaitFd(), POLLIN, 0};
    int n = NxPoll(&p, 1, timeout);
    // The last error is set already: ERROR_OPERATION_ABORTED (995) or the poll failure.
    if (n < 0) return WAIT_FAILED;
    if (n > 0 && obj->ConsumeSignal()) return WAIT_OBJECT_0;
    if (n == 0) return WAIT_TIMEOUT;
  }
}
