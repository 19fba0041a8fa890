// Command parsing and the recorder's answers, state and configuration block.
#include "firmware.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vr03sim {
namespace {

constexpr int kPreamble = 4;
constexpr BYTE kGreetingMark = 0x01;  // byte 5 of the greeting (not the release mark)

Bytes Identity(const RecorderConfig& config, BYTE mark) {
  return Bytes{'V', 'R', '0', '3', 'M', mark, config.version, config.leads};
}

}  // namespace

RecorderConfig FactoryConfig(ULONGLONG address) {
  RecorderConfig c{};
  c.marker = 0x01;
  c.yearSince2000 = 25;
  c.month = 3;
  c.number.Set(static_cast<WORD>(address & 0xFF));
  c.modification = 1;
  c.version = 10;
  c.leads = 3;
  c.bitDepth = 12;
  c.rateCode = ordiva::kRate250;
  c.accelRange = ordiva::kRange1_5G;
  c.accelZeroX.Set(2048);
  c.accelZeroY.Set(2048);
  c.accelZeroZ.Set(2048);
  for (int i = 0; i < 3; ++i) {
    c.gainValue[i].Set(728);
    c.gainStep[i].Set(182);
    c.gainCode[i] = 4;
    c.gainCopy[i].Set(728);
  }
  c.mode = 0x00;
  return c;
}

Bytes Greeting(const RecorderConfig& config) { return Identity(config, kGreetingMark); }

Firmware::Firmware(const RecorderConfig& stored) : config_(stored) {}

int Firmware::Leads() const { return std::clamp<int>(config_.leads, 1, 3); }

int Firmware::RateHz() const {
  if (config_.rateCode <= ordiva::kRate250) return 250;
  if (config_.rateCode < ordiva::kRate1000) return 500;
  return 1000;
}

Firmware::Effects Firmware::Receive(const BYTE* data, size_t size, int64_t nowNs, Bytes& reply) {
  Effects effects;
  for (size_t i = 0; i < size; ++i) {
    const BYTE b = data[i];
    lastByteNs_ = nowNs;
    switch (state_) {
      case State::Preamble:
        preambleBytes_ = b == ordiva::kPreambleByte ? preambleBytes_ + 1 : 0;
        if (preambleBytes_ >= kPreamble) state_ = State::Code;
        break;
      case State::Code:
        // Command codes are never FF: more FF bytes still belong to the preamble.
        if (b == ordiva::kPreambleByte) break;
        packet_[0] = b;
        packetBytes_ = 1;
        state_ = State::Params;
        break;
      case State::Params:
        packet_[packetBytes_++] = b;
        if (packetBytes_ == 4) {
          state_ = State::Preamble;
          preambleBytes_ = 0;
          Execute(effects, reply);
        }
        break;
      case State::Block:
        block_[blockBytes_++] = b;
        if (blockBytes_ == blockExpected_) FinishBlock(effects);
        break;
    }
  }
  return effects;
}

Firmware::Effects Firmware::Tick(int64_t nowNs) {
  Effects effects;
  if (state_ != State::Block) return effects;
  const int64_t quiet = nowNs - lastByteNs_;
  if (blockBytes_ >= static_cast<size_t>(ordiva::kShortWriteBytes) && quiet >= kBlockPauseNs) {
    blockBytes_ = ordiva::kShortWriteBytes;
    FinishBlock(effects);
  } else if (quiet >= kBlockAbandonNs) {
    state_ = State::Preamble;  // an unfinished block is thrown away
    preambleBytes_ = 0;
  }
  return effects;
}

void Firmware::Disconnect() {
  streaming_ = false;
  state_ = State::Preamble;
  preambleBytes_ = 0;
}

namespace {

// The host's operation behind a command code, for the command log.
const char* CommandName(BYTE code) {
  switch (code) {
    case ordiva::kCmdReadConfig: return "ReadConfig";
    case ordiva::kCmdRereadConfig: return "RereadConfig";
    case ordiva::kCmdZeroOffsets: return "SetZeroOffsets";
    case ordiva::kCmdRelease: return "ReleaseRecorder";
    case ordiva::kCmdStartStream: return "StartStream";
    case ordiva::kCmdNormalMode: return "EnterNormalMode";
    case ordiva::kCmdSetupMode: return "EnterSetupMode";
    case ordiva::kCmdStopStream: return "StopStream";
    case ordiva::kCmdWriteConfig: return "WriteConfig";
    case ordiva::kCmdGainCodes: return "SetGainCodes";
  }
  return "unknown";
}

}  // namespace

void Firmware::Execute(Effects& effects, Bytes& reply) {
  const BYTE p1 = packet_[1], p2 = packet_[2], p3 = packet_[3];
  if (commandLog) {
    char text[64];
    std::snprintf(text, sizeof text, "%02X %02X %02X %02X %s", packet_[0], p1, p2, p3, CommandName(packet_[0]));
    commandLog(lastByteNs_, text);
  }
  switch (packet_[0]) {
    case ordiva::kCmdReadConfig:
    case ordiva::kCmdRereadConfig:
      reply.insert(reply.end(), config_.Bytes(), config_.Bytes() + sizeof(config_));
      break;
    case ordiva::kCmdRelease:
      if (streaming_) effects.stopped = true;
      streaming_ = false;
      {
        Bytes r = Identity(config_, ordiva::kReleaseAccepted);
        reply.insert(reply.end(), r.begin(), r.end());
      }
      break;
    case ordiva::kCmdStartStream:
      streaming_ = true;
      effects.started = true;
      break;
    case ordiva::kCmdStopStream:
      if (streaming_) effects.stopped = true;
      streaming_ = false;
      break;
    case ordiva::kCmdGainCodes:  // byte 5 is channel 3, byte 7 channel 1
      config_.gainCode[0] = p3;
      config_.gainCode[1] = p2;
      config_.gainCode[2] = p1;
      effects.configChanged = true;
      break;
    case ordiva::kCmdZeroOffsets:
      zero_[0] = p1;
      zero_[1] = p2;
      zero_[2] = p3;
      break;
    case ordiva::kCmdNormalMode:
      if (config_.mode == ordiva::kSetupMode) {
        config_.mode = 0x00;
        effects.configChanged = true;
      }
      break;
    case ordiva::kCmdSetupMode:
      if (config_.mode != ordiva::kSetupMode) {
        config_.mode = ordiva::kSetupMode;
        effects.configChanged = true;
      }
      break;
    case ordiva::kCmdWriteConfig:
      state_ = State::Block;
      blockBytes_ = 0;
      blockExpected_ = static_cast<size_t>(ordiva::WriteConfigBytes(config_.version));
      break;
    default:
      break;  // unknown commands are ignored, as the recorder does
  }
}

void Firmware::FinishBlock(Effects& effects) {
  if (commandLog) commandLog(lastByteNs_, "block " + std::to_string(blockBytes_));
  std::memcpy(config_.Bytes(), block_, blockBytes_);
  effects.configChanged = true;
  state_ = State::Preamble;
  preambleBytes_ = 0;
}

}  // namespace vr03sim
