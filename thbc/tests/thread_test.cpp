// Worker thread base class: the owner's slot and lock protocol, state changes, the
// natural end on the worker and the early stop by the owner.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "thbc/thbc.h"

namespace {

// The owner's side: slot and lock, as the dialogs keep them.
struct Owner {
  Owner() { InitializeCriticalSection(&lock); }
  ~Owner() { DeleteCriticalSection(&lock); }
  NXThread* Slot() {
    EnterCriticalSection(&lock);
    NXThread* p = slot;
    LeaveCriticalSection(&lock);
    return p;
  }
  // Waits (bounded) until the worker has cleared the slot by itself.
  bool WaitSlotEmpty() {
    for (int i = 0; i < 1000 && Slot(); ++i) Sleep(5);
    return Slot() == nullptr;
  }
  CRITICAL_SECTION lock;
  NXThread* slot = nullptr;
};

// What the worker did, readable after it is gone.
struct Journal {
  std::atomic<int> destroyed{0};
  std::atomic<int> destroyedOnWorker{0};
  std::atomic<bool> started{false};
  std::atomic<bool> atEnd{false};  // about to call the base ThreadProc
  std::atomic<int> ticks{0};
  std::atomic<DWORD> blockedCallError{0};
  std::atomic<DWORD> workerTid{0};
};

enum class Body {
  WaitForGo,  // waits for an event, then ends through the base ThreadProc
  Tick,  // counts with 1 ms sleeps until its end is requested
  BlockForever,  // sleeps without end; only an early stop ends it
  NoBaseCall,  // returns without calling the base ThreadProc
};

class Worker : public NXThread {
 public:
  Worker(Owner& o, Journal& j, Body body, HANDLE go = nullptr)
      : NXThread(&o.slot, &o.lock), journal_(j), body_(body), go_(go) {}
  ~Worker() override {
    EndThread();
    journal_.destroyed++;
    if (GetCurrentThreadId() == journal_.workerTid.load()) journal_.destroyedOnWorker++;
  }
  void ThreadProc() override {
    journal_.workerTid = GetCurrentThreadId();
    journal_.started = true;
    switch (body_) {
      case Body::WaitForGo:
        WaitForSingleObject(go_, INFINITE);
        break;
      case Body::Tick:
        while (NxSleep(1)) journal_.ticks++;
        journal_.blockedCallError = GetLastError();
        break;
      case Body::BlockForever:
        Sleep(INFINITE);
        journal_.blockedCallError = GetLastError();
        break;
      case Body::NoBaseCall:
        return;
    }
    journal_.atEnd = true;
    NXThread::ThreadProc();
  }
  HANDLE Handle() const { return m_hThread; }

 private:
  Journal& journal_;
  Body body_;
  HANDLE go_;
};

// Every test here waits on locks and thread ends. A fault that leaves a lock held would hang
// the test for the whole ctest timeout; a deadline of its own fails it in seconds instead.
// The alarm's handler only writes and exits (async-signal-safe).
constexpr unsigned kDeadlineSeconds = 10;
char g_runningTest[256];

extern "C" void DeadlineExpired(int) {
  static const char head[] = "\nDEADLINE: the test did not end in time (a lock or a thread never let go): ";
  ssize_t ignored = write(2, head, sizeof head - 1);
  ignored = write(2, g_runningTest, strnlen(g_runningTest, sizeof g_runningTest));
  ignored = write(2, "\n", 1);
  (void)ignored;
  _exit(3);
}

class NXThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    snprintf(g_runningTest, sizeof g_runningTest, "%s.%s", info->test_suite_name(), info->name());
    signal(SIGALRM, DeadlineExpired);
    alarm(kDeadlineSeconds);
  }
  void TearDown() override { alarm(0); }
};

bool WaitFor(const std::atomic<bool>& flag) {
  for (int i = 0; i < 2000 && !flag.load(); ++i) Sleep(2);
  return flag.load();
}

TEST_F(NXThreadTest, StartsSuspendedAndSwitchesStateOnlyOnTransitions) {
  Owner owner;
  Journal journal;
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  auto* w = new Worker(owner, journal, Body::WaitForGo, go);
  EXPECT_EQ(owner.slot, w);
  EXPECT_EQ(w->Status(), S_OK);
  Sleep(20);
  EXPECT_FALSE(journal.started) << "a new thread must wait until resumed";

  EXPECT_EQ(w->SetState(1), S_OK);
  EXPECT_EQ(w->SetState(1), S_FALSE);
  ASSERT_TRUE(WaitFor(journal.started));
  EXPECT_EQ(w->SetState(0), S_OK);
  EXPECT_EQ(w->SetState(0), S_FALSE);
  EXPECT_EQ(w->SetState(1), S_FALSE) << "count 2 -> 1 does not start it";
  EXPECT_EQ(w->SetState(1), S_OK);
  EXPECT_EQ(w->SetPriority(THREAD_PRIORITY_IDLE), S_OK);
  EXPECT_EQ(GetThreadPriority(w->Handle()), THREAD_PRIORITY_IDLE);
  EXPECT_EQ(w->SetPriority(7), HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));

  SetEvent(go);
  EXPECT_TRUE(owner.WaitSlotEmpty());
  EXPECT_EQ(journal.destroyed, 1);
  EXPECT_EQ(journal.destroyedOnWorker, 1) << "at the natural end the destructor runs on the worker";
  CloseHandle(go);
}

