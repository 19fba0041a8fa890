// The virtual recorder's measured values: a synthetic ECG per lead, the accelerometer
// for the patient's body position, and a supply voltage that drains over time, all as
// 12-bit counts.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "recorder_config.h"

namespace vr03sim {

enum class Position { Back, Belly, Right, Left, Head, Upright };

// "back", "belly", "right", "left", "head", "upright"; false for any other text.
bool ParsePosition(const char* text, Position* position);

struct SignalSettings {
  double heartRateBpm = 72;
  std::vector<Position> positions{Position::Back};  // taken in turn
  double positionPeriodS = 30;  // time per position when there are several
  double batteryMv = 1400;  // supply voltage at start
  double drainMvPerMin = 2;  // loss per minute, down to kBatteryFloorMv
  uint64_t seed = 1;
};

inline constexpr double kBatteryFloorMv = 1000;

// One sampling period's values.
struct Sample {
  WORD ecg[3];  // channels 1-3
  WORD accelX, accelY, accelZ;
  WORD voltage;
};

// Counts per g of the accelerometer for a range index (1.5, 2, 4, 6 g full scale).
int CountsPerG(BYTE rangeIndex);
// Counts per millivolt of ECG channel 0-2: gain code x gain step, with the recorder's
// default step 182 where the block's step is not trusted (version below 10) or 0.
int CountsPerMv(const ordiva::RecorderConfig& config, int channel);

class SignalSource {
 public:
  explicit SignalSource(const SignalSettings& settings);

  // The values at a time since the recorder was switched on; samples are taken in
  // increasing time order. The configuration gives gains and accelerometer range.
  Sample At(double seconds, const ordiva::RecorderConfig& config);
  // The body position at a time.
  Position PositionAt(double seconds) const;
  // ECG of channel 0-2 in millivolts (without noise).
  double EcgMv(double seconds, int channel);
  double SupplyMv(double seconds) const;
  // The accelerometer's own zero points (X, Y, Z), near mid-scale.
  const int* Zeros() const { return zero_; }

 private:
  void AdvanceBeats(double seconds);

  SignalSettings settings_;
  std::mt19937_64 random_;
  std::normal_distribution<double> noise_{0.0, 1.0};
  int zero_[3];  // X, Y, Z
  // The beat around the current time: R peak time and the interval to the next peak.
  double beatPeak_ = 0.3;
  double beatInterval_ = 60.0 / 72;
};

}  // namespace vr03sim
