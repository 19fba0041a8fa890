// The sample codec through its exported functions, against an in-memory sample stream
// that records every call: byte format, block results, held bytes, block splitting,
// reader and writer failures, and what is released when.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <random>
#include <utility>
#include <vector>

#include "vkrt.h"

namespace {

constexpr HRESULT kEnd = HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);
static_assert(kEnd == static_cast<HRESULT>(0x80070026));

// What the stream's objects share: the samples, the calls seen and the failures to give.
struct StreamLog {
  std::vector<SHORT> samples;  // the source's content, or what the sink committed
  int refs = 0;                // references handed out and not yet released
  HRESULT queryResult = S_OK;  // QueryInterface for IDataStream
  HRESULT openResult = S_OK;   // OpenAccess
  std::vector<std::pair<IID, DWORD>> opens;
  // Reader: every LockSamples (first, count), the range locked now (a copy of exactly
  // that range, so a read outside it is caught by the address sanitizer) and results
  // to give instead of locking.
  std::vector<std::pair<DWORD, DWORD>> locks;
  int unlocks = 0;
  bool locked = false;
  std::vector<SHORT> lockedCopy;
  std::deque<HRESULT> lockFailures;
  // Writer: buffers handed out, byte counts committed, statuses to give instead.
  std::vector<DWORD> buffers;
  std::vector<DWORD> commits;
  bool bufferOpen = false;
  std::vector<SHORT> buffer;
  std::deque<LONG> bufferFailures;
};

template <typename Interface>
struct LoggedObject : Interface {
  LoggedObject(StreamLog& log, const IID& iid) : log_(log), iid_(iid) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualGUID(riid, iid_) || IsEqualGUID(riid, IID_IUnknown)) {
      *ppv = static_cast<Interface*>(this);
      ++log_.refs;
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++log_.refs); }
  ULONG STDMETHODCALLTYPE Release() override {
    EXPECT_GT(log_.refs, 0) << "released more often than referenced";
    return static_cast<ULONG>(--log_.refs);
  }

 protected:
  StreamLog& log_;
  const IID& iid_;
};

