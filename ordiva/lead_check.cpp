// The signal check's thread: takes the handed-over samples in batches and runs the engine
// outside the lock, so the acquisition step never waits for a judgement.
#include "lead_check.h"

#include <algorithm>
#include <memory>

namespace ordiva {
namespace {

// The thread is woken once this many samples wait (about a tenth of a second at the
// lowest rate), or by its own timeout.
constexpr size_t kBatchSamples = 25;

}  // namespace

LeadCheck::LeadCheck(ReportFn onReport) : onReport_(std::move(onReport)) {
  thread_ = std::thread([this] { Run(); });
}

LeadCheck::~LeadCheck() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    ending_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

unsigned LeadCheck::Start(int rateHz, int leads, const std::array<double, 3>& countsPerMv) {
  std::lock_guard<std::mutex> hold(lock_);
  ++session_;
  valid_ = (rateHz == 250 || rateHz == 500 || rateHz == 1000) && leads >= 1 && leads <= 3;
  rateHz_ = rateHz;
  leads_ = leads;
  gains_ = countsPerMv;
  restart_ = true;
  gainsChanged_ = false;
  pending_.clear();
  judged_ = 0;
  return session_;
}

void LeadCheck::SetGains(const std::array<double, 3>& countsPerMv) {
  std::lock_guard<std::mutex> hold(lock_);
  gains_ = countsPerMv;
  gainsChanged_ = true;
}

bool LeadCheck::Push(const std::array<uint16_t, 3>& samples) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (!valid_) return false;
    if (pending_.size() >= static_cast<size_t>(3 * kMaxBacklogS * rateHz_)) return false;
    pending_.insert(pending_.end(), samples.begin(), samples.end());
    wake = pending_.size() == 3 * kBatchSamples;
  }
  if (wake) wake_.notify_one();
  return true;
}

unsigned LeadCheck::Session() const {
  std::lock_guard<std::mutex> hold(lock_);
  return session_;
}

uint64_t LeadCheck::Judged() const {
  std::lock_guard<std::mutex> hold(lock_);
  return judged_;
}

void LeadCheck::Run() {
  std::unique_ptr<sigcheck::SignalCheck> engine;
  unsigned session = 0;
  std::vector<uint16_t> batch;
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    wake_.wait_for(hold, std::chrono::milliseconds(100),
                   [&] { return ending_ || restart_ || pending_.size() >= 3 * kBatchSamples; });
    if (ending_) return;
    if (restart_) {
      restart_ = false;
      engine.reset();
      session = session_;
      if (valid_) {
        engine = std::make_unique<sigcheck::SignalCheck>(rateHz_, leads_);
        gainsChanged_ = true;
      }
    }
    if (!engine) {
      pending_.clear();
      continue;
    }
    if (gainsChanged_) {
      gainsChanged_ = false;
      for (int k = 0; k < leads_; ++k) engine->SetGain(k, std::max(1.0, gains_[static_cast<size_t>(k)]));
    }
    batch.swap(pending_);
    pending_.clear();
    hold.unlock();
    // Judged outside the lock; a Start meanwhile makes these reports stale, and the
    // session number they carry lets the receiver drop them.
    sigcheck::Report report;
    for (size_t i = 0; i + 3 <= batch.size(); i += 3) {
      if (engine->Push(&batch[i], &report)) onReport_(session, report);
    }
    hold.lock();
    if (session == session_) judged_ += batch.size() / 3;
    batch.clear();
  }
}

}  // namespace ordiva
