// The data provider registry: what registration writes, information blocks read back
// (layout, self-containment, skipped and missing parts), copies that outlive their
// source, the two searches and their results, and unregistration.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "nxtest/temp.h"
#include "regtest.h"
#include "vkrt.h"

namespace {

using namespace vkrttest;

constexpr CLSID kProviderA = nx::Guid("11111111-2222-3333-4444-000000000001");
constexpr CLSID kProviderB = nx::Guid("11111111-2222-3333-4444-000000000002");
constexpr CLSID kProviderC = nx::Guid("11111111-2222-3333-4444-000000000003");
constexpr GUID kEcg = nx::Guid("AAAAAAAA-0000-0000-0000-000000000001");
constexpr GUID kMarks = nx::Guid("AAAAAAAA-0000-0000-0000-000000000002");
constexpr GUID kRaw = nx::Guid("AAAAAAAA-0000-0000-0000-000000000003");
constexpr GUID kSource1 = nx::Guid("BBBBBBBB-0000-0000-0000-0000000000B1");
constexpr GUID kSource2 = nx::Guid("01020304-0506-0708-090A-0B0C0D0E0F10");

std::u16string ProviderKey(const CLSID& clsid) { return kProviders + u"\\" + GuidText(clsid); }

// True when every pointer of a block refers into the block's own allocation.
template <typename Info>
void ExpectSelfContained(const Info* info) {
  IMalloc* m = nullptr;
  ASSERT_EQ(CoGetMalloc(MEMCTX_TASK, &m), S_OK);
  const auto* begin = reinterpret_cast<const BYTE*>(info);
  const BYTE* end = begin + m->GetSize(const_cast<Info*>(info));
  m->Release();
  auto inside = [&](const void* p, size_t bytes) {
    auto* b = static_cast<const BYTE*>(p);
    return b >= begin && b + bytes <= end;
  };
  EXPECT_TRUE(inside(info->description, 1));
  EXPECT_TRUE(inside(info->outputs, info->outputCount * sizeof(info->outputs[0])));
  if (info->inputCount) {
    EXPECT_TRUE(inside(info->inputs, info->inputCount * sizeof(VKDATAPROVIDERINPUT)));
  }
  for (WORD i = 0; i < info->outputCount; ++i) {
    const void* name = info->outputs[i].name;
    EXPECT_TRUE(!name || inside(name, 1)) << "output " << i;
  }
  for (WORD i = 0; i < info->inputCount; ++i) {
    const GUID* sources = info->inputs[i].reqSrc;
    EXPECT_TRUE(!sources || inside(sources, info->inputs[i].reqSrcCount * sizeof(GUID))) << "input " << i;
  }
}

class ProvidersTest : public ::testing::Test {
 protected:
  // Provider A: two outputs (named ECG, unnamed marks), two inputs (raw data needing
  // two sources; marks needing none).
  void RegisterFullProviderW() {
    outputs_[0] = {kEcg, name_.data()};
    outputs_[1] = {kMarks, nullptr};
    sources_[0] = kSource1;
    sources_[1] = kSource2;
    inputs_[0] = {kRaw, 2, sources_};
    inputs_[1] = {kMarks, 0, nullptr};
    VKDATAPROVIDERINFOW info{kProviderA, description_.data(), 2, 2, inputs_, outputs_};
    ASSERT_EQ(vkRegisterDataProviderW(&info), S_OK);
  }
  // A provider with the given outputs (no names) and no inputs.
  static void RegisterOutputsW(const CLSID& clsid, std::vector<GUID> classes) {
    std::u16string description = u"provider";
    std::vector<VKDATAPROVIDEROUTPUTW> outs;
    for (const GUID& g : classes) outs.push_back({g, nullptr});
    VKDATAPROVIDERINFOW info{clsid, description.data(), 0, static_cast<WORD>(outs.size()), nullptr, outs.data()};
    ASSERT_EQ(vkRegisterDataProviderW(&info), S_OK);
  }

