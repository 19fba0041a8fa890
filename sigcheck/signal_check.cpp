// The signal check's method: per sample a few small filters per lead (converter statistics,
// Goertzel tones at the mains frequencies, a high-pass noise band, a QRS feature at 250 Hz);
// once a second a judgement over the last seconds of those, and the hold against flicker.
#include "signal_check.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <vector>

namespace sigcheck {

const char* VerdictWord(Verdict verdict) {
  switch (verdict) {
    case Verdict::Good: return "good";
    case Verdict::NoContact: return "no-contact";
    case Verdict::Clipped: return "clipped";
    case Verdict::Mains: return "mains";
    case Verdict::Muscle: return "muscle";
    case Verdict::Wander: return "wander";
  }
  return "good";
}

namespace {

// Windows and rates of the judgement.
constexpr int kQrsRate = 250;           // the QRS and base-line stream, decimated by block means
constexpr int kBeatSeconds = 8;         // beats for the heart rate and the QRS size
constexpr int kJudgeSeconds = 4;        // clipping, mains, muscle noise
constexpr int kFlatSeconds = 2;         // a flat line: one beat even at 40 bpm falls inside
constexpr int kWanderSeconds = 6;       // the base line's excursion
constexpr int kToneBlocksPerSecond = 5;    // 200 ms Goertzel blocks (5 Hz bins)
constexpr int kNoiseBlocksPerSecond = 20;  // 50 ms noise blocks
constexpr int kHoldReports = 3;            // the same new verdict at t, t+1, t+2: held 2 s

// Thresholds (tuned on bench/sigcheck_bench.cpp's labelled set).
constexpr int kRailLow = 2, kRailHigh = 4093;       // counts at a rail of the 12-bit converter
constexpr int kNearRailLow = 80, kNearRailHigh = 4015;  // within 2% of a rail
constexpr double kFlatMv = 0.05;                   // peak-to-peak of a flat line
constexpr double kFlatCounts = 4;                  // ... at least this many counts (quantisation)
constexpr double kMainsMv = 0.06;                  // mains amplitude (peak) that counts
constexpr double kMainsOverBroadband = 9;          // power at the mains lines over neighbouring bins
constexpr double kMuscleSnrDb = 9;                 // QRS power (pp^2/8) over noise power
constexpr double kMuscleNoQrsMv = 0.05;            // noise RMS that counts when no QRS is found
constexpr double kNoisePercentile = 0.3;           // of the 50 ms block powers: between the QRS
constexpr double kNoiseScale = 1.6;                // that percentile to the mean noise power
constexpr double kWanderMv = 0.6;                  // base-line excursion, peak to peak

constexpr double kPi = std::numbers::pi;

// A second-order section (direct form II transposed).
struct Biquad {
  double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
  double z1 = 0, z2 = 0;
  double Step(double x) {
    const double y = b0 * x + z1;
    z1 = b1 * x - a1 * y + z2;
    z2 = b2 * x - a2 * y;
    return y;
  }
  void Clear() { z1 = z2 = 0; }
};

// Butterworth low- and high-pass sections (bilinear transform, Q = 1/sqrt 2).
Biquad Section(double cutoffHz, double rateHz, bool highPass) {
  const double w = 2 * kPi * cutoffHz / rateHz;
  const double alpha = std::sin(w) / std::numbers::sqrt2;
  const double c = std::cos(w);
  const double a0 = 1 + alpha;
  Biquad q;
  if (highPass) {
    q.b0 = (1 + c) / 2 / a0;
    q.b1 = -(1 + c) / a0;
  } else {
    q.b0 = (1 - c) / 2 / a0;
    q.b1 = (1 - c) / a0;
  }
  q.b2 = q.b0;
  q.a1 = -2 * c / a0;
  q.a2 = (1 - alpha) / a0;
  return q;
}

// Goertzel tones: the mains lines of 50 and 60 Hz with their harmonics below 0.4 of the
// rate, and two broadband reference bins away from every mains line.
enum ToneKind { kTone50, kTone60, kToneRef };
struct Tone {
  double hz;
  ToneKind kind;
};
constexpr Tone kTones[] = {{50, kTone50}, {100, kTone50}, {150, kTone50}, {60, kTone60},
                           {120, kTone60}, {180, kTone60}, {35, kToneRef},  {80, kToneRef}};
constexpr int kMaxTones = 8;

// Statistics of the raw counts over one second.
struct SecondStats {
  int low = 4095, high = 0;
  int atRail = 0, nearRail = 0, railRuns = 0, samples = 0;
};

template <typename T>
class Ring {
 public:
  void Resize(size_t n) { data_.assign(n, T{}); }
  void Put(uint64_t index, T value) { data_[index % data_.size()] = value; }
  T Get(uint64_t index) const { return data_[index % data_.size()]; }
  T& At(uint64_t index) { return data_[index % data_.size()]; }
  size_t Size() const { return data_.size(); }
  void Clear() { std::fill(data_.begin(), data_.end(), T{}); }

