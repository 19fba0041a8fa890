// LinkWatch: a lost link and the budget of an acquisition step.
#include "linkwatch.h"

#include <utility>

#include "recorder.h"

namespace ordiva {

LinkWatch::LinkWatch(std::function<ULONGLONG()> nowMs, Limits limits) : now_(std::move(nowMs)), limits_(limits) {
  Restart();
}

void LinkWatch::Restart() {
  lastRecord_ = stepStart_ = lastStepEnd_ = now_();
  lost_ = false;
  error_ = 0;
}

void LinkWatch::StepBegins() {
  stepStart_ = now_();
  if (stepStart_ - lastStepEnd_ >= limits_.resumedGapMs) lastRecord_ = stepStart_;
}

bool LinkWatch::MayRead() const {
  const ULONGLONG now = now_();
  return !lost_ && now - stepStart_ < limits_.stepBudgetMs && now - lastRecord_ < limits_.silenceMs;
}

void LinkWatch::Read(BOOL ok, DWORD delivered, DWORD error) {
  // A failure after bytes came is reported by the next read; a failure with nothing is
  // the end of the link (the link library tells a quiet link from a dead one).
  if (!ok && delivered == 0) {
    lost_ = true;
    error_ = error;
  }
}

void LinkWatch::StepEnds(bool recordArrived) {
  lastStepEnd_ = now_();
  if (recordArrived) lastRecord_ = lastStepEnd_;
  if (!lost_ && lastStepEnd_ - lastRecord_ >= limits_.silenceMs) lost_ = true;
}

namespace {

constexpr int kTakeUpAttempts = 3;
// A recorder that has just lost its link may still be serving the old one and hang up on
// the new: the next attempt follows after this pause.
constexpr DWORD kTakeUpPauseMs = 1000;

DWORD TakeUpOnce(HVKBTDEVICE device, Recorder& recorder) {
  HVKBTLINK link = nullptr;
  if (!vkbtCreate(device, &link)) return GetLastError();
  recorder.SetLink(link);
  DWORD error = ERROR_SUCCESS;
  if (!recorder.ReadGreeting()) {
    error = ERROR_TIMEOUT;
  } else {
    // A stream that would not stop still answers below; the start-up goes on likewise.
    (void)recorder.StopStream();
    recorder.io().sleep(kStopStreamWaitMs);
    int got = recorder.ReadConfig();
    if (got == 32) got = recorder.RereadConfig();
    const RecorderConfig& read = recorder.config();
    if ((got != 32 && got != 64) || read.leads < 1 || read.leads > 3 || recorder.LinkFailed()) error = ERROR_TIMEOUT;
  }
  if (error != ERROR_SUCCESS) {
    vkbtClose(link);
    recorder.SetLink(nullptr);
  }
  return error;
}

}  // namespace

DWORD TakeUpLink(HVKBTDEVICE device, Recorder& recorder) {
  recorder.SetLink(nullptr);
  const RecorderConfig session = recorder.config();
  DWORD error = ERROR_SUCCESS;
  for (int attempt = 0; attempt < kTakeUpAttempts; ++attempt) {
    if (attempt > 0) recorder.io().sleep(kTakeUpPauseMs);
    error = TakeUpOnce(device, recorder);
    recorder.config() = session;  // what the recorder sent was only checked
    if (error == ERROR_SUCCESS) {
      recorder.ResendGainCodes();
      return ERROR_SUCCESS;
    }
  }
  return error;
}

}  // namespace ordiva
