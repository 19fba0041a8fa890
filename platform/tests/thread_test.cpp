// Threads, critical sections, events and sleeps of the platform layer, including the
// cooperative suspension and early end.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "nxpal/windows.h"
#include "nxtest/wait.h"

namespace {

std::atomic<int> g_runs{0};

DWORD CountAndReturn7(LPVOID) {
  g_runs++;
  return 7;
}

DWORD SleepForever(LPVOID result) {
  BOOL ok = NxSleep(INFINITE);
  static_cast<std::atomic<DWORD>*>(result)->store(ok ? 0 : GetLastError());
  return 1;
}

TEST(ThreadTest, SuspendCountsFollowWindows) {
  g_runs = 0;
  DWORD tid = 0;
  HANDLE h = CreateThread(nullptr, 0, CountAndReturn7, nullptr, CREATE_SUSPENDED, &tid);
  ASSERT_NE(h, nullptr);
  EXPECT_NE(tid, 0u);
  EXPECT_EQ(GetThreadId(h), tid);
  EXPECT_EQ(WaitForSingleObject(h, 30), WAIT_TIMEOUT);
  EXPECT_EQ(g_runs, 0);
  EXPECT_EQ(SuspendThread(h), 1u);
  EXPECT_EQ(ResumeThread(h), 2u);
  EXPECT_EQ(ResumeThread(h), 1u);  // this one starts it
  ASSERT_EQ(WaitForSingleObject(h, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(ResumeThread(h), 0u);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(h, &code));
  EXPECT_EQ(code, 7u);
  EXPECT_EQ(g_runs, 1);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(ResumeThread(h), static_cast<DWORD>(-1));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(ThreadTest, ArgumentsAndPrioritiesAreChecked) {
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  HANDLE h = CreateThread(nullptr, 0, CountAndReturn7, nullptr, CREATE_SUSPENDED, nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(GetThreadPriority(h), THREAD_PRIORITY_NORMAL);
  EXPECT_TRUE(SetThreadPriority(h, THREAD_PRIORITY_IDLE));
  EXPECT_EQ(GetThreadPriority(h), THREAD_PRIORITY_IDLE);
  EXPECT_TRUE(SetThreadPriority(h, THREAD_PRIORITY_LOWEST));
  EXPECT_FALSE(SetThreadPriority(h, 3));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(SetThreadPriority(reinterpret_cast<HANDLE>(999999), 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(TerminateThread(h, 0));
  CloseHandle(h);
}

// How the thread itself finds its scheduling once it runs.
std::atomic<int> g_policy{-1}, g_nice{-100};
DWORD ReportScheduling(LPVOID) {
  g_policy = sched_getscheduler(0);
  g_nice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
  return 0;
}

// An idle thread keeps a share of a busy machine (a card check beside a build): the
// weakest ordinary share, never SCHED_IDLE, which runs it only on a core with nothing
// else to do. Lowering is always allowed, so this holds for any user.
TEST(ThreadTest, AnIdleThreadKeepsAShareOfABusyMachine) {
  HANDLE h = CreateThread(nullptr, 0, ReportScheduling, nullptr, CREATE_SUSPENDED, nullptr);
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(SetThreadPriority(h, THREAD_PRIORITY_IDLE));
  EXPECT_EQ(ResumeThread(h), 1u);
  ASSERT_EQ(WaitForSingleObject(h, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(g_policy, SCHED_OTHER);
  EXPECT_EQ(g_nice, 19);
  CloseHandle(h);
}

TEST(ThreadTest, TerminatingASuspendedThreadNeverRunsIt) {
  g_runs = 0;
  HANDLE h = CreateThread(nullptr, 0, CountAndReturn7, nullptr, CREATE_SUSPENDED, nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(TerminateThread(h, 42));
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(h, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(g_runs, 0);
  CloseHandle(h);
}

TEST(ThreadTest, TerminateEndsABlockedSleepWith995AndWaitsForTheThread) {
  std::atomic<DWORD> result{12345};
  HANDLE h = CreateThread(nullptr, 0, SleepForever, &result, 0, nullptr);
  ASSERT_NE(h, nullptr);
  Sleep(20);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(h, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_TRUE(TerminateThread(h, 9));
  EXPECT_EQ(result.load(), ERROR_OPERATION_ABORTED) << "TerminateThread returned before the thread left";
  EXPECT_TRUE(GetExitCodeThread(h, &code));
  EXPECT_EQ(code, 9u);
  CloseHandle(h);
}

struct PollArgs {
  int fd;
  std::atomic<int> result{0};
  std::atomic<DWORD> error{0};
};

DWORD PollForever(LPVOID p) {
  auto* a = static_cast<PollArgs*>(p);
  pollfd fd{a->fd, POLLIN, 0};
  a->result = NxPoll(&fd, 1, -1);
  a->error = GetLastError();
  return 0;
}

TEST(ThreadTest, PollIsEndedByTheEndRequest) {
  int pipefd[2];
  ASSERT_EQ(pipe(pipefd), 0);
  PollArgs args;
  args.fd = pipefd[0];
  HANDLE h = CreateThread(nullptr, 0, PollForever, &args, 0, nullptr);
  ASSERT_NE(h, nullptr);
  Sleep(20);
  EXPECT_TRUE(TerminateThread(h, 0));
  EXPECT_EQ(args.result, -1);
  EXPECT_EQ(args.error, ERROR_OPERATION_ABORTED);
  CloseHandle(h);
  // On a thread nobody ends, the poll reports the descriptor.
  ASSERT_EQ(write(pipefd[1], "x", 1), 1);
  pollfd fd{pipefd[0], POLLIN, 0};
  EXPECT_EQ(NxPoll(&fd, 1, 1000), 1);
  EXPECT_TRUE(fd.revents & POLLIN);
  close(pipefd[0]);
  close(pipefd[1]);
}

TEST(EventTest, AutoResetReleasesOneWaitManualResetStaysSet) {
  HANDLE autoEv = CreateEventW(nullptr, FALSE, TRUE, nullptr);
  HANDLE manual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(autoEv, nullptr);
  ASSERT_NE(manual, nullptr);
  EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(autoEv));
  EXPECT_TRUE(SetEvent(autoEv));  // setting twice still releases one wait
  EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(autoEv, 10), WAIT_TIMEOUT);

  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

  EXPECT_TRUE(CloseHandle(autoEv));
  EXPECT_FALSE(SetEvent(autoEv));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, u"named"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  CloseHandle(manual);
}

struct LockArgs {
  CRITICAL_SECTION* cs;
  std::atomic<int> step{0};
  std::atomic<BOOL> tryResult{TRUE};
  std::atomic<BOOL> abortableResult{TRUE};
  std::atomic<DWORD> error{0};
};

DWORD TryThenWaitAbortably(LPVOID p) {
  auto* a = static_cast<LockArgs*>(p);
  a->tryResult = TryEnterCriticalSection(a->cs);
  a->step = 1;
  a->abortableResult = NxEnterCriticalSectionAbortable(a->cs);
  a->error = GetLastError();
  if (a->abortableResult) LeaveCriticalSection(a->cs);
  return 0;
}

// Thread ids are the kernel's, each thread its own, and a forked child's thread is not
// taken for the thread that forked it (a lock it enters is its own).
TEST(CriticalSectionTest, ThreadIdsAreEachThreadsOwnAlsoAfterAFork) {
  const DWORD self = GetCurrentThreadId();
  EXPECT_EQ(self, static_cast<DWORD>(getpid()));  // the test's main thread
  DWORD other = self;
  std::thread([&] { other = GetCurrentThreadId(); }).join();
  EXPECT_NE(other, self);
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  pid_t child = fork();
  if (child == 0) {
    EnterCriticalSection(&cs);
    const bool own = GetCurrentThreadId() == static_cast<DWORD>(getpid()) &&
                     static_cast<DWORD>(cs.OwningThread) == static_cast<DWORD>(getpid());
    _exit(own ? 0 : 1);
  }
  int st = -1;
  ASSERT_EQ(waitpid(child, &st, 0), child);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "the child saw its parent's thread id";
  DeleteCriticalSection(&cs);
}

TEST(CriticalSectionTest, RecursiveOwnershipTryEnterAndAbortableWait) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EXPECT_TRUE(TryEnterCriticalSection(&cs));
  EXPECT_EQ(cs.RecursionCount, 3);
  EXPECT_EQ(static_cast<DWORD>(cs.OwningThread), GetCurrentThreadId());

  LockArgs args;
  args.cs = &cs;
  HANDLE h = CreateThread(nullptr, 0, TryThenWaitAbortably, &args, 0, nullptr);
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(nxtest::WaitUntil([&] { return args.step != 0; }, std::chrono::seconds(10),
                                 "the other thread to try the lock"));
  EXPECT_FALSE(args.tryResult);
  Sleep(20);
  EXPECT_TRUE(TerminateThread(h, 0));  // the waiter gives up; we still own the lock
  EXPECT_FALSE(args.abortableResult);
  EXPECT_EQ(args.error, ERROR_OPERATION_ABORTED);
  CloseHandle(h);

  EXPECT_FALSE(NxEnterCriticalSectionTimeout(&cs, 0) == FALSE) << "the owner re-enters at once";
  LeaveCriticalSection(&cs);
  LeaveCriticalSection(&cs);
  LeaveCriticalSection(&cs);
  LeaveCriticalSection(&cs);
  EXPECT_EQ(cs.OwningThread, 0);

  // Released: a second thread now gets it.
  LockArgs free;
  free.cs = &cs;
  h = CreateThread(nullptr, 0, TryThenWaitAbortably, &free, 0, nullptr);
  ASSERT_EQ(WaitForSingleObject(h, 5000), WAIT_OBJECT_0);
  EXPECT_TRUE(free.tryResult);
  EXPECT_TRUE(free.abortableResult);
  CloseHandle(h);
  DeleteCriticalSection(&cs);
}

DWORD HoldLockUntilEvent(LPVOID p) {
  auto* a = static_cast<std::pair<CRITICAL_SECTION*, HANDLE>*>(p);
  EnterCriticalSection(a->first);
  WaitForSingleObject(a->second, INFINITE);
  LeaveCriticalSection(a->first);
  return 0;
}

TEST(CriticalSectionTest, TimedEnterTimesOutAndWakesOnRelease) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::pair<CRITICAL_SECTION*, HANDLE> args{&cs, release};
  HANDLE h = CreateThread(nullptr, 0, HoldLockUntilEvent, &args, 0, nullptr);
  ASSERT_TRUE(nxtest::WaitUntil([&] { return NxCriticalSectionOwner(&cs) != 0; }, std::chrono::seconds(10),
                                 "the other thread to take the lock"));
  EXPECT_FALSE(NxEnterCriticalSectionTimeout(&cs, 20));
  EXPECT_EQ(GetLastError(), WAIT_TIMEOUT);
  SetEvent(release);
  EXPECT_TRUE(NxEnterCriticalSectionTimeout(&cs, 5000));
  LeaveCriticalSection(&cs);
  WaitForSingleObject(h, INFINITE);
  CloseHandle(h);
  CloseHandle(release);
  DeleteCriticalSection(&cs);
}

TEST(ClockTest, SystemTimeIsIn100nsSince1601AndTicksAdvance) {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  ULONGLONG t = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  ULONGLONG unixSeconds = static_cast<ULONGLONG>(time(nullptr));
  EXPECT_NEAR(static_cast<double>((t - 116444736000000000ull) / 10000000ull), static_cast<double>(unixSeconds), 2.0);
  ULONGLONG a = NxMonotonicTime100ns();
  DWORD ta = GetTickCount();
  Sleep(30);
  EXPECT_GE(NxMonotonicTime100ns() - a, 300000u);
  EXPECT_GE(GetTickCount() - ta, 29u);
  LARGE_INTEGER f;
  QueryPerformanceFrequency(&f);
  EXPECT_EQ(f.QuadPart, 10000000);
}

}  // namespace
