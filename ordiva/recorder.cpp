// The recorder command unit's operations: packets written one byte per link write,
// fixed sleeps (named beside the packets, recorder_protocol.h), and the reads each
// operation makes.
#include "recorder.h"

namespace ordiva {
namespace {

constexpr int kDrainReads = 10000;  // reads of a stream that does not stop
constexpr int kStartDiscard = 61;  // first bytes of a started stream, thrown away
constexpr int kGreetingEmptyReads = 120;  // a recorder that says nothing for so long is not there

}  // namespace

Recorder::Recorder(HVKBTLINK linkHandle, RecorderIo recorderIo) : link_(linkHandle), io_(std::move(recorderIo)) {}

void Recorder::Send(const RecorderCommand& command) {
  const BYTE* bytes = reinterpret_cast<const BYTE*>(&command);
  DWORD written = 0;
  for (size_t i = 0; i < sizeof(command); ++i)
    if (!io_.write(link_, bytes + i, 1, &written)) linkFailed_ = true;
}

int Recorder::ReadInto(BYTE* buffer, DWORD length) {
  DWORD count = 0;
  if (!io_.read(link_, buffer, length, &count) && count == 0) linkFailed_ = true;
  return static_cast<int>(count);
}

bool Recorder::ReadGreeting() {
  int have = 0, empty = 0;
  while (have < static_cast<int>(sizeof(reply_))) {
    DWORD n = 0;
    const BOOL ok = io_.read(link_, reply_ + have, 1, &n);
    if (n == 1) {
      ++have;
    } else if (!ok || ++empty == kGreetingEmptyReads) {
      return false;
    }
  }
  return true;
}

bool Recorder::StopStream() {
  Send(MakeCommand(kCmdStopStream));
  io_.sleep(kStopStreamWaitMs);
  BYTE byte = 0;
  for (int i = 0; i < kDrainReads; ++i) {
    if (ReadInto(&byte, 1) == 0) return true;  // the link is drained
  }
  return false;
}

void Recorder::StartStream() {
  if (resetDecoder_) resetDecoder_();
  Send(MakeCommand(kCmdStartStream));
  io_.sleep(kStartStreamWaitMs);
  BYTE byte = 0;
  for (int i = 0; i < kStartDiscard; ++i) ReadInto(&byte, 1);
}

bool Recorder::ReleaseRecorder() {
  Send(MakeCommand(kCmdRelease));
  io_.sleep(kReleaseReplyWaitMs);
  ReadInto(reply_, sizeof(reply_));
  return reply_[5] == kReleaseAccepted;
}

void Recorder::SetGainCodes(BYTE g1, BYTE g2, BYTE g3) {
  gainCodes_.param1 = g3;
  gainCodes_.param2 = g2;
  gainCodes_.param3 = g1;
  gainCodesSent_ = true;
  ResendGainCodes();
}

void Recorder::ResendGainCodes() {
  if (!gainCodesSent_) return;
  io_.sleep(kGainCodesLeadWaitMs);
  io_.sleep(kGainCodesLeadWaitMs);
  Send(gainCodes_);
  io_.sleep(kGainCodesApplyWaitMs);
}

int Recorder::ReadBlock(BYTE code, DWORD waitMs) {
  Send(MakeCommand(code, 0, 0, 0x20));
  io_.sleep(waitMs);
  return ReadInto(config_.Bytes(), sizeof(config_));
}

int Recorder::ReadConfig() { return ReadBlock(kCmdReadConfig, kReadConfigWaitMs); }
int Recorder::RereadConfig() { return ReadBlock(kCmdRereadConfig, kRereadConfigWaitMs); }

void Recorder::WriteConfig() {
  Send(MakeCommand(kCmdWriteConfig, 0, 0x20, 0));
  io_.sleep(kWriteConfigWaitMs);
  const int length = WriteConfigBytes(config_.version);
  DWORD written = 0;
  for (int i = 0; i < length; ++i) io_.write(link_, config_.Bytes() + i, 1, &written);
  io_.sleep(kWriteConfigWaitMs);
}

void Recorder::SetZeroOffsets(BYTE z1, BYTE z2, BYTE z3) {
  zeroOffsets_.param1 = z1;
  zeroOffsets_.param2 = z2;
  zeroOffsets_.param3 = z3;
  Send(zeroOffsets_);
  io_.sleep(kZeroOffsetsWaitMs);
}

void Recorder::EnterNormalMode() { Send(MakeCommand(kCmdNormalMode)); }
void Recorder::EnterSetupMode() { Send(MakeCommand(kCmdSetupMode)); }

}  // namespace ordiva
