// The virtual recorder's conditions as the samples show them: an electrode off and put
// back, clipping, mains, muscle noise, wander, heart-rate changes, turns and battery
// events over time; the options and the scenario file that make them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "firmware.h"
#include "options.h"
#include "scenario.h"
#include "synth.h"

namespace {

using ordiva::RecorderConfig;
using vr03sim::Event;
using vr03sim::SignalSettings;
using vr03sim::SignalSource;

constexpr double kPi = 3.14159265358979323846;

RecorderConfig Config(int rateHz, BYTE code = 4) {
  RecorderConfig c = vr03sim::FactoryConfig(1);
  for (int i = 0; i < 3; ++i) {
    c.gainCode[i] = code;
    c.gainStep[i].Set(182);
  }
  c.version = 10;
  c.rateCode = static_cast<BYTE>(rateHz / 250);
  return c;
}

// Settings from a command line's condition options.
SignalSettings FromOptions(std::vector<const char*> args) {
  vr03sim::Options o;
  std::string error;
  EXPECT_TRUE(vr03sim::ParseOptions(static_cast<int>(args.size()), args.data(), &o, &error)) << error;
  return o.signal;
}

// The samples of one lead from a start to an end time, with what the clean ECG model
// says at each one (in counts), so that a test sees what a condition added.
struct Trace {
  std::vector<double> counts, model;
  int rateHz;
};
Trace Record(SignalSource& source, const RecorderConfig& config, int lead, double fromS, double toS) {
  Trace t;
  t.rateHz = config.RateHz();
  const double perMv = ordiva::CountsPerMv(config, lead);
  // Earlier samples are taken too: the source expects time to run on one period at a time.
  for (long i = 0; i < std::lround(toS * t.rateHz); ++i) {
    const double s = static_cast<double>(i) / t.rateHz;
    const vr03sim::Sample sample = source.At(s, config);
    if (s < fromS) continue;
    t.counts.push_back(sample.ecg[lead]);
    t.model.push_back(2048 + perMv * source.EcgMv(s, lead));
  }
  return t;
}

double Min(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }
double Max(const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); }

// The power of a residual between two frequencies, by a plain DFT over its samples.
double BandPower(const std::vector<double>& x, int rateHz, double loHz, double hiHz) {
  const size_t n = x.size();
  double power = 0;
  for (size_t k = 1; k < n / 2; ++k) {
    const double hz = static_cast<double>(k) * rateHz / n;
    if (hz < loHz || hz >= hiHz) continue;
    std::complex<double> sum = 0, turn = std::polar(1.0, -2 * kPi * k / n), w = 1;
    for (size_t i = 0; i < n; ++i, w *= turn) sum += x[i] * w;
    power += 2 * std::norm(sum) / (static_cast<double>(n) * n);
  }
  return power;
}

std::vector<double> Residual(const Trace& t) {
  std::vector<double> r(t.counts.size());
  for (size_t i = 0; i < r.size(); ++i) r[i] = t.counts[i] - t.model[i];
  return r;
}

TEST(Conditions, AnElectrodeOffSitsAtARailUntilItIsPutBack) {
  SignalSettings settings = FromOptions({"--lead-off", "2@3", "--lead-off", "3@3"});
  Event on;
  on.kind = Event::Kind::LeadOn;
  on.lead = 1;
  on.atS = 6;
  settings.events.push_back(on);
  SignalSource source(settings);
  const RecorderConfig c = Config(500);
  const Trace before = Record(source, c, 1, 0, 3);
  EXPECT_GT(Max(before.counts) - Min(before.counts), 800) << "a beating lead first";
  SignalSource again(settings);
  const Trace off = Record(again, c, 1, 3.3, 6);
  EXPECT_LE(Max(off.counts), 25) << "lead 2 near the bottom rail";
  EXPECT_LE(Max(off.counts) - Min(off.counts), 12) << "and flat";
  SignalSource third(settings);
  const Trace top = Record(third, c, 2, 3.3, 6);
  EXPECT_GE(Min(top.counts), 4070) << "lead 3 near the top rail";
  SignalSource first(settings);
  const Trace untouched = Record(first, c, 0, 3.3, 6);
  EXPECT_GT(Max(untouched.counts) - Min(untouched.counts), 500) << "lead 1 keeps beating";
  SignalSource back(settings);
  const Trace after = Record(back, c, 1, 8, 11);
  EXPECT_GT(Max(after.counts) - Min(after.counts), 800) << "put back, the beats return";
  EXPECT_LT(std::abs(Min(after.counts) - Min(before.counts)), 100) << "on the base line";
}

