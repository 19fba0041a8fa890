// Synthetic ECG (P, QRS and T waves as Gaussian bumps per beat, a slight baseline wander
// and noise) with the timed conditions of a poor preparation, accelerometer from gravity
// and breathing, and a draining battery.
#include "synth.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "stream_format.h"

namespace vr03sim {
namespace {

constexpr double kPi = 3.14159265358979323846;

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
// An electrode off: the lead runs to a rail within tens of milliseconds and stays there
// (top rail for leads 1 and 3, bottom for lead 2); put back, the amplifier recovers.
constexpr double kRailGap = 12, kRailNoise = 1.5;  // counts
constexpr double kOffFallS = 0.04, kOnRecoverS = 0.25;
// A clipped lead: its gain is so high that each R wave overshoots the top rail by half.
constexpr double kClipPeakCounts = 1.5 * ordiva::stream::kMidScale;
constexpr double kMuscleLowHz = 20, kMuscleHighHz = 150;

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

void SortEvents(std::vector<Event>* events) {
  std::stable_sort(events->begin(), events->end(), [](const Event& a, const Event& b) { return a.atS < b.atS; });
}

SignalSource::SignalSource(const SignalSettings& settings) : settings_(settings), random_(settings.seed) {
  if (settings_.positions.empty()) settings_.positions.push_back(Position::Back);
  if (settings_.heartRateBpm < 20) settings_.heartRateBpm = 20;
  SortEvents(&settings_.events);
  std::uniform_int_distribution<int> offset(-40, 40);
  for (int& z : zero_) z = ordiva::stream::kMidScale + offset(random_);
  beatInterval_ = 60.0 / settings_.heartRateBpm;
}

double SignalSource::HeartRateAt(double seconds) const {
  double bpm = settings_.heartRateBpm;
  for (const Event& e : settings_.events) {
    if (e.atS > seconds) break;
    if (e.kind == Event::Kind::HeartRate) bpm = std::max(20.0, e.value);
  }
  return bpm;
}

void SignalSource::AdvanceBeats(double seconds) {
  // The current beat is the one whose R peak is nearest; a new interval varies a little.
  while (seconds > beatPeak_ + beatInterval_ / 2) {
    beatPeak_ += beatInterval_;
    const double nominal = 60.0 / HeartRateAt(beatPeak_);
    beatInterval_ = std::clamp(nominal * (1 + 0.03 * noise_(random_)), nominal * 0.85, nominal * 1.15);
  }
}

void SignalSource::ApplyEvents(double seconds) {
  for (; applied_ < settings_.events.size() && settings_.events[applied_].atS <= seconds; ++applied_) {
    const Event& e = settings_.events[applied_];
    LeadState& lead = lead_[std::clamp(e.lead, 0, 2)];
    switch (e.kind) {
      case Event::Kind::LeadOff:
        if (!lead.off) lead.sinceS = e.atS;
        lead.off = true;
        break;
      case Event::Kind::LeadOn:
        if (lead.off) lead.sinceS = e.atS;
        lead.off = false;
        break;
      case Event::Kind::Clip: lead.clipped = true; break;
      case Event::Kind::Unclip: lead.clipped = false; break;
      case Event::Kind::Muscle: lead.muscleMv = e.value; break;
      case Event::Kind::Mains:
        mainsHz_ = e.value;
        mainsMv_ = e.mv;
        break;
      case Event::Kind::Wander:
        wanderHz_ = e.value;
        wanderMv_ = e.mv;
        break;
      default: break;  // heart rate, position and battery are read by time; the link's are the server's
    }
  }
}

double SignalSource::Biquad::Step(double x) {
  const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
  x2 = x1;
  x1 = x;
  y2 = y1;
  y1 = y;
  return y;
}

// A 20 Hz high-pass and a low-pass at 150 Hz (or below the rate's Nyquist frequency),
// both second-order Butterworth, and the scale that makes white noise 1 mV RMS after them.
void SignalSource::DesignMuscleFilter(int rateHz) {
  filterRateHz_ = rateHz;
  auto design = [rateHz](double hz, bool high) {
    const double w0 = 2 * kPi * hz / rateHz, c = std::cos(w0), alpha = std::sin(w0) / (2 * std::sqrt(0.5));
    const double a0 = 1 + alpha;
    Biquad q;
    q.b0 = (high ? (1 + c) / 2 : (1 - c) / 2) / a0;
    q.b1 = (high ? -(1 + c) : 1 - c) / a0;
    q.b2 = q.b0;
    q.a1 = -2 * c / a0;
    q.a2 = (1 - alpha) / a0;
    return q;
  };
  const Biquad high = design(kMuscleLowHz, true), low = design(std::min(kMuscleHighHz, 0.4 * rateHz), false);
  for (int ch = 0; ch < 3; ++ch) {
    highPass_[ch] = high;
    lowPass_[ch] = low;
  }
  // The power of the impulse response is the output variance for unit white noise.
  Biquad h = high, l = low;
  double power = 0;
  for (int i = 0; i < 4 * rateHz; ++i) {
    const double y = l.Step(h.Step(i == 0 ? 1.0 : 0.0));
    power += y * y;
  }
  muscleScale_ = power > 0 ? 1 / std::sqrt(power) : 0;
}

double SignalSource::MuscleMv(int channel) {
  const double mv = lead_[channel].muscleMv;
  if (mv <= 0) return 0;
  return mv * lowPass_[channel].Step(highPass_[channel].Step(muscleScale_ * noise_(random_)));
}

WORD SignalSource::LeadCounts(double seconds, int ch, const ordiva::RecorderConfig& config) {
  const LeadState& lead = lead_[ch];
  double mv = EcgMv(seconds, ch) + kNoiseMv * noise_(random_) + MuscleMv(ch);
  if (wanderMv_ > 0) mv += wanderMv_ * std::sin(2 * kPi * wanderHz_ * seconds + 1.3 * ch);
  if (mainsMv_ > 0) mv += mainsMv_ * std::sin(2 * kPi * mainsHz_ * seconds);
  const double perMv = lead.clipped ? kClipPeakCounts / kWaves[2].amplitude[ch] : ordiva::CountsPerMv(config, ch);
  double counts = ordiva::stream::kMidScale + mv * perMv;
  if (lead.sinceS >= 0) {
    const double rail = ch == 1 ? kRailGap : ordiva::stream::kMaxValue - kRailGap;
    const double railed = rail + kRailNoise * noise_(random_);
    const double since = seconds - lead.sinceS;
    // Off: the share of the signal left; on: the share of the rail left.
    const double left = std::exp(-since / (lead.off ? kOffFallS : kOnRecoverS));
    counts = lead.off ? counts * left + railed * (1 - left) : counts * (1 - left) + railed * left;
  }
  return Clamp12(counts);
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
  const Event* lastTurn = nullptr;
  for (const Event& e : settings_.events) {
    if (e.atS > seconds) break;
    if (e.kind == Event::Kind::Turn) lastTurn = &e;
  }
  if (lastTurn) return lastTurn->position;
  const auto count = settings_.positions.size();
  if (count == 1 || settings_.positionPeriodS <= 0) return settings_.positions.front();
  const auto turn = static_cast<size_t>(seconds / settings_.positionPeriodS);
  return settings_.positions[turn % count];
}

double SignalSource::SupplyMv(double seconds) const {
  double startMv = settings_.batteryMv, startS = 0;
  for (const Event& e : settings_.events) {
    if (e.atS > seconds) break;
    if (e.kind == Event::Kind::Battery) {
      startMv = e.value;
      startS = e.atS;
    }
  }
  // The drain stops at the floor; a battery set below it stays where it was set.
  return std::max(std::min(startMv, kBatteryFloorMv), startMv - settings_.drainMvPerMin * (seconds - startS) / 60.0);
}

Sample SignalSource::At(double seconds, const ordiva::RecorderConfig& config) {
  Sample s{};
  ApplyEvents(seconds);
  const int rateHz = config.RateHz() > 0 ? config.RateHz() : 500;
  if (rateHz != filterRateHz_) DesignMuscleFilter(rateHz);
  for (int ch = 0; ch < 3; ++ch) s.ecg[ch] = LeadCounts(seconds, ch, config);
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
