// The signal check beside the acquisition: the user-interface thread hands each decoded
// sample over (a short lock, no judging), and a thread of its own feeds the engine and
// passes each second's report to a callback.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "recorder_config.h"
#include "signal_check.h"

namespace ordiva {

class LeadCheck {
 public:
  // Called on the check's own thread with the session number the report belongs to
  // (see Start); it must not block for long.
  using ReportFn = std::function<void(unsigned session, const sigcheck::Report& report)>;

  explicit LeadCheck(ReportFn onReport);
  ~LeadCheck();  // ends the thread; no callback runs after it returns
  LeadCheck(const LeadCheck&) = delete;
  LeadCheck& operator=(const LeadCheck&) = delete;

  // A new stretch of signal (a new session, a rate or lead count change, a gap in the
  // acquisition): what was handed over and not yet judged is dropped, the engine
  // forgets the signal. Returns the new session number. rateHz 250, 500 or 1000; leads
  // 1-3 (other values: false from Push until a valid Start).
  unsigned Start(int rateHz, int leads, const std::array<double, 3>& countsPerMv);
  // Gains of a running session (channels 1-3), for the samples handed over from now on.
  void SetGains(const std::array<double, 3>& countsPerMv);
  // One sample per lead in channel order (channel 1 first). False when no valid session
  // runs or the backlog is full (the check fell behind by kMaxBacklogS); the sample is
  // then dropped.
  bool Push(const std::array<uint16_t, 3>& samples);
  unsigned Session() const;
  // Samples judged so far in this session (tests watch the thread catch up).
  uint64_t Judged() const;

  static constexpr int kMaxBacklogS = 10;

 private:
  void Run();

  ReportFn onReport_;
  mutable std::mutex lock_;  // guards everything below up to thread_
  std::condition_variable wake_;
  bool ending_ = false;
  unsigned session_ = 0;
  bool valid_ = false;
  int rateHz_ = 0, leads_ = 0;
  std::array<double, 3> gains_{};
  bool restart_ = false;  // the thread is to take the new session's settings
  bool gainsChanged_ = false;
  std::vector<uint16_t> pending_;  // handed over, three values per sample
  uint64_t judged_ = 0;
  std::thread thread_;
};

}  // namespace ordiva