  nxtest::TempRegistry registry_;
  std::u16string description_ = u"Холтеровский регистратор";
  std::u16string name_ = u"ЭКГ";
  VKDATAPROVIDEROUTPUTW outputs_[2]{};
  GUID sources_[2]{};
  VKDATAPROVIDERINPUT inputs_[2]{};
};

// ---- registration and reading back -----------------------------------------------------

TEST_F(ProvidersTest, RegistrationWritesTheDocumentedLayout) {
  RegisterFullProviderW();
  const std::u16string key = ProviderKey(kProviderA);
  EXPECT_EQ(GetString(key, nullptr), description_);
  EXPECT_EQ(GetString(key + u"\\Out\\" + GuidText(kEcg), nullptr), name_);
  EXPECT_TRUE(KeyExists(key + u"\\Out\\" + GuidText(kMarks)));
  EXPECT_EQ(GetString(key + u"\\Out\\" + GuidText(kMarks), nullptr), u"<missing>") << "no name, no value";
  EXPECT_TRUE(KeyExists(key + u"\\In\\" + GuidText(kMarks)));

  DWORD type = 0;
  std::string bytes;
  ASSERT_TRUE(Get(key + u"\\In\\" + GuidText(kRaw), u"ReqSrc", &type, &bytes));
  EXPECT_EQ(type, REG_BINARY);
  ASSERT_EQ(bytes.size(), 32u);
  // The second GUID in its stored form: Data1..Data3 little-endian, Data4 as is.
  const unsigned char expected[16] = {4, 3, 2, 1, 6, 5, 8, 7, 9, 10, 11, 12, 13, 14, 15, 16};
  EXPECT_EQ(std::memcmp(bytes.data() + 16, expected, 16), 0);
  EXPECT_FALSE(Get(key + u"\\In\\" + GuidText(kMarks), u"ReqSrc", &type, &bytes)) << "no sources, no value";
}

TEST_F(ProvidersTest, InformationBlockReadsBackEveryPartInOneAllocation) {
  RegisterFullProviderW();
  VKDATAPROVIDERINFOW* info = nullptr;
  ASSERT_EQ(vkGetDataProviderInfoW(&kProviderA, &info), S_OK);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->clsid, kProviderA);
  EXPECT_EQ(std::u16string(info->description), description_);
  ASSERT_EQ(info->outputCount, 2);
  ASSERT_EQ(info->inputCount, 2);
  // Subkeys come back in registry order (sorted), not registration order.
  EXPECT_EQ(info->outputs[0].dataClass, kEcg);
  EXPECT_EQ(std::u16string(info->outputs[0].name), name_);
  EXPECT_EQ(info->outputs[1].dataClass, kMarks);
  EXPECT_EQ(info->outputs[1].name, nullptr);
  EXPECT_EQ(info->inputs[0].dataClass, kMarks);
  EXPECT_EQ(info->inputs[0].reqSrcCount, 0u);
  EXPECT_EQ(info->inputs[0].reqSrc, nullptr);
  EXPECT_EQ(info->inputs[1].dataClass, kRaw);
  ASSERT_EQ(info->inputs[1].reqSrcCount, 2u);
  EXPECT_EQ(info->inputs[1].reqSrc[0], kSource1);
  EXPECT_EQ(info->inputs[1].reqSrc[1], kSource2);

  // Header, outputs, inputs, then the data area in order: description, names, sources.
  const auto* base = reinterpret_cast<const BYTE*>(info);
  EXPECT_EQ(reinterpret_cast<const BYTE*>(info->outputs), base + sizeof(VKDATAPROVIDERINFOW));
  EXPECT_EQ(reinterpret_cast<const BYTE*>(info->inputs), base + sizeof(VKDATAPROVIDERINFOW) + 2 * sizeof(VKDATAPROVIDEROUTPUTW));
  EXPECT_EQ(reinterpret_cast<const BYTE*>(info->description), reinterpret_cast<const BYTE*>(info->inputs + 2));
  EXPECT_LT(reinterpret_cast<const BYTE*>(info->description), reinterpret_cast<const BYTE*>(info->outputs[0].name));
  EXPECT_LT(reinterpret_cast<const BYTE*>(info->outputs[0].name), reinterpret_cast<const BYTE*>(info->inputs[1].reqSrc));
  ExpectSelfContained(info);
  CoTaskMemFree(info);
}

