// The recorder command unit against a scripted recorder on a real link: the exact bytes,
// one-byte writes, waits and reads of every operation, in order, and how each operation
// treats the replies it gets (short, missing, endless).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "nxtest/btpeer.h"
#include "recorder.h"
#include "vkbth/devtools.h"
#include "working_window.h"

namespace {

using ordiva::Recorder;
using ordiva::RecorderConfig;
using Bytes = std::vector<unsigned char>;
using Events = std::vector<std::string>;

constexpr ULONGLONG kAddress = 0x008025AB0003ull;

std::string Hex(unsigned b) {
  char s[8];
  std::snprintf(s, sizeof(s), "%02X", b & 0xFF);
  return s;
}

// The events of sending a packet: eight one-byte writes.
Events Packet(unsigned code, unsigned p1 = 0, unsigned p2 = 0, unsigned p3 = 0) {
  Events e;
  for (unsigned b : {0xFFu, 0xFFu, 0xFFu, 0xFFu, code, p1, p2, p3}) e.push_back("w " + Hex(b));
  return e;
}
Bytes PacketBytes(unsigned code, unsigned p1 = 0, unsigned p2 = 0, unsigned p3 = 0) {
  return Bytes{0xFF, 0xFF, 0xFF, 0xFF, static_cast<unsigned char>(code), static_cast<unsigned char>(p1),
               static_cast<unsigned char>(p2), static_cast<unsigned char>(p3)};
}
Events operator+(Events a, const Events& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Events Sleep(int ms) { return {"sleep " + std::to_string(ms)}; }
Events Reads(int length, int delivered, int times = 1) {
  return Events(static_cast<size_t>(times), "read " + std::to_string(length) + "/" + std::to_string(delivered));
}

RecorderConfig SampleConfig(BYTE version) {
  RecorderConfig c{};
  for (int i = 0; i < 64; ++i) c.Bytes()[i] = static_cast<BYTE>(0xA0 + i);
  c.version = version;
  return c;
}

struct Shown {
  int count = 0;
  std::u16string text, caption;
  UINT style = 0;
};
int RecordMessage(void* context, HWND, LPCWSTR text, LPCWSTR caption, UINT style) {
  auto* shown = static_cast<Shown*>(context);
  ++shown->count;
  shown->text = text;
  shown->caption = caption;
  shown->style = style;
  return IDOK;
}

// A recorder on the other end of a real link. Every link call and sleep of the unit is
// written to the event list; the script reacts to sleeps the way a recorder answers
// while the program waits.
class RecorderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    peer_ = std::make_unique<bttest::PeerDevice>(world_.Dir(), kAddress);
    ASSERT_TRUE(NxBtCreateDeviceInfo(kAddress, u"VR-03M 0003", nullptr, 1, nullptr, &device_));
    ASSERT_TRUE(vkbtCreate(device_, &link_));
    fd_ = peer_->Accept();
    ASSERT_GE(fd_, 0);
    rec_.SetLink(link_);
    rec_.io().write = [this](HVKBTLINK h, LPCVOID buf, DWORD len, LPDWORD out) {
      events_.push_back(len == 1 ? "w " + Hex(*static_cast<const BYTE*>(buf)) : "w len " + std::to_string(len));
      return vkbtWrite(h, buf, len, out);
    };
    rec_.io().read = [this](HVKBTLINK h, LPVOID buf, DWORD len, LPDWORD out) {
      BOOL ok = vkbtRead(h, buf, len, out);
      events_.push_back("read " + std::to_string(len) + "/" + std::to_string(*out));
      return ok;
    };
    rec_.io().sleep = [this](DWORD ms) {
      events_.push_back("sleep " + std::to_string(ms));
      if (onSleep_) onSleep_(ms);
    };
    previousHook_ = NxSetMessageBoxHook(RecordMessage, &shown_);
  }
  void TearDown() override {
    NxSetMessageBoxHook(previousHook_, nullptr);
    EXPECT_TRUE(vkbtClose(link_));
    EXPECT_TRUE(vkbtDeviceInfoClose(device_));
  }
  // What the recorder received since the last call.
  Bytes Wire() { return bttest::TakeAvailable(fd_); }
  void Answer(const Bytes& bytes) { ASSERT_TRUE(bttest::SendAll(fd_, bytes)); }

  bttest::VirtualWorld world_;
  std::unique_ptr<bttest::PeerDevice> peer_;
  HVKBTDEVICE device_ = nullptr;
  HVKBTLINK link_ = nullptr;
  int fd_ = -1;
  Recorder rec_;
  Events events_;
  std::function<void(DWORD)> onSleep_;
  Shown shown_;
  NxMessageBoxHook previousHook_ = nullptr;
};

