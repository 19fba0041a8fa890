// The recorder command unit: 8-byte command packets, each with its fixed waits and its
// own way of reading a reply, and the configuration block they carry. Timing towards
// the recorder is by fixed sleeps only; there is no acknowledgement.
#pragma once

#include <functional>

#include "nxpal/windows.h"
#include "recorder_config.h"
#include "recorder_protocol.h"
#include "vkbth.h"

namespace ordiva {

// The link functions and the sleep the unit uses; tests may watch or replace them.
struct RecorderIo {
  std::function<BOOL(HVKBTLINK, LPVOID, DWORD, LPDWORD)> read = vkbtRead;
  std::function<BOOL(HVKBTLINK, LPCVOID, DWORD, LPDWORD)> write = vkbtWrite;
  std::function<void(DWORD)> sleep = ::Sleep;
};

// The unit's state lives for the whole run: the link handle (opened and closed by the
// program, never here), the command packets of 13 and 05 (their parameters keep the last
// values put in), the 8-byte reply buffer shared by the greeting and the release reply,
// and the configuration block. One thread uses it at a time: the user-interface thread.
class Recorder {
 public:
  explicit Recorder(HVKBTLINK link = nullptr, RecorderIo io = {});

  // The link the commands go over; the program opens and closes it and puts it here.
  HVKBTLINK link() const { return link_; }
  void SetLink(HVKBTLINK link) {
    link_ = link;
    linkFailed_ = false;
  }
  // Whether a link call of the unit failed since the link was put here (the recorder
  // went away: what was sent may not have arrived).
  bool LinkFailed() const { return linkFailed_; }
  // The configuration block: filled by the reads, sent by WriteConfig, edited by callers.
  RecorderConfig& config() { return config_; }
  const RecorderConfig& config() const { return config_; }
  // The 8-byte reply buffer shared by the greeting and the release reply.
  BYTE* reply() { return reply_; }
  const BYTE* reply() const { return reply_; }
  // Puts the stream decoder back into its synchronising state; run by StartStream
  // before it sends.
  void SetResetDecoder(std::function<void()> reset) { resetDecoder_ = std::move(reset); }
  RecorderIo& io() { return io_; }

  // The 8-byte greeting a recorder sends when a link is made, into the reply buffer:
  // single-byte reads until 8 bytes came. False after 120 reads that delivered nothing,
  // or at once when a read fails (the link is gone).
  bool ReadGreeting();
  // 0C; 100 ms; single-byte reads until one delivers nothing, at most 10000. False when
  // all 10000 delivered (the stream did not stop): the program then shows
  // "Останов FP не сработал".
  [[nodiscard]] bool StopStream();
  // Decoder reset; 08; 100 ms; 61 single-byte reads, discarded.
  void StartStream();
  // 07; 1000 ms; one 8-byte read into the reply buffer; true when its byte 5 is 0x80.
  bool ReleaseRecorder();
  // 100 ms twice; 13 with channel 3 in byte 5, channel 2 in 6, channel 1 in 7; 1000 ms.
  void SetGainCodes(BYTE g1, BYTE g2, BYTE g3);
  // The gain codes last sent by SetGainCodes sent again with the same waits (a recorder
  // taken up again after a lost link); nothing when none were sent.
  void ResendGainCodes();
  // 01; 1000 ms; one 64-byte read into the block; the count it delivered.
  int ReadConfig();
  // 04; 100 ms; as ReadConfig.
  int RereadConfig();
  // 0D; 500 ms; the block byte by byte (32 bytes with version 9, else 64); 500 ms.
  void WriteConfig();
  // 05 with the low bytes of the three channel zero offsets; 100 ms.
  void SetZeroOffsets(BYTE z1, BYTE z2, BYTE z3);
  void EnterNormalMode();  // 0A, no wait
  void EnterSetupMode();  // 0B, no wait

 private:
  void Send(const RecorderCommand& command);
  int ReadInto(BYTE* buffer, DWORD length);  // one read; the count it delivered
  int ReadBlock(BYTE code, DWORD waitMs);

  HVKBTLINK link_;
  RecorderConfig config_{};
  BYTE reply_[8]{};
  std::function<void()> resetDecoder_;
  RecorderIo io_;
  RecorderCommand gainCodes_ = MakeCommand(kCmdGainCodes);
  bool gainCodesSent_ = false;
  bool linkFailed_ = false;
  RecorderCommand zeroOffsets_ = MakeCommand(kCmdZeroOffsets);
};

}  // namespace ordiva
