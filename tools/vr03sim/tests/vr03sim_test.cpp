// The real vr03sim program on a private virtual transport, reached through the link
// library: greeting, configuration replies, the live stream checked record by record by
// a decoder of this test, the command unit's operations, the stored block across
// restarts, one host at a time, faults, and the command line.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "nxtest/btpeer.h"
#include "nxtest/process.h"
#include "recorder.h"
#include "vkbth.h"
#include "vkbth/devtools.h"

namespace {

using Bytes = std::vector<unsigned char>;
using ordiva::RecorderConfig;
using Clock = std::chrono::steady_clock;

constexpr ULONGLONG kAddress = 0x008025000042ull;
const char* const kAddressText = "00:80:25:00:00:42";

std::string Tool() {
  const char* bin = std::getenv("NX_TEST_BIN_DIR");
  return bin ? std::string(bin) + "/vr03sim" : std::string();
}

// One run of the program with its output in files of a folder.
class Sim : public nxtest::ChildProcess {
 public:
  Sim(const std::string& outDir, std::vector<std::string> args)
      : ChildProcess(Tool(), std::move(args), outDir + "/out", outDir + "/err") {}
  // Waits until the device's socket is there; false when the program ended first.
  bool WaitReady(const std::string& dir) {
    const std::string socketPath = dir + "/" + kAddressText;
    for (int i = 0; i < 1000 && Running(); ++i) {
      if (std::filesystem::exists(socketPath)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
};

// A host's link to the virtual recorder.
class Host {
 public:
  Host() {
    EXPECT_TRUE(NxBtCreateDeviceInfo(kAddress, u"VR-03M 0042", nullptr, 1, u"8779", &device_));
    ok_ = vkbtCreate(device_, &link_) != FALSE;
  }
  ~Host() {
    if (ok_) vkbtClose(link_);
    vkbtDeviceInfoClose(device_);
  }
  bool Ok() const { return ok_; }
  HVKBTLINK Link() const { return link_; }
  void Send(const Bytes& bytes) {
    DWORD n = 0;
    ASSERT_TRUE(vkbtWrite(link_, bytes.data(), static_cast<DWORD>(bytes.size()), &n));
    ASSERT_EQ(n, bytes.size());
  }
  // Up to count bytes within the time limit.
  Bytes Read(size_t count, DWORD timeoutMs = 3000) {
    vkbtSetTimeout(link_, timeoutMs);
    Bytes b(count);
    DWORD n = 0;
    EXPECT_TRUE(vkbtRead(link_, b.data(), static_cast<DWORD>(count), &n));
    b.resize(n);
    vkbtSetTimeout(link_, 100);
    return b;
  }
  // Reads until the link is quiet for 300 ms, for at most 10 s (a stream that never
  // stops is then left to the caller's check); the number of bytes drained.
  size_t Drain() {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    size_t total = 0;
    for (size_t n; std::chrono::steady_clock::now() < until && (n = Read(4096, 300).size()) > 0;) total += n;
    return total;
  }
  // One byte per vkbtRead, as the acquisition reads the stream; false when none came.
  bool Byte(unsigned char* b) {
    DWORD n = 0;
    for (int i = 0; i < 50; ++i) {  // 50 x 100 ms
      if (!vkbtRead(link_, b, 1, &n)) return false;
      if (n == 1) return true;
    }
    return false;
  }

 private:
  HVKBTDEVICE device_ = nullptr;
  HVKBTLINK link_ = nullptr;
  bool ok_ = false;
};

Bytes Packet(unsigned char code, unsigned char p1 = 0, unsigned char p2 = 0, unsigned char p3 = 0) {
  return {0xFF, 0xFF, 0xFF, 0xFF, code, p1, p2, p3};
}

// The decoder of this test: reads records one byte at a time and checks every pair's
// tag against the cycle: record 0 of each 44 is full (tags 6 5 4 3, then L-1 .. 0),
// records 11, 22 and 33 are motion records (5 4 3, then the ECG pairs), all others
// sample records (the ECG pairs only).
struct Record {
  char kind;  // 'F', 'M', 'S'
  std::vector<int> tags, values;
};
struct Decoded {
  std::vector<Record> records;
  int firstBad = -1;  // index of the first record whose tags do not fit, or -1
};

Decoded DecodeStrict(Host& host, int leads, int count) {
  Decoded d;
  for (int r = 0; r < count; ++r) {
    const int k = r % 44;
    Record rec;
    rec.kind = k == 0 ? 'F' : (k == 11 || k == 22 || k == 33) ? 'M' : 'S';
    std::vector<int> expected;
    if (rec.kind == 'F') expected.push_back(6);
    if (rec.kind != 'S') expected.insert(expected.end(), {5, 4, 3});
    for (int t = leads - 1; t >= 0; --t) expected.push_back(t);
    for (int tag : expected) {
      unsigned char hi = 0, lo = 0;
      if (!host.Byte(&hi) || !host.Byte(&lo)) {
        ADD_FAILURE() << "the stream ended at record " << r;
        return d;
      }
      rec.tags.push_back(hi >> 4);
      rec.values.push_back((hi & 0x0F) * 256 + lo);
      if ((hi >> 4) != tag && d.firstBad < 0) d.firstBad = r;
    }
    d.records.push_back(rec);
  }
  return d;
}

class Vr03sim : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::filesystem::exists(Tool())) << "NX_TEST_BIN_DIR is set by ctest";
    config_ = files_.Path() + "/recorder.cfg";
  }
  std::unique_ptr<Sim> Start(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--address", kAddressText, "--name", "VR-03M 0042", "--no-rfcomm",
                                     "--config",  config_};
    args.insert(args.end(), extra.begin(), extra.end());
    auto sim = std::make_unique<Sim>(files_.Path(), args);
    EXPECT_TRUE(sim->WaitReady(world_.Dir())) << sim->Err();
    return sim;
  }
  static void ExpectOneLineFailure(Sim& sim, int status) {
    EXPECT_EQ(sim.Wait(), status);
    std::string err = sim.Err();
    ASSERT_FALSE(err.empty());
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
  }