TEST_F(RecorderTest, CommandsWithoutReplyPutTheirBytesOnTheWireOneWriteEach) {
  rec_.EnterNormalMode();
  EXPECT_EQ(events_, Packet(0x0A));
  EXPECT_EQ(Wire(), PacketBytes(0x0A));

  events_.clear();
  rec_.EnterSetupMode();
  EXPECT_EQ(events_, Packet(0x0B));
  EXPECT_EQ(Wire(), PacketBytes(0x0B));

  events_.clear();
  rec_.SetGainCodes(5, 6, 7);
  EXPECT_EQ(events_, Sleep(100) + Sleep(100) + Packet(0x13, 7, 6, 5) + Sleep(1000));
  EXPECT_EQ(Wire(), PacketBytes(0x13, 7, 6, 5)) << "channel 3 first on the wire";

  events_.clear();
  rec_.SetZeroOffsets(0x11, 0x22, 0x33);
  EXPECT_EQ(events_, Packet(0x05, 0x11, 0x22, 0x33) + Sleep(100));
  EXPECT_EQ(Wire(), PacketBytes(0x05, 0x11, 0x22, 0x33));
  // Nothing was read: these commands get no reply.
  for (const auto& e : events_) EXPECT_EQ(e.rfind("read", 0), std::string::npos);
}

TEST_F(RecorderTest, WriteConfigSendsTheFirst32BytesForVersion9AndAll64Otherwise) {
  for (BYTE version : {BYTE{9}, BYTE{8}, BYTE{10}, BYTE{0}}) {
    SCOPED_TRACE("version " + std::to_string(version));
    events_.clear();
    rec_.config() = SampleConfig(version);
    rec_.WriteConfig();
    const int length = version == 9 ? 32 : 64;
    Events block;
    for (int i = 0; i < length; ++i) block.push_back("w " + Hex(rec_.config().Bytes()[i]));
    EXPECT_EQ(events_, Packet(0x0D, 0x00, 0x20, 0x00) + Sleep(500) + block + Sleep(500));
    Bytes wire = Wire();
    ASSERT_EQ(wire.size(), 8u + static_cast<size_t>(length));
    EXPECT_EQ(Bytes(wire.begin() + 8, wire.end()), Bytes(rec_.config().Bytes(), rec_.config().Bytes() + length));
  }
}

TEST_F(RecorderTest, ReadConfigTakesOneReadAfterItsWaitAndReportsTheCount) {
  const RecorderConfig sent = SampleConfig(10);
  onSleep_ = [&](DWORD) {
    if (Wire() == PacketBytes(0x01, 0, 0, 0x20)) Answer(Bytes(sent.Bytes(), sent.Bytes() + 64));
  };
  EXPECT_EQ(rec_.ReadConfig(), 64);
  EXPECT_EQ(events_, Packet(0x01, 0, 0, 0x20) + Sleep(1000) + Reads(64, 64));
  EXPECT_EQ(Bytes(rec_.config().Bytes(), rec_.config().Bytes() + 64), Bytes(sent.Bytes(), sent.Bytes() + 64));

  // A short reply: the count says so, and the block keeps its bytes beyond it.
  RecorderConfig fresh{};
  for (int i = 0; i < 64; ++i) fresh.Bytes()[i] = static_cast<BYTE>(i);
  events_.clear();
  onSleep_ = [&](DWORD) {
    if (Wire() == PacketBytes(0x04, 0, 0, 0x20)) Answer(Bytes(fresh.Bytes(), fresh.Bytes() + 32));
  };
  EXPECT_EQ(rec_.RereadConfig(), 32);
  EXPECT_EQ(events_, Packet(0x04, 0, 0, 0x20) + Sleep(100) + Reads(64, 32));
  EXPECT_EQ(rec_.config().Bytes()[31], 31);
  EXPECT_EQ(rec_.config().Bytes()[32], sent.Bytes()[32]);
  EXPECT_EQ(rec_.config().Bytes()[63], sent.Bytes()[63]);

  // No reply at all: 0, nothing changed.
  onSleep_ = nullptr;
  EXPECT_EQ(rec_.ReadConfig(), 0);
  EXPECT_EQ(rec_.config().Bytes()[0], 0);
  EXPECT_EQ(rec_.config().Bytes()[63], sent.Bytes()[63]);
}

TEST_F(RecorderTest, ReleaseLooksAtByte5OfTheReplyBuffer) {
  onSleep_ = [&](DWORD) {
    if (Wire() == PacketBytes(0x07)) Answer({1, 2, 3, 4, 5, 0x80, 7, 8});
  };
  EXPECT_TRUE(rec_.ReleaseRecorder());
  EXPECT_EQ(events_, Packet(0x07) + Sleep(1000) + Reads(8, 8));

  // A reply of 8 bytes without the mark.
  onSleep_ = [&](DWORD) {
    if (Wire() == PacketBytes(0x07)) Answer({1, 2, 3, 4, 5, 0x00, 7, 8});
  };
  EXPECT_FALSE(rec_.ReleaseRecorder());

  // A reply shorter than 6 bytes leaves byte 5 as the greeting had it.
  BYTE greeting[8] = {'V', 'R', '0', '3', 'M', 0x33, 10, 3};
  std::copy(greeting, greeting + 8, rec_.reply());
  onSleep_ = [&](DWORD) {
    if (Wire() == PacketBytes(0x07)) Answer({9, 9, 9});
  };
  EXPECT_FALSE(rec_.ReleaseRecorder());
  EXPECT_EQ(rec_.reply()[0], 9);
  EXPECT_EQ(rec_.reply()[3], '3');
  EXPECT_EQ(rec_.reply()[5], 0x33);
}