TEST(Conditions, AClippedLeadOvershootsTheTopRailOnEveryBeat) {
  SignalSettings settings = FromOptions({"--clip", "1", "--heart-rate", "60"});
  for (int rate : {250, 1000}) {
    SignalSource source(settings);
    const Trace t = Record(source, Config(rate, 1), 0, 0, 10);
    int runs = 0;
    size_t atRail = 0;
    for (size_t i = 0; i < t.counts.size(); ++i) {
      atRail += t.counts[i] >= 4095;
      runs += t.counts[i] >= 4095 && (i == 0 || t.counts[i - 1] < 4095);
    }
    EXPECT_NEAR(runs, 10, 1) << "one rail run per beat at " << rate;
    EXPECT_LT(static_cast<double>(atRail) / t.counts.size(), 0.1) << "but not held there";
    SignalSource other(settings);
    EXPECT_LT(Max(Record(other, Config(rate, 1), 1, 0, 10).counts), 4000) << "lead 2 stays clear";
  }
}

TEST(Conditions, MainsAndWanderAddTheirFrequencyAtTheirAmplitude) {
  for (int rate : {250, 500}) {
    const RecorderConfig c = Config(rate);
    const double perMv = ordiva::CountsPerMv(c, 0);
    SignalSource mains(FromOptions({"--mains", "60:0.15"}));
    const std::vector<double> m = Residual(Record(mains, c, 0, 0, 4));
    // A sine of amplitude A has power A^2/2.
    EXPECT_NEAR(std::sqrt(2 * BandPower(m, rate, 59, 61)) / perMv, 0.15, 0.02) << rate;
    EXPECT_LT(std::sqrt(2 * BandPower(m, rate, 40, 55)) / perMv, 0.02) << "nothing beside it";
    SignalSource clean(FromOptions({}));
    EXPECT_LT(std::sqrt(2 * BandPower(Residual(Record(clean, c, 0, 0, 4)), rate, 45, 65)) / perMv, 0.02);
  }
  const RecorderConfig c = Config(250);
  SignalSource wander(FromOptions({"--wander", "0.25:1.5"}));
  const std::vector<double> w = Residual(Record(wander, c, 1, 0, 8));
  EXPECT_NEAR(std::sqrt(2 * BandPower(w, 250, 0.2, 0.3)) / ordiva::CountsPerMv(c, 1), 1.5 + 0.05, 0.1)
      << "with the base line's own 0.05 mV";
}

TEST(Conditions, MuscleNoiseIsBroadbandOnItsLeadOnly) {
  for (int rate : {250, 1000}) {
    const RecorderConfig c = Config(rate, 1);
    const double perMv = ordiva::CountsPerMv(c, 2);
    SignalSource source(FromOptions({"--muscle", "3:1.5"}));
    const std::vector<double> r = Residual(Record(source, c, 2, 0, 4));
    const double total = BandPower(r, rate, 0.1, rate / 2.0);
    EXPECT_NEAR(std::sqrt(total) / perMv, 1.5, 0.2) << "RMS at " << rate;
    EXPECT_GT(BandPower(r, rate, 20, 150) / total, 0.7) << rate;
    EXPECT_LT(BandPower(r, rate, 0.1, 8) / total, 0.03) << rate;
    SignalSource other(FromOptions({"--muscle", "3:1.5"}));
    const std::vector<double> quiet = Residual(Record(other, c, 0, 0, 4));
    EXPECT_LT(std::sqrt(BandPower(quiet, rate, 20, 150)) / perMv, 0.05) << "lead 1 stays clean";
  }
}

TEST(Conditions, TheHeartRateChangesAtItsTimes) {
  SignalSettings settings = FromOptions({"--heart-rate", "60,120@20"});
  SignalSource source(settings);
  EXPECT_EQ(source.HeartRateAt(19.9), 60);
  EXPECT_EQ(source.HeartRateAt(20), 120);
  const RecorderConfig c = Config(500);
  int peaks[2] = {0, 0};
  bool above = false;
  for (int i = 0; i < 40 * 500; ++i) {
    const bool now = source.At(i / 500.0, c).ecg[1] > 2048 + 0.7 * 728;
    if (now && !above) ++peaks[i < 20 * 500 ? 0 : 1];
    above = now;
  }
  EXPECT_NEAR(peaks[0], 20, 2);
  EXPECT_NEAR(peaks[1], 40, 2);
}

TEST(Conditions, TurnsAndBatteryEventsTakeEffectAtTheirTimes) {
  vr03sim::Options o;
  std::string error;
  std::vector<Event> events;
  ASSERT_TRUE(vr03sim::ParseScenario("10 turn left\n30 battery 1100\n", "s", &events, &error)) << error;
  SignalSettings settings;
  settings.positions = {vr03sim::Position::Back, vr03sim::Position::Upright};
  settings.positionPeriodS = 4;
  settings.drainMvPerMin = 6;
  settings.events = events;
  SignalSource source(settings);
  EXPECT_EQ(source.PositionAt(5), vr03sim::Position::Upright);
  EXPECT_EQ(source.PositionAt(10), vr03sim::Position::Left);
  EXPECT_EQ(source.PositionAt(13), vr03sim::Position::Left) << "the list ends with the turn";
  EXPECT_NEAR(source.SupplyMv(20), 1400 - 2, 1e-9);
  EXPECT_NEAR(source.SupplyMv(30), 1100, 1e-9);
  EXPECT_NEAR(source.SupplyMv(90), 1094, 1e-9) << "and drains on from there";
}

