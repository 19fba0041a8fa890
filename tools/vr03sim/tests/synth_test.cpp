// The virtual recorder's values and stream: ECG amplitude from gain codes and steps,
// heart rate, accelerometer per body position and range, battery drain, record
// encoding in the cycle, and the link faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "firmware.h"
#include "synth.h"
#include "stream.h"

namespace {

using ordiva::RecorderConfig;
using ordiva::stream::RecordKind;
using vr03sim::Position;
using vr03sim::SignalSettings;
using vr03sim::SignalSource;

RecorderConfig Config(BYTE code, WORD step = 182, BYTE version = 10) {
  RecorderConfig c = vr03sim::FactoryConfig(1);
  for (int i = 0; i < 3; ++i) {
    c.gainCode[i] = code;
    c.gainStep[i].Set(step);
  }
  c.version = version;
  return c;
}

// Peak-to-peak of channel 1-3 (index) over seconds at 250 Hz.
int Swing(const RecorderConfig& config, int channel, double seconds = 5) {
  SignalSource source(SignalSettings{});
  int lo = 4095, hi = 0;
  for (int i = 0; i < seconds * 250; ++i) {
    int v = source.At(i / 250.0, config).ecg[channel];
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  return hi - lo;
}

TEST(Signal, EcgAmplitudeFollowsGainCodeTimesStep) {
  const int four = Swing(Config(4), 0), two = Swing(Config(2), 0);
  EXPECT_GT(four, 800) << "about 1.5 mV at 728 counts per mV";
  EXPECT_LT(four, 1600);
  EXPECT_NEAR(static_cast<double>(four) / two, 2.0, 0.05);
  EXPECT_LE(Swing(Config(0), 0), 1) << "gain code 0: a flat line";
  // Versions below 10 use the default step whatever the block says.
  EXPECT_NEAR(Swing(Config(2, 364, 9), 0), two, 2);
  EXPECT_NEAR(static_cast<double>(Swing(Config(2, 364, 10), 0)) / two, 2.0, 0.05);
  // Leads differ in amplitude; a high gain stays within 12 bits.
  EXPECT_NE(Swing(Config(4), 0), Swing(Config(4), 2));
  EXPECT_LE(Swing(Config(40), 1), 4095);
}

TEST(Signal, BeatsComeAtTheHeartRate) {
  for (double bpm : {60.0, 120.0}) {
    SignalSettings settings;
    settings.heartRateBpm = bpm;
    SignalSource source(settings);
    const RecorderConfig c = Config(4);
    // R peaks: channel 2 rises above mid-scale + 0.7 mV.
    int peaks = 0;
    bool above = false;
    for (int i = 0; i < 30 * 500; ++i) {
      bool now = source.At(i / 500.0, c).ecg[1] > 2048 + 0.7 * 728;
      if (now && !above) ++peaks;
      above = now;
    }
    EXPECT_NEAR(peaks, bpm / 2, bpm / 20) << bpm;
  }
}

TEST(Signal, GravityPointsAlongTheAxisOfTheBodyPosition) {
  struct Case {
    Position position;
    int axis;  // 0 X, 1 Y, 2 Z
    int sign;
  } cases[] = {{Position::Back, 2, -1}, {Position::Belly, 2, 1}, {Position::Right, 1, -1},
               {Position::Left, 1, 1},  {Position::Head, 0, -1}, {Position::Upright, 0, 1}};
  for (BYTE range : {BYTE{0}, BYTE{3}}) {
    for (const Case& c : cases) {
      SignalSettings settings;
      settings.positions = {c.position};
      SignalSource source(settings);
      RecorderConfig config = Config(4);
      config.accelRange = range;
      const vr03sim::Sample s = source.At(1.0, config);
      const int values[3] = {s.accelX, s.accelY, s.accelZ};
      const int perG = vr03sim::CountsPerG(range);
      for (int axis = 0; axis < 3; ++axis) {
        const int deviation = values[axis] - source.Zeros()[axis];
        if (axis == c.axis) {
          EXPECT_NEAR(deviation, c.sign * perG, perG * 0.05) << static_cast<int>(c.position);
        } else {
          EXPECT_LT(std::abs(deviation), perG * 0.05) << static_cast<int>(c.position) << " axis " << axis;
        }
      }
      for (int axis = 0; axis < 3; ++axis) EXPECT_NEAR(source.Zeros()[axis], 2048, 40);
    }
  }
  // A list of positions is taken in turn.
  SignalSettings settings;
  settings.positions = {Position::Left, Position::Head};
  settings.positionPeriodS = 10;
  SignalSource source(settings);
  EXPECT_EQ(source.PositionAt(9.9), Position::Left);
  EXPECT_EQ(source.PositionAt(10.1), Position::Head);
  EXPECT_EQ(source.PositionAt(20.1), Position::Left);
}

TEST(Signal, TheBatteryDrainsToItsFloor) {
  SignalSettings settings;
  settings.batteryMv = 1330;
  settings.drainMvPerMin = 10;
  SignalSource source(settings);
  const RecorderConfig c = Config(4);
  EXPECT_EQ(source.At(0, c).voltage, std::lround(1330 * 1.365));
  EXPECT_EQ(source.At(60, c).voltage, std::lround(1320 * 1.365));
  EXPECT_EQ(source.At(36000, c).voltage, std::lround(1000 * 1.365));
}

TEST(Stream, RecordsCarryTheirTagsInCycleOrder) {
  vr03sim::Sample s{};
  s.ecg[0] = 0x123;
  s.ecg[1] = 0x456;
  s.ecg[2] = 0x789;
  s.accelX = 0xABC;
  s.accelY = 0xDEF;
  s.accelZ = 0x012;
  s.voltage = 0x777;
  for (int leads = 1; leads <= 3; ++leads) {
    vr03sim::StreamWriter writer({}, 1);
    for (int record = 0; record < 88; ++record) {
      vr03sim::Bytes out;
      writer.Append(s, leads, out);
      const RecordKind kind = record % 44 == 0                  ? RecordKind::Full
                              : (record % 44 - 1) % 11 == 10 ? RecordKind::Motion
                                                              : RecordKind::Sample;
      std::vector<int> tags;
      if (kind == RecordKind::Full) tags.push_back(6);
      if (kind != RecordKind::Sample) tags.insert(tags.end(), {5, 4, 3});
      for (int t = leads - 1; t >= 0; --t) tags.push_back(t);
      ASSERT_EQ(out.size(), 2 * tags.size()) << "record " << record << " leads " << leads;
      for (size_t p = 0; p < tags.size(); ++p) {
        EXPECT_EQ(out[2 * p] >> 4, tags[p]);
        const int value = (out[2 * p] & 0x0F) * 256 + out[2 * p + 1];
        const int expected = tags[p] == 6 ? 0x777 : tags[p] == 5 ? 0x012 : tags[p] == 4 ? 0xDEF
                             : tags[p] == 3 ? 0xABC : s.ecg[tags[p]];
        EXPECT_EQ(value, expected);
      }
    }
  }
}

TEST(Stream, FaultsChangeTheBytesAtTheirRates) {
  vr03sim::Sample s{};
  auto run = [&](vr03sim::FaultSettings faults, vr03sim::Bytes* clean) {
    vr03sim::StreamWriter writer(faults, 7), plain({}, 7);
    vr03sim::Bytes out;
    for (int i = 0; i < 20000; ++i) {
      writer.Append(s, 3, out);
      plain.Append(s, 3, *clean);
    }
    return out;
  };
  vr03sim::Bytes clean;
  vr03sim::FaultSettings drop;
  drop.drop = 0.1;
  const double dropped = static_cast<double>(run(drop, &clean).size()) / clean.size();
  EXPECT_NEAR(dropped, 0.9, 0.01);
  clean.clear();
  vr03sim::FaultSettings extra;
  extra.extra = 0.1;
  EXPECT_NEAR(static_cast<double>(run(extra, &clean).size()) / clean.size(), 1.1, 0.01);
  clean.clear();
  vr03sim::FaultSettings garble;
  garble.garble = 0.1;
  vr03sim::Bytes garbled = run(garble, &clean);
  ASSERT_EQ(garbled.size(), clean.size());
  size_t changed = 0;
  for (size_t i = 0; i < clean.size(); ++i) changed += garbled[i] != clean[i];
  EXPECT_NEAR(static_cast<double>(changed) / clean.size(), 0.1, 0.01);

  vr03sim::FaultSettings stall;
  stall.stallMs = 300;
  stall.stallEveryS = 2;
  EXPECT_FALSE(vr03sim::InStall(stall, 0.1)) << "not at the start";
  EXPECT_TRUE(vr03sim::InStall(stall, 2.1));
  EXPECT_FALSE(vr03sim::InStall(stall, 2.4));
  EXPECT_TRUE(vr03sim::InStall(stall, 4.2));
}

}  // namespace
