// The signal check on synthetic leads: each condition judged on the lead that has it, the
// hold against flicker, the heart rate, gains and rates.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>
#include <random>
#include <stdexcept>
#include <vector>

#include "signal_check.h"

namespace {

using sigcheck::Report;
using sigcheck::SignalCheck;
using sigcheck::Verdict;

constexpr double kPi = std::numbers::pi;

// A plain ECG beat as a sum of Gaussians (P, Q, R, S, T), in mV, t seconds after the R peak.
double Beat(double t, double r) {
  auto g = [t](double at, double width, double height) {
    const double u = (t - at) / width;
    return height * std::exp(-u * u / 2);
  };
  return g(-0.2, 0.025, 0.12 * r) + g(-0.03, 0.01, -0.1 * r) + g(0, 0.012, r) + g(0.03, 0.01, -0.2 * r) +
         g(0.3, 0.06, 0.25 * r);
}

// Regular beats at bpm, R amplitude r mV.
double Ecg(double t, double bpm, double r) {
  const double period = 60.0 / bpm;
  const double phase = std::fmod(t + 0.5 * period, period) - 0.5 * period;  // time from the nearest R
  return Beat(phase, r) + Beat(phase + period, r) + Beat(phase - period, r);
}

// Band-limited noise 20-150 Hz (two second-order sections) of unit RMS before scaling.
class MuscleNoise {
 public:
  MuscleNoise(int rate, unsigned seed) : random_(seed) {
    high_ = Section(20, rate, true);
    low_ = Section(std::min(150.0, 0.4 * rate), rate, false);
  }
  double Next() { return 1.6 * low_.Step(high_.Step(normal_(random_))); }

