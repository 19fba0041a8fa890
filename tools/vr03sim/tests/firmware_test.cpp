// The virtual recorder's command side: packets found in any byte split, the replies and
// state changes of each command, block writes of 64 and 32 bytes, and the stored block
// and command line.
#include <gtest/gtest.h>

#include <fstream>

#include "firmware.h"
#include "nxtest/temp.h"
#include "options.h"

namespace {

using vr03sim::Bytes;
using vr03sim::Firmware;
using vr03sim::RecorderConfig;

constexpr int64_t kMs = 1'000'000;

Bytes Packet(BYTE code, BYTE p1 = 0, BYTE p2 = 0, BYTE p3 = 0) { return {0xFF, 0xFF, 0xFF, 0xFF, code, p1, p2, p3}; }
Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Host {
  explicit Host(const RecorderConfig& c) : fw(c) {}
  // Sends bytes, one Receive per chunk of the given size.
  Firmware::Effects Send(const Bytes& bytes, size_t chunk = 1000, int64_t at = 0) {
    Firmware::Effects all;
    for (size_t i = 0; i < bytes.size(); i += chunk) {
      auto e = fw.Receive(bytes.data() + i, std::min(chunk, bytes.size() - i), at, reply);
      all.configChanged |= e.configChanged;
      all.started |= e.started;
      all.stopped |= e.stopped;
    }
    return all;
  }
  Firmware fw;
  Bytes reply;
};

RecorderConfig Factory() { return vr03sim::FactoryConfig(0x008025000001ull); }

TEST(Firmware, RepliesToReadsAndReleaseWhateverTheByteSplit) {
  for (size_t chunk : {size_t{1}, size_t{3}, size_t{1000}}) {
    SCOPED_TRACE("chunk " + std::to_string(chunk));
    Host h(Factory());
    // Noise before the preamble, more than four FF, then the packets back to back.
    h.Send(Bytes{0x00, 0xFF, 0x13, 0xFF, 0xFF} + Bytes{0xFF} + Packet(0x01, 0, 0, 0x20) + Packet(0x04, 0, 0, 0x20), chunk);
    ASSERT_EQ(h.reply.size(), 128u);
    const RecorderConfig factory = Factory();
    EXPECT_EQ(Bytes(h.reply.begin(), h.reply.begin() + 64), Bytes(factory.Bytes(), factory.Bytes() + 64));
    h.reply.clear();
    h.Send(Packet(0x08), chunk);
    EXPECT_TRUE(h.fw.Streaming());
    auto e = h.Send(Packet(0x07), chunk);
    EXPECT_TRUE(e.stopped);
    EXPECT_FALSE(h.fw.Streaming()) << "a released recorder stops streaming";
    ASSERT_EQ(h.reply.size(), 8u);
    EXPECT_EQ(h.reply[5], 0x80);
  }
  EXPECT_NE(vr03sim::Greeting(Factory())[5], 0x80) << "the greeting must not look like an accepted release";
}

TEST(Firmware, SettingsCommandsChangeTheBlockAndState) {
  Host h(Factory());
  auto e = h.Send(Packet(0x13, 7, 6, 5));
  EXPECT_TRUE(e.configChanged);
  EXPECT_EQ(h.fw.GainCode(0), 5) << "byte 7 is channel 1";
  EXPECT_EQ(h.fw.GainCode(2), 7) << "byte 5 is channel 3";
  // Parameters may be FF without being taken for a preamble.
  h.Send(Packet(0x05, 0xFF, 0xFF, 0xFF) + Packet(0x0B));
  EXPECT_EQ(h.fw.ZeroOffsets()[0], 0xFF);
  EXPECT_EQ(h.fw.ZeroOffsets()[2], 0xFF);
  EXPECT_EQ(h.fw.Config().mode, 0xFF);
  h.Send(Packet(0x04, 0, 0, 0x20));
  ASSERT_EQ(h.reply.size(), 64u);
  EXPECT_EQ(h.reply[41], 0xFF) << "setup mode shows in the block";
  e = h.Send(Packet(0x0A));
  EXPECT_TRUE(e.configChanged);
  EXPECT_NE(h.fw.Config().mode, 0xFF);
  // An unknown command changes nothing and the next one still works.
  e = h.Send(Packet(0x42, 1, 2, 3) + Packet(0x08));
  EXPECT_FALSE(e.configChanged);
  EXPECT_TRUE(e.started);
  e = h.Send(Packet(0x0C));
  EXPECT_TRUE(e.stopped);
  EXPECT_FALSE(h.fw.Streaming());
}

TEST(Firmware, ABlockWriteIsDataEvenWhenItLooksLikeCommands) {
  Host h(Factory());
  RecorderConfig sent = Factory();
  sent.leads = 2;
  sent.rateCode = 4;
  // Bytes 48-55 look like a start packet; they are configuration, not a command.
  Bytes start = Packet(0x08);
  std::copy(start.begin(), start.end(), sent.Bytes() + 48);
  auto e = h.Send(Packet(0x0D, 0, 0x20, 0) + Bytes(sent.Bytes(), sent.Bytes() + 64), 5);
  EXPECT_TRUE(e.configChanged);
  EXPECT_FALSE(h.fw.Streaming());
  EXPECT_EQ(Bytes(h.fw.Config().Bytes(), h.fw.Config().Bytes() + 64), Bytes(sent.Bytes(), sent.Bytes() + 64));
  EXPECT_EQ(h.fw.Leads(), 2);
  EXPECT_EQ(h.fw.RateHz(), 1000);
}

TEST(Firmware, Version9TakesThirtyTwoBytesAndOthersTakeThemAfterAPause) {
  RecorderConfig nine = Factory();
  nine.version = 9;
  {
    Host h(nine);
    Bytes block(32, 0x11);
    block[11] = 9;
    auto e = h.Send(Packet(0x0D, 0, 0x20, 0) + block + Packet(0x08));
    EXPECT_TRUE(e.configChanged);
    EXPECT_TRUE(e.started) << "the packet after 32 bytes is a command again";
    EXPECT_EQ(h.fw.Config().Bytes()[31], 0x11);
    EXPECT_EQ(h.fw.Config().Bytes()[32], nine.Bytes()[32]) << "the rest keeps what was stored";
  }
  // A version-10 recorder given 32 bytes (the host's copy says 9): complete once the
  // host has been quiet, not before.
  Host h(Factory());
  Bytes block(32, 0x22);
  h.Send(Packet(0x0D, 0, 0x20, 0) + block, 1000, 1000 * kMs);
  EXPECT_TRUE(h.fw.BlockPending());
  EXPECT_FALSE(h.fw.Tick(1100 * kMs).configChanged);
  EXPECT_TRUE(h.fw.BlockPending());
  EXPECT_TRUE(h.fw.Tick(1000 * kMs + vr03sim::kBlockPauseNs).configChanged);
  EXPECT_FALSE(h.fw.BlockPending());
  EXPECT_EQ(h.fw.Config().Bytes()[0], 0x22);
  EXPECT_EQ(h.fw.Config().Bytes()[40], Factory().Bytes()[40]);
  // The host's wait between the packet and the block is no pause of the block.
  h.Send(Packet(0x0D, 0, 0x20, 0), 1000, 2000 * kMs);
  EXPECT_FALSE(h.fw.Tick(2600 * kMs).configChanged);
  EXPECT_TRUE(h.fw.BlockPending());
  h.Send(Bytes(64, 0x44), 1000, 2600 * kMs);
  EXPECT_EQ(h.fw.Config().Bytes()[63], 0x44);
  // Fewer than 32 bytes: waited for, then thrown away after a long silence.
  h.Send(Packet(0x0D, 0, 0x20, 0) + Bytes(10, 0x33), 1000, 5000 * kMs);
  EXPECT_FALSE(h.fw.Tick(5000 * kMs + vr03sim::kBlockPauseNs).configChanged);
  EXPECT_TRUE(h.fw.BlockPending());
  EXPECT_FALSE(h.fw.Tick(5000 * kMs + vr03sim::kBlockAbandonNs).configChanged);
  EXPECT_FALSE(h.fw.BlockPending());
  EXPECT_EQ(h.fw.Config().Bytes()[0], 0x44);
  auto e = h.Send(Packet(0x08), 1000, 9000 * kMs);
  EXPECT_TRUE(e.started) << "commands again after the abandoned block";
}

TEST(Firmware, ADisconnectStopsTheStreamAndForgetsAHalfPacket) {
  Host h(Factory());
  h.Send(Packet(0x08) + Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x13});
  EXPECT_TRUE(h.fw.Streaming());
  h.fw.Disconnect();
  EXPECT_FALSE(h.fw.Streaming());
  auto e = h.Send(Bytes{7, 6, 5});
  EXPECT_FALSE(e.configChanged);
  EXPECT_EQ(h.fw.GainCode(0), 4);
}

