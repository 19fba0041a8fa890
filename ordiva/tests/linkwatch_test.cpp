// LinkWatch on a clock the test moves: a failed read, a silence of two seconds, the step's
// budget, and a resumption after a pause that must not count as silence.
#include <gtest/gtest.h>

#include "linkwatch.h"

namespace {

using ordiva::LinkWatch;

struct Clocked {
  ULONGLONG now = 1000;
  LinkWatch watch{[this] { return now; }, LinkWatch::Limits{}};
  // One step reading `reads` bytes of `ms` each; whether a record arrived.
  void Step(int reads, ULONGLONG ms, bool arrive) {
    watch.StepBegins();
    for (int i = 0; i < reads && watch.MayRead(); ++i) {
      now += ms;
      watch.Read(TRUE, arrive ? 1 : 0, 0);
    }
    watch.StepEnds(arrive);
  }
};

TEST(LinkWatch, AFailedReadLosesTheLinkAtOnceAndARestartForgetsIt) {
  Clocked c;
  c.Step(6, 1, true);
  c.watch.StepBegins();
  ASSERT_TRUE(c.watch.MayRead());
  c.watch.Read(TRUE, 1, 0);
  c.watch.Read(FALSE, 1, WSAECONNRESET);  // bytes came with the failure: not yet
  EXPECT_FALSE(c.watch.Lost());
  c.watch.Read(FALSE, 0, WSAECONNRESET);
  EXPECT_TRUE(c.watch.Lost());
  EXPECT_EQ(c.watch.Error(), WSAECONNRESET);
  EXPECT_FALSE(c.watch.MayRead()) << "no more calls on a dead link in this step";
  c.watch.StepEnds(true);
  EXPECT_TRUE(c.watch.Lost());
  c.watch.Restart();
  EXPECT_FALSE(c.watch.Lost());
  EXPECT_EQ(c.watch.Error(), 0u);
}

TEST(LinkWatch, TwoSecondsWithoutARecordLoseTheLinkAndNoStepReadsPastItsBudget) {
  Clocked c;
  c.Step(6, 1, true);
  // A quiet link: every read waits its 100 ms out and brings nothing.
  const ULONGLONG quietFrom = c.now;
  int steps = 0;
  while (!c.watch.Lost() && steps < 100) {
    const ULONGLONG start = c.now;
    c.Step(14, 100, false);
    EXPECT_LE(c.now - start, 1000u) << "a step stops reading once it has taken a second";
    ++steps;
  }
  EXPECT_TRUE(c.watch.Lost());
  EXPECT_EQ(c.watch.Error(), 0u) << "the loss is the silence, not a failed read";
  EXPECT_GE(c.now - quietFrom, 2000u);
  EXPECT_LE(c.now - quietFrom, 2100u) << "noticed within one read of the two seconds";
  // Records now and then keep it alive, whatever the empty reads between them.
  Clocked alive;
  for (int i = 0; i < 20; ++i) {
    alive.Step(10, 100, false);
    alive.Step(1, 1, true);
  }
  EXPECT_FALSE(alive.watch.Lost());
}

TEST(LinkWatch, APauseBetweenStepsIsAResumptionNotSilence) {
  Clocked c;
  c.Step(6, 1, true);
  c.now += 60000;  // "Стоп" for a minute
  c.Step(14, 100, false);  // the first step after "Пуск" meets a slow start
  EXPECT_FALSE(c.watch.Lost());
  c.Step(6, 1, true);
  EXPECT_FALSE(c.watch.Lost());
}

}  // namespace