struct Reader : LoggedObject<IDataStreamReader> {
  explicit Reader(StreamLog& log) : LoggedObject(log, IID_IDataStreamReader) {}
  HRESULT STDMETHODCALLTYPE LockSamples(DWORD first, DWORD count, DWORD r1, DWORD r2, const SHORT** pp) override {
    EXPECT_EQ(r1, 0u);
    EXPECT_EQ(r2, 0u);
    EXPECT_FALSE(log_.locked) << "locked twice";
    EXPECT_LE(static_cast<size_t>(first) + count, log_.samples.size());
    log_.locks.emplace_back(first, count);
    if (!log_.lockFailures.empty()) {
      HRESULT hr = log_.lockFailures.front();
      log_.lockFailures.pop_front();
      return hr;
    }
    log_.lockedCopy.assign(log_.samples.begin() + first, log_.samples.begin() + first + count);
    log_.locked = true;
    *pp = log_.lockedCopy.data();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE UnlockSamples() override {
    EXPECT_TRUE(log_.locked) << "unlocked without a lock";
    ++log_.unlocks;
    log_.locked = false;
    log_.lockedCopy = {};  // the old range goes away: later reads of it are caught
    return S_OK;
  }
};

struct Writer : LoggedObject<IDataStreamWriter> {
  explicit Writer(StreamLog& log) : LoggedObject(log, IID_IDataStreamWriter) {}
  LONG STDMETHODCALLTYPE GetBuffer(DWORD cb, SHORT** pp) override {
    EXPECT_FALSE(log_.bufferOpen) << "second buffer before a commit";
    EXPECT_EQ(cb % 2, 0u);
    log_.buffers.push_back(cb);
    if (!log_.bufferFailures.empty()) {
      LONG status = log_.bufferFailures.front();
      log_.bufferFailures.pop_front();
      return status;
    }
    log_.buffer.assign(cb / 2, SHORT{0x5A5A});
    log_.bufferOpen = true;
    *pp = log_.buffer.data();
    return 0;
  }
  HRESULT STDMETHODCALLTYPE CommitBuffer(DWORD cb) override {
    EXPECT_TRUE(log_.bufferOpen);
    EXPECT_EQ(cb, log_.buffer.size() * 2) << "a window is committed whole";
    log_.commits.push_back(cb);
    log_.samples.insert(log_.samples.end(), log_.buffer.begin(), log_.buffer.begin() + cb / 2);
    log_.bufferOpen = false;
    return S_OK;
  }
};

// A sample stream object: source or sink depending on which access is opened.
struct Stream : LoggedObject<IDataStream> {
  Stream() : LoggedObject(log, IID_IDataStream) {}
  explicit Stream(std::vector<SHORT> samples) : Stream() { log.samples = std::move(samples); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (log.queryResult != S_OK) {
      *ppv = nullptr;
      return log.queryResult;
    }
    return LoggedObject::QueryInterface(riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE Reserved1() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OpenAccess(void** pp, REFIID riid, DWORD flags) override {
    log.opens.emplace_back(riid, flags);
    *pp = nullptr;
    if (log.openResult != S_OK) return log.openResult;
    if (IsEqualGUID(riid, IID_IDataStreamReader)) return reader.QueryInterface(riid, pp);
    if (IsEqualGUID(riid, IID_IDataStreamWriter)) return writer.QueryInterface(riid, pp);
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
  DWORD STDMETHODCALLTYPE GetLength(DWORD reserved) override {
    EXPECT_EQ(reserved, 0u);
    return static_cast<DWORD>(log.samples.size());
  }

  StreamLog log;
  Reader reader{log};
  Writer writer{log};
};

// The byte stream as the format defines it, one sample at a time: the oracle.
std::vector<BYTE> Encode(const std::vector<SHORT>& samples) {
  std::vector<BYTE> out;
  SHORT previous = 0;
  for (SHORT s : samples) {
    int d = static_cast<SHORT>(static_cast<uint16_t>(s - previous));
    if (d >= -64 && d <= 63) {
      out.push_back(static_cast<BYTE>(d & 0x7F));
    } else {
      out.push_back(static_cast<BYTE>(0x80 | ((s >> 8) & 0x7F)));
      out.push_back(static_cast<BYTE>(s & 0xFF));
    }
    previous = s;
  }
  return out;
}

// Compresses the whole stream in output blocks of blockSize bytes; checks every result
// and the reported counts along the way.
std::vector<BYTE> Compress(const std::vector<SHORT>& samples, size_t blockSize) {
  Stream source(samples);
  VKCOMPRESSOR* c = nullptr;
  EXPECT_EQ(vkCreateCompressor(&source, &c), S_OK);
  if (!c) return {};
  std::vector<BYTE> out;
  std::vector<BYTE> block(blockSize);
  size_t consumedTotal = 0;
  for (HRESULT hr = S_OK; hr != kEnd;) {
    DWORD written = 99, consumed = 99;
    hr = vkCompressDataBlock(c, block.data(), static_cast<DWORD>(blockSize), &written, &consumed);
    EXPECT_TRUE(hr == S_OK || hr == S_FALSE || hr == kEnd) << std::hex << hr;
    if (hr != S_OK && hr != S_FALSE && hr != kEnd) break;
    EXPECT_LE(written, blockSize);
    EXPECT_EQ(consumed % 2, 0u);
    out.insert(out.end(), block.begin(), block.begin() + written);
    consumedTotal += consumed;
  }
  EXPECT_EQ(consumedTotal, samples.size() * 2);
  EXPECT_FALSE(source.log.locked);
  EXPECT_EQ(source.log.refs, 0) << "the reader is released at the end";
  vkCloseCompressor(c);
  return out;
}

// Expands count samples from bytes fed in blocks of blockSize bytes.
std::vector<SHORT> Expand(const std::vector<BYTE>& bytes, size_t count, size_t blockSize) {
  Stream sink;
  VKEXPANDER* e = nullptr;
  EXPECT_EQ(vkCreateExpander(&sink, static_cast<DWORD>(count), &e), S_OK);
  if (!e) return {};
  size_t pos = 0, producedTotal = 0;
  HRESULT hr = S_OK;
  while (hr != kEnd && pos < bytes.size()) {
    DWORD n = static_cast<DWORD>(std::min(blockSize, bytes.size() - pos));
    DWORD used = 99, produced = 99;
    hr = vkExpandDataBlock(e, bytes.data() + pos, n, &used, &produced);
    EXPECT_TRUE(hr == S_OK || hr == S_FALSE || hr == kEnd) << std::hex << hr;
    if (hr != S_OK && hr != S_FALSE && hr != kEnd) break;
    EXPECT_LE(used, n);
    // A block is used up unless a window end or the end of the data stopped the call.
    if (hr == S_FALSE) {
      EXPECT_EQ(used, n);
    }
    pos += used;
    producedTotal += produced;
  }
  EXPECT_EQ(hr, kEnd);
  EXPECT_EQ(pos, bytes.size()) << "every byte belongs to a sample";
  EXPECT_EQ(producedTotal, count * 2);
  EXPECT_EQ(sink.log.refs, 0) << "the writer is released at the end";
  vkCloseExpander(e);
  return sink.log.samples;
}

// A random walk with jumps, within the exact range, so both codes occur often.
std::vector<SHORT> RandomSamples(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> step(-80, 80), pick(0, 19), anywhere(-16384, 16383);
  std::vector<SHORT> v(n);
  int s = 0;
  for (auto& x : v) {
    s = pick(rng) == 0 ? anywhere(rng) : std::clamp(s + step(rng), -16384, 16383);
    x = static_cast<SHORT>(s);
  }
  return v;
}

// ---- the byte format ---------------------------------------------------------------------

TEST(CodecFormatTest, SmallStreamsGiveTheirExactBytes) {
  struct Case {
    std::vector<SHORT> samples;
    std::vector<BYTE> bytes;
  };
  const Case cases[] = {
      {{5}, {0x05}},
      {{100}, {0x80, 0x64}},
      {{-1}, {0x7F}},
      {{-65}, {0xFF, 0xBF}},
      {{63}, {0x3F}},        // largest rise in one byte
      {{-64}, {0x40}},       // largest fall in one byte
      {{64}, {0x80, 0x40}},  // one more takes two
      {{1000, 1063, 999, 1063}, {0x83, 0xE8, 0x3F, 0x40, 0x84, 0x27}},
      {{1000, 935}, {0x83, 0xE8, 0x83, 0xA7}},      // -65
      {{16383, -16384}, {0xBF, 0xFF, 0xC0, 0x00}},  // the ends of the exact range
      {{-32768, 32767}, {0x80, 0x00, 0x7F}},        // wraps modulo 2^16: a delta of -1
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.samples));
    EXPECT_EQ(Compress(c.samples, 64), c.bytes);
  }
  // Decoding: each exact case comes back; the wrapped pair follows the same arithmetic.
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.samples));
    std::vector<SHORT> expected = c.samples;
    if (expected[0] == -32768) expected = {0, -1};  // bit 15 of an absolute code follows bit 14
    EXPECT_EQ(Expand(c.bytes, c.samples.size(), 64), expected);
  }
}