TEST_F(ProvidersTest, AnsiFormsWriteAndReadUtf8) {
  std::string description;  // long enough to need a second registry read
  for (int i = 0; i < 20; ++i) description += "Регистратор VR-03 ";
  std::string name = "Отведения";
  VKDATAPROVIDEROUTPUTA out{kEcg, name.data()};
  VKDATAPROVIDERINFOA info{kProviderA, description.data(), 0, 1, nullptr, &out};
  ASSERT_EQ(vkRegisterDataProviderA(&info), S_OK);
  EXPECT_EQ(GetString(ProviderKey(kProviderA), nullptr), W(description.c_str())) << "stored as UTF-16";

  VKDATAPROVIDERINFOA* back = nullptr;
  ASSERT_EQ(vkGetDataProviderInfoA(&kProviderA, &back), S_OK);
  EXPECT_STREQ(back->description, description.c_str());
  ASSERT_EQ(back->outputCount, 1);
  EXPECT_STREQ(back->outputs[0].name, name.c_str());
  EXPECT_EQ(back->inputs, nullptr);
  ExpectSelfContained(back);
  CoTaskMemFree(back);

  VKDATAPROVIDERINFOW* wide = nullptr;  // the W form reads what the A form wrote
  ASSERT_EQ(vkGetDataProviderInfoW(&kProviderA, &wide), S_OK);
  EXPECT_EQ(std::u16string(wide->outputs[0].name), W(name.c_str()));
  CoTaskMemFree(wide);
}

TEST_F(ProvidersTest, ProviderWithoutOutputsOrInputs) {
  RegisterOutputsW(kProviderA, {});
  EXPECT_TRUE(KeyExists(ProviderKey(kProviderA) + u"\\Out")) << "Out is always created";
  EXPECT_FALSE(KeyExists(ProviderKey(kProviderA) + u"\\In"));
  VKDATAPROVIDERINFOW* info = nullptr;
  ASSERT_EQ(vkGetDataProviderInfoW(&kProviderA, &info), S_OK);
  EXPECT_EQ(info->outputCount, 0);
  EXPECT_EQ(info->inputCount, 0);
  EXPECT_EQ(info->inputs, nullptr);
  CoTaskMemFree(info);

  int calls = 0;
  auto count = [](LPVOID, LPVOID ctx) -> int {
    ++*static_cast<int*>(ctx);
    return 1;
  };
  EXPECT_EQ(vkEnumDataProvidersW(&GUID_NULL, count, &calls), S_FALSE) << "GUID_NULL needs at least one output";
  EXPECT_EQ(calls, 0);
}

TEST_F(ProvidersTest, SubkeysThatAreNotGuidsAreSkippedAndNotCounted) {
  RegisterFullProviderW();
  const std::u16string key = ProviderKey(kProviderA);
  PutString(key + u"\\Out\\Notes", nullptr, u"not a class");
  Put(key + u"\\Out\\" + std::u16string(80, u'x'));  // longer than any GUID name
  Put(key + u"\\In\\{not-a-guid}");
  PutString(kProviders + u"\\Vendor", nullptr, u"not a provider");
  Put(kProviders + u"\\Vendor\\Out\\" + GuidText(kEcg));

  VKDATAPROVIDERINFOW* info = nullptr;
  ASSERT_EQ(vkGetDataProviderInfoW(&kProviderA, &info), S_OK);
  EXPECT_EQ(info->outputCount, 2);
  EXPECT_EQ(info->inputCount, 2);
  CoTaskMemFree(info);

  std::vector<CLSID> found;
  auto collect = [](LPVOID block, LPVOID ctx) -> int {
    static_cast<std::vector<CLSID>*>(ctx)->push_back(static_cast<VKDATAPROVIDERINFOW*>(block)->clsid);
    return 1;
  };
  EXPECT_EQ(vkEnumDataProvidersW(&kEcg, collect, &found), S_OK);
  EXPECT_EQ(found, std::vector<CLSID>{kProviderA});
}