TEST(Firmware, TheCommandLogNamesEachPacketAndBlockWithItsTime) {
  Host h(Factory());
  std::vector<std::pair<int64_t, std::string>> log;
  h.fw.commandLog = [&](int64_t at, const std::string& what) { log.emplace_back(at, what); };
  h.Send(Packet(0x13, 7, 6, 5), 1000, 10 * kMs);
  h.Send(Packet(0x0D, 0, 0x20, 0), 1000, 20 * kMs);
  h.Send(Bytes(63, 0x11), 1000, 520 * kMs);
  EXPECT_EQ(log.size(), 2u) << "the block is not complete yet";
  h.Send(Bytes{0x22} + Bytes{0x00, 0xFF, 0xFF} + Packet(0x42), 1, 530 * kMs);
  const std::vector<std::pair<int64_t, std::string>> want = {
      {10 * kMs, "13 07 06 05 SetGainCodes"},
      {20 * kMs, "0D 00 20 00 WriteConfig"},
      {530 * kMs, "block 64"},
      {530 * kMs, "42 00 00 00 unknown"},
  };
  EXPECT_EQ(log, want);
}

TEST(ConfigFile, StoredBlocksSurviveAndBadFilesAreRefused) {
  nxtest::TempDir dir;
  const std::string path = dir.Path() + "/sub/recorder.cfg";
  RecorderConfig c = Factory();
  bool exists = true;
  std::string error;
  ASSERT_TRUE(vr03sim::LoadConfig(path, &c, &exists, &error));
  EXPECT_FALSE(exists);

  c.leads = 1;
  c.unused48[15] = 0xEE;
  ASSERT_TRUE(vr03sim::SaveConfig(path, c, &error)) << error;
  RecorderConfig back{};
  ASSERT_TRUE(vr03sim::LoadConfig(path, &back, &exists, &error));
  EXPECT_TRUE(exists);
  EXPECT_EQ(Bytes(back.Bytes(), back.Bytes() + 64), Bytes(c.Bytes(), c.Bytes() + 64));

  for (size_t size : {size_t{63}, size_t{65}, size_t{0}}) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << std::string(size, 'x');
    EXPECT_FALSE(vr03sim::LoadConfig(path, &back, &exists, &error)) << size;
    EXPECT_NE(error.find("64-byte"), std::string::npos);
    EXPECT_EQ(error.find('\n'), std::string::npos);
  }
}

