// Data class questions: one served from the handler cache (the sample handler, loaded
// once), and a built-in class for comparison.
#include <benchmark/benchmark.h>

#include "nxtest/temp.h"
#include "sample_handler.h"
#include "vkrt.h"

namespace {

class Registry {
 public:
  Registry() {
    Put(u"Software\\Classes\\CLSID\\" + Text(CLSID_SampleHandler) + u"\\InprocServer32", nullptr,
        nx::Utf8ToUtf16(VKRT_SAMPLE_HANDLER));
    Put(u"Software\\Veltrak\\DataTypeHandlers\\" + Text(kSampleEcgClass), Text(CLSID_SampleHandler).c_str(), u"");
  }

 private:
  static std::u16string Text(const GUID& g) {
    WCHAR buf[NX_GUID_STRING_CCH];
    StringFromGUID2(g, buf, NX_GUID_STRING_CCH);
    return buf;
  }
  static void Put(const std::u16string& path, const WCHAR* name, const std::u16string& value) {
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR)));
    RegCloseKey(key);
  }
  nxtest::TempRegistry registry_;
};

void Ask(benchmark::State& state, const GUID& dataClass, DWORD mask) {
  for (auto _ : state) {
    VKDATACLASSINFOW info{};
    info.cbSize = sizeof info;
    info.mask = mask;
    if (vkGetDataClassInfoW(&dataClass, &info) != S_OK) state.SkipWithError("class question failed");
    CoTaskMemFree(info.name);
    benchmark::DoNotOptimize(info.attributes);
  }
}

// After the first question the handler is cached: no registry access at all.
void BM_CachedClassAttributes(benchmark::State& state) {
  static Registry registry;
  Ask(state, kSampleEcgClass, VKDCI_ATTRIBUTES);
}
BENCHMARK(BM_CachedClassAttributes);

void BM_CachedClassNameAndAttributes(benchmark::State& state) {
  static Registry registry;
  Ask(state, kSampleEcgClass, VKDCI_NAME | VKDCI_ATTRIBUTES);
}
BENCHMARK(BM_CachedClassNameAndAttributes);

void BM_BuiltInClassNameAndAttributes(benchmark::State& state) {
  Ask(state, VKDC_REPORT, VKDCI_NAME | VKDCI_ATTRIBUTES);
}
BENCHMARK(BM_BuiltInClassNameAndAttributes);

}  // namespace
