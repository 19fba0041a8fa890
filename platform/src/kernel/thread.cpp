// Threads with Win32 suspend counts, priorities and a cooperative early end.
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <mutex>
#include <vector>

#include "kernel/kernel.h"
#include "kernel/threadctl.h"
#include "nxpal/thread.h"

namespace nxpal {
namespace {

thread_local std::shared_ptr<ThreadControl> t_control;

// The tid of a forked child's thread is its own: the child forgets the parent's.
thread_local pid_t t_tid = 0;

void ForgetTid() { t_tid = 0; }

// The handle's object: keeps the control block alive while the handle is open.
class ThreadObject : public KernelObject {
 public:
  explicit ThreadObject(std::shared_ptr<ThreadControl> tc) : tc_(std::move(tc)) {}
  int WaitFd() const override { return tc_->exitFd; }
  // Taking the control block's lock orders everything the thread did before it
  // finished before what the waiter does next.
  bool ConsumeSignal() override {
    std::lock_guard<std::mutex> g(tc_->m);
    return tc_->finished;
  }
  const std::shared_ptr<ThreadControl>& Control() const { return tc_; }

 private:
  std::shared_ptr<ThreadControl> tc_;
};

void Signal(int fd) {
  uint64_t one = 1;
  ssize_t r;
  do {
    r = write(fd, &one, sizeof one);
  } while (r < 0 && errno == EINTR);
}

void* ThreadMain(void* arg) {
  auto* holder = static_cast<std::shared_ptr<ThreadControl>*>(arg);
  std::shared_ptr<ThreadControl> tc = std::move(*holder);
  delete holder;
  t_control = tc;
  bool run;
  {
    std::unique_lock<std::mutex> lk(tc->m);
    tc->tid = CurrentTid();
    tc->cv.notify_all();
    // Created suspended: wait here until resumed; a thread ended before it ever ran
    // never enters its start routine.
    tc->cv.wait(lk, [&] { return tc->suspendCount == 0 || tc->endRequested.load(); });
    run = !tc->endRequested.load();
    tc->started = run;
  }
  DWORD code = run ? tc->start(tc->param) : 0;
  {
    std::lock_guard<std::mutex> g(tc->m);
    tc->exitCode = tc->endRequested.load() ? tc->terminateCode : code;
    tc->finished = true;
    Signal(tc->exitFd);
    tc->cv.notify_all();
  }
  t_control.reset();
  return nullptr;
}

std::shared_ptr<ThreadControl> ControlOf(HANDLE h) {
  auto obj = FindHandleAs<ThreadObject>(h);
  return obj ? obj->Control() : nullptr;
}

// Applies a Windows priority to a running kernel thread, as far as allowed: SCHED_OTHER
// with a nice value. Idle is the weakest share (nice 19), not SCHED_IDLE: that runs a
// thread only when a core has nothing else to do, so beside a build a card check starved
// for minutes, where Windows lifts a starved idle thread now and then. Raising above the
// process's limit is refused by the kernel and left at the nearest allowed value.
void ApplyPriority(pid_t tid, int priority) {
  sched_param sp{};
  sp.sched_priority = 0;
  sched_setscheduler(tid, SCHED_OTHER, &sp);
  int nice = 0;
  switch (priority) {
    case THREAD_PRIORITY_IDLE: nice = 19; break;
    case THREAD_PRIORITY_LOWEST: nice = 10; break;
    case THREAD_PRIORITY_BELOW_NORMAL: nice = 5; break;
    case THREAD_PRIORITY_NORMAL: nice = 0; break;
    case THREAD_PRIORITY_ABOVE_NORMAL: nice = -5; break;
    case THREAD_PRIORITY_HIGHEST: nice = -10; break;
    case THREAD_PRIORITY_TIME_CRITICAL: nice = -20; break;
    default: break;
  }
  setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);
}

bool ValidPriority(int p) {
  return p == THREAD_PRIORITY_IDLE || p == THREAD_PRIORITY_TIME_CRITICAL ||
         (p >= THREAD_PRIORITY_LOWEST && p <= THREAD_PRIORITY_HIGHEST);
}

}  // namespace