TEST_F(ProvidersTest, StoredStringsWithoutTerminatorComeBackTerminated) {
  RegisterOutputsW(kProviderA, {kEcg});
  const std::u16string key = ProviderKey(kProviderA);
  const std::u16string text = u"abc";
  Put(key, nullptr, REG_SZ, text.data(), 6);  // no terminator
  Put(key + u"\\Out\\" + GuidText(kEcg), nullptr, REG_SZ, "xyz", 3);  // odd size: 1.5 characters

  VKDATAPROVIDERINFOW* info = nullptr;
  ASSERT_EQ(vkGetDataProviderInfoW(&kProviderA, &info), S_OK);
  EXPECT_EQ(std::u16string(info->description), text);
  ASSERT_NE(info->outputs[0].name, nullptr);
  EXPECT_EQ(std::u16string(info->outputs[0].name).size(), 1u) << "rounded down to whole characters";
  ExpectSelfContained(info);
  CoTaskMemFree(info);

  VKDATAPROVIDERINFOA* narrow = nullptr;
  ASSERT_EQ(vkGetDataProviderInfoA(&kProviderA, &narrow), S_OK);
  EXPECT_STREQ(narrow->description, "abc");
  CoTaskMemFree(narrow);
}

TEST_F(ProvidersTest, MissingPartsAndBadArguments) {
  VKDATAPROVIDERINFOW* info = reinterpret_cast<VKDATAPROVIDERINFOW*>(1);
  EXPECT_EQ(vkGetDataProviderInfoW(&kProviderA, &info), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(info, nullptr);
  PutString(ProviderKey(kProviderB), nullptr, u"no Out key");
  EXPECT_EQ(vkGetDataProviderInfoW(&kProviderB, &info), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));

  EXPECT_EQ(vkGetDataProviderInfoW(nullptr, &info), E_INVALIDARG);
  EXPECT_EQ(vkGetDataProviderInfoA(&kProviderA, nullptr), E_INVALIDARG);
  EXPECT_EQ(vkUnregisterDataProvider(nullptr), E_INVALIDARG);
  auto proc = [](LPVOID, LPVOID) -> int { return 1; };
  EXPECT_EQ(vkEnumDataProvidersW(nullptr, proc, nullptr), E_INVALIDARG);
  EXPECT_EQ(vkEnumDataProvidersA(&kEcg, nullptr, nullptr), E_INVALIDARG);
  EXPECT_EQ(vkEnumDataProviderClass(&kEcg, TRUE, nullptr, nullptr), E_INVALIDARG);

  // Records the registration could not follow are refused before anything is written.
  EXPECT_EQ(vkRegisterDataProviderW(nullptr), E_INVALIDARG);
  VKDATAPROVIDERINFOW noDescription{kProviderC, nullptr, 0, 0, nullptr, nullptr};
  EXPECT_EQ(vkRegisterDataProviderW(&noDescription), E_INVALIDARG);
  std::u16string d = u"d";
  VKDATAPROVIDERINFOW noOutputs{kProviderC, d.data(), 0, 3, nullptr, nullptr};
  EXPECT_EQ(vkRegisterDataProviderW(&noOutputs), E_INVALIDARG);
  VKDATAPROVIDERINPUT badInput{kRaw, 4, nullptr};
  VKDATAPROVIDERINFOW noSources{kProviderC, d.data(), 1, 0, &badInput, nullptr};
  EXPECT_EQ(vkRegisterDataProviderW(&noSources), E_INVALIDARG);
  EXPECT_FALSE(KeyExists(ProviderKey(kProviderC)));
}