 private:
  struct Biquad {
    double b0 = 0, b1 = 0, b2 = 0, a1 = 0, a2 = 0, z1 = 0, z2 = 0;
    double Step(double x) {
      const double y = b0 * x + z1;
      z1 = b1 * x - a1 * y + z2;
      z2 = b2 * x - a2 * y;
      return y;
    }
  };
  static Biquad Section(double f, double rate, bool high) {
    const double w = 2 * kPi * f / rate, alpha = std::sin(w) / std::numbers::sqrt2, c = std::cos(w), a0 = 1 + alpha;
    Biquad q;
    q.b0 = (high ? (1 + c) / 2 : (1 - c) / 2) / a0;
    q.b1 = (high ? -(1 + c) : (1 - c)) / a0;
    q.b2 = q.b0;
    q.a1 = -2 * c / a0;
    q.a2 = (1 - alpha) / a0;
    return q;
  }
  std::mt19937 random_;
  std::normal_distribution<double> normal_;
  Biquad high_, low_;
};

// A lead's signal in mV at time t (seconds).
using Lead = std::function<double(double)>;

uint16_t Counts(double mv, double gain) {
  const long c = std::lround(2048 + mv * gain);
  return static_cast<uint16_t>(std::clamp(c, 0L, 4095L));
}

// Runs leads through a check for the given seconds; returns every report.
std::vector<Report> Check(int rate, const std::vector<Lead>& leads, int seconds, double gain = 100,
                        double toldGain = 0) {
  SignalCheck check(rate, static_cast<int>(leads.size()));
  for (size_t i = 0; i < leads.size(); ++i) check.SetGain(static_cast<int>(i), toldGain > 0 ? toldGain : gain);
  std::vector<Report> reports;
  uint16_t samples[3] = {};
  for (long n = 0; n < static_cast<long>(seconds) * rate; ++n) {
    const double t = static_cast<double>(n) / rate;
    for (size_t i = 0; i < leads.size(); ++i) samples[i] = Counts(leads[i](t), gain);
    Report r;
    if (check.Push(samples, &r)) reports.push_back(r);
  }
  return reports;
}

Lead Clean(double bpm, double r) {
  return [=](double t) { return Ecg(t, bpm, r); };
}

class EachRate : public ::testing::TestWithParam<int> {};

// Every condition on lead 2 alone: lead 2 is named for it from second 8 on (window and hold
// passed), leads 1 and 3 stay good, and the heart rate comes from the good leads.
TEST_P(EachRate, EachConditionIsNamedOnItsLeadOnly) {
  const int rate = GetParam();
  auto noise = std::make_shared<MuscleNoise>(rate, 7);
  struct Case {
    const char* name;
    Lead lead2;
    Verdict expected;
  };
  const std::vector<Case> cases = {
      {"clean", Clean(72, 1.0), Verdict::Good},
      {"electrode off, flat", [](double) { return 0.0; }, Verdict::NoContact},
      {"wire broken, at the rail", [](double) { return -30.0; }, Verdict::NoContact},
      {"gain too high", [](double t) { return Ecg(t, 72, 30.0); }, Verdict::Clipped},
      {"mains 50 Hz 0.1 mV", [](double t) { return Ecg(t, 72, 1.0) + 0.1 * std::sin(2 * kPi * 50.3 * t); },
       Verdict::Mains},
      {"mains 60 Hz 0.2 mV", [](double t) { return Ecg(t, 72, 1.0) + 0.2 * std::sin(2 * kPi * 60 * t); },
       Verdict::Mains},
      // SNR 0 dB: noise power equal to (QRS peak-to-peak)^2 / 8.
      {"muscle", [noise](double t) { return Ecg(t, 72, 1.0) + std::sqrt(1.3 * 1.3 / 8) * noise->Next(); },
       Verdict::Muscle},
      {"wander 2 mV", [](double t) { return Ecg(t, 72, 1.0) + 1.0 * std::sin(2 * kPi * 0.25 * t); },
       Verdict::Wander},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<Report> reports = Check(rate, {Clean(72, 1.2), c.lead2, Clean(72, 0.6)}, 16);
    ASSERT_EQ(reports.size(), 16u);
    for (const Report& r : reports) {
      ASSERT_EQ(r.leads, 3);
      if (r.second < 8) continue;
      EXPECT_EQ(r.verdicts[0], Verdict::Good) << "second " << r.second;
      EXPECT_EQ(r.verdicts[1], c.expected) << "second " << r.second << ": " << sigcheck::VerdictWord(r.verdicts[1]);
      EXPECT_EQ(r.verdicts[2], Verdict::Good) << "second " << r.second;
      EXPECT_NEAR(r.heartRate, 72, 2) << "second " << r.second;
    }
  }
}

// Heart rates across the range, big and small complexes, at the recorder's usual gain.
TEST_P(EachRate, HeartRateWithinTwoBeatsPerMinute) {
  const int rate = GetParam();
  for (double bpm : {40.0, 63.0, 97.0, 144.0, 180.0}) {
    for (double r : {0.3, 2.5}) {
      SCOPED_TRACE(testing::Message() << bpm << " bpm, R " << r << " mV");
      const std::vector<Report> reports = Check(rate, {Clean(bpm, r), Clean(bpm, r * 0.7)}, 14, 728 * 0.5 / r);
      for (const Report& rep : reports) {
        if (rep.second < 9) continue;
        EXPECT_NEAR(rep.heartRate, bpm, 2) << "second " << rep.second;
        EXPECT_EQ(rep.verdicts[0], Verdict::Good);
        EXPECT_EQ(rep.verdicts[1], Verdict::Good);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, EachRate, ::testing::Values(250, 500, 1000));

// An electrode off lead 2 from 10 s to 25 s: the shown verdict follows only after the new
// one held 2 s (three reports in a row), both ways; a change of one or two reports never
// shows. The heart rate stays; with every electrode off there is none.
TEST(SignalCheckHold, AVerdictChangesOnlyAfterItHeldTwoSeconds) {
  const int rate = 500;
  auto offBetween = [](double from, double to) {
    return [=](double t) { return t >= from && t < to ? 0.0 : Ecg(t, 80, 1.0); };
  };
  const std::vector<Report> reports = Check(rate, {Clean(80, 1.0), offBetween(10, 25), Clean(80, 0.8)}, 40);
  int firstOff = 0, lastOff = 0;
  for (size_t k = 0; k < reports.size(); ++k) {
    const Report& r = reports[k];
    if (r.verdicts[1] == Verdict::NoContact) {
      if (!firstOff) firstOff = r.second;
      lastOff = r.second;
    }
    if (k >= 1 && r.verdicts[1] != reports[k - 1].verdicts[1]) {
      ASSERT_GE(k, 2u);
      for (size_t j = k - 2; j <= k; ++j) EXPECT_EQ(reports[j].instant[1], r.verdicts[1]) << "second " << r.second;
    }
    if (r.second >= 9) {
      EXPECT_NEAR(r.heartRate, 80, 2) << "second " << r.second;
    }
    EXPECT_EQ(r.verdicts[0], Verdict::Good);
  }
  // Seen 2 s after the instant judgement notices the flat line (which needs 2 s of it).
  EXPECT_GE(firstOff, 12);
  EXPECT_LE(firstOff, 15);
  EXPECT_GE(lastOff, 26);
  EXPECT_LE(lastOff, 29);

  // The flat-line judgement covers 2 s: an electrode off for 3.4 s makes two instant
  // "no-contact" seconds (12 and 13), which never show; off for 4.4 s makes three, shown at 14
  // and gone three seconds after the lead is back.
  auto shownOff = [&](double until) {
    std::vector<int> seconds;
    for (const Report& r : Check(rate, {offBetween(10, until)}, 24)) {
      if (r.verdicts[0] == Verdict::NoContact) seconds.push_back(r.second);
    }
    return seconds;
  };
  EXPECT_EQ(shownOff(13.4), std::vector<int>{});
  EXPECT_EQ(shownOff(14.4), (std::vector<int>{14, 15, 16}));

  const auto none = Check(rate, {[](double) { return 0.0; }, [](double) { return 0.0; }}, 10);
  EXPECT_EQ(none.back().heartRate, -1);
  EXPECT_EQ(none.back().verdicts[0], Verdict::NoContact);
}

// The gain turns counts into millivolts: the same signal told with its own gain is judged
// alike at any gain, and told with a wrong gain the sizes are wrong by that factor.
TEST(SignalCheckGain, JudgesInMillivoltsThroughEachLeadsGain) {
  // Base line drifting by 0.3 mV (fine) with 0.04 mV of mains (fine).
  const Lead lead = [](double t) {
    return Ecg(t, 70, 0.8) + 0.15 * std::sin(2 * kPi * 0.2 * t) + 0.04 * std::sin(2 * kPi * 50 * t);
  };
  for (double gain : {50.0, 200.0, 728.0}) {
    const auto told = Check(1000, {lead}, 12, gain);
    EXPECT_EQ(told.back().verdicts[0], Verdict::Good) << gain;
    EXPECT_NEAR(told.back().heartRate, 70, 2) << gain;
  }
  // Told 100 counts/mV where the recorder gives 728: every size is 7.3 times larger.
  const auto wrong = Check(1000, {lead}, 12, 728, 100);
  EXPECT_EQ(wrong.back().verdicts[0], Verdict::Mains);

  // SetGain on one lead acts on that lead only.
  SignalCheck check(250, 2);
  check.SetGain(1, 10);
  Report r;
  for (long n = 0; n < 12L * 250; ++n) {
    const double t = n / 250.0;
    const double v = Ecg(t, 70, 0.8) + 0.15 * std::sin(2 * kPi * 0.2 * t);
    const uint16_t s[2] = {Counts(v, 100), Counts(v, 100)};
    check.Push(s, &r);
  }
  EXPECT_EQ(r.verdicts[0], Verdict::Good);
  EXPECT_EQ(r.verdicts[1], Verdict::Wander);  // 10 counts/mV: the 0.3 mV drift reads as 3 mV
}

// Reports come once per second of signal at each rate; bad rates, lead counts and gains are
// refused; Reset starts the count again.
TEST(SignalCheckRate, OneReportPerSecondOfSignal) {
  EXPECT_THROW(SignalCheck(200, 1), std::invalid_argument);
  EXPECT_THROW(SignalCheck(500, 0), std::invalid_argument);
  EXPECT_THROW(SignalCheck(500, 4), std::invalid_argument);
  SignalCheck two(500, 2);
  EXPECT_THROW(two.SetGain(2, 100), std::invalid_argument);
  EXPECT_THROW(two.SetGain(0, 0), std::invalid_argument);
  EXPECT_THROW(two.SetGain(0, std::nan("")), std::invalid_argument);

  for (int rate : {250, 500, 1000}) {
    SignalCheck check(rate, 1);
    const uint16_t s[1] = {2048};
    Report r;
    std::vector<long> at;
    for (long n = 1; n <= 3L * rate; ++n) {
      if (check.Push(s, &r)) {
        at.push_back(n);
        EXPECT_EQ(r.second, static_cast<int>(at.size()));
        EXPECT_EQ(r.leads, 1);
      }
    }
    EXPECT_EQ(at, (std::vector<long>{rate, 2L * rate, 3L * rate}));
    check.Reset();
    for (long n = 1; n < rate; ++n) EXPECT_FALSE(check.Push(s, &r));
    EXPECT_TRUE(check.Push(s, &r));
    EXPECT_EQ(r.second, 1);
  }
}

}  // namespace