 private:
  std::vector<T> data_;
};

double Median(std::vector<double>& v) {
  if (v.empty()) return 0;
  const size_t mid = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + mid, v.end());
  double m = v[mid];
  if (v.size() % 2 == 0) m = (m + *std::max_element(v.begin(), v.begin() + mid)) / 2;
  return m;
}

double Percentile(std::vector<double>& v, double share) {
  if (v.empty()) return 0;
  const size_t k = std::min(v.size() - 1, static_cast<size_t>(share * static_cast<double>(v.size())));
  std::nth_element(v.begin(), v.begin() + k, v.end());
  return v[k];
}

// Running median of odd width over a short series (edges take the window that fits).
void MedianFilter(const std::vector<double>& in, int width, std::vector<double>* out, std::vector<double>* scratch) {
  const int n = static_cast<int>(in.size()), half = width / 2;
  out->resize(in.size());
  for (int i = 0; i < n; ++i) {
    const int a = std::max(0, i - half), b = std::min(n, i + half + 1);
    scratch->assign(in.begin() + a, in.begin() + b);
    (*out)[i] = Median(*scratch);
  }
}

struct Beat {
  int at;            // index in the 250 Hz window
  double feature;    // height of the QRS feature
  double size = 0;   // peak-to-peak of the QRS in mV
};

struct LeadState {
  double mvPerCount = 0.01;

  // Raw counts.
  SecondStats now;
  bool inRail = false;
  Ring<SecondStats> seconds;  // the last kBeatSeconds seconds

  // Noise band: high-pass at 25 Hz, mean power per 50 ms block.
  Biquad noiseFilter;
  double noiseSum = 0;
  Ring<float> noiseBlocks;

  // Mains: Goertzel states per tone over a Hann-windowed 200 ms block; amplitude^2 per block.
  std::array<double, kMaxTones> s1{}, s2{};
  Ring<std::array<float, kMaxTones>> toneBlocks;

  // 250 Hz stream: block mean, then the QRS feature (band 5-12 Hz, fourth-order low side; slope, moving
  // integration of its magnitude over 120 ms) and a 25 Hz low-pass copy for sizes and base line.
  double decimateSum = 0;
  Biquad bandHigh, bandLow, bandLow2, smooth;
  double band1 = 0, band2 = 0;  // the band signal's last two values
  Ring<float> slopes;            // the integration window
  double slopeSum = 0;
  Ring<float> feature, level;    // kBeatSeconds at 250 Hz

  // Judgement.
  Verdict shown = Verdict::Good, candidate = Verdict::Good;
  int candidateReports = 0;
  int rateBpm = -1;       // this lead's heart rate in the last judgement, -1 when none
  double regularity = 0;  // share of its intervals accepted
  double reference = 0;   // its QRS feature's reference height in the last judgement
};

constexpr int kSlopeWindow = kQrsRate * 120 / 1000;

}  // namespace

struct SignalCheck::State {
  int rate = 0, leads = 0;
  int perQrsSample = 0, perToneBlock = 0, perNoiseBlock = 0;
  std::vector<double> hann, toneCoeff;
  std::vector<int> toneIndex;  // kTones used at this rate
  std::array<LeadState, kMaxLeads> lead;
  std::array<double, kMaxLeads> gain{};