TEST(CodecFormatTest, RandomStreamsRoundTripExactly) {
  for (unsigned seed = 1; seed <= 3; ++seed) {
    auto samples = RandomSamples(50000, seed);
    auto bytes = Compress(samples, 65536);
    ASSERT_EQ(bytes, Encode(samples));
    EXPECT_EQ(Expand(bytes, samples.size(), 65536), samples);
  }
}

TEST(CodecFormatTest, AbsoluteCodesOutsideTheExactRangeLoseBit15) {
  // An absolute code carries 15 bits: bit 15 comes back equal to bit 14. Deltas are
  // taken against the full previous sample, so they carry the same offset along, and a
  // delta that leaves the range from an exact sample stays exact.
  const std::vector<SHORT> samples = {0, 20000, 20001, -20000, 16383, 16384, 16300};
  auto flip = [](SHORT s) {
    auto u = static_cast<uint16_t>(s);
    return static_cast<SHORT>((u & 0x7FFF) | ((u & 0x4000) << 1));
  };
  const std::vector<SHORT> expected = {0, flip(20000), flip(20001), flip(-20000), 16383, 16384, 16300};
  EXPECT_EQ(expected[1], -12768);
  EXPECT_EQ(expected[3], 12768);
  EXPECT_EQ(Expand(Compress(samples, 64), samples.size(), 64), expected);
}

// ---- compressor: results and blocks ----------------------------------------------------------

