// Throughput of the sample codec through its exported functions and stream interfaces,
// side by side with memcpy, LZ4 and zstd level 1 on the same synthetic ECG, with the
// compressed size of each. Prints Google Benchmark's rows, then one summary table.
#include <benchmark/benchmark.h>
#include <lz4.h>
#include <zstd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "vkrt.h"

namespace {

// ---- synthetic ECG ------------------------------------------------------------------------

// One lead as a Holter recorder delivers it: 12-bit values around the mid-scale 2048,
// 1.25 uV per count. Beats at about 70 per minute with 5 % variation of the RR interval,
// each a sum of Gaussian P, Q, R, S and T waves (R 1.3 mV with a 9 ms width: the steep
// QRS slopes); respiratory and slow baseline wander, a trace of 50 Hz mains, 8 uV of
// amplifier noise and, 10 % of the time, bursts of muscle noise (40 uV) from movement.
std::vector<SHORT> SyntheticEcg(double rate, size_t count, unsigned seed) {
  struct Wave {
    double mv, offset, width;  // amplitude, centre after the R peak (s), sigma (s)
  };
  constexpr Wave kWaves[] = {
      {0.15, -0.20, 0.025}, {-0.12, -0.03, 0.008}, {1.3, 0.0, 0.009}, {-0.35, 0.028, 0.009}, {0.3, 0.28, 0.05}};
  constexpr double kUvPerCount = 1.25;
  constexpr double kPi = 3.14159265358979323846;

  std::mt19937 rng(seed);
  std::normal_distribution<double> gauss(0.0, 1.0);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  std::vector<SHORT> out(count);
  double previousBeat = -10.0, nextBeat = 0.3, burstUntil = -1.0, nextBurstCheck = 0.0;
  for (size_t i = 0; i < count; ++i) {
    double t = static_cast<double>(i) / rate;
    if (t >= nextBeat - 0.4) {
      previousBeat = nextBeat;
      nextBeat += 0.857 * (1.0 + 0.05 * gauss(rng));
    }
    double mv = 0.0;
    for (double beat : {previousBeat, nextBeat}) {
      for (const Wave& w : kWaves) {
        double x = (t - beat - w.offset) / w.width;
        if (std::fabs(x) < 6.0) mv += w.mv * std::exp(-0.5 * x * x);
      }
    }
    mv += 0.1 * std::sin(2 * kPi * 0.25 * t) + 0.05 * std::sin(2 * kPi * 0.05 * t + 1.0);
    mv += 0.01 * std::sin(2 * kPi * 50.0 * t);
    if (t >= nextBurstCheck) {  // a 2 s burst starts in 5 % of the seconds
      nextBurstCheck = t + 1.0;
      if (uniform(rng) < 0.05) burstUntil = t + 2.0;
    }
    double noiseUv = 8.0 + (t < burstUntil ? 40.0 : 0.0);
    mv += noiseUv / 1000.0 * gauss(rng);
    long counts = 2048 + std::lround(mv * 1000.0 / kUvPerCount);
    out[i] = static_cast<SHORT>(std::clamp(counts, 0L, 4095L));
  }
  return out;
}

// ---- a sample stream in memory ----------------------------------------------------------------

// Source and sink at once: the reader locks ranges of the samples in place, the writer
// hands out the next part of the samples as its buffer. Lives on the stack; the counts
// only check that the codec gives back what it takes.
class MemoryStream final : public IDataStream, public IDataStreamReader, public IDataStreamWriter {
 public:
  explicit MemoryStream(std::vector<SHORT>& samples) : samples_(samples) {}
  ~MemoryStream() {
    if (refs_ != 0) {
      std::fprintf(stderr, "bench_vkrt_codec: the stream is still referenced %d times\n", refs_);
      std::abort();
    }
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualGUID(riid, IID_IDataStream) || IsEqualGUID(riid, IID_IUnknown)) {
      *ppv = static_cast<IDataStream*>(this);
    } else if (IsEqualGUID(riid, IID_IDataStreamReader)) {
      *ppv = static_cast<IDataStreamReader*>(this);
    } else if (IsEqualGUID(riid, IID_IDataStreamWriter)) {
      *ppv = static_cast<IDataStreamWriter*>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    ++refs_;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs_); }

  HRESULT STDMETHODCALLTYPE Reserved1() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OpenAccess(void** ppAccess, REFIID riid, DWORD) override {
    written_ = 0;  // a writer starts at the first sample
    return QueryInterface(riid, ppAccess);
  }
  HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
  DWORD STDMETHODCALLTYPE GetLength(DWORD) override { return static_cast<DWORD>(samples_.size()); }