TEST(Scenario, EventsAreReadWithTheirTimesAndArguments) {
  const std::string text =
      "# a training run\n"
      "\n"
      "20 lead-off 2\n"
      "35   lead-on 2   # put back\n"
      "12.5 mains 50:0.2\n"
      "40 turn left\n"
      "41 muscle 3:0.4\n"
      "42 wander 0.3:1\n"
      "43 clip 1\n"
      "44 unclip 1\n"
      "45 heart-rate 110\n"
      "50 battery 1100\n"
      "55 stall 1.5\n"
      "60 link-drop 5\n";
  std::vector<Event> events;
  std::string error;
  ASSERT_TRUE(vr03sim::ParseScenario(text, "run.txt", &events, &error)) << error;
  ASSERT_EQ(events.size(), 12u);
  using K = Event::Kind;
  EXPECT_EQ(events[0].kind, K::LeadOff);
  EXPECT_EQ(events[0].lead, 1);
  EXPECT_EQ(events[0].atS, 20);
  EXPECT_EQ(events[1].kind, K::LeadOn);
  EXPECT_EQ(events[2].kind, K::Mains);
  EXPECT_EQ(events[2].atS, 12.5);
  EXPECT_EQ(events[2].value, 50);
  EXPECT_EQ(events[2].mv, 0.2);
  EXPECT_EQ(events[3].position, vr03sim::Position::Left);
  EXPECT_EQ(events[4].lead, 2);
  EXPECT_EQ(events[4].value, 0.4);
  EXPECT_EQ(events[5].value, 0.3);
  EXPECT_EQ(events[6].kind, K::Clip);
  EXPECT_EQ(events[7].kind, K::Unclip);
  EXPECT_EQ(events[8].value, 110);
  EXPECT_EQ(events[9].value, 1100);
  EXPECT_TRUE(events[10].OfLink());
  EXPECT_EQ(events[11].kind, K::LinkDrop);
  EXPECT_EQ(events[11].value, 5);
  vr03sim::SortEvents(&events);
  EXPECT_EQ(events[0].kind, K::Mains) << "in time order once sorted";
}

TEST(Scenario, ABadLineIsNamedAndNothingIsTaken) {
  const struct {
    const char* line;
    const char* says;
  } cases[] = {
      {"20 lead-off 4", "lead 1-3"},      {"20 lead-off", "needs"},         {"x lead-off 2", "\"x\""},
      {"-1 lead-off 2", "\"-1\""},        {"20 fall-off 2", "\"fall-off\""}, {"20 mains 50", "HZ:MV"},
      {"20 mains 50:0.1 now", "\"now\""}, {"20 turn sideways", "position"},  {"20 heart-rate 300", "20-250"},
      {"20", "missing"},
  };
  for (const auto& c : cases) {
    std::vector<Event> events;
    std::string error;
    EXPECT_FALSE(vr03sim::ParseScenario(std::string("10 lead-off 1\n# fine so far\n") + c.line + "\n30 lead-on 1\n",
                                        "run.txt", &events, &error))
        << c.line;
    EXPECT_EQ(error.rfind("run.txt:3: ", 0), 0u) << error;
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_TRUE(events.empty()) << c.line;
  }
}

TEST(Scenario, ConditionOptionsRefuseBadValues) {
  for (std::vector<const char*> args : std::vector<std::vector<const char*>>{
           {"--lead-off", "0"}, {"--lead-off", "2@"}, {"--lead-off", "2@-3"}, {"--clip", "1@5"}, {"--mains", "50"},
           {"--mains", "5:0.1"}, {"--muscle", "4:1"}, {"--wander", "0.3:-1"}, {"--heart-rate", "60,"},
           {"--heart-rate", "60@5"}, {"--heart-rate", "60,90"}, {"--scenario", "/nonexistent/run.txt"}}) {
    vr03sim::Options o;
    std::string error;
    EXPECT_FALSE(vr03sim::ParseOptions(static_cast<int>(args.size()), args.data(), &o, &error))
        << args[0] << " " << args[1];
    EXPECT_FALSE(error.empty());
  }
  // Events of options and of a scenario come out in time order.
  const SignalSettings s = FromOptions({"--lead-off", "2@30", "--heart-rate", "70,80@10", "--lead-off", "1"});
  ASSERT_EQ(s.events.size(), 3u);
  EXPECT_EQ(s.events[0].atS, 0);
  EXPECT_EQ(s.events[1].atS, 10);
  EXPECT_EQ(s.events[2].atS, 30);
  EXPECT_EQ(s.heartRateBpm, 70);
}

}  // namespace
