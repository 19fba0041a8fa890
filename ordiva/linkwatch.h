// LinkWatch: tells a lost link from a quiet moment during acquisition, and keeps each
// acquisition step's reads within a time budget, so that a dead link neither reads as
// endless empty records nor holds the user-interface thread.
#pragma once

#include <functional>

#include "nxpal/windows.h"
#include "vkbth.h"

namespace ordiva {

class LinkWatch {
 public:
  struct Limits {
    DWORD silenceMs = 2000;  // no record for this long while the stream runs: lost
    DWORD stepBudgetMs = 1000;  // a step stops reading once it has taken this long
    DWORD resumedGapMs = 1500;  // a pause between steps this long: acquisition was resumed
  };
  // nowMs: a monotonic clock in milliseconds.
  explicit LinkWatch(std::function<ULONGLONG()> nowMs, Limits limits);

  // The clock starts anew: the stream was (re)started. Also forgets a loss.
  void Restart();
  // A step begins. A long pause since the last step means acquisition was suspended
  // (Стоп, ОстановФП, a dialog): the silence counts from now.
  void StepBegins();
  // Whether the step may call the link once more: not after a failed read, not once the
  // step's budget is spent (the record's remaining bytes then count as missing), and not
  // once the silence has lasted long enough to call the link lost.
  bool MayRead() const;
  // The outcome of one read: ok as the link call returned it, the bytes it delivered and
  // its error code.
  void Read(BOOL ok, DWORD delivered, DWORD error);
  // The step has ended; recordArrived when it decoded a record of bytes that came.
  void StepEnds(bool recordArrived);

  // Whether the link is lost: a read failed, or no record came for silenceMs.
  bool Lost() const { return lost_; }
  // The failed read's error code; 0 when the loss is the silence.
  DWORD Error() const { return error_; }

 private:
  std::function<ULONGLONG()> now_;
  Limits limits_;
  ULONGLONG lastRecord_ = 0;  // when the last record arrived (or the clock restarted)
  ULONGLONG stepStart_ = 0;
  ULONGLONG lastStepEnd_ = 0;
  bool lost_ = false;
  DWORD error_ = 0;
};

class Recorder;

// Takes a lost link up again as the start-up made it: a new link to the same recorder
// (the caller has closed the old one), its greeting, the stream stopped, its configuration
// read and checked, and the gain codes the session last sent sent again; the stream is
// left stopped; three attempts, a second apart. The session's configuration block is kept
// as it was. Blocking (connects, the recorder's fixed waits): run it off the
// user-interface thread, with nothing else using `recorder` meanwhile. 0 with the new link in `recorder`; otherwise the link's
// error, or ERROR_TIMEOUT (1460) for a recorder that neither greets nor answers, and no
// link in `recorder`.
DWORD TakeUpLink(HVKBTDEVICE device, Recorder& recorder);

}  // namespace ordiva
