// Pacing and throughput of the virtual recorder: one stream at 1000 Hz with three leads,
// read with one-byte vkbtRead calls as the acquisition reads it. Reports the records
// received against the nominal count (rate x streaming time) and the CPU time of the
// reading thread and of vr03sim. Goal: within 0.5% of nominal, reader below 10% of a core.
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "nxtest/process.h"
#include "nxtest/temp.h"
#include "vkbth.h"
#include "vkbth/devtools.h"

namespace {

constexpr int kRate = 1000;
constexpr int kLeads = 3;
constexpr ULONGLONG kAddress = 0x008025BE0001ull;
const char* const kAddressText = "00:80:25:BE:00:01";

// Counts records of the 44-record cycle, checking each pair's tag.
class RecordCounter {
 public:
  void Feed(unsigned char byte) {
    if (pos_ == 0) Begin();
    if (pos_ % 2 == 0 && (byte >> 4) != tags_[pos_ / 2]) ++badTags_;
    if (++pos_ == 2 * tags_.size()) {
      ++records_;
      pos_ = 0;
    }
  }
  long long Records() const { return records_; }
  long long BadTags() const { return badTags_; }

 private:
  void Begin() {
    const int k = static_cast<int>(records_ % 44);
    tags_.clear();
    if (k == 0) tags_.push_back(6);
    if (k == 0 || k == 11 || k == 22 || k == 33) tags_.insert(tags_.end(), {5, 4, 3});
    for (int t = kLeads - 1; t >= 0; --t) tags_.push_back(t);
  }
  std::vector<int> tags_;
  size_t pos_ = 0;
  long long records_ = 0, badTags_ = 0;
};

double ThreadCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// User and system time of a process, in seconds.
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string skip;
  for (int i = 3; i < 14; ++i) fields >> skip;  // fields 3-13
  double utime = 0, stime = 0;
  fields >> utime >> stime;
  return (utime + stime) / sysconf(_SC_CLK_TCK);
}

bool Send(HVKBTLINK link, unsigned char code) {
  const unsigned char packet[8] = {0xFF, 0xFF, 0xFF, 0xFF, code, 0, 0, 0};
  DWORD n = 0;
  return vkbtWrite(link, packet, 8, &n) && n == 8;
}

void BM_Vr03simStream(benchmark::State& state) {
  const char* env = std::getenv("NX_BENCH_SECONDS");
  const double seconds = env ? std::atof(env) : 60.0;
  nxtest::TempEnvDir dir("NX_BT_DIR", "bench-bt");
  const std::string config = dir.Dir() + "/recorder.cfg";
  nxtest::ChildProcess sim(NX_BENCH_VR03SIM,
                           {"--address", kAddressText, "--rate", "1000", "--leads", "3", "--no-rfcomm", "--config",
                            config},
                           dir.Dir() + "/out", dir.Dir() + "/err");
  for (int i = 0; i < 500 && !std::filesystem::exists(dir.Dir() + "/" + kAddressText); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));

  HVKBTDEVICE device = nullptr;
  HVKBTLINK link = nullptr;
  if (!NxBtCreateDeviceInfo(kAddress, u"VR-03M bench", nullptr, 1, nullptr, &device) || !vkbtCreate(device, &link)) {
    state.SkipWithError(("cannot reach vr03sim: " + sim.Err()).c_str());
    return;
  }
  unsigned char greeting[8];
  DWORD n = 0;
  vkbtSetTimeout(link, 2000);
  vkbtRead(link, greeting, 8, &n);
  vkbtSetTimeout(link, 100);

  for (auto _ : state) {
    RecordCounter counter;
    unsigned char byte = 0;
    const double simCpu0 = ProcessCpuSeconds(sim.Pid());
    Send(link, 0x08);
    const auto start = std::chrono::steady_clock::now();
    const double cpu0 = ThreadCpuSeconds();
    auto now = start;
    while (std::chrono::duration<double>(now - start).count() < seconds) {
      if (vkbtRead(link, &byte, 1, &n) && n == 1) counter.Feed(byte);
      now = std::chrono::steady_clock::now();
    }
    const double readerCpu = ThreadCpuSeconds() - cpu0;
    Send(link, 0x0C);
    const double streamed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double simCpu = ProcessCpuSeconds(sim.Pid()) - simCpu0;
    // What was sent before the stop is still on its way: read it to the first empty read.
    while (vkbtRead(link, &byte, 1, &n) && n == 1) counter.Feed(byte);

    const double nominal = kRate * streamed;
    state.counters["records"] = static_cast<double>(counter.Records());
    state.counters["nominal"] = nominal;
    state.counters["deviation_pct"] = 100.0 * (counter.Records() - nominal) / nominal;
    state.counters["bad_tags"] = static_cast<double>(counter.BadTags());
    state.counters["reader_cpu_pct"] = 100.0 * readerCpu / streamed;
    state.counters["vr03sim_cpu_pct"] = 100.0 * simCpu / streamed;
  }

  vkbtClose(link);
  vkbtDeviceInfoClose(device);
  sim.Stop();
}

BENCHMARK(BM_Vr03simStream)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
