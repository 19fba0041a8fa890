// Searching the data provider registry with 1000 providers registered (two named
// outputs and one input with required sources each), in a temporary registry.
// NX_BENCH_PROVIDERS registers another count (10000 takes a minute to register).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "nxtest/temp.h"
#include "vkrt.h"

namespace {

const int kProviders = [] {
  const char* n = std::getenv("NX_BENCH_PROVIDERS");
  return n && std::atoi(n) >= 10 ? std::atoi(n) : 1000;
}();

GUID Numbered(uint32_t kind, uint32_t n) {
  GUID g = nx::Guid("00000000-7A11-4B22-8C33-000000000000");
  g.Data1 = kind;
  g.Data4[4] = static_cast<uint8_t>(n >> 24);
  g.Data4[5] = static_cast<uint8_t>(n >> 16);
  g.Data4[6] = static_cast<uint8_t>(n >> 8);
  g.Data4[7] = static_cast<uint8_t>(n);
  return g;
}

// Provider i produces class i % 10 and the common class, and takes class 100.
const GUID kCommonClass = Numbered(0xC1A55, 1000);

class Registry {
 public:
  Registry() {
    std::u16string description = u"Поставщик данных для измерения";
    std::u16string name = u"Выход";
    GUID sources[2] = {Numbered(0x50, 1), Numbered(0x50, 2)};
    for (int i = 0; i < kProviders; ++i) {
      VKDATAPROVIDEROUTPUTW outs[2] = {{Numbered(0xC1A55, static_cast<uint32_t>(i % 10)), name.data()},
                                       {kCommonClass, name.data()}};
      VKDATAPROVIDERINPUT in{Numbered(0xC1A55, 100), 2, sources};
      VKDATAPROVIDERINFOW info{Numbered(0xB0, static_cast<uint32_t>(i)), description.data(), 1, 2, &in, outs};
      if (vkRegisterDataProviderW(&info) != S_OK) throw std::runtime_error("registration failed");
    }
  }

 private:
  nxtest::TempRegistry registry_;
};

Registry& Shared() {
  static Registry registry;
  return registry;
}

int Count(LPVOID, LPVOID context) {
  ++*static_cast<int*>(context);
  return VKENUM_CONTINUE;
}

// Every provider matches: 1000 information blocks read and handed to the callback.
void BM_EnumAllProviders(benchmark::State& state) {
  Shared();
  for (auto _ : state) {
    int found = 0;
    if (vkEnumDataProvidersW(&kCommonClass, Count, &found) != S_OK || found != kProviders)
      state.SkipWithError("wrong enumeration result");
    benchmark::DoNotOptimize(found);
  }
  state.SetItemsProcessed(state.iterations() * kProviders);
}
BENCHMARK(BM_EnumAllProviders)->Unit(benchmark::kMillisecond);

// A tenth of the providers match; every block is still read to look at its outputs.
void BM_EnumProvidersOfOneClass(benchmark::State& state) {
  Shared();
  const GUID dataClass = Numbered(0xC1A55, 3);
  for (auto _ : state) {
    int found = 0;
    if (vkEnumDataProvidersW(&dataClass, Count, &found) != S_OK || found != kProviders / 10)
      state.SkipWithError("wrong enumeration result");
  }
  state.SetItemsProcessed(state.iterations() * kProviders);
}
BENCHMARK(BM_EnumProvidersOfOneClass)->Unit(benchmark::kMillisecond);

BOOL CountClsid(const CLSID*, LPVOID context) {
  ++*static_cast<int*>(context);
  return TRUE;
}

// The search by class key opens one key per provider instead of reading its block.
void BM_EnumProviderClassKeys(benchmark::State& state) {
  Shared();
  const GUID dataClass = Numbered(0xC1A55, 3);
  for (auto _ : state) {
    int found = 0;
    if (vkEnumDataProviderClass(&dataClass, TRUE, CountClsid, &found) != S_OK || found != kProviders / 10)
      state.SkipWithError("wrong enumeration result");
  }
  state.SetItemsProcessed(state.iterations() * kProviders);
}
BENCHMARK(BM_EnumProviderClassKeys)->Unit(benchmark::kMillisecond);

}  // namespace
