// nxDebugCriticalSectionDeadLock: the caller holds the lock on return, however long the
// wait, and a long wait is told on stderr only when asked for.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>

#include "nxrtl/nxrtl.h"
#include "nxtest/wait.h"

namespace {

struct Holder {
  CRITICAL_SECTION* cs;
  HANDLE release;
  std::atomic<bool> holding{false};
};

DWORD HoldUntilReleased(LPVOID p) {
  auto* h = static_cast<Holder*>(p);
  EnterCriticalSection(h->cs);
  h->holding = true;
  WaitForSingleObject(h->release, INFINITE);
  LeaveCriticalSection(h->cs);
  return 0;
}

// Runs one contended entry: another thread holds the lock for holdMs.
std::string ContendedEntry(DWORD holdMs) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  Holder h{&cs, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  HANDLE t = CreateThread(nullptr, 0, HoldUntilReleased, &h, 0, nullptr);
  if (auto held = nxtest::WaitUntil([&] { return h.holding.load(); }, std::chrono::seconds(10),
                                    "the other thread to take the lock");
      !held) {
    // The holder still refers to the lock and the event on this stack: end here.
    ADD_FAILURE() << held.message();
    std::abort();
  }
  struct Releaser {
    HANDLE ev;
    DWORD ms;
  } r{h.release, holdMs};
  HANDLE rt = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        auto* rr = static_cast<Releaser*>(p);
        Sleep(rr->ms);
        SetEvent(rr->ev);
        return 0;
      },
      &r, 0, nullptr);
  testing::internal::CaptureStderr();
  nxDebugCriticalSectionDeadLock(&cs);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(static_cast<DWORD>(cs.OwningThread), GetCurrentThreadId()) << "the caller must hold the lock";
  EXPECT_EQ(cs.RecursionCount, 1);
  nxDebugCriticalSectionDeadLock(&cs);  // recursive entry by the owner
  EXPECT_EQ(cs.RecursionCount, 2);
  LeaveCriticalSection(&cs);
  LeaveCriticalSection(&cs);
  WaitForSingleObject(t, INFINITE);
  WaitForSingleObject(rt, INFINITE);
  CloseHandle(t);
  CloseHandle(rt);
  CloseHandle(h.release);
  DeleteCriticalSection(&cs);
  return err;
}

TEST(DebugLockTest, WaitsForTheHolderAndReportsOnlyWhenAsked) {
  unsetenv("NX_DEADLOCK_REPORT_MS");
  EXPECT_EQ(ContendedEntry(60), "");
  setenv("NX_DEADLOCK_REPORT_MS", "10", 1);
  std::string report = ContendedEntry(80);
  EXPECT_NE(report.find("has waited 10 ms for critical section"), std::string::npos) << report;
  setenv("NX_DEADLOCK_REPORT_MS", "5000", 1);
  EXPECT_EQ(ContendedEntry(30), "");
  unsetenv("NX_DEADLOCK_REPORT_MS");
}

TEST(DebugLockTest, FreeLockIsEnteredAtOnceAndNullIsIgnored) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  nxDebugCriticalSectionDeadLock(&cs);
  EXPECT_EQ(static_cast<DWORD>(cs.OwningThread), GetCurrentThreadId());
  LeaveCriticalSection(&cs);
  EXPECT_EQ(cs.OwningThread, 0);
  nxDebugCriticalSectionDeadLock(nullptr);
  DeleteCriticalSection(&cs);
}

}  // namespace