TEST(CompressorTest, OneWindowEndsAtOnceAndStaysEnded) {
  Stream source(RandomSamples(4096, 7));
  VKCOMPRESSOR* c = nullptr;
  ASSERT_EQ(vkCreateCompressor(&source, &c), S_OK);
  EXPECT_EQ(source.log.refs, 1) << "only the reader is kept";
  ASSERT_EQ(source.log.opens.size(), 1u);
  EXPECT_TRUE(IsEqualGUID(source.log.opens[0].first, IID_IDataStreamReader));
  EXPECT_EQ(source.log.opens[0].second, 0u);

  std::vector<BYTE> out(20000);
  DWORD written = 0, consumed = 0;
  EXPECT_EQ(vkCompressDataBlock(c, out.data(), 20000, &written, &consumed), kEnd);
  EXPECT_EQ(consumed, 8192u);
  out.resize(written);
  EXPECT_EQ(out, Encode(source.log.samples));
  EXPECT_EQ(source.log.locks, (std::vector<std::pair<DWORD, DWORD>>{{0, 4096}}));
  EXPECT_EQ(source.log.unlocks, 1);
  EXPECT_EQ(source.log.refs, 0);
  for (int i = 0; i < 2; ++i) {
    written = consumed = 77;
    EXPECT_EQ(vkCompressDataBlock(c, out.data(), 100, &written, &consumed), kEnd);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(consumed, 0u);
  }
  EXPECT_EQ(source.log.locks.size(), 1u);
  vkCloseCompressor(c);
  EXPECT_EQ(source.log.refs, 0);
}

TEST(CompressorTest, EachCallEndsAtAWindowBoundary) {
  Stream source(RandomSamples(9000, 8));
  VKCOMPRESSOR* c = nullptr;
  ASSERT_EQ(vkCreateCompressor(&source, &c), S_OK);
  std::vector<BYTE> out(20000);
  DWORD written = 9, consumed = 9;
  // No room: the range is locked but nothing is written.
  EXPECT_EQ(vkCompressDataBlock(c, out.data(), 0, &written, &consumed), S_FALSE);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(consumed, 0u);
  const HRESULT results[] = {S_OK, S_OK, kEnd};
  const DWORD samples[] = {4096, 4096, 808};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(vkCompressDataBlock(c, out.data(), 20000, &written, &consumed), results[i]) << i;
    EXPECT_EQ(consumed, samples[i] * 2) << i;
  }
  EXPECT_EQ(source.log.locks, (std::vector<std::pair<DWORD, DWORD>>{{0, 9000}}));
  vkCloseCompressor(c);
}