  HRESULT STDMETHODCALLTYPE LockSamples(DWORD first, DWORD count, DWORD, DWORD, const SHORT** pp) override {
    if (static_cast<size_t>(first) + count > samples_.size()) return E_INVALIDARG;
    *pp = samples_.data() + first;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE UnlockSamples() override { return S_OK; }

  LONG STDMETHODCALLTYPE GetBuffer(DWORD cb, SHORT** pp) override {
    if (written_ + cb / 2 > samples_.size()) return static_cast<LONG>(ERROR_HANDLE_DISK_FULL);
    *pp = samples_.data() + written_;
    return 0;
  }
  HRESULT STDMETHODCALLTYPE CommitBuffer(DWORD cb) override {
    written_ += cb / 2;
    return S_OK;
  }

 private:
  std::vector<SHORT>& samples_;
  size_t written_ = 0;
  int refs_ = 0;
};

// ---- the methods compared -------------------------------------------------------------------

constexpr HRESULT kEnd = HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "bench_vkrt_codec: %s\n", what);
  std::exit(1);
}

struct Method {
  const char* name;
  // Compresses raw (sample bytes) into out; returns the compressed size.
  size_t (*compress)(std::vector<SHORT>& raw, std::vector<char>& out);
  // Expands packed (size bytes) into raw, whose size says how many samples to make.
  void (*expand)(const std::vector<char>& packed, size_t size, std::vector<SHORT>& raw);
};

size_t VkCompress(std::vector<SHORT>& raw, std::vector<char>& out) {
  MemoryStream source(raw);
  VKCOMPRESSOR* c = nullptr;
  if (vkCreateCompressor(static_cast<IDataStream*>(&source), &c) != S_OK) Fail("vkCreateCompressor");
  auto* at = reinterpret_cast<BYTE*>(out.data());
  auto room = static_cast<DWORD>(out.size());
  HRESULT hr;
  do {
    DWORD written = 0;
    hr = vkCompressDataBlock(c, at, room, &written, nullptr);
    at += written;
    room -= written;
  } while (hr == S_OK || hr == S_FALSE);
  vkCloseCompressor(c);
  if (hr != kEnd) Fail("vkCompressDataBlock");
  return out.size() - room;
}

void VkExpand(const std::vector<char>& packed, size_t size, std::vector<SHORT>& raw) {
  MemoryStream sink(raw);
  VKEXPANDER* e = nullptr;
  if (vkCreateExpander(static_cast<IDataStream*>(&sink), static_cast<DWORD>(raw.size()), &e) != S_OK)
    Fail("vkCreateExpander");
  const auto* at = reinterpret_cast<const BYTE*>(packed.data());
  auto left = static_cast<DWORD>(size);
  HRESULT hr;
  do {
    DWORD used = 0;
    hr = vkExpandDataBlock(e, at, left, &used, nullptr);
    at += used;
    left -= used;
  } while ((hr == S_OK || hr == S_FALSE) && left > 0);
  vkCloseExpander(e);
  if (hr != kEnd) Fail("vkExpandDataBlock");
}

size_t CopyCompress(std::vector<SHORT>& raw, std::vector<char>& out) {
  std::memcpy(out.data(), raw.data(), raw.size() * 2);
  return raw.size() * 2;
}

void CopyExpand(const std::vector<char>& packed, size_t size, std::vector<SHORT>& raw) {
  std::memcpy(raw.data(), packed.data(), size);
}

size_t Lz4Compress(std::vector<SHORT>& raw, std::vector<char>& out) {
  int n = LZ4_compress_default(reinterpret_cast<const char*>(raw.data()), out.data(), static_cast<int>(raw.size() * 2),
                               static_cast<int>(out.size()));
  if (n <= 0) Fail("LZ4_compress_default");
  return static_cast<size_t>(n);
}

void Lz4Expand(const std::vector<char>& packed, size_t size, std::vector<SHORT>& raw) {
  int n = LZ4_decompress_safe(packed.data(), reinterpret_cast<char*>(raw.data()), static_cast<int>(size),
                              static_cast<int>(raw.size() * 2));
  if (n != static_cast<int>(raw.size() * 2)) Fail("LZ4_decompress_safe");
}

// One context each way for the whole run, as a streaming user would keep them.
ZSTD_CCtx* ZstdC() {
  static ZSTD_CCtx* ctx = ZSTD_createCCtx();
  return ctx;
}
ZSTD_DCtx* ZstdD() {
  static ZSTD_DCtx* ctx = ZSTD_createDCtx();
  return ctx;
}

size_t ZstdCompress(std::vector<SHORT>& raw, std::vector<char>& out) {
  size_t n = ZSTD_compressCCtx(ZstdC(), out.data(), out.size(), raw.data(), raw.size() * 2, 1);
  if (ZSTD_isError(n)) Fail("ZSTD_compressCCtx");
  return n;
}

void ZstdExpand(const std::vector<char>& packed, size_t size, std::vector<SHORT>& raw) {
  size_t n = ZSTD_decompressDCtx(ZstdD(), raw.data(), raw.size() * 2, packed.data(), size);
  if (ZSTD_isError(n) || n != raw.size() * 2) Fail("ZSTD_decompressDCtx");
}

const Method kMethods[] = {
    {"memcpy", CopyCompress, CopyExpand},
    {"vkrt", VkCompress, VkExpand},
    {"lz4", Lz4Compress, Lz4Expand},
    {"zstd-1", ZstdCompress, ZstdExpand},
};