  // Counters shared by the leads (one sample of each per Push).
  uint64_t samples = 0;    // since the start
  int inSecond = 0, inQrs = 0, inTone = 0, inNoise = 0;
  uint64_t qrsSamples = 0, toneBlocks = 0, noiseBlocks = 0;
  int second = 0;

  // Scratch of the once-a-second judgement (kept to avoid allocations).
  std::vector<double> a, b, c, d;
  std::vector<Beat> beats;
  double lastReference = 0;

  void Setup();
  void Sample(LeadState& l, uint16_t count);
  void Judge(LeadState& l, Verdict* instant);
  void FindBeats(LeadState& l, int n);
  double DetectBeats(int n);  // on a[0..n), returns the reference height
  void RateOf(int* bpm, double* regularity);
  double BaseLineExcursion(LeadState& l, int n);
};

void SignalCheck::State::Setup() {
  perQrsSample = rate / kQrsRate;
  perToneBlock = rate / kToneBlocksPerSecond;
  perNoiseBlock = rate / kNoiseBlocksPerSecond;
  hann.resize(perToneBlock);
  for (int i = 0; i < perToneBlock; ++i) hann[i] = 0.5 - 0.5 * std::cos(2 * kPi * i / perToneBlock);
  toneIndex.clear();
  toneCoeff.clear();
  for (int t = 0; t < kMaxTones; ++t) {
    if (kTones[t].hz < 0.4 * rate) {
      toneIndex.push_back(t);
      toneCoeff.push_back(2 * std::cos(2 * kPi * kTones[t].hz / rate));
    }
  }
  samples = qrsSamples = toneBlocks = noiseBlocks = 0;
  inSecond = inQrs = inTone = inNoise = second = 0;
  for (int i = 0; i < kMaxLeads; ++i) {
    LeadState& l = lead[i];
    l = LeadState{};
    l.mvPerCount = 1.0 / gain[i];
    l.seconds.Resize(kBeatSeconds);
    l.noiseFilter = Section(25, rate, true);
    l.noiseBlocks.Resize(kJudgeSeconds * kNoiseBlocksPerSecond);
    l.toneBlocks.Resize(kJudgeSeconds * kToneBlocksPerSecond);
    l.bandHigh = Section(5, kQrsRate, true);
    l.bandLow = Section(12, kQrsRate, false);
    l.bandLow2 = Section(12, kQrsRate, false);
    l.smooth = Section(25, kQrsRate, false);
    l.slopes.Resize(kSlopeWindow);
    l.feature.Resize(kBeatSeconds * kQrsRate);
    l.level.Resize(kBeatSeconds * kQrsRate);
  }
}

void SignalCheck::State::Sample(LeadState& l, uint16_t count) {
  // Converter statistics.
  SecondStats& s = l.now;
  const int c = count;
  s.low = std::min(s.low, c);
  s.high = std::max(s.high, c);
  const bool rail = c <= kRailLow || c >= kRailHigh;
  if (rail) {
    ++s.atRail;
    if (!l.inRail) ++s.railRuns;
  }
  l.inRail = rail;
  if (c <= kNearRailLow || c >= kNearRailHigh) ++s.nearRail;
  ++s.samples;

  const double mv = (c - 2048) * l.mvPerCount;

  // Noise band.
  const double h = l.noiseFilter.Step(mv);
  l.noiseSum += h * h;

  // Mains tones.
  const double w = mv * hann[inTone];
  for (size_t k = 0; k < toneCoeff.size(); ++k) {
    const double v = w + toneCoeff[k] * l.s1[k] - l.s2[k];
    l.s2[k] = l.s1[k];
    l.s1[k] = v;
  }

  l.decimateSum += mv;
}