TEST_F(RecorderTest, StopStreamEndsAtTheFirstEmptyRead) {
  EXPECT_TRUE(rec_.StopStream());
  EXPECT_EQ(events_, Packet(0x0C) + Sleep(100) + Reads(1, 0));
  EXPECT_EQ(Wire(), PacketBytes(0x0C));

  // A stream that stops: the bytes in flight are drained, then one empty read.
  events_.clear();
  Answer(Bytes(500, 0x61));
  EXPECT_TRUE(rec_.StopStream());
  EXPECT_EQ(events_, Packet(0x0C) + Sleep(100) + Reads(1, 1, 500) + Reads(1, 0));
  EXPECT_EQ(shown_.count, 0);
}

TEST_F(RecorderTest, StopStreamGivesUpAfter10000ByteReadsWithItsMessage) {
  // 9999 bytes: the 10000th read is the empty one, no message.
  Answer(Bytes(9999, 0x61));
  EXPECT_TRUE(rec_.StopStream());
  EXPECT_EQ(events_, Packet(0x0C) + Sleep(100) + Reads(1, 1, 9999) + Reads(1, 0));
  EXPECT_EQ(shown_.count, 0);

  // More than 10000: exactly 10000 reads, reported as not drained; the rest stays in
  // the link. The unit itself shows nothing: the program's stop shows the message.
  events_.clear();
  Answer(Bytes(10001, 0x63));
  EXPECT_FALSE(rec_.StopStream());
  EXPECT_EQ(shown_.count, 0);
  events_.clear();
  Answer(Bytes(10004, 0x62));
  StopRecorderStream(rec_);
  EXPECT_EQ(events_, Packet(0x0C) + Sleep(100) + Reads(1, 1, 10000));
  EXPECT_EQ(shown_.count, 1);
  EXPECT_EQ(shown_.text, u"Останов FP не сработал");
  EXPECT_EQ(shown_.style & MB_TYPEMASK, MB_OK);
  EXPECT_EQ(shown_.style & MB_ICONMASK, MB_ICONINFORMATION);
  BYTE left[8];
  DWORD count = 0;
  ASSERT_TRUE(vkbtRead(link_, left, 8, &count));
  EXPECT_EQ(count, 5u);
}

TEST_F(RecorderTest, StartStreamResetsTheDecoderFirstAndDiscards61Bytes) {
  rec_.SetResetDecoder([&] { events_.push_back("reset"); });
  onSleep_ = [&](DWORD) {
    if (Wire() == PacketBytes(0x08)) Answer(Bytes(70, 0x60));
  };
  rec_.StartStream();
  EXPECT_EQ(events_, Events{"reset"} + Packet(0x08) + Sleep(100) + Reads(1, 1, 61));
  BYTE left[16];
  DWORD count = 0;
  ASSERT_TRUE(vkbtRead(link_, left, 16, &count));
  EXPECT_EQ(count, 9u) << "61 of 70 taken";

  // Empty reads count too: 61 reads whatever they deliver.
  events_.clear();
  ASSERT_TRUE(vkbtSetTimeout(link_, 1));
  onSleep_ = [&](DWORD) { Answer(Bytes(3, 0x60)); };
  rec_.StartStream();
  EXPECT_EQ(events_, Events{"reset"} + Packet(0x08) + Sleep(100) + Reads(1, 1, 3) + Reads(1, 0, 58));
}

TEST(RecorderConfigLayout, FieldsSitAtTheirOffsetsLittleEndian) {
  RecorderConfig c{};
  c.accelZeroX.Set(0x0812);
  c.accelZeroY.Set(0x07F0);
  c.accelZeroZ.Set(0x0834);
  c.gainValue[0].Set(728);
  c.gainStep[2].Set(182);
  c.number.Set(300 % 256);
  c.gainCopy[2].Set(0xBEEF);
  const BYTE* b = c.Bytes();
  EXPECT_EQ(b[23], 0x12);
  EXPECT_EQ(b[24], 0x08);
  EXPECT_EQ(b[25], 0xF0);
  EXPECT_EQ(b[26], 0x07);
  EXPECT_EQ(b[27], 0x34);
  EXPECT_EQ(b[28], 0x08);
  EXPECT_EQ(nx::LoadLe16(b + 16), 728);
  EXPECT_EQ(nx::LoadLe16(b + 36), 182);
  EXPECT_EQ(b[8], 44);
  EXPECT_EQ(b[9], 0);
  EXPECT_EQ(b[46], 0xEF);
  EXPECT_EQ(b[47], 0xBE);
  EXPECT_EQ(c.accelZeroY.Get(), 0x07F0);
}

}  // namespace
