// Synthetic ECG (P, QRS and T waves as Gaussian bumps per beat, a slight baseline wander
// and noise), accelerometer from gravity and breathing, and a draining battery.
#include "synth.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "stream_format.h"

namespace vr03sim {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kDefaultGainStep = 182;

// One wave of a beat: centre relative to the R peak (s), width (s) and, per lead,
// amplitude (mV).
struct Wave {
  double centre, width;
  double amplitude[3];
};
constexpr Wave kWaves[] = {
    {-0.200, 0.025, {0.12, 0.18, 0.08}},  // P
    {-0.035, 0.010, {-0.08, -0.12, -0.06}},  // Q
    {0.000, 0.011, {1.00, 1.40, 0.60}},  // R
    {0.035, 0.012, {-0.25, -0.35, -0.15}},  // S
    {0.280, 0.055, {0.30, 0.40, 0.18}},  // T
};
constexpr double kWanderMv = 0.05, kWanderHz = 0.25, kNoiseMv = 0.008;
constexpr double kBreathG = 0.02, kAccelNoiseG = 0.004;

double Beat(double dt, int channel) {
  double mv = 0;
  for (const Wave& w : kWaves) {
    const double x = (dt - w.centre) / w.width;
    if (x > -6 && x < 6) mv += w.amplitude[channel] * std::exp(-0.5 * x * x);
  }
  return mv;
}

WORD Clamp12(double counts) {
  return static_cast<WORD>(std::clamp(std::lround(counts), 0L, static_cast<long>(ordiva::stream::kMaxValue)));
}

}  // namespace

bool ParsePosition(const char* text, Position* position) {
  static const struct {
    const char* name;
    Position position;
  } names[] = {{"back", Position::Back}, {"belly", Position::Belly}, {"right", Position::Right},
               {"left", Position::Left}, {"head", Position::Head},   {"upright", Position::Upright}};
  for (const auto& n : names) {
    if (std::strcmp(text, n.name) == 0) {
      *position = n.position;
      return true;
    }
  }
  return false;
}

int CountsPerG(BYTE rangeIndex) {
  switch (rangeIndex) {
    case ordiva::kRange2G: return 1024;
    case ordiva::kRange4G: return 512;
    case ordiva::kRange6G: return 341;
    default: return 1365;  // 1.5 g
  }
}

int CountsPerMv(const ordiva::RecorderConfig& config, int channel) {
  int step = config.gainStep[channel].Get();
  if (config.version < ordiva::kVersionTrustedStepsFrom || step == 0) step = kDefaultGainStep;
  return config.gainCode[channel] * step;
}

SignalSource::SignalSource(const SignalSettings& settings) : settings_(settings), random_(settings.seed) {
  if (settings_.positions.empty()) settings_.positions.push_back(Position::Back);
  if (settings_.heartRateBpm < 20) settings_.heartRateBpm = 20;
  std::uniform_int_distribution<int> offset(-40, 40);
  for (int& z : zero_) z = ordiva::stream::kMidScale + offset(random_);
  beatInterval_ = 60.0 / settings_.heartRateBpm;
}

void SignalSource::AdvanceBeats(double seconds) {
  // The current beat is the one whose R peak is nearest; a new interval varies a little.
  while (seconds > beatPeak_ + beatInterval_ / 2) {
    beatPeak_ += beatInterval_;
    const double nominal = 60.0 / settings_.heartRateBpm;
    beatInterval_ = std::clamp(nominal * (1 + 0.03 * noise_(random_)), nominal * 0.85, nominal * 1.15);
  }
}

double SignalSource::EcgMv(double seconds, int channel) {
  AdvanceBeats(seconds);
  // The waves of the neighbouring beats reach into this one (T before, P after).
  const double dt = seconds - beatPeak_;
  double mv = Beat(dt, channel) + Beat(dt + beatInterval_, channel) + Beat(dt - beatInterval_, channel);
  mv += kWanderMv * std::sin(2 * kPi * kWanderHz * seconds + channel);
  return mv;
}

Position SignalSource::PositionAt(double seconds) const {
  const auto count = settings_.positions.size();
  if (count == 1 || settings_.positionPeriodS <= 0) return settings_.positions.front();
  const auto turn = static_cast<size_t>(seconds / settings_.positionPeriodS);
  return settings_.positions[turn % count];
}

double SignalSource::SupplyMv(double seconds) const {
  return std::max(kBatteryFloorMv, settings_.batteryMv - settings_.drainMvPerMin * seconds / 60.0);
}

Sample SignalSource::At(double seconds, const ordiva::RecorderConfig& config) {
  Sample s{};
  for (int ch = 0; ch < 3; ++ch) {
    const double mv = EcgMv(seconds, ch) + kNoiseMv * noise_(random_);
    s.ecg[ch] = Clamp12(ordiva::stream::kMidScale + mv * CountsPerMv(config, ch));
  }
  // Gravity along one axis for the position: X head to feet, Y across, Z chest to back.
  double g[3] = {0, 0, 0};
  switch (PositionAt(seconds)) {
    case Position::Back: g[2] = -1; break;
    case Position::Belly: g[2] = 1; break;
    case Position::Right: g[1] = -1; break;
    case Position::Left: g[1] = 1; break;
    case Position::Head: g[0] = -1; break;
    case Position::Upright: g[0] = 1; break;
  }
  const double breath = kBreathG * std::sin(2 * kPi * kWanderHz * seconds);
  const int perG = CountsPerG(config.accelRange);
  WORD* axes[3] = {&s.accelX, &s.accelY, &s.accelZ};
  for (int a = 0; a < 3; ++a) {
    const double total = g[a] * (1 + breath) + kAccelNoiseG * noise_(random_);
    *axes[a] = Clamp12(zero_[a] + total * perG);
  }
  s.voltage = Clamp12(SupplyMv(seconds) * ordiva::stream::kVoltageCountsPerMv);
  return s;
}

}  // namespace vr03sim