TEST(CommandLine, ValuesAreCheckedAndReasonsAreOneLine) {
  vr03sim::Options o;
  std::string error;
  const char* good[] = {"--address", "00:80:25:aa:bb:0c", "--leads", "2", "--rate", "500", "--position",
                        "left,upright", "--stall", "300/2", "--drop", "0.01", "--version", "9", "--no-rfcomm"};
  ASSERT_TRUE(vr03sim::ParseOptions(15, good, &o, &error)) << error;
  EXPECT_EQ(o.address, 0x008025AABB0Cull);
  EXPECT_EQ(o.leads, 2);
  EXPECT_EQ(o.rateHz, 500);
  ASSERT_EQ(o.signal.positions.size(), 2u);
  EXPECT_EQ(o.signal.positions[1], vr03sim::Position::Upright);
  EXPECT_EQ(o.faults.stallMs, 300);
  EXPECT_DOUBLE_EQ(o.faults.stallEveryS, 2);
  EXPECT_EQ(o.version, 9);
  EXPECT_FALSE(o.rfcomm);

  const std::vector<std::vector<const char*>> bad = {
      {"--leads", "4"},       {"--rate", "300"},        {"--address", "00:80:25:AA:BB"},
      {"--drop", "1.5"},      {"--position", "side"},   {"--stall", "3000/2"},
      {"--channel", "31"},    {"--leads"},              {"--frobnicate"},
      {"--heart-rate", "x"},  {"--version", "256"}};
  for (const auto& args : bad) {
    vr03sim::Options o2;
    EXPECT_FALSE(vr03sim::ParseOptions(static_cast<int>(args.size()), args.data(), &o2, &error)) << args[0];
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(error.find('\n'), std::string::npos);
  }
}

}  // namespace