// 2^20 samples: 35 minutes of one lead at 500 Hz, 17 at 1000 Hz.
constexpr size_t kSamples = size_t{1} << 20;

struct Data {
  const char* name;
  double rate;
  std::vector<SHORT> samples;
};

std::vector<Data>& DataSets() {
  static std::vector<Data> sets = [] {
    std::vector<Data> v;
    v.push_back({"ecg500", 500.0, SyntheticEcg(500.0, kSamples, 1)});
    v.push_back({"ecg1000", 1000.0, SyntheticEcg(1000.0, kSamples, 2)});
    return v;
  }();
  return sets;
}

// ---- benchmarks -------------------------------------------------------------------------------

// Repetitions of every benchmark: on a shared machine the best of them shows what the
// code does on a core of its own, the median what it does beside the other load.
constexpr int kRepetitions = 5;
constexpr double kMinSeconds = 0.2;

void Register() {
  for (Data& data : DataSets()) {
    for (const Method& m : kMethods) {
      // The compressed form once, checked to expand to the samples again.
      auto packed = std::make_shared<std::vector<char>>(data.samples.size() * 2 + 65536);
      size_t size = m.compress(data.samples, *packed);
      std::vector<SHORT> check(data.samples.size());
      m.expand(*packed, size, check);
      if (check != data.samples) Fail("a round trip changed the samples");
      double ratio = static_cast<double>(size) / static_cast<double>(data.samples.size() * 2);
      auto bytes = static_cast<int64_t>(data.samples.size() * 2);

      std::string suffix = std::string("/") + data.name + "/" + m.name;
      benchmark::RegisterBenchmark(("compress" + suffix).c_str(),
                                   [&data, m, ratio, bytes](benchmark::State& state) {
                                     std::vector<char> out(data.samples.size() * 2 + 65536);
                                     for (auto _ : state) {
                                       size_t n = m.compress(data.samples, out);
                                       benchmark::DoNotOptimize(n);
                                       benchmark::ClobberMemory();
                                     }
                                     state.SetBytesProcessed(state.iterations() * bytes);
                                     state.counters["size"] = ratio;
                                   })
          ->Repetitions(kRepetitions)
          ->MinTime(kMinSeconds);
      benchmark::RegisterBenchmark(("expand" + suffix).c_str(),
                                   [&data, m, packed, size, ratio, bytes](benchmark::State& state) {
                                     std::vector<SHORT> raw(data.samples.size());
                                     for (auto _ : state) {
                                       m.expand(*packed, size, raw);
                                       benchmark::DoNotOptimize(raw.data());
                                       benchmark::ClobberMemory();
                                     }
                                     state.SetBytesProcessed(state.iterations() * bytes);
                                     state.counters["size"] = ratio;
                                   })
          ->Repetitions(kRepetitions)
          ->MinTime(kMinSeconds);
    }
  }
}

// Shows Google Benchmark's own rows and keeps, per benchmark, the sample bytes per second
// of each repetition and the size ratio for the summary.
class TableReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      auto rate = run.counters.find("bytes_per_second");
      auto size = run.counters.find("size");
      if (rate == run.counters.end() || size == run.counters.end()) continue;
      Row& row = rows_[run.run_name.function_name];
      row.rates.push_back(rate->second.value);
      row.size = size->second.value;
    }
  }

  // One line per data set and method: the best and the median repetition each way.
  void PrintTable() const {
    std::printf(
        "\nSample codec on synthetic ECG, %zu samples of 12 bits each way; GB/s (10^9 bytes) of\n"
        "16-bit sample bytes on one core, best of the repetitions (median in brackets)\n\n",
        kSamples);
    std::printf("| data    | method | compress GB/s | expand GB/s   | compressed size |\n");
    std::printf("|---------|--------|---------------|---------------|-----------------|\n");
    for (const Data& data : DataSets()) {
      for (const Method& m : kMethods) {
        std::string suffix = std::string("/") + data.name + "/" + m.name;
        const Row* c = Find("compress" + suffix);
        const Row* e = Find("expand" + suffix);
        if (!c && !e) continue;
        std::printf("| %-7s | %-6s | %13s | %13s | %15.3f |\n", data.name, m.name, Rates(c).c_str(), Rates(e).c_str(),
                    (c ? c : e)->size);
      }
    }
  }

 private:
  struct Row {
    std::vector<double> rates;
    double size = 0;
  };

  const Row* Find(const std::string& name) const {
    auto it = rows_.find(name);
    return it == rows_.end() ? nullptr : &it->second;
  }

  static std::string Rates(const Row* row) {
    if (!row || row->rates.empty()) return "-";
    std::vector<double> r = row->rates;
    std::sort(r.begin(), r.end());
    char text[48];
    std::snprintf(text, sizeof text, "%.2f (%.2f)", r.back() / 1e9, r[r.size() / 2] / 1e9);
    return text;
  }

  std::map<std::string, Row> rows_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Register();
  TableReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintTable();
  benchmark::Shutdown();
  ZSTD_freeCCtx(ZstdC());
  ZSTD_freeDCtx(ZstdD());
  return 0;
}