TEST_F(NXThreadTest, CreationFailureStillFillsTheSlot) {
  // Use up the descriptors the thread needs, so that the platform refuses to create it.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = 128;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> fillers;
  for (int fd; (fd = dup(2)) >= 0;) fillers.push_back(fd);

  Owner owner;
  Journal journal;
  auto* w = new Worker(owner, journal, Body::WaitForGo);

  for (int fd : fillers) close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);

  EXPECT_EQ(owner.slot, w);
  EXPECT_EQ(w->Status(), HRESULT_FROM_WIN32(ERROR_TOO_MANY_OPEN_FILES));
  EXPECT_EQ(w->Handle(), nullptr);
  EXPECT_EQ(w->SetState(1), S_FALSE);
  EXPECT_EQ(w->SetState(0), S_FALSE);
  EXPECT_EQ(w->SetPriority(THREAD_PRIORITY_IDLE), S_FALSE);
  delete w;
  EXPECT_EQ(owner.slot, nullptr);
  EXPECT_EQ(journal.destroyed, 1);
}

TEST_F(NXThreadTest, WorkerWithoutBaseCallStaysAliveUntilTheOwnerDestroysIt) {
  Owner owner;
  Journal journal;
  auto* w = new Worker(owner, journal, Body::NoBaseCall);
  ASSERT_EQ(w->SetState(1), S_OK);
  ASSERT_EQ(WaitForSingleObject(w->Handle(), 5000), WAIT_OBJECT_0);
  DWORD code = 1;
  EXPECT_TRUE(GetExitCodeThread(w->Handle(), &code));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(owner.slot, w);
  EXPECT_NE(w->Handle(), nullptr);
  EXPECT_EQ(journal.destroyed, 0);
  HANDLE h = w->Handle();
  delete w;
  EXPECT_EQ(owner.slot, nullptr);
  EXPECT_EQ(journal.destroyed, 1);
  EXPECT_FALSE(CloseHandle(h)) << "the destructor closed the handle";
}

// Starts a worker and, holding the owner's lock, lets it run into its final wait for it.
Worker* RunToEndUnderLock(Owner& owner, Journal& journal, HANDLE go) {
  auto* w = new Worker(owner, journal, Body::WaitForGo, go);
  EXPECT_EQ(w->SetState(1), S_OK);
  EnterCriticalSection(&owner.lock);
  SetEvent(go);
  EXPECT_TRUE(WaitFor(journal.atEnd));
  Sleep(30);  // let it reach the wait for the lock
  return w;
}

TEST_F(NXThreadTest, WorkerReachingItsEndWaitsWhileTheOwnerHoldsTheLock) {
  Owner owner;
  Journal journal;
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  Worker* w = RunToEndUnderLock(owner, journal, go);
  EXPECT_EQ(owner.slot, w) << "the worker must not destroy itself while the owner holds the lock";
  EXPECT_EQ(journal.destroyed, 0);
  LeaveCriticalSection(&owner.lock);
  EXPECT_TRUE(owner.WaitSlotEmpty());
  EXPECT_EQ(journal.destroyed, 1);
  CloseHandle(go);
}

TEST_F(NXThreadTest, OwnerDestroyingAWorkerWaitingForTheLockDestroysItOnce) {
  Owner owner;
  Journal journal;
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  RunToEndUnderLock(owner, journal, go);
  if (owner.slot) delete owner.slot;  // the early stop of the owner's protocol
  EXPECT_EQ(owner.slot, nullptr);
  LeaveCriticalSection(&owner.lock);
  Sleep(20);
  EXPECT_EQ(journal.destroyed, 1);
  EXPECT_EQ(journal.destroyedOnWorker, 0);
  CloseHandle(go);
}

TEST_F(NXThreadTest, OwnerDestroyingAWorkerBlockedInALayerCallEndsIt) {
  Owner owner;
  Journal journal;
  auto* w = new Worker(owner, journal, Body::BlockForever);
  ASSERT_EQ(w->SetState(1), S_OK);
  ASSERT_TRUE(WaitFor(journal.started));
  Sleep(10);
  EnterCriticalSection(&owner.lock);
  delete owner.slot;
  EXPECT_EQ(owner.slot, nullptr);
  LeaveCriticalSection(&owner.lock);
  EXPECT_EQ(journal.destroyed, 1);
  EXPECT_EQ(journal.blockedCallError, ERROR_OPERATION_ABORTED);
}

TEST_F(NXThreadTest, SuspendedWorkerPausesAtItsNextLayerCallAndStopsWhileSuspended) {
  Owner owner;
  Journal journal;
  auto* w = new Worker(owner, journal, Body::Tick);
  ASSERT_EQ(w->SetState(1), S_OK);
  for (int i = 0; i < 1000 && journal.ticks < 5; ++i) Sleep(2);
  ASSERT_GE(journal.ticks, 5);
  ASSERT_EQ(w->SetState(0), S_OK);
  Sleep(20);
  int paused = journal.ticks;
  Sleep(50);
  EXPECT_LE(journal.ticks - paused, 1) << "a suspended worker goes on ticking";
  EnterCriticalSection(&owner.lock);
  delete owner.slot;  // suspended first, then destroyed, as the selection dialog does
  LeaveCriticalSection(&owner.lock);
  EXPECT_EQ(owner.slot, nullptr);
  EXPECT_EQ(journal.destroyed, 1);
  EXPECT_EQ(journal.blockedCallError, ERROR_OPERATION_ABORTED);
}

TEST_F(NXThreadTest, DestroyingANeverStartedWorkerNeverRunsItsBody) {
  Owner owner;
  Journal journal;
  auto* w = new Worker(owner, journal, Body::WaitForGo);
  delete w;
  EXPECT_EQ(owner.slot, nullptr);
  EXPECT_FALSE(journal.started);
  EXPECT_EQ(journal.destroyed, 1);
}

}  // namespace