TEST(CompressorTest, LongStreamsAreLockedInRangesOf32768) {
  auto samples = RandomSamples(70000, 9);
  Stream source(samples);
  VKCOMPRESSOR* c = nullptr;
  ASSERT_EQ(vkCreateCompressor(&source, &c), S_OK);
  std::vector<BYTE> out(1 << 20), all;
  int windows = 0;
  for (HRESULT hr = S_OK; hr != kEnd; ++windows) {
    DWORD written = 0;
    hr = vkCompressDataBlock(c, out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
    ASSERT_TRUE(hr == S_OK || hr == kEnd);
    all.insert(all.end(), out.begin(), out.begin() + written);
  }
  EXPECT_EQ(windows, 8 + 8 + 2);  // 4464 samples in the last range: two windows
  EXPECT_EQ(source.log.locks, (std::vector<std::pair<DWORD, DWORD>>{{0, 32768}, {32768, 32768}, {65536, 4464}}));
  EXPECT_EQ(source.log.unlocks, 3);
  EXPECT_EQ(all, Encode(samples));
  vkCloseCompressor(c);
}

TEST(CompressorTest, ByteHeldBackIsWrittenFirstByTheNextCall) {
  // Absolute codes at the end of a window (4095), of a range (32767) and of the stream.
  std::vector<SHORT> samples(33000, 10);
  samples[4095] = 5000;
  samples[32767] = -5000;
  samples[32768] = -5001;
  samples.back() = 7000;
  const auto reference = Encode(samples);

  Stream source(samples);
  VKCOMPRESSOR* c = nullptr;
  ASSERT_EQ(vkCreateCompressor(&source, &c), S_OK);
  std::vector<BYTE> all;
  std::vector<HRESULT> resultsAtHeld;
  for (HRESULT hr = S_OK; hr != kEnd;) {
    BYTE b = 0xEE;
    DWORD written = 0, consumed = 0;
    hr = vkCompressDataBlock(c, &b, 1, &written, &consumed);
    ASSERT_TRUE(hr == S_OK || hr == S_FALSE || hr == kEnd) << std::hex << hr;
    ASSERT_LE(written, 1u);
    if (written) all.push_back(b);
    // The first byte of an absolute code: the call ends holding the second one.
    if (written && (b & 0x80) && consumed == 2) resultsAtHeld.push_back(hr);
  }
  EXPECT_EQ(all, reference);
  // Absolute codes at 4095 (window end: S_OK), 4096 (back to 10), 32767 (range end:
  // S_OK), 32769 (back to 10) and the last sample: not yet the end while a byte is held.
  EXPECT_EQ(resultsAtHeld, (std::vector<HRESULT>{S_OK, S_FALSE, S_OK, S_FALSE, S_FALSE}));
  vkCloseCompressor(c);

  // Every block size gives the same stream.
  for (size_t size : {2, 3, 5, 64, 4095, 4097, 8191, 70000}) {
    SCOPED_TRACE(size);
    EXPECT_EQ(Compress(samples, size), reference);
  }
}

TEST(CompressorTest, EveryOutputSizeGivesTheSameStream) {
  auto samples = RandomSamples(9000, 12);
  samples[0] = 9999;  // the first sample of a range as an absolute code
  samples[4095] = -3;
  samples[4096] = 16000;
  const auto reference = Encode(samples);
  for (size_t size = 1; size <= 40; ++size) {
    SCOPED_TRACE(size);
    ASSERT_EQ(Compress(samples, size), reference);
  }
  for (size_t size : {255, 256, 8191, 8192, 8193, 20000}) {
    SCOPED_TRACE(size);
    ASSERT_EQ(Compress(samples, size), reference);
  }
}

TEST(CompressorTest, HeldByteAtTheVeryEndIsDeliveredBeforeTheEnd) {
  const std::vector<SHORT> samples = {1, 2, 3000};  // codes 01 01 8B B8
  Stream source(samples);
  VKCOMPRESSOR* c = nullptr;
  ASSERT_EQ(vkCreateCompressor(&source, &c), S_OK);
  BYTE out[8] = {};
  DWORD written = 0, consumed = 0;
  EXPECT_EQ(vkCompressDataBlock(c, out, 3, &written, &consumed), S_FALSE);
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(consumed, 6u);
  EXPECT_EQ(source.log.refs, 0) << "all samples are coded: the reader is done";
  EXPECT_EQ(vkCompressDataBlock(c, out, 0, &written, &consumed), S_FALSE) << "no room for the byte";
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(vkCompressDataBlock(c, out + 3, 5, &written, &consumed), kEnd);
  EXPECT_EQ(written, 1u);
  EXPECT_EQ(consumed, 0u);
  EXPECT_EQ(std::vector<BYTE>(out, out + 4), (std::vector<BYTE>{0x01, 0x01, 0x8B, 0xB8}));
  EXPECT_EQ(vkCompressDataBlock(c, out, 5, &written, &consumed), kEnd);
  EXPECT_EQ(written, 0u);
  vkCloseCompressor(c);
}

TEST(CompressorTest, FailedLockIsPassedOnAndTheCallCanBeRepeated) {
  std::vector<SHORT> samples(40000, 0);
  samples[32767] = 9000;  // the last of the first range: its second byte is held over
  Stream source(samples);
  VKCOMPRESSOR* c = nullptr;
  ASSERT_EQ(vkCreateCompressor(&source, &c), S_OK);
  std::vector<BYTE> out(100000), all;
  DWORD written = 9, consumed = 9;

  source.log.lockFailures = {E_ACCESSDENIED, S_FALSE};  // any result but S_OK fails
  EXPECT_EQ(vkCompressDataBlock(c, out.data(), 100, &written, &consumed), E_ACCESSDENIED);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(consumed, 0u);
  EXPECT_FALSE(source.log.locked);
  EXPECT_EQ(vkCompressDataBlock(c, out.data(), 100, &written, &consumed), S_FALSE);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(source.log.unlocks, 0) << "nothing locked, nothing unlocked";

  // The first range, ending with the first byte of the absolute code.
  const size_t firstRangeBytes = 32767 + 1;
  while (all.size() < firstRangeBytes) {
    HRESULT hr =
        vkCompressDataBlock(c, out.data(), static_cast<DWORD>(firstRangeBytes - all.size()), &written, &consumed);
    ASSERT_EQ(hr, S_OK);
    all.insert(all.end(), out.begin(), out.begin() + written);
  }
  EXPECT_EQ(source.log.unlocks, 1);
  EXPECT_EQ(all.back(), 0x80 | (9000 >> 8));

  source.log.lockFailures = {HRESULT_FROM_WIN32(ERROR_READ_FAULT)};
  EXPECT_EQ(vkCompressDataBlock(c, out.data(), 100, &written, &consumed), HRESULT_FROM_WIN32(ERROR_READ_FAULT));
  EXPECT_EQ(written, 0u) << "the held byte waits for a good lock";
  for (HRESULT hr = S_OK; hr != kEnd;) {
    hr = vkCompressDataBlock(c, out.data(), static_cast<DWORD>(out.size()), &written, &consumed);
    ASSERT_TRUE(hr == S_OK || hr == kEnd) << std::hex << hr;
    all.insert(all.end(), out.begin(), out.begin() + written);
  }
  EXPECT_EQ(all, Encode(samples));
  EXPECT_EQ(source.log.locks.size(), 2u + 1 + 1 + 1);
  vkCloseCompressor(c);
  EXPECT_EQ(source.log.refs, 0);
}

TEST(CompressorTest, CloseUnlocksAndReleases) {
  Stream source(RandomSamples(10000, 4));
  VKCOMPRESSOR* c = nullptr;
  ASSERT_EQ(vkCreateCompressor(&source, &c), S_OK);
  BYTE out[16];
  EXPECT_EQ(vkCompressDataBlock(c, out, sizeof out, nullptr, nullptr), S_FALSE);
  EXPECT_TRUE(source.log.locked);
  vkCloseCompressor(c);
  EXPECT_FALSE(source.log.locked);
  EXPECT_EQ(source.log.refs, 0);

  // An empty stream ends at once and lets its reader go.
  Stream empty;
  ASSERT_EQ(vkCreateCompressor(&empty, &c), S_OK);
  EXPECT_EQ(vkCompressDataBlock(c, out, sizeof out, nullptr, nullptr), kEnd);
  EXPECT_EQ(empty.log.refs, 0);
  EXPECT_TRUE(empty.log.locks.empty());
  vkCloseCompressor(c);
  vkCloseCompressor(nullptr);
}

// ---- expander: results and blocks -------------------------------------------------------------

TEST(ExpanderTest, EveryBlockSplitGivesTheSameSamples) {
  // Absolute codes at window ends and across block ends of every size.
  auto samples = RandomSamples(9000, 5);
  samples[4095] = 12000;
  samples[4096] = -12000;
  samples[8191] = 3;
  samples.back() = -9000;
  const auto bytes = Encode(samples);
  for (size_t size = 1; size <= 40; ++size) {
    SCOPED_TRACE(size);
    ASSERT_EQ(Expand(bytes, samples.size(), size), samples);
  }
  for (size_t size : {255, 256, 4096, 8191, 8192, 8193, 20000}) {
    SCOPED_TRACE(size);
    ASSERT_EQ(Expand(bytes, samples.size(), size), samples);
  }
}

TEST(ExpanderTest, HeldFirstByteCompletesWithTheNextBlock) {
  // 100 (80 64), then +3 as a delta against it.
  Stream sink;
  VKEXPANDER* e = nullptr;
  ASSERT_EQ(vkCreateExpander(&sink, 2, &e), S_OK);
  ASSERT_EQ(sink.log.opens.size(), 1u);
  EXPECT_TRUE(IsEqualGUID(sink.log.opens[0].first, IID_IDataStreamWriter));
  EXPECT_EQ(sink.log.opens[0].second, 0u);
  const BYTE first[] = {0x80};
  const BYTE rest[] = {0x64, 0x03};
  DWORD used = 0, produced = 0;
  EXPECT_EQ(vkExpandDataBlock(e, first, 1, &used, &produced), S_FALSE);
  EXPECT_EQ(used, 1u);
  EXPECT_EQ(produced, 0u);
  EXPECT_EQ(sink.log.buffers, std::vector<DWORD>{4});
  EXPECT_EQ(vkExpandDataBlock(e, rest, 2, &used, &produced), kEnd);
  EXPECT_EQ(used, 2u);
  EXPECT_EQ(produced, 4u);
  EXPECT_EQ(sink.log.samples, (std::vector<SHORT>{100, 103}));
  EXPECT_EQ(sink.log.refs, 0);
  EXPECT_EQ(vkExpandDataBlock(e, rest, 2, &used, &produced), kEnd);
  EXPECT_EQ(used, 0u);
  EXPECT_EQ(produced, 0u);
  vkCloseExpander(e);
}

TEST(ExpanderTest, WindowsOf4096AreCommittedWhole) {
  auto samples = RandomSamples(9000, 6);
  auto bytes = Encode(samples);
  Stream sink;
  VKEXPANDER* e = nullptr;
  ASSERT_EQ(vkCreateExpander(&sink, 9000, &e), S_OK);
  size_t pos = 0;
  std::vector<HRESULT> results;
  for (HRESULT hr = S_OK; hr != kEnd;) {
    DWORD used = 0;
    hr = vkExpandDataBlock(e, bytes.data() + pos, static_cast<DWORD>(bytes.size() - pos), &used, nullptr);
    results.push_back(hr);
    pos += used;
  }
  EXPECT_EQ(results, (std::vector<HRESULT>{S_OK, S_OK, kEnd}));
  EXPECT_EQ(sink.log.buffers, (std::vector<DWORD>{8192, 8192, 1616}));
  EXPECT_EQ(sink.log.commits, sink.log.buffers);
  EXPECT_EQ(sink.log.samples, samples);
  vkCloseExpander(e);

  // Bytes beyond the last sample are left alone.
  Stream short_sink;
  ASSERT_EQ(vkCreateExpander(&short_sink, 3, &e), S_OK);
  const BYTE extra[] = {1, 1, 1, 1, 1};
  DWORD used = 0;
  EXPECT_EQ(vkExpandDataBlock(e, extra, 5, &used, nullptr), kEnd);
  EXPECT_EQ(used, 3u);
  EXPECT_EQ(short_sink.log.samples, (std::vector<SHORT>{1, 2, 3}));
  vkCloseExpander(e);
}

TEST(ExpanderTest, FailedBufferIsPassedOnAndTheCallCanBeRepeated) {
  auto samples = RandomSamples(5000, 11);
  auto bytes = Encode(samples);
  Stream sink;
  VKEXPANDER* e = nullptr;
  ASSERT_EQ(vkCreateExpander(&sink, 5000, &e), S_OK);
  DWORD used = 9, produced = 9;
  // A negative status is an HRESULT; a positive one a Win32 code.
  sink.log.bufferFailures = {static_cast<LONG>(E_OUTOFMEMORY), static_cast<LONG>(ERROR_NOT_ENOUGH_MEMORY)};
  EXPECT_EQ(vkExpandDataBlock(e, bytes.data(), 10, &used, &produced), E_OUTOFMEMORY);
  EXPECT_EQ(used, 0u);
  EXPECT_EQ(produced, 0u);
  EXPECT_EQ(vkExpandDataBlock(e, bytes.data(), 10, &used, &produced), static_cast<HRESULT>(0x80070008));
  EXPECT_FALSE(sink.log.bufferOpen);

  size_t pos = 0;
  DWORD cb = static_cast<DWORD>(bytes.size());
  ASSERT_EQ(vkExpandDataBlock(e, bytes.data(), cb, &used, &produced), S_OK);
  pos += used;
  EXPECT_EQ(produced, 8192u);
  sink.log.bufferFailures = {static_cast<LONG>(ERROR_WRITE_FAULT)};
  EXPECT_EQ(vkExpandDataBlock(e, bytes.data() + pos, cb - static_cast<DWORD>(pos), &used, &produced),
            HRESULT_FROM_WIN32(ERROR_WRITE_FAULT));
  EXPECT_EQ(used, 0u);
  EXPECT_EQ(vkExpandDataBlock(e, bytes.data() + pos, cb - static_cast<DWORD>(pos), &used, &produced), kEnd);
  EXPECT_EQ(pos + used, bytes.size());
  EXPECT_EQ(sink.log.buffers, (std::vector<DWORD>{8192, 8192, 8192, 1808, 1808}));
  EXPECT_EQ(sink.log.commits, (std::vector<DWORD>{8192, 1808}));
  EXPECT_EQ(sink.log.samples, samples);
  vkCloseExpander(e);
  EXPECT_EQ(sink.log.refs, 0);
}

TEST(ExpanderTest, CloseDropsAPartlyFilledWindow) {
  Stream sink;
  VKEXPANDER* e = nullptr;
  ASSERT_EQ(vkCreateExpander(&sink, 100, &e), S_OK);
  const BYTE bytes[] = {1, 2, 3};
  EXPECT_EQ(vkExpandDataBlock(e, bytes, 3, nullptr, nullptr), S_FALSE);
  EXPECT_EQ(sink.log.refs, 1);
  vkCloseExpander(e);
  EXPECT_TRUE(sink.log.commits.empty());
  EXPECT_EQ(sink.log.refs, 0);
  vkCloseExpander(nullptr);
}

// ---- arguments and creation ----------------------------------------------------------------

TEST(CodecArgumentsTest, BadArgumentsChangeNothing) {
  Stream source(RandomSamples(100, 1));
  VKCOMPRESSOR* c = reinterpret_cast<VKCOMPRESSOR*>(8);
  EXPECT_EQ(vkCreateCompressor(nullptr, &c), E_INVALIDARG);
  EXPECT_EQ(vkCreateCompressor(&source, nullptr), E_INVALIDARG);
  VKEXPANDER* e = reinterpret_cast<VKEXPANDER*>(8);
  EXPECT_EQ(vkCreateExpander(nullptr, 1, &e), E_INVALIDARG);
  EXPECT_EQ(vkCreateExpander(&source, 0, &e), E_INVALIDARG);
  EXPECT_EQ(vkCreateExpander(&source, 1, nullptr), E_INVALIDARG);
  EXPECT_TRUE(source.log.opens.empty());
  EXPECT_EQ(source.log.refs, 0);

  ASSERT_EQ(vkCreateCompressor(&source, &c), S_OK);
  BYTE buf[8] = {};
  DWORD a = 5, b = 6;
  EXPECT_EQ(vkCompressDataBlock(nullptr, buf, 8, &a, &b), E_INVALIDARG);
  EXPECT_EQ(vkCompressDataBlock(c, nullptr, 8, &a, &b), E_INVALIDARG);
  EXPECT_EQ(a, 5u);
  EXPECT_EQ(b, 6u);
  EXPECT_TRUE(source.log.locks.empty());
  vkCloseCompressor(c);

  Stream sink;
  ASSERT_EQ(vkCreateExpander(&sink, 10, &e), S_OK);
  EXPECT_EQ(vkExpandDataBlock(nullptr, buf, 8, &a, &b), E_INVALIDARG);
  EXPECT_EQ(vkExpandDataBlock(e, nullptr, 8, &a, &b), E_INVALIDARG);
  EXPECT_EQ(vkExpandDataBlock(e, buf, 0, &a, &b), E_INVALIDARG);
  EXPECT_EQ(a, 5u);
  EXPECT_EQ(b, 6u);
  EXPECT_TRUE(sink.log.buffers.empty());
  vkCloseExpander(e);
}

TEST(CodecArgumentsTest, RefusingStreamsFailCreationWithTheirResult) {
  for (bool compressor : {true, false}) {
    SCOPED_TRACE(compressor ? "compressor" : "expander");
    auto create = [&](Stream& s) {
      if (compressor) {
        VKCOMPRESSOR* c = reinterpret_cast<VKCOMPRESSOR*>(8);
        HRESULT hr = vkCreateCompressor(&s, &c);
        EXPECT_EQ(c, nullptr);
        return hr;
      }
      VKEXPANDER* e = reinterpret_cast<VKEXPANDER*>(8);
      HRESULT hr = vkCreateExpander(&s, 10, &e);
      EXPECT_EQ(e, nullptr);
      return hr;
    };
    Stream noStream;
    noStream.log.queryResult = E_NOINTERFACE;
    EXPECT_EQ(create(noStream), E_NOINTERFACE);
    EXPECT_TRUE(noStream.log.opens.empty());
    Stream refusing;
    refusing.log.openResult = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    EXPECT_EQ(create(refusing), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_EQ(refusing.log.opens.size(), 1u);
    EXPECT_EQ(refusing.log.refs, 0) << "the stream interface is released again";
  }
}

}  // namespace
