// A long session: Ordiva's real acquisition and drawing path (the offscreen working window
// and its worker) against vr03sim at 1000 Hz with three leads over a poor link (bytes lost
// and garbled, stalls) for 30 minutes (NX_BENCH_SECONDS shortens it). It reports resident
// memory, the reader's lag, resynchronisations and the user-interface thread's CPU share
// for the first and the last minute, and one line per minute on stderr. NX_BENCH_BUSY=N
// runs N busy processes beside it, as other programs on a busy clinic PC.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "acquisition_worker.h"
#include "nxtest/process.h"
#include "nxtest/temp.h"
#include "virtualbt.h"
#include "vkbth/devtools.h"
#include "working_window.h"

// Bytes received per descriptor. The link library may take more than a read asks for and
// hold the rest, so the socket's pending count alone would miss those bytes: the lag is
// what waits in the socket plus what the library received and has not handed to the
// window yet. This definition takes the place of the C library's for the whole process.
namespace {
constexpr int kDescriptors = 1024;
std::atomic<unsigned long long> g_received[kDescriptors];
std::atomic<unsigned long long> g_delivered{0};  // bytes the window's link reads returned
}  // namespace

extern "C" NX_EXPORT ssize_t recv(int fd, void* buffer, size_t length, int flags) {
  using Fn = ssize_t (*)(int, void*, size_t, int);
  static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "recv"));
  const ssize_t got = real(fd, buffer, length, flags);
  if (got > 0 && fd >= 0 && fd < kDescriptors) g_received[fd] += static_cast<unsigned long long>(got);
  return got;
}

namespace {

constexpr ULONGLONG kAddress = 0x008025000098ull;
const char* const kAddressText = "00:80:25:00:00:98";
constexpr double kRate = 1000;
constexpr int kSampleMs = 100;  // the lag is sampled this often
// Stream bytes per second with three leads: the 44-record cycle carries one full record
// (14 bytes), 40 sample records (6) and 3 motion records (12), 290 bytes per 44 ms.
constexpr double kBytesPerSecond = 290.0 * 1000 / 44;
// The poor link: about one byte in 50 000 lost and as many garbled (one of each every
// five seconds or so at ~10 kB/s), and a 500 ms stall every 30 s, after which the
// recorder's backlog arrives in one burst. The stall stays well below the 2 s after
// which the window calls the link lost.
const char* const kDrop = "0.00002";
const char* const kGarble = "0.00002";
const char* const kStall = "500/30";

double ThreadCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double ResidentMiB() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// Runs the event loop as the program does.
void Spin(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

double Since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// The window's end of the link: the descriptor of this process connected to the
// recorder's socket, found in /proc/self/fd (the link library keeps it to itself). -1
// while there is none. The link may be made anew, so a cached descriptor is checked each
// time by its peer's name.
class LinkSocket {
 public:
  explicit LinkSocket(std::string peer) : peer_(std::move(peer)) {}

  // Bytes the recorder has sent that the window has not read yet: those waiting in the
  // socket and those the link library took from it ahead of the window's reads; -1
  // without a link. The link is made once, so all bytes received on it and all bytes
  // the window's reads returned belong together.
  long Pending() {
    if (fd_ < 0 || !ConnectedToPeer(fd_)) fd_ = Find();
    int pending = 0;
    if (fd_ < 0 || ioctl(fd_, FIONREAD, &pending) != 0) return -1;
    const long held = static_cast<long>(g_received[fd_].load() - g_delivered.load());
    return pending + held;
  }

 private:
  bool ConnectedToPeer(int fd) const {
    sockaddr_un sa{};
    socklen_t len = sizeof(sa);
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sun_family != AF_UNIX) return false;
    // The recorder binds a temporary name ("<path>.<pid>.tmp") and renames it into place,
    // so the peer's name is the path or begins with it and a dot.
    const std::string name(sa.sun_path, strnlen(sa.sun_path, sizeof(sa.sun_path)));
    return name.compare(0, peer_.size(), peer_) == 0 && (name.size() == peer_.size() || name[peer_.size()] == '.');
  }
  int Find() const {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
      const int fd = std::atoi(entry.path().filename().c_str());
      struct stat st{};
      if (fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode) && ConnectedToPeer(fd)) return fd;
    }
    return -1;
  }

  std::string peer_;
  int fd_ = -1;
};

