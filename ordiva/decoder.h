// The live stream's receiver: reads one record per acquisition step with single-byte
// reads, resynchronises on a tagged full record, and turns the frame buffer into the
// values the display, the set-up dialog and the battery check use.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "nxpal/types.h"
#include "recorder_config.h"
#include "stream_format.h"

namespace ordiva {

// One single-byte link read: true with *byte set when a byte came, false when the read
// delivered nothing within the link's time limit.
using ByteReader = std::function<bool(BYTE* byte)>;

// Frame buffer, laid out as the longest record with three leads.
inline constexpr int kFrameBytes = 14;
inline constexpr int kFrameVoltage = 0;  // 0-1: supply voltage pair
inline constexpr int kFrameMotion = 2;  // 2-7: Z, Y, X pairs
inline constexpr int kFrameEcg = 8;  // 8-13: ECG pairs in stream order

// Bytes dropped while hunting for a full record before a step gives up and leaves the
// rest of the hunt to the next step, so a link carrying only garbage never holds the
// user-interface thread for good. Well above one cycle (44 records of at most 14 bytes).
inline constexpr int kHuntLimit = 4096;

// The decoder's state and counters. States: 0 hunts for / reads a FullFrame, 1 reads
// SampleFrames, 2 reads a MotionFrame. One thread uses it (the user-interface thread).
class StreamDecoder {
 public:
  enum State { kHunting = 0, kSamples = 1, kMotion = 2 };
  enum class Result { Full, Sample, Motion, NoSync };

  // L, 1-3; the record sizes follow it.
  int leads = 3;
  int state = kHunting;
  int counterA = 0;  // SampleFrames since the last other record, 0-9
  int counterB = 0;  // MotionFrames since the last FullFrame, 0-3
  BYTE frame[kFrameBytes]{};

  // Counts since the decoder was made (the link-quality readout takes differences).
  uint64_t records = 0;  // records completed
  uint64_t resyncs = 0;  // FullFrames found only after dropping bytes
  uint64_t droppedBytes = 0;  // bytes dropped while hunting for a FullFrame
  uint64_t emptyReads = 0;  // reads that delivered nothing
  // Whether the last single-byte read delivered a byte (the battery check looks at it).
  bool lastReadDelivered = false;

  void Reset() { state = kHunting; }
  // Reads one record as the state says and moves the state on. NoSync: the hunt dropped
  // kHuntLimit bytes without finding a full record; the state stays 0.
  Result ReadRecord(const ByteReader& read);

 private:
  bool ReadByte(const ByteReader& read, BYTE* byte);
  // One FullFrame attempt; false when a tag did not match (the caller hunts on).
  bool ReadFull(const ByteReader& read, int* dropped);
  void ReadPlain(const ByteReader& read, int offset, int count);
};

// The six body positions, their texts and where the accelerometer box writes each.
enum class BodyPosition { OnBack, OnBelly, RightSide, LeftSide, HeadDown, Upright };
const char16_t* BodyPositionText(BodyPosition position);
int BodyPositionTextX(BodyPosition position);
// Threshold 35 on the deviations d (index 0 Z, 1 Y, 2 X), tested Z-, Z+, Y-, Y+, X-, X+.
BodyPosition ClassifyPosition(const std::array<int, 3>& d);

// Supply-voltage warning from the running mean in millivolts.
enum class BatteryState { Good, Blinking, Low };
BatteryState ClassifyBattery(double meanMv);

// What one step decodes from the frame buffer and the statistics kept across steps.
// Index 0 is the first ECG pair of a record (tag L-1); accelerometer index 0 Z, 1 Y, 2 X.
class Acquisition {
 public:
  Acquisition();

  StreamDecoder decoder;

  std::array<WORD, 3> e{};  // ECG samples
  std::array<WORD, 3> a{};  // accelerometer Z, Y, X
  std::array<WORD, 3> maxima{};  // since the last "Пуск"
  std::array<WORD, 3> minima{};
  std::array<int, 3> zeros{};  // accelerometer zeros Z, Y, X
  std::array<double, 3> accelSum{};  // since the last served zero request
  std::array<int, 3> accelCount{};
  std::array<bool, 3> zeroRequest{};  // Z, Y, X
  double voltageSum = 0;
  int voltageCount = 1;
  double voltageMean = 0;

  // "Пуск": maxima 0, minima 0xFFFF.
  void ResetStatistics();
  // The 10 s check's restart of the mean: sum 0, count 1.
  void ResetVoltage();
  // Zeros from the configuration block (X 23, Y 25, Z 27).
  void LoadZeros(const RecorderConfig& config);

  // Reads one record; a FullFrame adds its supply voltage (pair value / 1.365 mV) to the
  // running mean.
  StreamDecoder::Result ReadRecord(const ByteReader& read);
  // Serves the pending zero requests (Z, Y, X): the zero becomes the rounded mean of the
  // samples summed since the last served request and goes into the block; then all sums
  // and counts restart. Bit k of the result is set for each axis served. A request made
  // before any sample was summed waits for one.
  unsigned ServeZeroRequests(RecorderConfig& config);
  // ECG and accelerometer values from the frame, and the minima and maxima.
  void Decode();
  // Trace offsets for band height h; accelerometer deviations; the samples join the
  // zero-request sums.
  void Scale(int h, double amplitude, std::array<int, 3>* y, std::array<int, 3>* d);
};

// A number right-aligned in at least width characters (the set-up dialog's fields).
std::u16string RightAligned(long long value, int width);

}  // namespace ordiva
