// The virtual recorder's measured values: a synthetic ECG per lead with the conditions
// of a poor preparation (an electrode off, clipping, mains, muscle noise, base line
// wander) changing over time, the accelerometer for the patient's body position, and a
// supply voltage that drains over time, all as 12-bit counts.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "recorder_config.h"

namespace vr03sim {

enum class Position { Back, Belly, Right, Left, Head, Upright };

// "back", "belly", "right", "left", "head", "upright"; false for any other text.
bool ParsePosition(const char* text, Position* position);

// A change at a time since the recorder was switched on: a condition of the signal
// (lead-off ... battery), or of the link (stall, link-drop), which the server carries out.
struct Event {
  enum class Kind { LeadOff, LeadOn, Clip, Unclip, Mains, Muscle, Wander, HeartRate, Turn, Battery, Stall, LinkDrop };
  double atS = 0;
  Kind kind = Kind::LeadOff;
  int lead = 0;  // 0-2: LeadOff, LeadOn, Clip, Unclip, Muscle
  double value = 0;  // Mains, Wander: Hz; HeartRate: bpm; Battery, Muscle: mV; Stall, LinkDrop: s
  double mv = 0;  // Mains, Wander: amplitude in mV (0 ends them)
  Position position = Position::Back;  // Turn
  bool OfLink() const { return kind == Kind::Stall || kind == Kind::LinkDrop; }
};

struct SignalSettings {
  double heartRateBpm = 72;
  std::vector<Position> positions{Position::Back};  // taken in turn
  double positionPeriodS = 30;  // time per position when there are several
  double batteryMv = 1400;  // supply voltage at start
  double drainMvPerMin = 2;  // loss per minute, down to kBatteryFloorMv
  uint64_t seed = 1;
  std::vector<Event> events;  // in time order (SortEvents)
};

// Orders events by time, keeping the order of events at the same time.
void SortEvents(std::vector<Event>* events);

inline constexpr double kBatteryFloorMv = 1000;

// One sampling period's values.
struct Sample {
  WORD ecg[3];  // channels 1-3
  WORD accelX, accelY, accelZ;
  WORD voltage;
};

// Counts per g of the accelerometer for a range index (1.5, 2, 4, 6 g full scale).
int CountsPerG(BYTE rangeIndex);

class SignalSource {
 public:
  explicit SignalSource(const SignalSettings& settings);

  // The values at a time since the recorder was switched on; samples are taken in
  // increasing time order, one sampling period apart. The configuration gives gains,
  // rate and accelerometer range.
  Sample At(double seconds, const ordiva::RecorderConfig& config);
  // The body position at a time (the list taken in turn, or the last turn).
  Position PositionAt(double seconds) const;
  // ECG of channel 0-2 in millivolts (without noise and conditions).
  double EcgMv(double seconds, int channel);
  double SupplyMv(double seconds) const;
  double HeartRateAt(double seconds) const;
  // The accelerometer's own zero points (X, Y, Z), near mid-scale.
  const int* Zeros() const { return zero_; }

 private:
  // What the signal's events have made of each lead and of all leads by now.
  struct LeadState {
    bool off = false;  // the electrode is off
    double sinceS = -1;  // when it came off or was put back last; -1: never
    bool clipped = false;
    double muscleMv = 0;  // RMS of the 20-150 Hz noise
  };
  // A second-order section (direct form I) of the muscle noise's band-pass filter.
  struct Biquad {
    double b0 = 0, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    double Step(double x);
  };

  void AdvanceBeats(double seconds);
  void ApplyEvents(double seconds);
  void DesignMuscleFilter(int rateHz);
  double MuscleMv(int channel);
  WORD LeadCounts(double seconds, int channel, const ordiva::RecorderConfig& config);

  SignalSettings settings_;
  size_t applied_ = 0;  // events of settings_.events already taken into account
  LeadState lead_[3];
  double mainsHz_ = 50, mainsMv_ = 0;
  double wanderHz_ = 0.2, wanderMv_ = 0;
  int filterRateHz_ = 0;
  Biquad highPass_[3], lowPass_[3];
  double muscleScale_ = 1;  // white noise per mV of band noise RMS
  std::mt19937_64 random_;
  std::normal_distribution<double> noise_{0.0, 1.0};
  int zero_[3];  // X, Y, Z
  // The beat around the current time: R peak time and the interval to the next peak.
  double beatPeak_ = 0.3;
  double beatInterval_ = 60.0 / 72;
};

}  // namespace vr03sim