// Processes that keep a core busy at normal priority until the object goes.
class BusyProcesses {
 public:
  explicit BusyProcesses(int count) {
    for (int i = 0; i < count; ++i) {
      const pid_t pid = fork();
      if (pid == 0) {
        volatile unsigned long n = 0;
        for (;;) n = n + 1;
      }
      if (pid > 0) pids_.push_back(pid);
    }
  }
  ~BusyProcesses() {
    for (pid_t pid : pids_) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  BusyProcesses(const BusyProcesses&) = delete;
  BusyProcesses& operator=(const BusyProcesses&) = delete;

 private:
  std::vector<pid_t> pids_;
};

// One minute of the run.
struct Minute {
  double rssMiB = 0;  // at its end
  double uiCpuPct = 0;  // the user-interface thread's CPU time over the minute's wall time
  double lagMeanBytes = 0, lagMedianBytes = 0, lagMaxBytes = 0;  // pending link bytes
  double records = 0, resyncs = 0;  // decoded in the minute
};

double Median(std::vector<long> v) {
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + static_cast<ptrdiff_t>(v.size() / 2), v.end());
  return static_cast<double>(v[v.size() / 2]);
}

void BM_OrdivaLongSession(benchmark::State& state) {
  const char* env = std::getenv("NX_BENCH_SECONDS");
  const double seconds = std::max(env ? std::atof(env) : 1800.0, 10.0);
  nxtest::TempEnvDir dir("NX_BT_DIR", "bench-ordiva-long");
  nxtest::ChildProcess sim(NX_BENCH_VR03SIM,
                           {"--address", kAddressText, "--rate", "1000", "--leads", "3", "--no-rfcomm", "--config",
                            dir.Dir() + "/recorder.cfg", "--drop", kDrop, "--garble", kGarble, "--stall", kStall,
                            "--seed", "7"},
                           dir.Dir() + "/out", dir.Dir() + "/err");
  for (int i = 0; i < 500 && !std::filesystem::exists(dir.Dir() + "/" + kAddressText); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));

  ordiva::Environment e;
  e.selectDevice = [](HWND, HVKBTDEVICE* device) {
    return NxBtCreateDeviceInfo(kAddress, u"VR-03M bench", nullptr, 1, u"8779", device);
  };
  // Start-up's animation and waits shortened; the recorder's waits stay real.
  e.sleep = [](DWORD ms) { ::Sleep(ms / 10); };
  e.endProgram = [] {};
  e.io.read = [](HVKBTLINK link, LPVOID buffer, DWORD length, LPDWORD read) {
    const BOOL ok = vkbtRead(link, buffer, length, read);
    g_delivered += *read;
    return ok;
  };
  ordiva::Program program(e);
  if (!program.Start()) {
    state.SkipWithError("no recorder");
    return;
  }
  ordiva::WorkingWindow* f = program.WorkingWindow();
  f->showNormal();
  f->resize(1620, 938);
  // Past the channel zero fix, which restarts the stream once.
  Spin(2500);
  LinkSocket link(vkbth::VirtualSocketPath(dir.Dir(), kAddress));

  const char* busyEnv = std::getenv("NX_BENCH_BUSY");
  BusyProcesses busy(busyEnv ? std::atoi(busyEnv) : 0);
  for (auto _ : state) {
    std::vector<Minute> minutes;
    std::vector<long> lags;
    bool lost = false;
    const auto start = std::chrono::steady_clock::now();
    const auto& d = f->acquisition.decoder;
    auto minuteStart = start;
    double cpuAtMinute = ThreadCpuSeconds();
    auto recordsAtMinute = d.records, resyncsAtMinute = d.resyncs;
    const auto resyncs0 = d.resyncs, records0 = d.records;
    const double cpu0 = cpuAtMinute;
    while (Since(start) < seconds && !lost) {
      Spin(kSampleMs);
      lost = f->LinkLost();
      if (const long pending = link.Pending(); pending >= 0) lags.push_back(pending);
      const bool last = Since(start) >= seconds;
      if (Since(minuteStart) < 60 && !last) continue;
      Minute m;
      m.rssMiB = ResidentMiB();
      const double cpu = ThreadCpuSeconds();
      m.uiCpuPct = 100.0 * (cpu - cpuAtMinute) / Since(minuteStart);
      double sum = 0;
      for (long l : lags) {
        sum += static_cast<double>(l);
        m.lagMaxBytes = std::max(m.lagMaxBytes, static_cast<double>(l));
      }
      m.lagMeanBytes = lags.empty() ? 0 : sum / static_cast<double>(lags.size());
      m.lagMedianBytes = Median(lags);
      m.records = static_cast<double>(d.records - recordsAtMinute);
      m.resyncs = static_cast<double>(d.resyncs - resyncsAtMinute);
      std::fprintf(stderr,
                   "minute %2zu: rss %.2f MiB, ui thread %.2f%%, pending link bytes mean %.0f (%.0f ms) median %.0f "
                   "max %.0f, records %.0f, resyncs %.0f\n",
                   minutes.size() + 1, m.rssMiB, m.uiCpuPct, m.lagMeanBytes, 1000 * m.lagMeanBytes / kBytesPerSecond,
                   m.lagMedianBytes, m.lagMaxBytes,
                   m.records, m.resyncs);
      minutes.push_back(m);
      lags.clear();
      minuteStart = std::chrono::steady_clock::now();
      cpuAtMinute = cpu;
      recordsAtMinute = d.records;
      resyncsAtMinute = d.resyncs;
    }
    const double elapsed = Since(start);
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) == 3) std::fprintf(stderr, "load average at the end: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    if (lost || minutes.empty()) {
      state.SkipWithError(lost ? "the window lost the link" : "no minute measured");
      break;
    }
    const Minute& first = minutes.front();
    const Minute& last = minutes.back();
    state.counters["minutes"] = static_cast<double>(minutes.size());
    state.counters["busy_processes"] = busyEnv ? std::atoi(busyEnv) : 0;
    state.counters["rss_first_min_MiB"] = first.rssMiB;
    state.counters["rss_last_min_MiB"] = last.rssMiB;
    state.counters["rss_growth_MiB"] = last.rssMiB - first.rssMiB;
    state.counters["lag_first_min_mean_B"] = first.lagMeanBytes;
    state.counters["lag_last_min_mean_B"] = last.lagMeanBytes;
    state.counters["lag_first_min_median_B"] = first.lagMedianBytes;
    state.counters["lag_last_min_median_B"] = last.lagMedianBytes;
    state.counters["lag_first_min_max_B"] = first.lagMaxBytes;
    state.counters["lag_last_min_max_B"] = last.lagMaxBytes;
    state.counters["resyncs"] = static_cast<double>(d.resyncs - resyncs0);
    state.counters["records_per_s"] = static_cast<double>(d.records - records0) / elapsed;
    state.counters["ui_first_min_pct"] = first.uiCpuPct;
    state.counters["ui_last_min_pct"] = last.uiCpuPct;
    state.counters["ui_thread_cpu_pct"] = 100.0 * (ThreadCpuSeconds() - cpu0) / elapsed;
  }
  f->Worker()->Terminate();
  sim.Stop();
}

BENCHMARK(BM_OrdivaLongSession)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