pid_t CurrentTid() {
  if (t_tid == 0) {
    static std::once_flag once;
    std::call_once(once, [] { pthread_atfork(nullptr, nullptr, ForgetTid); });
    t_tid = static_cast<pid_t>(syscall(SYS_gettid));
  }
  return t_tid;
}

ThreadControl::~ThreadControl() {
  if (wakeFd >= 0) close(wakeFd);
  if (exitFd >= 0) close(exitFd);
}

ThreadControl* CurrentThreadControl() { return t_control.get(); }

bool RegisterLockWait(ThreadControl* tc, std::mutex* mutex, std::condition_variable* cv) {
  std::lock_guard<std::mutex> g(tc->m);
  if (tc->endRequested.load()) return false;
  tc->waitMutex = mutex;
  tc->waitCv = cv;
  return true;
}

void UnregisterLockWait(ThreadControl* tc) {
  std::lock_guard<std::mutex> g(tc->m);
  tc->waitMutex = nullptr;
  tc->waitCv = nullptr;
}

}  // namespace nxpal

using namespace nxpal;

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stackSize, LPTHREAD_START_ROUTINE start, LPVOID param,
                    DWORD flags, LPDWORD threadId) {
  if (!start || (flags & ~CREATE_SUSPENDED) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto tc = std::make_shared<ThreadControl>();
  tc->start = start;
  tc->param = param;
  tc->suspendCount = (flags & CREATE_SUSPENDED) ? 1 : 0;
  tc->wakeFd = RaiseDescriptor(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  tc->exitFd = RaiseDescriptor(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (tc->wakeFd < 0 || tc->exitFd < 0) {
    SetLastError(Win32FromErrno(errno));
    return nullptr;
  }
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (stackSize > 0) {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t size = std::max<size_t>(stackSize, PTHREAD_STACK_MIN);
    pthread_attr_setstacksize(&attr, (size + page - 1) / page * page);
  }
  auto* holder = new std::shared_ptr<ThreadControl>(tc);
  pthread_t thread;
  int err = pthread_create(&thread, &attr, ThreadMain, holder);
  pthread_attr_destroy(&attr);
  if (err != 0) {
    delete holder;
    SetLastError(err == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : Win32FromErrno(err));
    return nullptr;
  }
  {
    // The kernel thread id is known before the handle is handed out, so priorities
    // can be set while the thread still waits at its start.
    std::unique_lock<std::mutex> lk(tc->m);
    tc->cv.wait(lk, [&] { return tc->tid != 0; });
  }
  if (threadId) *threadId = static_cast<DWORD>(tc->tid);
  HANDLE h = InsertHandle(tc->exitFd, std::make_shared<ThreadObject>(tc));
  SetLastError(ERROR_SUCCESS);
  return h;
}

DWORD ResumeThread(HANDLE thread) {
  auto tc = ControlOf(thread);
  if (!tc) {
    SetLastError(ERROR_INVALID_HANDLE);
    return static_cast<DWORD>(-1);
  }
  std::lock_guard<std::mutex> g(tc->m);
  DWORD prev = tc->suspendCount;
  if (prev > 0 && --tc->suspendCount == 0) tc->cv.notify_all();
  return prev;
}

DWORD SuspendThread(HANDLE thread) {
  auto tc = ControlOf(thread);
  if (!tc) {
    SetLastError(ERROR_INVALID_HANDLE);
    return static_cast<DWORD>(-1);
  }
  std::lock_guard<std::mutex> g(tc->m);
  constexpr DWORD kMaximumSuspendCount = 127;
  if (tc->suspendCount >= kMaximumSuspendCount) {
    SetLastError(ERROR_TOO_MANY_POSTS);
    return static_cast<DWORD>(-1);
  }
  return tc->suspendCount++;
}

BOOL SetThreadPriority(HANDLE thread, int priority) {
  auto tc = ControlOf(thread);
  if (!tc) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!ValidPriority(priority)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(tc->m);
  tc->priority = priority;
  if (!tc->finished) ApplyPriority(tc->tid, priority);  // a finished thread's id may be reused
  return TRUE;
}

int GetThreadPriority(HANDLE thread) {
  auto tc = ControlOf(thread);
  if (!tc) {
    SetLastError(ERROR_INVALID_HANDLE);
    return THREAD_PRIORITY_ERROR_RETURN;
  }
  std::lock_guard<std::mutex> g(tc->m);
  return tc->priority;
}

BOOL TerminateThread(HANDLE thread, DWORD exitCode) {
  auto tc = ControlOf(thread);
  if (!tc) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (tc.get() == CurrentThreadControl()) {
    SetLastError(ERROR_POSSIBLE_DEADLOCK);
    return FALSE;
  }
  std::unique_lock<std::mutex> lk(tc->m);
  if (!tc->finished && !tc->endRequested.load()) {
    tc->terminateCode = exitCode;
    tc->endRequested.store(true);
    tc->cv.notify_all();  // start gate, checkpoints and sleeps
    if (tc->waitCv) {
      std::lock_guard<std::mutex> g(*tc->waitMutex);
      tc->waitCv->notify_all();
    }
    uint64_t one = 1;
    [[maybe_unused]] ssize_t r = write(tc->wakeFd, &one, sizeof one);
  }
  tc->cv.wait(lk, [&] { return tc->finished; });
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
  auto tc = ControlOf(thread);
  if (!tc) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!exitCode) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(tc->m);
  *exitCode = tc->finished ? tc->exitCode : STILL_ACTIVE;
  return TRUE;
}

DWORD GetCurrentThreadId() { return static_cast<DWORD>(CurrentTid()); }

DWORD GetThreadId(HANDLE thread) {
  auto tc = ControlOf(thread);
  if (!tc) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return static_cast<DWORD>(tc->tid);
}

BOOL NxIsEndRequested() {
  ThreadControl* tc = CurrentThreadControl();
  return tc && tc->endRequested.load() ? TRUE : FALSE;
}

BOOL NxCheckpoint() {
  ThreadControl* tc = CurrentThreadControl();
  if (!tc) return TRUE;
  std::unique_lock<std::mutex> lk(tc->m);
  tc->cv.wait(lk, [&] { return tc->suspendCount == 0 || tc->endRequested.load(); });
  if (tc->endRequested.load()) {
    SetLastError(ERROR_OPERATION_ABORTED);
    return FALSE;
  }
  return TRUE;
}

int NxPoll(struct pollfd* fds, unsigned nfds, int timeoutMs) {
  if (!NxCheckpoint()) return -1;
  ThreadControl* tc = CurrentThreadControl();
  std::vector<pollfd> set(fds, fds + nfds);
  if (tc) set.push_back(pollfd{tc->wakeFd, POLLIN, 0});
  const ULONGLONG deadline = timeoutMs < 0 ? 0 : GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
  for (;;) {
    int wait = timeoutMs;
    if (timeoutMs >= 0) {
      ULONGLONG now = GetTickCount64();
      wait = now >= deadline ? 0 : static_cast<int>(deadline - now);
    }
    int n = poll(set.data(), set.size(), wait);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      SetLastError(Win32FromErrno(errno));
      return -1;
    }
    if (tc && (set.back().revents & POLLIN)) {
      SetLastError(ERROR_OPERATION_ABORTED);
      return -1;
    }
    for (unsigned i = 0; i < nfds; ++i) fds[i].revents = set[i].revents;
    return n;
  }
}
