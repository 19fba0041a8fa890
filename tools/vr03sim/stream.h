// The virtual recorder's live stream: records of the 44-record cycle encoded as tagged
// pairs, with optional faults of a poor link (lost, extra and garbled bytes, stalls).
#pragma once

#include <cstdint>
#include <random>

#include "firmware.h"
#include "synth.h"
#include "stream_format.h"

namespace vr03sim {

struct FaultSettings {
  double drop = 0;  // probability that a stream byte is lost
  double extra = 0;  // probability that a random byte follows a stream byte
  double garble = 0;  // probability that a stream byte arrives changed
  int stallMs = 0;  // the link stops this long ...
  double stallEveryS = 0;  // ... once in this many seconds (0: never)
};

// One record of the given kind, without faults.
void EncodeRecord(ordiva::stream::RecordKind kind, const Sample& sample, int leads, Bytes& out);

// True while the link stalls, seconds after the stream started.
bool InStall(const FaultSettings& faults, double seconds);

class StreamWriter {
 public:
  StreamWriter(const FaultSettings& faults, uint64_t seed);
  // The next record starts a new cycle (a FullFrame).
  void Restart() { position_ = 0; }
  // Appends the next record of the cycle for this sample, faults applied.
  void Append(const Sample& sample, int leads, Bytes& out);
  long long Position() const { return position_; }

 private:
  FaultSettings faults_;
  std::mt19937_64 random_;
  std::uniform_real_distribution<double> chance_{0.0, 1.0};
  long long position_ = 0;
  Bytes record_;
};

}  // namespace vr03sim
