// Ordiva's real acquisition and drawing path (the offscreen working window, its worker
// and the back buffer) against vr03sim at 1000 Hz with three leads for 60 s
// (NX_BENCH_SECONDS shortens it). Counters: records decoded beside the records the
// recorder sent in the same time, the lag of the decoder behind the recorder at the
// start and the end of the run (growth means the link's pending bytes grow), and the
// user-interface thread's CPU time as a share of one core.
#include <benchmark/benchmark.h>
#include <time.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "acquisition_worker.h"
#include "nxtest/process.h"
#include "nxtest/temp.h"
#include "vkbth/devtools.h"
#include "working_window.h"

namespace {

constexpr ULONGLONG kAddress = 0x008025000099ull;
const char* const kAddressText = "00:80:25:00:00:99";
constexpr double kRate = 1000;

double ThreadCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Runs the event loop as the program does (a test's wait sleeps between its rounds).
void Spin(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

double Since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

void BM_OrdivaAcquisition(benchmark::State& state) {
  const char* env = std::getenv("NX_BENCH_SECONDS");
  const double seconds = env ? std::atof(env) : 60.0;
  nxtest::TempEnvDir dir("NX_BT_DIR", "bench-ordiva");
  nxtest::ChildProcess sim(NX_BENCH_VR03SIM,
                           {"--address", kAddressText, "--rate", "1000", "--leads", "3", "--no-rfcomm", "--config",
                            dir.Dir() + "/recorder.cfg"},
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

  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const auto records0 = f->acquisition.decoder.records;
    const double cpu0 = ThreadCpuSeconds();
    Spin(2000);
    const double lagStart = kRate * Since(start) - static_cast<double>(f->acquisition.decoder.records - records0);
    while (Since(start) < seconds) Spin(100);
    const double elapsed = Since(start);
    const double cpu = ThreadCpuSeconds() - cpu0;
    const double decoded = static_cast<double>(f->acquisition.decoder.records - records0);
    const double sent = kRate * elapsed;
    state.counters["records_decoded"] = decoded;
    state.counters["records_sent"] = sent;
    state.counters["deviation_pct"] = 100.0 * (decoded - sent) / sent;
    state.counters["lag_start_records"] = lagStart;
    state.counters["lag_end_records"] = sent - decoded;
    state.counters["resyncs"] = static_cast<double>(f->acquisition.decoder.resyncs);
    state.counters["ui_thread_cpu_pct"] = 100.0 * cpu / elapsed;
  }
  f->Worker()->Terminate();
  sim.Stop();
}

BENCHMARK(BM_OrdivaAcquisition)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
