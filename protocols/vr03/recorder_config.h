// The recorder's 64-byte configuration block as it travels on the link (replies to 01
// and 04, the block after 0D). Multi-byte fields are little-endian; the words at 23, 25
// and 27 are unaligned. Bytes without a field here are carried through unchanged.
#pragma once

#include <cstddef>

#include "nxpal/bytes.h"
#include "nxpal/types.h"

namespace ordiva {

// A little-endian 16-bit field at any offset.
struct LeWord {
  BYTE b[2];
  constexpr WORD Get() const { return nx::LoadLe16(b); }
  constexpr void Set(WORD v) { nx::StoreLe16(b, v); }
};
static_assert(sizeof(LeWord) == 2 && alignof(LeWord) == 1);

// Accelerometer range index (offset 22).
inline constexpr BYTE kRange1_5G = 0, kRange2G = 1, kRange4G = 2, kRange6G = 3;
// Sampling-rate codes (offset 14): rate in Hz = code x 250.
inline constexpr BYTE kRate250 = 1, kRate500 = 2, kRate1000 = 4;
// Mode byte (offset 41): this value is setup mode ("Настройка"), any other normal mode.
inline constexpr BYTE kSetupMode = 0xFF;

struct RecorderConfig {
  BYTE marker;  // 0: block marker
  BYTE unused1[5];  // 1-5
  BYTE yearSince2000;  // 6: year of manufacture - 2000, 0 = not set
  BYTE month;  // 7: month of manufacture, 0 = not set
  LeWord number;  // 8: recorder number (the program stores 0-255)
  BYTE modification;  // 10: modification number
  BYTE version;  // 11: version number; steers gains and the length of a block write
  BYTE leads;  // 12: number of leads, 1-3
  BYTE bitDepth;  // 13: bit depth ("Разрядность")
  BYTE rateCode;  // 14: sampling-rate code, 1 / 2 / 4
  BYTE unused15;  // 15
  LeWord gainValue[3];  // 16, 18, 20: gain value of channels 1-3 ("Дел/мв.")
  BYTE accelRange;  // 22: accelerometer range index
  LeWord accelZeroX;  // 23: accelerometer zero, X axis (unaligned)
  LeWord accelZeroY;  // 25: Y axis (unaligned)
  LeWord accelZeroZ;  // 27: Z axis (unaligned)
  BYTE unused29[3];  // 29-31
  LeWord gainStep[3];  // 32, 34, 36: gain value per gain code, channels 1-3 (calibrated, not 0)
  BYTE gainCode[3];  // 38, 39, 40: gain code of channels 1-3 (value / step)
  BYTE mode;  // 41: kSetupMode or normal
  LeWord gainCopy[3];  // 42, 44, 46: copies of the gain values (written in setup mode)
  BYTE unused48[16];  // 48-63

  BYTE* Bytes() { return reinterpret_cast<BYTE*>(this); }
  const BYTE* Bytes() const { return reinterpret_cast<const BYTE*>(this); }
  bool InSetupMode() const { return mode == kSetupMode; }
  // Sampling rate in Hz.
  int RateHz() const { return rateCode * 250; }
};
static_assert(sizeof(RecorderConfig) == 64);
static_assert(offsetof(RecorderConfig, yearSince2000) == 6 && offsetof(RecorderConfig, number) == 8 &&
              offsetof(RecorderConfig, modification) == 10 && offsetof(RecorderConfig, version) == 11 &&
              offsetof(RecorderConfig, leads) == 12 && offsetof(RecorderConfig, bitDepth) == 13 &&
              offsetof(RecorderConfig, rateCode) == 14 && offsetof(RecorderConfig, gainValue) == 16 &&
              offsetof(RecorderConfig, accelRange) == 22 && offsetof(RecorderConfig, accelZeroX) == 23 &&
              offsetof(RecorderConfig, accelZeroY) == 25 && offsetof(RecorderConfig, accelZeroZ) == 27 &&
              offsetof(RecorderConfig, gainStep) == 32 && offsetof(RecorderConfig, gainCode) == 38 &&
              offsetof(RecorderConfig, mode) == 41 && offsetof(RecorderConfig, gainCopy) == 42 &&
              offsetof(RecorderConfig, unused48) == 48);

// Version bounds: below 9 one gain code serves all channels; exactly 9 takes only the
// first 32 bytes of a block write; below 10 the gain steps are not trusted.
inline constexpr BYTE kVersionSharedGainBelow = 9;
inline constexpr BYTE kVersionShortWrite = 9;
inline constexpr BYTE kVersionTrustedStepsFrom = 10;
inline constexpr int kShortWriteBytes = 32;
// The gain step (gain value per code) where the block's own steps are not trusted.
inline constexpr int kDefaultGainStep = 182;

// Counts per millivolt of ECG channel 0-2 as the recorder scales its samples: gain code x
// gain step, with the default step where the block's step is not trusted (an older
// version) or is 0.
inline int CountsPerMv(const RecorderConfig& config, int channel) {
  int step = config.gainStep[channel].Get();
  if (config.version < kVersionTrustedStepsFrom || step == 0) step = kDefaultGainStep;
  return config.gainCode[channel] * step;
}

// Bytes of the block that a block write sends for this version.
constexpr int WriteConfigBytes(BYTE version) {
  return version == kVersionShortWrite ? kShortWriteBytes : static_cast<int>(sizeof(RecorderConfig));
}

}  // namespace ordiva
