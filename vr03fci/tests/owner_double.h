// Test support: an owner that records what a worker posts, and runs of a worker to its
// end or to a cancellation, as the dialog does them.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ids.h"
#include "nxtest/wait.h"
#include "owner.h"
#include "worker.h"

namespace fcitest {

class RecordingOwner : public fci::IInitOwner {
 public:
  RecordingOwner(WCHAR letter, WORD options) : params_{letter, options} { InitializeCriticalSection(&lock_); }
  // A worker still running (a test that gave up waiting) is cancelled first: it must never
  // post to an owner that is gone.
  ~RecordingOwner() {
    Cancel();
    DeleteCriticalSection(&lock_);
  }

  CRITICAL_SECTION* GetLock() override { return &lock_; }
  HWND GetWindow() override { return nullptr; }
  int AskUser(UINT, UINT, UINT) override {
    ADD_FAILURE() << "the worker never asks the user";
    return 0;
  }
  fci::InitParameters* GetParameters() override { return &params_; }

  void PostProgressRange(int max) override { Add([&] { rangeMax = max; }); }
  void PostProgressPos(int pos) override { Add([&] { positions.push_back(pos); }); }
  void PostItemText(int id, const std::u16string& text) override {
    Add([&] {
      (id == fci::IDC_ELAPSED ? elapsed : remaining).push_back(text);
      timeTexts.push_back(TimedText{id, text, std::chrono::steady_clock::now()});
    });
  }
  void PostStatus(UINT id, const std::u16string& text) override {
    Add([&] {
      statusIds.push_back(id);
      statusText = text;
    });
  }
  void PostDrivesEnabled(bool enabled) override { Add([&] { drivesEnabled = enabled; }); }
  void PostStartReleased() override { Add([&] { ++startReleased; }); }
  void PostBeep(DWORD frequency, DWORD) override { Add([&] { beeps.push_back(frequency); }); }
  void PostRunEnded(DWORD error) override {
    Add([&] {
      ended = true;
      endError = error;
    });
  }

  // Creates and starts a worker under the lock, as the start button does; the
  // construction status.
  HRESULT Start() {
    EnterCriticalSection(&lock_);
    new fci::InitWorker(&worker, this);
    HRESULT hr = worker->Status();
    if (hr == S_OK) {
      // The dialog asks for idle priority; here the worker keeps the normal one, so that
      // other tests busy on every core cannot starve it past the tests' time limits.
      worker->SetState(1);
    } else {
      delete worker;
    }
    LeaveCriticalSection(&lock_);
    return hr;
  }
  // Waits until the worker has destroyed itself; a failure after the time limit.
  ::testing::AssertionResult WaitGone(std::chrono::milliseconds limit) {
    return nxtest::WaitUntil([&] { return Gone(); }, limit, "the run's end", std::chrono::milliseconds(5));
  }
  // Waits until n chunks of a check have passed: fails at once when the run ends
  // before, and after the time limit.
  ::testing::AssertionResult WaitPositions(size_t n, std::chrono::milliseconds limit) {
    auto waited = nxtest::WaitUntil([&] { return PositionCount() >= n || Gone(); }, limit,
                                    std::to_string(n) + " chunks of the check");
    if (waited && PositionCount() < n)
      return ::testing::AssertionFailure() << "the run ended after " << PositionCount() << " chunks, before " << n;
    return waited;
  }
  bool Gone() {
    EnterCriticalSection(&lock_);
    const bool gone = worker == nullptr;
    LeaveCriticalSection(&lock_);
    return gone;
  }
  // Destroys a running worker under the lock, as a cancel does.
  void Cancel() {
    EnterCriticalSection(&lock_);
    delete worker;
    LeaveCriticalSection(&lock_);
  }
  size_t PositionCount() {
    std::lock_guard<std::mutex> g(m_);
    return positions.size();
  }
  size_t TimeTextCount() {
    std::lock_guard<std::mutex> g(m_);
    return timeTexts.size();
  }

  NXThread* worker = nullptr;
  // Recorded posts (read after the worker is gone, or under Snapshot()).
  int rangeMax = -1;
  std::vector<int> positions;
  std::vector<std::u16string> elapsed, remaining;
  // Every elapsed (1011) and remaining (1012) text with the moment it was posted.
  struct TimedText {
    int id;
    std::u16string text;
    std::chrono::steady_clock::time_point at;
  };
  std::vector<TimedText> timeTexts;
  std::vector<UINT> statusIds;
  std::u16string statusText;
  bool drivesEnabled = true;
  int startReleased = 0;
  std::vector<DWORD> beeps;
  bool ended = false;
  DWORD endError = 0;

 private:
  template <class F>
  void Add(F f) {
    std::lock_guard<std::mutex> g(m_);
    f();
  }
  std::mutex m_;
  CRITICAL_SECTION lock_;
  fci::InitParameters params_;
};

}  // namespace fcitest
