// The signal check's thread beside the acquisition: reports come per second of the
// session they belong to, a new session starts the engine afresh and drops what was
// waiting, a check that falls behind refuses samples instead of growing without end, and
// the end of the owner waits for a report in progress; the gains from the block.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "lead_check.h"
#include "nxtest/wait.h"

namespace {

using namespace std::chrono_literals;
using ordiva::LeadCheck;

struct Received {
  unsigned session;
  sigcheck::Report report;
};

class Collector {
 public:
  void Add(unsigned session, const sigcheck::Report& report) {
    std::lock_guard<std::mutex> hold(lock_);
    all_.push_back({session, report});
  }
  std::vector<Received> All() const {
    std::lock_guard<std::mutex> hold(lock_);
    return all_;
  }
  size_t Count() const { return All().size(); }

 private:
  mutable std::mutex lock_;
  std::vector<Received> all_;
};

void PushSeconds(LeadCheck& check, int rateHz, int seconds, uint16_t value = 2048) {
  for (int i = 0; i < rateHz * seconds; ++i) ASSERT_TRUE(check.Push({value, value, value})) << i;
}

TEST(LeadCheck, ReportsBelongToTheirSessionAndANewSessionStartsAfresh) {
  Collector got;
  LeadCheck check([&](unsigned s, const sigcheck::Report& r) { got.Add(s, r); });
  EXPECT_FALSE(check.Push({2048, 2048, 2048})) << "no session yet";

  const unsigned first = check.Start(500, 2, {728, 728, 728});
  PushSeconds(check, 500, 5);
  ASSERT_TRUE(nxtest::WaitUntil([&] { return check.Judged() == 2500; }, 20s, "five seconds judged"));
  ASSERT_TRUE(nxtest::WaitUntil([&] { return got.Count() == 5; }, 5s, "five reports"));
  std::vector<Received> all = got.All();
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(all[static_cast<size_t>(i)].session, first);
    EXPECT_EQ(all[static_cast<size_t>(i)].report.second, i + 1);
    EXPECT_EQ(all[static_cast<size_t>(i)].report.leads, 2);
  }
  // A flat line on both leads, once held.
  EXPECT_EQ(all.back().report.verdicts[0], sigcheck::Verdict::NoContact);
  EXPECT_EQ(all.back().report.heartRate, -1);

  // A new rate: the engine counts from the start again, with the new lead count.
  const unsigned second = check.Start(250, 3, {364, 364, 364});
  EXPECT_NE(second, first);
  EXPECT_EQ(check.Session(), second);
  PushSeconds(check, 250, 3);
  ASSERT_TRUE(nxtest::WaitUntil([&] { return got.Count() == 8; }, 20s, "three reports more"));
  all = got.All();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(all[static_cast<size_t>(5 + i)].session, second);
    EXPECT_EQ(all[static_cast<size_t>(5 + i)].report.second, i + 1) << "not going on from the first session";
    EXPECT_EQ(all[static_cast<size_t>(5 + i)].report.leads, 3);
  }

  // A rate the recorder does not have takes no samples.
  check.Start(300, 3, {364, 364, 364});
  EXPECT_FALSE(check.Push({2048, 2048, 2048}));
  check.Start(250, 4, {364, 364, 364});
  EXPECT_FALSE(check.Push({2048, 2048, 2048}));
}

TEST(LeadCheck, ACheckThatFallsBehindRefusesSamplesAndANewSessionDropsTheBacklog) {
  std::mutex lock;
  std::condition_variable released;
  bool release = false, blocked = false;
  Collector got;
  LeadCheck check([&](unsigned s, const sigcheck::Report& r) {
    std::unique_lock<std::mutex> hold(lock);
    blocked = true;
    released.wait(hold, [&] { return release; });
    got.Add(s, r);
  });
  check.Start(250, 1, {728, 728, 728});
  PushSeconds(check, 250, 1);
  ASSERT_TRUE(nxtest::WaitUntil(
      [&] {
        std::lock_guard<std::mutex> hold(lock);
        return blocked;
      },
      20s, "the first report, held in the callback"));
  // The thread is held: samples pile up to the limit, then are refused.
  int taken = 0;
  while (taken < 250 * (LeadCheck::kMaxBacklogS + 5) && check.Push({2048, 2048, 2048})) ++taken;
  EXPECT_GE(taken, 250 * (LeadCheck::kMaxBacklogS - 1));
  EXPECT_LE(taken, 250 * LeadCheck::kMaxBacklogS);
  EXPECT_FALSE(check.Push({2048, 2048, 2048}));
  // A new session empties the backlog and takes samples again.
  const unsigned next = check.Start(250, 1, {728, 728, 728});
  EXPECT_TRUE(check.Push({2048, 2048, 2048}));
  {
    std::lock_guard<std::mutex> hold(lock);
    release = true;
  }
  released.notify_all();
  PushSeconds(check, 250, 2);
  ASSERT_TRUE(nxtest::WaitUntil(
      [&] {
        const auto all = got.All();
        return !all.empty() && all.back().session == next && all.back().report.second == 2;
      },
      20s, "the new session's second report"));
  // The old session's backlog was never judged: after its first report, only the new
  // session's reports, counted from 1.
  const auto all = got.All();
  ASSERT_GE(all.size(), 3u);
  EXPECT_EQ(all[0].session, next - 1);
  size_t old = 0;
  for (const auto& r : all) old += r.session != next;
  EXPECT_LE(old, 1u) << "the backlog of the old session was judged";
}

TEST(LeadCheck, TheEndWaitsForAReportInProgress) {
  std::atomic<bool> inCallback{false}, callbackDone{false};
  {
    LeadCheck check([&](unsigned, const sigcheck::Report&) {
      inCallback = true;
      std::this_thread::sleep_for(200ms);
      callbackDone = true;
    });
    check.Start(1000, 3, {728, 728, 728});
    PushSeconds(check, 1000, 1);
    ASSERT_TRUE(nxtest::WaitUntil([&] { return inCallback.load(); }, 20s, "a report"));
  }
  EXPECT_TRUE(callbackDone) << "the owner ended while a report was being delivered";
}

TEST(LeadCheck, GainsFollowTheRecordersBlock) {
  ordiva::RecorderConfig c{};
  c.gainCode[0] = 4;
  c.gainStep[0].Set(200);
  c.gainCode[1] = 2;
  c.gainStep[1].Set(0);
  c.gainCode[2] = 3;
  c.gainStep[2].Set(150);
  c.version = 10;
  EXPECT_EQ(ordiva::CountsPerMv(c, 0), 800);
  EXPECT_EQ(ordiva::CountsPerMv(c, 1), 364) << "a step of 0 is not trusted";
  EXPECT_EQ(ordiva::CountsPerMv(c, 2), 450);
  c.version = 9;
  EXPECT_EQ(ordiva::CountsPerMv(c, 0), 728) << "nor the steps of older versions";
}

}  // namespace