  bttest::VirtualWorld world_;
  nxtest::TempDir files_;
  std::string config_;
};

class Vr03simLeads : public Vr03sim, public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(Vr03simLeads, GreetsRepliesAndStreamsTheRecordCycle) {
  const auto [leads, rate] = GetParam();
  auto sim = Start({"--leads", std::to_string(leads), "--rate", std::to_string(rate), "--position", "upright"});
  Host host;
  ASSERT_TRUE(host.Ok()) << GetLastError();
  Bytes greeting = host.Read(8);
  ASSERT_EQ(greeting.size(), 8u);
  EXPECT_NE(greeting[5], 0x80);

  host.Send(Packet(0x01, 0, 0, 0x20));
  Bytes block = host.Read(64);
  ASSERT_EQ(block.size(), 64u);
  EXPECT_EQ(block[12], leads);
  EXPECT_EQ(block[14], rate / 250);

  host.Send(Packet(0x08));
  Decoded d = DecodeStrict(host, leads, 3 * 44 + 1);
  EXPECT_EQ(d.firstBad, -1);
  ASSERT_EQ(d.records.size(), 3u * 44 + 1);
  // Values: supply voltage near 1400 mV, gravity along +X (upright) at 1.5 g range,
  // and an ECG that moves around mid-scale.
  const Record& full = d.records[44];
  EXPECT_NEAR(full.values[0], 1400 * 1.365, 10);
  EXPECT_GT(full.values[3] - full.values[1], 900) << "X above Z by about 1 g";
  int lo = 4095, hi = 0;
  for (const Record& r : d.records) {
    int ecg = r.values.back();  // channel 1
    lo = std::min(lo, ecg);
    hi = std::max(hi, ecg);
  }
  EXPECT_GT(hi, 2048);
  EXPECT_LT(lo, 2048 + 300);