TEST_F(ProvidersTest, RegisteringAgainAddsAndKeepsWhatTheRecordDoesNotMention) {
  RegisterOutputsW(kProviderA, {kEcg});
  PutString(ProviderKey(kProviderA), u"Vendor", u"kept");
  RegisterOutputsW(kProviderA, {kMarks});
  VKDATAPROVIDERINFOW* info = nullptr;
  ASSERT_EQ(vkGetDataProviderInfoW(&kProviderA, &info), S_OK);
  EXPECT_EQ(info->outputCount, 2);
  CoTaskMemFree(info);
  EXPECT_EQ(GetString(ProviderKey(kProviderA), u"Vendor"), u"kept");
}

// ---- copies ---------------------------------------------------------------------------

TEST_F(ProvidersTest, CopyOutlivesItsSourceAndTellsItsSize) {
  RegisterFullProviderW();
  VKDATAPROVIDERINFOW* source = nullptr;
  ASSERT_EQ(vkGetDataProviderInfoW(&kProviderA, &source), S_OK);
  VKDATAPROVIDERINFOW* copy = nullptr;
  DWORD size = 0;
  ASSERT_EQ(vkCopyDataProviderInfoW(&copy, source, &size), S_OK);
  CoTaskMemFree(source);  // the copy must not point into it any more

  IMalloc* m = nullptr;
  ASSERT_EQ(CoGetMalloc(MEMCTX_TASK, &m), S_OK);
  EXPECT_EQ(size, m->GetSize(copy));
  m->Release();
  ExpectSelfContained(copy);
  EXPECT_EQ(std::u16string(copy->description), description_);
  EXPECT_EQ(std::u16string(copy->outputs[0].name), name_);
  EXPECT_EQ(copy->outputs[1].name, nullptr);
  ASSERT_EQ(copy->inputs[1].reqSrcCount, 2u);
  EXPECT_EQ(copy->inputs[1].reqSrc[1], kSource2);
  CoTaskMemFree(copy);
}

TEST_F(ProvidersTest, CopyOfACallersRecord) {
  std::string description = "от вызывающего";
  std::string name = "выход";
  GUID sources[3] = {kSource1, kSource2, kSource1};
  VKDATAPROVIDEROUTPUTA outs[1] = {{kEcg, name.data()}};
  VKDATAPROVIDERINPUT ins[1] = {{kRaw, 3, sources}};
  VKDATAPROVIDERINFOA record{kProviderB, description.data(), 1, 1, ins, outs};
  VKDATAPROVIDERINFOA* copy = nullptr;
  ASSERT_EQ(vkCopyDataProviderInfoA(&copy, &record, nullptr), S_OK);
  ExpectSelfContained(copy);
  EXPECT_STREQ(copy->description, description.c_str());
  EXPECT_STREQ(copy->outputs[0].name, name.c_str());
  EXPECT_EQ(copy->inputs[0].reqSrc[2], kSource1);
  CoTaskMemFree(copy);

  EXPECT_EQ(vkCopyDataProviderInfoA(nullptr, &record, nullptr), E_INVALIDARG);
  VKDATAPROVIDERINFOW* wide = nullptr;
  EXPECT_EQ(vkCopyDataProviderInfoW(&wide, nullptr, nullptr), E_INVALIDARG);
  VKDATAPROVIDERINFOA noDescription{kProviderB, nullptr, 0, 0, nullptr, nullptr};
  EXPECT_EQ(vkCopyDataProviderInfoA(&copy, &noDescription, nullptr), E_INVALIDARG);
}

