// Record encoding in cycle order, and the link faults applied to the encoded bytes.
#include "stream.h"

#include <cmath>

namespace vr03sim {

using ordiva::stream::EncodePair;
using ordiva::stream::RecordKind;

void EncodeRecord(RecordKind kind, const Sample& sample, int leads, Bytes& out) {
  BYTE pair[2];
  auto put = [&](BYTE tag, WORD value) {
    EncodePair(tag, value, pair);
    out.push_back(pair[0]);
    out.push_back(pair[1]);
  };
  if (kind == RecordKind::Full) put(ordiva::stream::kTagVoltage, sample.voltage);
  if (kind != RecordKind::Sample) {
    put(ordiva::stream::kTagAccelZ, sample.accelZ);
    put(ordiva::stream::kTagAccelY, sample.accelY);
    put(ordiva::stream::kTagAccelX, sample.accelX);
  }
  // ECG pairs from the highest channel down; tag t carries channel t+1.
  for (int tag = leads - 1; tag >= 0; --tag) put(static_cast<BYTE>(tag), sample.ecg[tag]);
}

bool InStall(const FaultSettings& faults, double seconds) {
  if (faults.stallMs <= 0 || faults.stallEveryS <= 0 || seconds < faults.stallEveryS) return false;
  const double intoPeriod = std::fmod(seconds, faults.stallEveryS);
  return intoPeriod < faults.stallMs / 1000.0;
}

StreamWriter::StreamWriter(const FaultSettings& faults, uint64_t seed) : faults_(faults), random_(seed ^ 0x5EED) {}

void StreamWriter::Append(const Sample& sample, int leads, Bytes& out) {
  record_.clear();
  EncodeRecord(ordiva::stream::KindAt(position_++), sample, leads, record_);
  const bool clean = faults_.drop <= 0 && faults_.extra <= 0 && faults_.garble <= 0;
  if (clean) {
    out.insert(out.end(), record_.begin(), record_.end());
    return;
  }
  std::uniform_int_distribution<int> anyByte(0, 255), nonZero(1, 255);
  for (BYTE b : record_) {
    if (faults_.drop > 0 && chance_(random_) < faults_.drop) continue;
    if (faults_.garble > 0 && chance_(random_) < faults_.garble) b = static_cast<BYTE>(b ^ nonZero(random_));
    out.push_back(b);
    if (faults_.extra > 0 && chance_(random_) < faults_.extra) out.push_back(static_cast<BYTE>(anyByte(random_)));
  }
}

}  // namespace vr03sim
