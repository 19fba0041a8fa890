// The live stream's receiver and the values one acquisition step decodes.
#include "decoder.h"

#include <cmath>

#include "display.h"

namespace ordiva {

using stream::PairTag;
using stream::PairValue;

bool StreamDecoder::ReadByte(const ByteReader& read, BYTE* byte) {
  lastReadDelivered = read(byte);
  if (!lastReadDelivered) ++emptyReads;
  return lastReadDelivered;
}

bool StreamDecoder::ReadFull(const ByteReader& read, int* dropped) {
  // Four header pairs (tags 6, 5, 4, 3) into bytes 0-7, then the ECG pairs (tags L-1 ...
  // 0) from byte 8. A missing byte is stored as 0; a missing second byte keeps the
  // expected tag, so the next pair must carry the same tag again.
  auto pairs = [&](int offset, int count, int firstTag) {
    int expected = firstTag;
    for (int p = 0; p < count; ++p) {
      BYTE b = 0;
      if (ReadByte(read, &b)) {
        if (PairTag(b) != expected) {
          ++droppedBytes;
          ++*dropped;
          return false;
        }
        frame[offset + 2 * p] = b;
      } else {
        frame[offset + 2 * p] = 0;
      }
      if (ReadByte(read, &b)) {
        frame[offset + 2 * p + 1] = b;
        --expected;
      } else {
        frame[offset + 2 * p + 1] = 0;
      }
    }
    return true;
  };
  return pairs(kFrameVoltage, 4, stream::kTagVoltage) && pairs(kFrameEcg, leads, leads - 1);
}

void StreamDecoder::ReadPlain(const ByteReader& read, int offset, int count) {
  for (int i = 0; i < count; ++i) {
    BYTE b = 0;
    if (ReadByte(read, &b)) frame[offset + i] = b;
  }
}

StreamDecoder::Result StreamDecoder::ReadRecord(const ByteReader& read) {
  switch (state) {
    case kHunting: {
      int dropped = 0;
      while (!ReadFull(read, &dropped)) {
        if (dropped >= kHuntLimit) return Result::NoSync;
      }
      if (dropped > 0) ++resyncs;
      counterA = 0;
      counterB = 0;
      state = kSamples;
      ++records;
      return Result::Full;
    }
    case kSamples:
      ReadPlain(read, kFrameEcg, 2 * leads);
      if (++counterA == 10) {
        counterA = 0;
        if (++counterB < 4) {
          state = kMotion;
        } else {
          counterB = 0;
          state = kHunting;
        }
      }
      ++records;
      return Result::Sample;
    default:
      ReadPlain(read, kFrameMotion, 6 + 2 * leads);
      state = kSamples;
      ++records;
      return Result::Motion;
  }
}

const char16_t* BodyPositionText(BodyPosition position) {
  switch (position) {
    case BodyPosition::OnBelly: return u"На животе";
    case BodyPosition::RightSide: return u"На правом боку";
    case BodyPosition::LeftSide: return u"На левом боку";
    case BodyPosition::HeadDown: return u"На голове";
    case BodyPosition::Upright: return u"Сидит/Стоит";
    case BodyPosition::OnBack: break;
  }
  return u"На спине";
}

int BodyPositionTextX(BodyPosition position) {
  switch (position) {
    case BodyPosition::RightSide: return 68;
    case BodyPosition::LeftSide: return 75;
    default: return 80;
  }
}

BodyPosition ClassifyPosition(const std::array<int, 3>& d) {
  constexpr int T = 35;
  if (d[0] < -T) return BodyPosition::OnBack;
  if (d[0] > T) return BodyPosition::OnBelly;
  if (d[1] < -T) return BodyPosition::RightSide;
  if (d[1] > T) return BodyPosition::LeftSide;
  if (d[2] < -T) return BodyPosition::HeadDown;
  if (d[2] > T) return BodyPosition::Upright;
  return BodyPosition::OnBack;
}

BatteryState ClassifyBattery(double meanMv) {
  if (meanMv >= 1320) return BatteryState::Good;
  if (meanMv > 1280) return BatteryState::Blinking;
  return BatteryState::Low;
}

Acquisition::Acquisition() {
  zeros.fill(stream::kMidScale);
  ResetStatistics();
}

void Acquisition::ResetStatistics() {
  maxima.fill(0);
  minima.fill(0xFFFF);
}

void Acquisition::ResetVoltage() {
  voltageSum = 0;
  voltageCount = 1;
}

void Acquisition::LoadZeros(const RecorderConfig& config) {
  zeros[0] = config.accelZeroZ.Get();
  zeros[1] = config.accelZeroY.Get();
  zeros[2] = config.accelZeroX.Get();
}

StreamDecoder::Result Acquisition::ReadRecord(const ByteReader& read) {
  const auto result = decoder.ReadRecord(read);
  if (result == StreamDecoder::Result::Full) {
    voltageSum += PairValue(decoder.frame[kFrameVoltage], decoder.frame[kFrameVoltage + 1]) /
                  stream::kVoltageCountsPerMv;
    voltageMean = voltageSum / voltageCount;
    ++voltageCount;
  }
  return result;
}

unsigned Acquisition::ServeZeroRequests(RecorderConfig& config) {
  // Every requested axis is served from the same sums (a later axis must not divide the
  // sums that an earlier one has just cleared), and only once a sample was summed.
  unsigned served = 0;
  LeWord* fields[3] = {&config.accelZeroZ, &config.accelZeroY, &config.accelZeroX};
  for (int k = 0; k < 3; ++k) {
    if (!zeroRequest[k] || accelCount[k] == 0) continue;
    zeros[k] = static_cast<int>(std::lround(accelSum[k] / accelCount[k]));
    fields[k]->Set(static_cast<WORD>(zeros[k]));
    zeroRequest[k] = false;
    served |= 1u << k;
  }
  if (served != 0) {
    accelSum.fill(0);
    accelCount.fill(0);
  }
  return served;
}

void Acquisition::Decode() {
  const BYTE* f = decoder.frame;
  for (int i = 0; i < 3; ++i) {
    e[i] = PairValue(f[kFrameEcg + 2 * i], f[kFrameEcg + 2 * i + 1]);
    a[i] = PairValue(f[kFrameMotion + 2 * i], f[kFrameMotion + 2 * i + 1]);
    if (e[i] > maxima[i]) maxima[i] = e[i];
    if (e[i] < minima[i]) minima[i] = e[i];
  }
}

void Acquisition::Scale(int h, double amplitude, std::array<int, 3>* y, std::array<int, 3>* d) {
  // The sample is counted together with its sum, so a zero request averages exactly the
  // samples it summed.
  for (int i = 0; i < 3; ++i) {
    (*y)[i] = display::TraceOffset(e[i], h, amplitude);
    (*d)[i] = display::AccelDeviation(a[i], zeros[i], h);
    accelSum[i] += a[i];
    ++accelCount[i];
  }
}

std::u16string RightAligned(long long value, int width) {
  const std::string n = std::to_string(value);
  std::u16string out;
  if (static_cast<int>(n.size()) < width) out.assign(static_cast<size_t>(width) - n.size(), u' ');
  out.append(n.begin(), n.end());
  return out;
}

}  // namespace ordiva