// Two inputs that each carry sources: every array keeps its own place in the block, both
// when read from the registry and when copied from a caller's record (A and W forms).
TEST_F(ProvidersTest, EachInputKeepsItsOwnSourceArray) {
  GUID rawSources[2] = {kSource1, kSource2};
  GUID markSources[3] = {kSource2, kEcg, kSource1};
  VKDATAPROVIDERINPUT ins[2] = {{kRaw, 2, rawSources}, {kMarks, 3, markSources}};
  std::u16string description = u"два входа";
  VKDATAPROVIDERINFOW record{kProviderC, description.data(), 2, 0, ins, nullptr};
  ASSERT_EQ(vkRegisterDataProviderW(&record), S_OK);

  // Sorted subkey order: marks (...0002) before raw (...0003).
  auto expectSources = [](const VKDATAPROVIDERINPUT& in, std::vector<GUID> expected, const char* what) {
    ASSERT_EQ(in.reqSrcCount, expected.size()) << what;
    EXPECT_EQ(std::vector<GUID>(in.reqSrc, in.reqSrc + in.reqSrcCount), expected) << what;
  };
  VKDATAPROVIDERINFOW* read = nullptr;
  ASSERT_EQ(vkGetDataProviderInfoW(&kProviderC, &read), S_OK);
  ASSERT_EQ(read->inputCount, 2);
  expectSources(read->inputs[0], {kSource2, kEcg, kSource1}, "read W, marks");
  expectSources(read->inputs[1], {kSource1, kSource2}, "read W, raw");
  ExpectSelfContained(read);
  CoTaskMemFree(read);

  VKDATAPROVIDERINFOA* narrow = nullptr;
  ASSERT_EQ(vkGetDataProviderInfoA(&kProviderC, &narrow), S_OK);
  expectSources(narrow->inputs[0], {kSource2, kEcg, kSource1}, "read A, marks");
  expectSources(narrow->inputs[1], {kSource1, kSource2}, "read A, raw");
  CoTaskMemFree(narrow);

  VKDATAPROVIDERINFOW* copy = nullptr;
  ASSERT_EQ(vkCopyDataProviderInfoW(&copy, &record, nullptr), S_OK);
  expectSources(copy->inputs[0], {kSource1, kSource2}, "copy W, first");
  expectSources(copy->inputs[1], {kSource2, kEcg, kSource1}, "copy W, second");
  ExpectSelfContained(copy);
  CoTaskMemFree(copy);
}

// ---- searching ------------------------------------------------------------------------

struct Seen {
  std::vector<CLSID> clsids;
  int answer = 1;
  int stopAfter = -1;  // answer 0 on this call (0-based)
  std::vector<VKDATAPROVIDERINFOW*> kept;
};

int Record(LPVOID block, LPVOID ctx) {
  auto* seen = static_cast<Seen*>(ctx);
  auto* info = static_cast<VKDATAPROVIDERINFOW*>(block);
  seen->clsids.push_back(info->clsid);
  if (static_cast<int>(seen->clsids.size()) - 1 == seen->stopAfter) return VKENUM_STOP;
  if (seen->answer == VKENUM_KEEPBLOCK) seen->kept.push_back(info);
  return seen->answer;
}

TEST_F(ProvidersTest, EnumerationMatchesOutputsOnly) {
  RegisterFullProviderW();  // outputs ECG and marks, inputs raw and marks
  RegisterOutputsW(kProviderB, {kMarks});
  RegisterOutputsW(kProviderC, {kRaw});

  Seen ecg;
  EXPECT_EQ(vkEnumDataProvidersW(&kEcg, Record, &ecg), S_OK);
  EXPECT_EQ(ecg.clsids, std::vector<CLSID>{kProviderA});
  Seen marks;
  EXPECT_EQ(vkEnumDataProvidersW(&kMarks, Record, &marks), S_OK);
  EXPECT_EQ(marks.clsids, (std::vector<CLSID>{kProviderA, kProviderB}));
  Seen raw;  // provider A takes raw data as input: not reported
  EXPECT_EQ(vkEnumDataProvidersW(&kRaw, Record, &raw), S_OK);
  EXPECT_EQ(raw.clsids, std::vector<CLSID>{kProviderC});
  Seen any;
  EXPECT_EQ(vkEnumDataProvidersW(&GUID_NULL, Record, &any), S_OK);
  EXPECT_EQ(any.clsids.size(), 3u);
  Seen none;
  EXPECT_EQ(vkEnumDataProvidersW(&kSource1, Record, &none), S_FALSE);
  EXPECT_TRUE(none.clsids.empty());
}