  host.Send(Packet(0x0C));
  host.Drain();
  EXPECT_EQ(host.Read(1, 300).size(), 0u) << "the stream has stopped";
  EXPECT_EQ(sim->Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Leads, Vr03simLeads,
                         ::testing::Values(std::make_pair(1, 250), std::make_pair(2, 500), std::make_pair(3, 1000)));

// The command log's lines as (seconds, text after the time).
std::vector<std::pair<double, std::string>> ReadCommandLog(const std::string& path) {
  std::vector<std::pair<double, std::string>> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const size_t space = line.find(' ');
    lines.emplace_back(std::stod(line.substr(0, space)), line.substr(space + 1));
  }
  return lines;
}

TEST_F(Vr03sim, TheCommandUnitDrivesTheRecorderAndTheBlockSurvivesARestart) {
  const std::string logPath = files_.Path() + "/commands.log";
  auto sim = Start({"--command-log", logPath});
  RecorderConfig written{};
  {
    Host host;
    ASSERT_TRUE(host.Ok());
    ASSERT_EQ(host.Read(8).size(), 8u);
    ordiva::Recorder rec(host.Link());
    int shown = 0;
    auto previous = NxSetMessageBoxHook(
        [](void* n, HWND, LPCWSTR, LPCWSTR, UINT) { return ++*static_cast<int*>(n), IDOK; }, &shown);

    EXPECT_TRUE(rec.StopStream());
    ASSERT_EQ(rec.ReadConfig(), 64);
    EXPECT_EQ(rec.config().leads, 3);
    rec.StartStream();
    EXPECT_TRUE(rec.StopStream());
    EXPECT_EQ(shown, 0) << "the stream stops at 0C";

    rec.EnterSetupMode();
    ASSERT_EQ(rec.RereadConfig(), 64);
    EXPECT_EQ(rec.config().mode, 0xFF);
    rec.EnterNormalMode();
    rec.SetGainCodes(5, 6, 7);
    ASSERT_EQ(rec.RereadConfig(), 64);
    EXPECT_NE(rec.config().mode, 0xFF);
    EXPECT_EQ(rec.config().gainCode[0], 5);
    EXPECT_EQ(rec.config().gainCode[2], 7);

    rec.config().number.Set(44);
    rec.config().leads = 2;
    rec.config().unused48[10] = 0x5A;
    rec.WriteConfig();
    written = rec.config();
    rec.StartStream();
    EXPECT_TRUE(rec.StopStream());
    EXPECT_TRUE(rec.ReleaseRecorder());
    NxSetMessageBoxHook(previous, nullptr);
  }
  EXPECT_EQ(sim->Stop(), 0);

  // The log shows the whole exchange in order, and the unit's fixed wait between the 0D
  // packet and its block.
  const auto log = ReadCommandLog(logPath);
  std::vector<std::string> names;
  for (const auto& [at, what] : log) names.push_back(what.size() > 12 ? what.substr(12) : what);
  const std::vector<std::string> want = {
      "connect",      "StopStream",    "ReadConfig",   "StartStream", "StopStream",  "EnterSetupMode",
      "RereadConfig", "EnterNormalMode", "SetGainCodes", "RereadConfig", "WriteConfig", "block 64",
      "StartStream",  "StopStream",    "ReleaseRecorder", "disconnect"};
  ASSERT_EQ(names, want);
  EXPECT_EQ(log[8].second, "13 07 06 05 SetGainCodes");
  const double blockWait = log[11].first - log[10].first;
  // Times are of arrival, so each end may be late by the link's delivery (20 ms); a
  // loaded machine only stretches the wait.
  EXPECT_GE(blockWait, 0.48);
  EXPECT_LE(blockWait, 0.75);
  EXPECT_GE(log[3].first - log[2].first, 0.98) << "ReadConfig waits 1000 ms before its read";

  sim = Start();
  Host host;
  ASSERT_TRUE(host.Ok());
  Bytes greeting = host.Read(8);
  ASSERT_EQ(greeting.size(), 8u);
  EXPECT_EQ(greeting[7], 2) << "the greeting shows the stored leads";
  ordiva::Recorder rec(host.Link());
  ASSERT_EQ(rec.ReadConfig(), 64);
  EXPECT_EQ(Bytes(rec.config().Bytes(), rec.config().Bytes() + 64), Bytes(written.Bytes(), written.Bytes() + 64));
}

