// The virtual recorder's command side: parses the host's bytes into command packets and
// configuration blocks, answers them, and keeps the recorder's state (configuration
// block, streaming, mode, gain codes, zero offsets). No sockets and no clock of its
// own: the caller passes the time and sends what is returned.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "recorder_protocol.h"
#include "recorder_config.h"

namespace vr03sim {

using ordiva::RecorderConfig;
using Bytes = std::vector<BYTE>;

// A block write shorter than 64 bytes is complete when the host has been quiet this long
// after at least 32 bytes (a host that sends 32 bytes for version 9).
inline constexpr int64_t kBlockPauseNs = 200'000'000;
// A block write with fewer than 32 bytes is given up after this long a silence (the
// host waits 500 ms between the 0D packet and the block).
inline constexpr int64_t kBlockAbandonNs = 3'000'000'000;

// The configuration a recorder leaves the factory with (3 leads, 250 Hz, calibrated
// gain steps 182, gain codes 4, normal mode, zeros at mid-scale).
RecorderConfig FactoryConfig(ULONGLONG address);

// First 8 bytes on a new connection; byte 5 is not the release mark.
Bytes Greeting(const RecorderConfig& config);

class Firmware {
 public:
  explicit Firmware(const RecorderConfig& stored);

  // What a batch of host bytes changed.
  struct Effects {
    bool configChanged = false;  // the block must be stored
    bool started = false;  // 08: the stream (re)starts with a new cycle
    bool stopped = false;  // 0C or 07: the stream stops
  };
  // Feeds bytes received at time nowNs; replies are appended to reply in order.
  Effects Receive(const BYTE* data, size_t size, int64_t nowNs, Bytes& reply);
  // Completes a pending short block write once the host has paused, or gives up an
  // unfinished one (see kBlockPauseNs, kBlockAbandonNs). Call it when time passes
  // without host bytes.
  Effects Tick(int64_t nowNs);
  // The host went away: the stream stops and a half-received packet is forgotten.
  void Disconnect();

  const RecorderConfig& Config() const { return config_; }
  bool Streaming() const { return streaming_; }
  // The stream's shape from the block; values outside the recorder's choices count as
  // the nearest valid ones (1-3 leads; rate codes 1, 2, 4).
  int Leads() const;
  int RateHz() const;
  // Gain code of channel 1-3 (index 0-2) as the last 13 or block write set it.
  BYTE GainCode(int channel) const { return config_.gainCode[channel]; }
  // Zero offsets from the last 05 (channels 1-3). The recorder keeps them for its own
  // amplifier trim; the synthetic signal has no amplifier offset to trim.
  const BYTE* ZeroOffsets() const { return zero_; }
  // Told of every command packet and every block write taken, with the time its last
  // byte arrived: "13 07 06 05 SetGainCodes", "block 64".
  std::function<void(int64_t nowNs, const std::string& what)> commandLog;

  // Whether a pending block write waits for Tick.
  bool BlockPending() const { return state_ == State::Block; }

 private:
  enum class State { Preamble, Code, Params, Block };
  void Execute(Effects& effects, Bytes& reply);
  void FinishBlock(Effects& effects);

  RecorderConfig config_;
  bool streaming_ = false;
  BYTE zero_[3] = {};

  State state_ = State::Preamble;
  int preambleBytes_ = 0;  // consecutive FF bytes seen while hunting
  BYTE packet_[4] = {};  // code and parameters
  int packetBytes_ = 0;
  BYTE block_[sizeof(RecorderConfig)] = {};
  size_t blockBytes_ = 0;
  size_t blockExpected_ = 0;  // 32 for version 9, else 64
  int64_t lastByteNs_ = 0;
};

}  // namespace vr03sim