TEST_F(ProvidersTest, EnumerationStopsAndHandsOverBlocks) {
  RegisterOutputsW(kProviderA, {kEcg});
  RegisterOutputsW(kProviderB, {kEcg});
  RegisterOutputsW(kProviderC, {kEcg});

  Seen stop;
  stop.stopAfter = 1;
  EXPECT_EQ(vkEnumDataProvidersW(&kEcg, Record, &stop), S_FALSE) << "stopped by the callback";
  EXPECT_EQ(stop.clsids.size(), 2u);

  // Kept blocks stay valid after the enumeration and belong to the callback's owner.
  Seen keep;
  keep.answer = VKENUM_KEEPBLOCK;
  EXPECT_EQ(vkEnumDataProvidersW(&kEcg, Record, &keep), S_OK);
  ASSERT_EQ(keep.kept.size(), 3u);
  EXPECT_EQ(keep.kept[2]->clsid, kProviderC);
  EXPECT_EQ(keep.kept[2]->outputs[0].dataClass, kEcg);
  for (auto* block : keep.kept) CoTaskMemFree(block);

  // A broken registration (no Out key) ends the search with its error.
  PutString(ProviderKey(nx::Guid("11111111-2222-3333-4444-000000000000")), nullptr, u"broken");
  Seen broken;
  EXPECT_EQ(vkEnumDataProvidersA(&kEcg, Record, &broken), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

// The callback runs outside the enumeration's reads: it may change the registry, and
// the enumeration goes on over what is registered then. Another process's change
// between two enumerations is seen by the second.
TEST_F(ProvidersTest, EnumerationGoesOnOverChangesMadeMeanwhile) {
  RegisterOutputsW(kProviderA, {kEcg});
  RegisterOutputsW(kProviderB, {kEcg});
  RegisterOutputsW(kProviderC, {kEcg});
  struct Walk {
    std::vector<CLSID> seen;
    std::vector<std::u16string> descriptions;
  } walk;
  auto unregisterNext = [](LPVOID block, LPVOID ctx) -> int {
    auto* w = static_cast<Walk*>(ctx);
    auto* info = static_cast<VKDATAPROVIDERINFOW*>(block);
    w->seen.push_back(info->clsid);
    if (info->clsid == kProviderA) {
      if (vkUnregisterDataProvider(&kProviderB) != S_OK) return VKENUM_STOP;
      RegisterOutputsW(kProviderA, {kEcg, kMarks});  // rewrites the one just handed out
    }
    return VKENUM_CONTINUE;
  };
  EXPECT_EQ(vkEnumDataProvidersW(&kEcg, unregisterNext, &walk), S_OK);
  EXPECT_EQ(walk.seen, (std::vector<CLSID>{kProviderA, kProviderC}));

  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::u16string description = u"переписан";
    VKDATAPROVIDEROUTPUTW out{kEcg, nullptr};
    VKDATAPROVIDERINFOW info{kProviderC, description.data(), 0, 1, nullptr, &out};
    _exit(vkRegisterDataProviderW(&info) == S_OK && vkUnregisterDataProvider(&kProviderA) == S_OK ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  auto describe = [](LPVOID block, LPVOID ctx) -> int {
    auto* info = static_cast<VKDATAPROVIDERINFOW*>(block);
    static_cast<Walk*>(ctx)->descriptions.push_back(info->description);
    return VKENUM_CONTINUE;
  };
  Walk after;
  EXPECT_EQ(vkEnumDataProvidersW(&kEcg, describe, &after), S_OK);
  EXPECT_EQ(after.descriptions, std::vector<std::u16string>{u"переписан"});
  std::vector<CLSID> byKey;
  EXPECT_EQ(vkEnumDataProviderClass(
                &kEcg, TRUE,
                [](const CLSID* c, LPVOID ctx) -> BOOL {
                  static_cast<std::vector<CLSID>*>(ctx)->push_back(*c);
                  return TRUE;
                },
                &byKey),
            S_OK);
  EXPECT_EQ(byKey, std::vector<CLSID>{kProviderC});
}

TEST_F(ProvidersTest, EnumerationWithoutAnyProviderKey) {
  Seen seen;
  EXPECT_EQ(vkEnumDataProvidersW(&kEcg, Record, &seen), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(vkEnumDataProviderClass(&kEcg, TRUE, [](const CLSID*, LPVOID) -> BOOL { return TRUE; }, nullptr),
            HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

struct ClassSeen {
  std::vector<CLSID> clsids;
  size_t stopAt = SIZE_MAX;
};

BOOL OnProvider(const CLSID* clsid, LPVOID ctx) {
  auto* seen = static_cast<ClassSeen*>(ctx);
  seen->clsids.push_back(*clsid);
  return seen->clsids.size() != seen->stopAt;
}

TEST_F(ProvidersTest, EnumerationByClassKeyOnEitherSide) {
  RegisterFullProviderW();  // Out: ECG, marks; In: raw, marks
  RegisterOutputsW(kProviderB, {kRaw});

  ClassSeen out;
  EXPECT_EQ(vkEnumDataProviderClass(&kRaw, TRUE, OnProvider, &out), S_OK);
  EXPECT_EQ(out.clsids, std::vector<CLSID>{kProviderB});
  ClassSeen in;
  EXPECT_EQ(vkEnumDataProviderClass(&kRaw, FALSE, OnProvider, &in), S_OK);
  EXPECT_EQ(in.clsids, std::vector<CLSID>{kProviderA});
  ClassSeen nobody;
  EXPECT_EQ(vkEnumDataProviderClass(&kSource1, TRUE, OnProvider, &nobody), S_OK) << "S_OK even without a match";
  EXPECT_TRUE(nobody.clsids.empty());

  RegisterOutputsW(kProviderC, {kRaw});
  ClassSeen stopped;
  stopped.stopAt = 1;
  EXPECT_EQ(vkEnumDataProviderClass(&kRaw, TRUE, OnProvider, &stopped), S_FALSE);
  EXPECT_EQ(stopped.clsids.size(), 1u);

  // A provider key that holds the class but is not named by a CLSID ends the search.
  Put(kProviders + u"\\{Vendor}\\Out\\" + GuidText(kRaw));
  ClassSeen bad;
  EXPECT_EQ(vkEnumDataProviderClass(&kRaw, TRUE, OnProvider, &bad), CO_E_CLASSSTRING);
}

// ---- unregistering --------------------------------------------------------------------

TEST_F(ProvidersTest, UnregisteringTheLastProviderRemovesTheRoot) {
  RegisterFullProviderW();
  RegisterOutputsW(kProviderB, {kEcg});
  EXPECT_EQ(vkUnregisterDataProvider(&kProviderA), S_OK);
  EXPECT_FALSE(KeyExists(ProviderKey(kProviderA)));
  EXPECT_TRUE(KeyExists(kProviders)) << "provider B is still there";
  EXPECT_EQ(vkUnregisterDataProvider(&kProviderB), S_OK);
  EXPECT_FALSE(KeyExists(kProviders));
  EXPECT_EQ(vkUnregisterDataProvider(&kProviderB), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

}  // namespace