TEST_F(Vr03sim, AVersion9RecorderTakes32ByteBlocks) {
  auto sim = Start({"--version", "9"});
  Host host;
  ASSERT_TRUE(host.Ok());
  ASSERT_EQ(host.Read(8).size(), 8u);
  ordiva::Recorder rec(host.Link());
  ASSERT_EQ(rec.ReadConfig(), 64);
  ASSERT_EQ(rec.config().version, 9);
  const RecorderConfig before = rec.config();
  rec.config().month = 11;  // inside the first 32 bytes
  rec.config().gainStep[0].Set(200);  // beyond them: not sent
  rec.WriteConfig();
  // The next command is a command again, not block data.
  ASSERT_EQ(rec.ReadConfig(), 64);
  EXPECT_EQ(rec.config().month, 11);
  EXPECT_EQ(rec.config().gainStep[0].Get(), before.gainStep[0].Get());
}

TEST_F(Vr03sim, OneHostAtATime) {
  auto sim = Start();
  auto first = std::make_unique<Host>();
  ASSERT_TRUE(first->Ok());
  EXPECT_EQ(first->Read(8).size(), 8u);
  {
    Host second;  // connects, but the recorder hangs up at once: its reads fail
    ASSERT_TRUE(second.Ok());
    unsigned char b[8];
    DWORD n = 5;
    vkbtSetTimeout(second.Link(), 500);
    EXPECT_FALSE(vkbtRead(second.Link(), b, 8, &n));
    EXPECT_EQ(GetLastError(), WSAECONNRESET);
    EXPECT_EQ(n, 0u);
  }
  first->Send(Packet(0x01, 0, 0, 0x20));
  EXPECT_EQ(first->Read(64).size(), 64u) << "the first host is still served";
  first.reset();
  // After the first host has gone, the next one is greeted.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Host third;
  ASSERT_TRUE(third.Ok());
  EXPECT_EQ(third.Read(8).size(), 8u);
}

TEST_F(Vr03sim, FaultsDisturbTheStream) {
  {
    auto sim = Start({"--garble", "0.05", "--seed", "3"});
    Host host;
    ASSERT_TRUE(host.Ok());
    ASSERT_EQ(host.Read(8).size(), 8u);
    host.Send(Packet(0x08));
    Decoded d = DecodeStrict(host, 3, 88);
    EXPECT_GE(d.firstBad, 0) << "garbled tags show";
  }
  auto sim = Start({"--stall", "400/1", "--rate", "1000"});
  Host host;
  ASSERT_TRUE(host.Ok());
  ASSERT_EQ(host.Read(8).size(), 8u);
  host.Send(Packet(0x08));
  // Some gap between bytes of at least 300 ms within 2.5 s of streaming.
  long long longestGapMs = 0;
  auto last = Clock::now();
  const auto end = last + std::chrono::milliseconds(2500);
  while (Clock::now() < end) {
    unsigned char b;
    DWORD n = 0;
    vkbtRead(host.Link(), &b, 1, &n);
    if (n == 1) {
      auto now = Clock::now();
      longestGapMs = std::max<long long>(longestGapMs, std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count());
      last = now;
    }
  }
  EXPECT_GE(longestGapMs, 300);
}