void SignalCheck::State::FindBeats(LeadState& l, int n) {
  // The window's feature, oldest first.
  const uint64_t first = qrsSamples - static_cast<uint64_t>(n);
  a.resize(n);
  for (int i = 0; i < n; ++i) a[i] = l.feature.Get(first + i);
  if (DetectBeats(n) <= 0) return;

  // Each QRS's size on the smoothed signal around it (the feature peaks after the complex).
  const int before = kQrsRate * 160 / 1000, after = kQrsRate * 20 / 1000;
  for (Beat& beat : beats) {
    const int from = std::max(0, beat.at - before), to = std::min(n - 1, beat.at + after);
    double lo = 1e9, hi = -1e9;
    for (int k = from; k <= to; ++k) {
      const double v = l.level.Get(first + k);
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
    beat.size = hi - lo;
  }
  l.reference = lastReference;
}

double SignalCheck::State::DetectBeats(int n) {
  beats.clear();
  lastReference = 0;
  if (n < kQrsRate) return 0;

  // The reference height: the median of the 2 s segments' maxima (each holds a beat at
  // 40 bpm or more), so that one ectopic beat or one spike does not set it.
  b.clear();
  for (int start = n; start > 0; start -= 2 * kQrsRate) {
    const int from = std::max(0, start - 2 * kQrsRate);
    b.push_back(*std::max_element(a.begin() + from, a.begin() + start));
  }
  const double reference = Median(b);
  lastReference = reference;
  if (reference <= 0) return 0;
  const double threshold = 0.3 * reference;
  const int refractory = kQrsRate * 240 / 1000, tWave = kQrsRate * 360 / 1000;

  auto addPeak = [&](int at, double height) {
    if (!beats.empty()) {
      Beat& last = beats.back();
      const int gap = at - last.at;
      if (gap < refractory || (gap < tWave && height < 0.5 * last.feature)) {
        if (height > last.feature && gap < refractory) last = {at, height};
        return;
      }
    }
    beats.push_back({at, height});
  };
  // Regions above the threshold; a region still open at the window's end waits for the next second.
  int i = 0;
  while (i < n) {
    if (a[i] <= threshold) {
      ++i;
      continue;
    }
    int top = i;
    while (i < n && a[i] > threshold) {
      if (a[i] > a[top]) top = i;
      ++i;
    }
    if (i >= n) break;
    addPeak(top, a[top]);
  }

  // Search back in long gaps with half the threshold (a small beat among tall ones).
  if (beats.size() >= 3) {
    b.clear();
    for (size_t k = 1; k < beats.size(); ++k) b.push_back(beats[k].at - beats[k - 1].at);
    const double usual = Median(b);
    for (size_t k = 1; k < beats.size(); ++k) {
      const int gap = beats[k].at - beats[k - 1].at;
      if (gap < 1.6 * usual) continue;
      const int from = beats[k - 1].at + refractory, to = beats[k].at - refractory;
      if (to <= from) continue;
      const int top = static_cast<int>(std::max_element(a.begin() + from, a.begin() + to) - a.begin());
      if (a[top] > 0.5 * threshold && a[top] >= a[std::max(from, top - 1)] && a[top] >= a[std::min(to - 1, top + 1)]) {
        beats.insert(beats.begin() + static_cast<long>(k), Beat{top, a[top]});
      }
    }
  }
  return reference;
}

// The heart rate of the beats found: the mean of the intervals near their median (an ectopic
// beat's short interval and its pause are left out).
void SignalCheck::State::RateOf(int* bpm, double* regularity) {
  *bpm = -1;
  *regularity = 0;
  if (beats.size() < 3) return;
  c.clear();
  for (size_t k = 1; k < beats.size(); ++k) c.push_back(beats[k].at - beats[k - 1].at);
  d = c;
  const double usual = Median(d);
  double sum = 0;
  int accepted = 0;
  for (double interval : c) {
    if (interval >= 0.82 * usual && interval <= 1.18 * usual) {
      sum += interval;
      ++accepted;
    }
  }
  if (accepted >= 2) {
    *bpm = static_cast<int>(std::lround(60.0 * kQrsRate * accepted / sum));
    *regularity = static_cast<double>(accepted) / static_cast<double>(c.size());
  }
}

double SignalCheck::State::BaseLineExcursion(LeadState& l, int n) {
  // 40 ms means of the smoothed signal, medians over 200 ms then 600 ms (which remove the QRS
  // and the T wave), a 360 ms mean; then the excursion over the last kWanderSeconds.
  constexpr int per = kQrsRate / 25;
  const int points = n / per;
  if (points < 25) return 0;
  const uint64_t first = qrsSamples - static_cast<uint64_t>(points * per);
  a.resize(points);
  for (int i = 0; i < points; ++i) {
    double sum = 0;
    for (int k = 0; k < per; ++k) sum += l.level.Get(first + static_cast<uint64_t>(i * per + k));
    a[i] = sum / per;
  }
  MedianFilter(a, 5, &b, &d);
  MedianFilter(b, 15, &c, &d);
  const int half = 4;
  const int from = std::max(0, points - kWanderSeconds * 25);
  double lo = 1e9, hi = -1e9;
  for (int i = from; i < points; ++i) {
    double sum = 0;
    int count = 0;
    for (int k = std::max(0, i - half); k <= std::min(points - 1, i + half); ++k, ++count) sum += c[k];
    const double v = sum / count;
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  return hi - lo;
}

void SignalCheck::State::Judge(LeadState& l, Verdict* instant) {
  const int have = std::min(second, kBeatSeconds);
  auto over = [&](int secondsBack) {
    SecondStats sum;
    for (int k = 0; k < std::min(secondsBack, have); ++k) {
      const SecondStats& s = l.seconds.Get(static_cast<uint64_t>(second - 1 - k));
      sum.low = std::min(sum.low, s.low);
      sum.high = std::max(sum.high, s.high);
      sum.atRail += s.atRail;
      sum.nearRail += s.nearRail;
      sum.railRuns += s.railRuns;
      sum.samples += s.samples;
    }
    return sum;
  };

  // Heart rate of this lead first: the QRS sizes serve the noise judgement.
  const int n = static_cast<int>(std::min<uint64_t>(qrsSamples, static_cast<uint64_t>(kBeatSeconds * kQrsRate)));
  l.reference = 0;
  FindBeats(l, n);
  RateOf(&l.rateBpm, &l.regularity);

  const SecondStats flat = over(kFlatSeconds);
  const double flatCounts = std::max(kFlatCounts, kFlatMv / l.mvPerCount);
  if (flat.samples > 0 && (flat.high - flat.low <= flatCounts || flat.nearRail >= 0.9 * flat.samples)) {
    *instant = Verdict::NoContact;
    return;
  }
  const SecondStats recent = over(kJudgeSeconds);
  if (recent.railRuns >= 2 || recent.atRail >= 0.01 * recent.samples) {
    *instant = Verdict::Clipped;
    return;
  }

  // Mains: the median block power at each line (a QRS leaks into few blocks).
  const int blocks = static_cast<int>(std::min<uint64_t>(toneBlocks, l.toneBlocks.Size()));
  double power50 = 0, power60 = 0, reference = 0;
  int references = 0;
  if (blocks > 0) {
    for (size_t k = 0; k < toneIndex.size(); ++k) {
      b.clear();
      for (int j = 0; j < blocks; ++j) b.push_back(l.toneBlocks.Get(toneBlocks - 1 - j)[k]);
      const double p = Median(b);
      switch (kTones[toneIndex[k]].kind) {
        case kTone50: power50 += p; break;
        case kTone60: power60 += p; break;
        case kToneRef:
          reference += p;
          ++references;
          break;
      }
    }
    reference /= std::max(1, references);
    const double mains = std::max(power50, power60);
    if (mains >= kMainsMv * kMainsMv / 2 && mains >= kMainsOverBroadband * reference) {
      *instant = Verdict::Mains;
      return;
    }
  }

  // Muscle: the noise band's power between the QRS complexes, less the mains lines'
  // power, against the QRS power.
  const int noiseCount = static_cast<int>(std::min<uint64_t>(noiseBlocks, l.noiseBlocks.Size()));
  if (noiseCount > 0) {
    b.clear();
    for (int j = 0; j < noiseCount; ++j) b.push_back(l.noiseBlocks.Get(noiseBlocks - 1 - j));
    const double noise = std::max(0.0, Percentile(b, kNoisePercentile) * kNoiseScale - (power50 + power60) / 2);
    b.clear();
    for (const Beat& beat : beats) b.push_back(beat.size);
    if (b.size() >= 2) {
      const double qrs = Median(b);
      if (noise > 0 && 10 * std::log10(qrs * qrs / 8 / noise) < kMuscleSnrDb) {
        *instant = Verdict::Muscle;
        return;
      }
    } else if (std::sqrt(noise) > kMuscleNoQrsMv) {
      *instant = Verdict::Muscle;
      return;
    }
  }

  if (BaseLineExcursion(l, n) >= kWanderMv) {
    *instant = Verdict::Wander;
    return;
  }
  *instant = Verdict::Good;
}

SignalCheck::SignalCheck(int rateHz, int leads) : state_(std::make_unique<State>()) {
  if (rateHz != 250 && rateHz != 500 && rateHz != 1000) throw std::invalid_argument("rate must be 250, 500 or 1000 Hz");
  if (leads < 1 || leads > kMaxLeads) throw std::invalid_argument("leads must be 1 to 3");
  state_->rate = rateHz;
  state_->leads = leads;
  state_->gain.fill(100);
  state_->Setup();
}

SignalCheck::~SignalCheck() = default;
SignalCheck::SignalCheck(SignalCheck&&) noexcept = default;
SignalCheck& SignalCheck::operator=(SignalCheck&&) noexcept = default;

int SignalCheck::RateHz() const { return state_->rate; }
int SignalCheck::Leads() const { return state_->leads; }

void SignalCheck::SetGain(int lead, double countsPerMv) {
  if (lead < 0 || lead >= state_->leads) throw std::invalid_argument("no such lead");
  if (!(countsPerMv > 0) || !std::isfinite(countsPerMv)) throw std::invalid_argument("gain must be positive");
  state_->gain[lead] = countsPerMv;
  state_->lead[lead].mvPerCount = 1.0 / countsPerMv;
}

void SignalCheck::Reset() { state_->Setup(); }

bool SignalCheck::Push(const uint16_t* samples, Report* report) {
  State& s = *state_;
  for (int i = 0; i < s.leads; ++i) s.Sample(s.lead[i], samples[i]);
  ++s.samples;

  if (++s.inTone == s.perToneBlock) {
    s.inTone = 0;
    for (int i = 0; i < s.leads; ++i) {
      LeadState& l = s.lead[i];
      std::array<float, kMaxTones> power{};
      // Amplitude of a sine from a Hann-windowed block: 4|X|/N.
      const double scale = 4.0 / s.perToneBlock;
      for (size_t k = 0; k < s.toneCoeff.size(); ++k) {
        const double x2 = l.s1[k] * l.s1[k] + l.s2[k] * l.s2[k] - s.toneCoeff[k] * l.s1[k] * l.s2[k];
        // amplitude^2 / 2: the tone's power
        power[k] = static_cast<float>(std::max(0.0, x2) * scale * scale / 2);
        l.s1[k] = l.s2[k] = 0;
      }
      l.toneBlocks.Put(s.toneBlocks, power);
    }
    ++s.toneBlocks;
  }
  if (++s.inNoise == s.perNoiseBlock) {
    s.inNoise = 0;
    for (int i = 0; i < s.leads; ++i) {
      LeadState& l = s.lead[i];
      l.noiseBlocks.Put(s.noiseBlocks, static_cast<float>(l.noiseSum / s.perNoiseBlock));
      l.noiseSum = 0;
    }
    ++s.noiseBlocks;
  }
  if (++s.inQrs == s.perQrsSample) {
    s.inQrs = 0;
    for (int i = 0; i < s.leads; ++i) {
      LeadState& l = s.lead[i];
      const double x = l.decimateSum / s.perQrsSample;
      l.decimateSum = 0;
      const double band = l.bandLow2.Step(l.bandLow.Step(l.bandHigh.Step(x)));
      const double slope = std::fabs(band - l.band2);
      l.band2 = l.band1;
      l.band1 = band;
      l.slopeSum += slope - l.slopes.Get(s.qrsSamples);
      l.slopes.Put(s.qrsSamples, static_cast<float>(slope));
      l.feature.Put(s.qrsSamples, static_cast<float>(std::max(0.0, l.slopeSum)));
      l.level.Put(s.qrsSamples, static_cast<float>(l.smooth.Step(x)));
    }
    ++s.qrsSamples;
  }
  if (++s.inSecond < s.rate) return false;

  // A second completed: judge every lead and hold.
  s.inSecond = 0;
  for (int i = 0; i < s.leads; ++i) {
    LeadState& l = s.lead[i];
    l.seconds.Put(static_cast<uint64_t>(s.second), l.now);
    l.now = SecondStats{};
  }
  ++s.second;
  Report r;
  r.second = s.second;
  r.leads = s.leads;
  for (int i = 0; i < s.leads; ++i) {
    LeadState& l = s.lead[i];
    Verdict v = Verdict::Good;
    s.Judge(l, &v);
    r.instant[i] = v;
    if (v == l.shown) {
      l.candidateReports = 0;
    } else if (v == l.candidate && l.candidateReports > 0) {
      if (++l.candidateReports >= kHoldReports) {
        l.shown = v;
        l.candidateReports = 0;
      }
    } else {
      l.candidate = v;
      l.candidateReports = 1;
    }
    r.verdicts[i] = l.shown;
  }

  // The heart rate from the usable leads of this second: the median of three, else the most
  // regular one.
  struct Candidate {
    int bpm;
    double regularity;
  };
  std::vector<Candidate> rates;
  for (int i = 0; i < s.leads; ++i) {
    const Verdict v = r.instant[i];
    if (v == Verdict::NoContact || v == Verdict::Clipped || s.lead[i].rateBpm < 0) continue;
    rates.push_back({s.lead[i].rateBpm, s.lead[i].regularity + (v == Verdict::Good ? 1 : 0)});
  }
  bool anyGood = false;
  for (int i = 0; i < s.leads; ++i) anyGood = anyGood || (r.instant[i] == Verdict::Good && s.lead[i].rateBpm >= 0);
  int joined = 0;
  for (int i = 0; i < s.leads; ++i) {
    const Verdict v = r.instant[i];
    joined += v != Verdict::NoContact && v != Verdict::Clipped && s.lead[i].reference > 0;
  }
  if (!anyGood && joined >= 2) {
    // No clean lead: the QRS complexes coincide across leads where the noise does not, so
    // the leads' features, each scaled by its own reference, are added and searched together.
    const int n = static_cast<int>(std::min<uint64_t>(s.qrsSamples, static_cast<uint64_t>(kBeatSeconds * kQrsRate)));
    const uint64_t first = s.qrsSamples - static_cast<uint64_t>(n);
    s.a.assign(n, 0.0);
    for (int i = 0; i < s.leads; ++i) {
      const Verdict v = r.instant[i];
      const LeadState& l = s.lead[i];
      if (v == Verdict::NoContact || v == Verdict::Clipped || l.reference <= 0) continue;
      for (int k = 0; k < n; ++k) s.a[k] += l.feature.Get(first + k) / l.reference;
    }
    int bpm = -1;
    double regularity = 0;
    if (s.DetectBeats(n) > 0) s.RateOf(&bpm, &regularity);
    if (bpm >= 0) {
      rates.clear();
      rates.push_back({bpm, regularity});
    }
  }
  if (rates.size() == 3) {
    std::sort(rates.begin(), rates.end(), [](const Candidate& x, const Candidate& y) { return x.bpm < y.bpm; });
    r.heartRate = rates[1].bpm;
  } else if (!rates.empty()) {
    r.heartRate = std::max_element(rates.begin(), rates.end(), [](const Candidate& x, const Candidate& y) {
                    return x.regularity < y.regularity;
                  })->bpm;
  }
  if (report) *report = r;
  return true;
}

}  // namespace sigcheck
