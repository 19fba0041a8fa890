// The recorder command unit's operations: packets written one byte per link write,
// fixed sleeps, and the reads each operation makes.
#include "recorder.h"

namespace ordiva {
namespace {

constexpr int kDrainReads = 10000;  // reads of a stream that does not stop
constexpr int kStartDiscard = 61;  // first bytes of a started stream, thrown away

}  // namespace

Recorder::Recorder(HVKBTLINK linkHandle, RecorderIo recorderIo) : link(linkHandle), io(std::move(recorderIo)) {}

void Recorder::Send(const RecorderCommand& command) {
  const BYTE* bytes = reinterpret_cast<const BYTE*>(&command);
  DWORD written = 0;
  for (size_t i = 0; i < sizeof(command); ++i) io.write(link, bytes + i, 1, &written);
}

int Recorder::ReadInto(BYTE* buffer, DWORD length) {
  DWORD count = 0;
  io.read(link, buffer, length, &count);
  return static_cast<int>(count);
}

void Recorder::StopStream() {
  Send(MakeCommand(kCmdStopStream));
  io.sleep(100);
  BYTE byte = 0;
  for (int i = 0; i < kDrainReads; ++i) {
    if (ReadInto(&byte, 1) == 0) return;  // the link is drained
  }
  MessageBoxW(nullptr, u"Останов FP не сработал", u"Информация", MB_OK | MB_ICONINFORMATION);
}

void Recorder::StartStream() {
  if (resetDecoder) resetDecoder();
  Send(MakeCommand(kCmdStartStream));
  io.sleep(100);
  BYTE byte = 0;
  for (int i = 0; i < kStartDiscard; ++i) ReadInto(&byte, 1);
}

bool Recorder::ReleaseRecorder() {
  Send(MakeCommand(kCmdRelease));
  io.sleep(1000);
  ReadInto(reply, sizeof(reply));
  return reply[5] == kReleaseAccepted;
}

void Recorder::SetGainCodes(BYTE g1, BYTE g2, BYTE g3) {
  gainCodes_.param1 = g3;
  gainCodes_.param2 = g2;
  gainCodes_.param3 = g1;
  io.sleep(100);
  io.sleep(100);
  Send(gainCodes_);
  io.sleep(1000);
}

int Recorder::ReadBlock(BYTE code, DWORD waitMs) {
  Send(MakeCommand(code, 0, 0, 0x20));
  io.sleep(waitMs);
  return ReadInto(config.Bytes(), sizeof(config));
}

int Recorder::ReadConfig() { return ReadBlock(kCmdReadConfig, 1000); }
int Recorder::RereadConfig() { return ReadBlock(kCmdRereadConfig, 100); }

void Recorder::WriteConfig() {
  Send(MakeCommand(kCmdWriteConfig, 0, 0x20, 0));
  io.sleep(500);
  const int length = WriteConfigBytes(config.version);
  DWORD written = 0;
  for (int i = 0; i < length; ++i) io.write(link, config.Bytes() + i, 1, &written);
  io.sleep(500);
}

void Recorder::SetZeroOffsets(BYTE z1, BYTE z2, BYTE z3) {
  zeroOffsets_.param1 = z1;
  zeroOffsets_.param2 = z2;
  zeroOffsets_.param3 = z3;
  Send(zeroOffsets_);
  io.sleep(100);
}

void Recorder::EnterNormalMode() { Send(MakeCommand(kCmdNormalMode)); }
void Recorder::EnterSetupMode() { Send(MakeCommand(kCmdSetupMode)); }

}  // namespace ordiva