TEST_F(Vr03sim, AScenarioDropsTheLinkAndKeepsTheRecorderOutOfReachForAWhile) {
  const std::string scenario = files_.Path() + "/drop.txt";
  std::ofstream(scenario) << "# out of range for 2 s\n1.5 link-drop 2\n";
  const auto started = Clock::now();
  auto sim = Start({"--scenario", scenario});
  auto host = std::make_unique<Host>();
  ASSERT_TRUE(host->Ok());
  ASSERT_EQ(host->Read(8).size(), 8u);
  host->Send(Packet(0x08));
  // The stream runs until the drop, then the link fails.
  unsigned char b = 0;
  DWORD n = 0;
  vkbtSetTimeout(host->Link(), 100);
  const auto deadline = started + std::chrono::seconds(10);
  while (vkbtRead(host->Link(), &b, 1, &n) && Clock::now() < deadline) {
  }
  const auto dropped = Clock::now();
  EXPECT_LT(dropped, deadline) << "the link broke";
  EXPECT_GE(dropped - started, std::chrono::milliseconds(1400));
  host.reset();
  // Connections are hung up until the recorder is back in reach, then greeted.
  auto greeted = Clock::time_point{};
  bool refusedMeanwhile = false;
  while (Clock::now() < deadline && greeted == Clock::time_point{}) {
    Host again;
    unsigned char greeting[8];
    DWORD got = 0;
    vkbtSetTimeout(again.Link(), 300);
    if (again.Ok() && vkbtRead(again.Link(), greeting, 8, &got) && got == 8) {
      greeted = Clock::now();
    } else {
      refusedMeanwhile = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  EXPECT_TRUE(refusedMeanwhile);
  ASSERT_NE(greeted, Clock::time_point{}) << "back in reach";
  EXPECT_GE(greeted - started, std::chrono::milliseconds(3400));
}

TEST_F(Vr03sim, CommandLineAndLifecycle) {
  {
    Sim help(files_.Path(), {"--help"});
    EXPECT_EQ(help.Wait(), 0);
    const std::string text = help.Out();
    for (const char* word : {"--address", "--name", "--leads", "--rate", "--position", "--battery", "--drop",
                             "--extra", "--garble", "--stall", "--config", "NX_BT_DIR", "RFCOMM", "SIGTERM",
                             "--lead-off", "--mains", "--muscle", "--wander", "--clip", "--scenario", "link-drop"})
      EXPECT_NE(text.find(word), std::string::npos) << word;
  }
  {
    Sim bad(files_.Path(), {"--leads", "7"});
    ExpectOneLineFailure(bad, 2);
  }
  {
    const std::string scenario = files_.Path() + "/run.txt";
    std::ofstream(scenario) << "20 lead-off 2\n35 lead-on 7\n";
    Sim bad(files_.Path(), {"--scenario", scenario, "--no-rfcomm", "--config", config_});
    ExpectOneLineFailure(bad, 2);
    EXPECT_NE(bad.Err().find(scenario + ":2: "), std::string::npos) << bad.Err();
  }
  {
    std::ofstream(config_, std::ios::binary) << "short";
    Sim broken(files_.Path(), {"--config", config_, "--no-rfcomm"});
    ExpectOneLineFailure(broken, 1);
    std::filesystem::remove(config_);
  }
  {
    const char* saved = std::getenv("NX_BT_DIR");
    std::string dir = saved ? saved : "";
    unsetenv("NX_BT_DIR");
    Sim nowhere(files_.Path(), {"--no-rfcomm", "--config", config_});
    ExpectOneLineFailure(nowhere, 1);
    setenv("NX_BT_DIR", dir.c_str(), 1);
  }
  auto sim = Start();
  EXPECT_EQ(nxtest::Slurp(world_.Dir() + "/" + kAddressText + ".name"), "VR-03M 0042\n");
  {
    std::filesystem::create_directory(files_.Path() + "/twin");
    Sim twin(files_.Path() + "/twin", {"--address", kAddressText, "--no-rfcomm", "--config", config_ + "2"});
    EXPECT_EQ(twin.Wait(), 1) << "the address is served already";
  }
  EXPECT_EQ(sim->Stop(), 0);
  EXPECT_FALSE(std::filesystem::exists(world_.Dir() + "/" + kAddressText)) << "switched off";
  EXPECT_TRUE(std::filesystem::exists(world_.Dir() + "/" + kAddressText + ".name")) << "still a known device";
  EXPECT_TRUE(std::filesystem::exists(config_)) << "factory block stored";
}

}  // namespace
