// The recorder's command packets: codes, the 8-byte packet and its builder. Shared by the
// program's command unit and the virtual recorder, which answers the same packets.
#pragma once

#include <cstddef>

#include "nxpal/types.h"

namespace ordiva {

// Command codes (byte 4 of a packet).
inline constexpr BYTE kCmdReadConfig = 0x01;
inline constexpr BYTE kCmdRereadConfig = 0x04;
inline constexpr BYTE kCmdZeroOffsets = 0x05;
inline constexpr BYTE kCmdRelease = 0x07;
inline constexpr BYTE kCmdStartStream = 0x08;
inline constexpr BYTE kCmdNormalMode = 0x0A;
inline constexpr BYTE kCmdSetupMode = 0x0B;
inline constexpr BYTE kCmdStopStream = 0x0C;
inline constexpr BYTE kCmdWriteConfig = 0x0D;
inline constexpr BYTE kCmdGainCodes = 0x13;

inline constexpr BYTE kPreambleByte = 0xFF;
// Byte 5 of the reply to a release that the recorder accepted.
inline constexpr BYTE kReleaseAccepted = 0x80;

// Waits of the command unit, in milliseconds. The recorder never acknowledges a packet:
// these sleeps are the only pacing between the program and its firmware, so each is the
// time the recorder is given to act on what it was just sent.
// After 0C: the recorder stops streaming before the link is drained of what it sent.
inline constexpr DWORD kStopStreamWaitMs = 100;
// After 08: the first bytes of the new stream arrive before they are read and discarded.
inline constexpr DWORD kStartStreamWaitMs = 100;
// After 07: the recorder answers the release with its 8-byte reply.
inline constexpr DWORD kReleaseReplyWaitMs = 1000;
// Before 13, slept twice in a row: the pause the recorder gets after the command before.
inline constexpr DWORD kGainCodesLeadWaitMs = 100;
// After 13: the recorder applies the new gains.
inline constexpr DWORD kGainCodesApplyWaitMs = 1000;
// After 01: the whole 64-byte configuration block has arrived before the one read.
inline constexpr DWORD kReadConfigWaitMs = 1000;
// After 04: the block is read again, from a recorder that has just sent it once.
inline constexpr DWORD kRereadConfigWaitMs = 100;
// After 0D: the recorder is ready to take the block; and again after the block's last
// byte, while it stores the block.
inline constexpr DWORD kWriteConfigWaitMs = 500;
// After 05: the recorder takes the new zero offsets.
inline constexpr DWORD kZeroOffsetsWaitMs = 100;

// One command packet, sent byte by byte in offset order.
struct RecorderCommand {
  BYTE preamble[4];  // 0-3: always FF FF FF FF
  BYTE code;  // 4: command code
  BYTE param1;  // 5
  BYTE param2;  // 6
  BYTE param3;  // 7
};
static_assert(sizeof(RecorderCommand) == 8);
static_assert(offsetof(RecorderCommand, code) == 4 && offsetof(RecorderCommand, param3) == 7);

constexpr RecorderCommand MakeCommand(BYTE code, BYTE p1 = 0, BYTE p2 = 0, BYTE p3 = 0) {
  return RecorderCommand{{kPreambleByte, kPreambleByte, kPreambleByte, kPreambleByte}, code, p1, p2, p3};
}

}  // namespace ordiva
