// 64 KiB reads and writes through the paged-file service against direct pread/pwrite on
// the same file, and one table with the ratio of their throughputs: once for a regular
// file in the page cache, once for a volume image pinned as E: (both sides then bypass
// the cache, as the service does for volumes). Starts its own pfsvc (next to this
// program) on a temporary pipe folder.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "nxtest/temp.h"
#include "nxtest/svcproc.h"
#include "vkrt.h"

namespace {

constexpr size_t kChunk = 64 * 1024;
constexpr size_t kFileSize = 64ull << 20;  // stays in the page cache: the service's own cost shows
constexpr size_t kChunks = kFileSize / kChunk;

std::string g_file;  // a regular file: both sides read it from the page cache
std::string g_image;  // the same size, pinned as drive E:: both sides bypass the cache

// pread or pwrite of 64 KiB pieces, one after the other, wrapping at the end.
void Direct(benchmark::State& state, const std::string& path, bool read, bool uncached) {
  int fd = open(path.c_str(), (read ? O_RDONLY : O_WRONLY) | (uncached ? O_DIRECT | O_DSYNC : 0));
  void* buf = std::aligned_alloc(4096, kChunk);
  std::memset(buf, 'w', kChunk);
  size_t i = 0;
  for (auto _ : state) {
    off_t at = static_cast<off_t>((i++ % kChunks) * kChunk);
    ssize_t n = read ? pread(fd, buf, kChunk, at) : pwrite(fd, buf, kChunk, at);
    if (n != static_cast<ssize_t>(kChunk)) state.SkipWithError("direct transfer failed");
    benchmark::DoNotOptimize(buf);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kChunk));
  std::free(buf);
  close(fd);
}

// vkpfRead or vkpfWrite of 64 KiB pieces through a block, as the card initializer does.
void Service(benchmark::State& state, const std::string& name, bool read) {
  HANDLE pf = nullptr, block = nullptr;
  if (!vkpfCreateA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 3, FILE_FLAG_RANDOM_ACCESS, 4096, nullptr, &pf) ||
      vkSMCreate(&block) != 0) {
    state.SkipWithError("cannot open through the service");
    return;
  }
  LPVOID view = nullptr;
  vkSMLock(block, kChunk, &view);  // the block holds 64 KiB from here on
  std::memset(view, 'v', kChunk);
  vkSMUnlock(block);
  size_t i = 0;
  for (auto _ : state) {
    if (i++ % kChunks == 0) vkpfSeek(pf, 0, 0, 0, nullptr);
    DWORD done = 0;
    BOOL ok = read ? vkpfRead(pf, block, kChunk, &done) : vkpfWrite(pf, block, kChunk, &done);
    if (!ok || done != kChunk) state.SkipWithError("transfer failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kChunk));
  vkSMClose(block);
  vkpfClose(pf);
}

void FileDirectRead(benchmark::State& s) { Direct(s, g_file, true, false); }
void FileServiceRead(benchmark::State& s) { Service(s, g_file, true); }
void FileDirectWrite(benchmark::State& s) { Direct(s, g_file, false, false); }
void FileServiceWrite(benchmark::State& s) { Service(s, g_file, false); }
void VolumeDirectRead(benchmark::State& s) { Direct(s, g_image, true, true); }
void VolumeServiceRead(benchmark::State& s) { Service(s, "\\\\.\\E:", true); }
void VolumeDirectWrite(benchmark::State& s) { Direct(s, g_image, false, true); }
void VolumeServiceWrite(benchmark::State& s) { Service(s, "\\\\.\\E:", false); }

// Wall-clock time: the service's own work happens in another process.
BENCHMARK(FileDirectRead)->UseRealTime()->MinTime(1.0);
BENCHMARK(FileServiceRead)->UseRealTime()->MinTime(1.0);
BENCHMARK(FileDirectWrite)->UseRealTime()->MinTime(1.0);
BENCHMARK(FileServiceWrite)->UseRealTime()->MinTime(1.0);
BENCHMARK(VolumeDirectRead)->UseRealTime()->MinTime(1.0);
BENCHMARK(VolumeServiceRead)->UseRealTime()->MinTime(1.0);
BENCHMARK(VolumeDirectWrite)->UseRealTime()->MinTime(1.0);
BENCHMARK(VolumeServiceWrite)->UseRealTime()->MinTime(1.0);

// Keeps each benchmark's throughput for the closing table.
class TableReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& r : runs) {
      auto it = r.counters.find("bytes_per_second");
      if (it != r.counters.end()) rates[r.benchmark_name()] = it->second.value;
    }
  }
  std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  nxtest::TempDir files("pfsvc-bench");
  nxtest::TempDir pipes("pfsvc-bench-pipes");
  g_file = files.Path() + "/data.bin";
  g_image = files.Path() + "/volume.img";
  for (const std::string& path : {g_file, g_image}) {
    std::vector<char> chunk(kChunk, 'd');
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (size_t i = 0; i < kChunks; ++i)
      if (write(fd, chunk.data(), kChunk) != static_cast<ssize_t>(kChunk)) return 1;
    close(fd);
  }
  setenv("NX_DRIVES", ("E=" + g_image).c_str(), 1);  // the service inherits it
  std::string self(argv[0]);
  std::string exe = self.substr(0, self.find_last_of('/') + 1) + "pfsvc";
  std::unique_ptr<svctest::ServiceProcess> service;
  try {
    service = std::make_unique<svctest::ServiceProcess>(pipes.Path(), exe);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", exe.c_str(), e.what());
    return 1;
  }
  TableReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n64 KiB transfers          direct MiB/s   through pfsvc MiB/s   ratio\n");
  for (const char* kind : {"File", "Volume"}) {
    for (const char* op : {"Read", "Write"}) {
      const std::string suffix = std::string(op) + "/min_time:1.000/real_time";
      double direct = reporter.rates[kind + std::string("Direct") + suffix];
      double viaService = reporter.rates[kind + std::string("Service") + suffix];
      std::printf("%-6s %-18s %13.0f %21.0f %7.2f\n", kind, op, direct / (1 << 20), viaService / (1 << 20),
                  direct > 0 ? viaService / direct : 0.0);
    }
  }
  benchmark::Shutdown();
  return 0;
}
