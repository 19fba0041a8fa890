// The recorder's live stream on the wire: 12-bit values in tagged two-byte pairs, and
// the three records that follow each other in a fixed 44-record cycle.
//
// Pair: first byte = tag << 4 | value bits 11-8, second byte = value bits 7-0.
// Records (L = number of leads, ECG pairs tagged L-1 down to 0, tag t = channel t+1):
//   FullFrame    tags 6 (supply voltage), 5 (accel Z), 4 (Y), 3 (X), then the ECG pairs
//   SampleFrame  the ECG pairs
//   MotionFrame  tags 5, 4, 3, then the ECG pairs
// Cycle: one FullFrame, then three times (10 SampleFrames, 1 MotionFrame), then 10
// SampleFrames: 44 records, one record per sampling period.
#pragma once

#include "nxpal/types.h"

namespace ordiva::stream {

inline constexpr BYTE kTagVoltage = 6;
inline constexpr BYTE kTagAccelZ = 5;
inline constexpr BYTE kTagAccelY = 4;
inline constexpr BYTE kTagAccelX = 3;

inline constexpr WORD kMaxValue = 4095;
inline constexpr WORD kMidScale = 2048;  // the zero of the ECG channels
// Supply voltage: counts per millivolt (4095 counts = 3000 mV).
inline constexpr double kVoltageCountsPerMv = 1.365;

enum class RecordKind { Full, Sample, Motion };

inline constexpr int kCycleRecords = 44;
inline constexpr int kSamplesPerMotion = 10;

// The record at a position of the cycle (any non-negative position, taken modulo 44).
constexpr RecordKind KindAt(long long position) {
  const int index = static_cast<int>(position % kCycleRecords);
  if (index == 0) return RecordKind::Full;
  return (index - 1) % (kSamplesPerMotion + 1) == kSamplesPerMotion ? RecordKind::Motion : RecordKind::Sample;
}

constexpr int RecordBytes(RecordKind kind, int leads) {
  switch (kind) {
    case RecordKind::Full: return 8 + 2 * leads;
    case RecordKind::Motion: return 6 + 2 * leads;
    case RecordKind::Sample: break;
  }
  return 2 * leads;
}

constexpr void EncodePair(BYTE tag, WORD value, BYTE* out) {
  out[0] = static_cast<BYTE>((tag << 4) | ((value >> 8) & 0x0F));
  out[1] = static_cast<BYTE>(value & 0xFF);
}
constexpr BYTE PairTag(BYTE first) { return static_cast<BYTE>(first >> 4); }
constexpr WORD PairValue(BYTE first, BYTE second) { return static_cast<WORD>((first & 0x0F) * 256 + second); }

}  // namespace ordiva::stream
