// Compressor and expander of 16-bit sample streams: delta bytes and two-byte absolute
// codes, read in place from a reader's locked ranges and written in place into a
// writer's buffers, in caller-sized blocks.
#include "vkrt/codec.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>

#include "module.h"

namespace {

// Largest range locked in a reader at once, and the window that ends a call.
constexpr DWORD kRangeSamples = 32768;
constexpr DWORD kWindowSamples = 4096;
// flags bit 0 of both states.
constexpr BYTE kHeld = 0x01;
constexpr HRESULT kEnd = HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);

}  // namespace

// The compressor's state; the handle is its address. Zero-filled at creation.
struct VKCOMPRESSOR {
  SHORT previous;              // the last sample coded; 0 at creation
  BYTE flags;                  // bit 0: heldByte is still to be written; other bits 0
  BYTE heldByte;               // second byte of an absolute code that did not fit
  const SHORT* lockedSamples;  // the range locked in the reader, or null
  DWORD doneInLock;            // samples of the locked range already coded
  DWORD windowEnd;             // samples of the locked range the current window reaches to
  DWORD rangeCount;            // samples in the locked range
  DWORD total;                 // samples in the stream (GetLength at creation)
  DWORD position;              // first sample of the locked range; all before it are coded
  IDataStreamReader* reader;   // the source; null once the last range is finished
};
static_assert(offsetof(VKCOMPRESSOR, flags) == 2 && offsetof(VKCOMPRESSOR, heldByte) == 3);
static_assert(offsetof(VKCOMPRESSOR, lockedSamples) < offsetof(VKCOMPRESSOR, doneInLock) &&
              offsetof(VKCOMPRESSOR, position) < offsetof(VKCOMPRESSOR, reader));

// The expander's state; the handle is its address. Zero-filled at creation.
struct VKEXPANDER {
  SHORT previous;             // the last sample produced; 0 at creation
  BYTE flags;                 // bit 0: the first byte of an absolute code is held over
  signed char heldByte;       // that byte, bit 7 replaced by bit 6 (sign-extended 7 bits)
  SHORT* window;              // the buffer obtained from the writer, or null
  DWORD doneInWindow;         // samples already written into the window
  DWORD windowCount;          // samples in the window
  DWORD total;                // samples to be produced (given at creation)
  DWORD position;             // index of the first sample of the window
  IDataStreamWriter* writer;  // the sink; null once the last window is committed
};
static_assert(offsetof(VKEXPANDER, flags) == 2 && offsetof(VKEXPANDER, heldByte) == 3);
static_assert(offsetof(VKEXPANDER, window) < offsetof(VKEXPANDER, doneInWindow) &&
              offsetof(VKEXPANDER, position) < offsetof(VKEXPANDER, writer));

namespace {

// ---- the byte format ----------------------------------------------------------------------

// Bits 0-6 of a code's first byte as a signed 7-bit number: a delta, or sample bits 8-14
// with bit 15 equal to bit 14.
inline int SevenBits(BYTE b) { return static_cast<signed char>(static_cast<BYTE>(b << 1)) >> 1; }

// The sample of an absolute code from its first byte's seven bits and its second byte.
inline uint16_t Absolute(int high, BYTE low) { return static_cast<uint16_t>((static_cast<unsigned>(high) << 8) | low); }

inline bool FitsDelta(uint16_t delta) { return static_cast<uint16_t>(delta + 64) < 128; }

inline BYTE AbsoluteHigh(uint16_t s) { return static_cast<BYTE>(0x80 | ((s >> 8) & 0x7F)); }

// Eight lanes of 16 bits, for coding eight samples at once (SSE2 on x86-64). The chunk
// loops move two-byte words between lanes and byte streams as little-endian values.
static_assert(std::endian::native == std::endian::little);
using U16x8 = uint16_t __attribute__((vector_size(16)));
using I16x8 = int16_t __attribute__((vector_size(16)));
using U8x8 = uint8_t __attribute__((vector_size(8)));

// Room the chunk decoder needs: it reads up to 10 input bytes and writes up to 9 samples
// per step, ahead of what it reports as used and produced.
constexpr std::ptrdiff_t kChunkInput = 10;
constexpr std::ptrdiff_t kChunkOutput = 9;

// Decodes while at least kChunkInput bytes and kChunkOutput samples of room are left.
// Each step takes the eight bytes at in: the k codes before the first absolute code are
// deltas, whose running sums plus the previous sample are the next k samples (computed
// for all eight lanes, the surplus overwritten later); then the absolute code, if one
// is among the eight, gives sample k. The steps have no data-dependent branch, so
// scattered absolute codes cost no mispredictions. Returns the input position after
// the codes used and advances out past the samples produced.
const BYTE* DecodeChunks(const BYTE* in, const BYTE* inEnd, SHORT*& out, const SHORT* outEnd, SHORT& previous) {
  constexpr U16x8 kZero = {};
  auto prev = static_cast<uint16_t>(previous);
  SHORT* o = out;
  while (inEnd - in >= kChunkInput && outEnd - o >= kChunkOutput) {
    uint64_t word;
    std::memcpy(&word, in, sizeof word);
    uint64_t high = word & 0x8080808080808080ull;
    unsigned k = high ? static_cast<unsigned>(__builtin_ctzll(high)) >> 3 : 8;

    U8x8 bytes;
    std::memcpy(&bytes, in, sizeof bytes);
    auto sums = reinterpret_cast<U16x8>(reinterpret_cast<I16x8>(__builtin_convertvector(bytes, U16x8) << 9) >> 9);
    sums += __builtin_shufflevector(sums, kZero, 8, 0, 1, 2, 3, 4, 5, 6);
    sums += __builtin_shufflevector(sums, kZero, 8, 8, 0, 1, 2, 3, 4, 5);
    sums += __builtin_shufflevector(sums, kZero, 8, 8, 8, 8, 0, 1, 2, 3);
    sums += prev;
    std::memcpy(o, &sums, sizeof sums);

    // With k = 8 this decodes bytes 8 and 9 into o[8]; the next step overwrites it.
    uint16_t absolute = Absolute(SevenBits(in[k]), in[k + 1]);
    o[k] = static_cast<SHORT>(absolute);
    bool isAbsolute = k < 8;
    prev = isAbsolute ? absolute : static_cast<uint16_t>(sums[7]);
    o += isAbsolute ? k + 1 : 8;
    in += isAbsolute ? k + 2 : 8;
  }
  previous = static_cast<SHORT>(prev);
  out = o;
  return in;
}

// Codes one sample without a data-dependent branch: writes both candidate bytes and
// advances by the length of the code (a delta's spare byte is overwritten next).
inline BYTE* CodeOne(uint16_t s, uint16_t& prev, BYTE* out) {
  auto d = static_cast<uint16_t>(s - prev);
  bool small = FitsDelta(d);
  out[0] = small ? static_cast<BYTE>(d & 0x7F) : AbsoluteHigh(s);
  out[1] = static_cast<BYTE>(s);
  prev = s;
  return out + (small ? 1 : 2);
}

// Room the chunk coder needs per step: eight samples and up to 16 output bytes.
constexpr std::ptrdiff_t kChunkSamples = 8;
constexpr std::ptrdiff_t kChunkBytes = 16;

// Codes eight samples per step while the window and the output have room for a step.
// The codes of all eight are formed at once as two-byte words (the first byte of a
// delta or absolute code, then the sample's low byte) with their lengths; the words are
// then stored one after the other, each advancing by its length, so a delta's spare
// byte is overwritten by the next code. No data-dependent branch. May change one byte of
// the output past the bytes written. Advances src; returns the end of the bytes written.
BYTE* CodeChunks(const SHORT* rangeStart, const SHORT*& src, const SHORT* srcEnd, BYTE* out, const BYTE* outEnd,
                 SHORT& previous) {
  const SHORT* p = src;
  if (srcEnd - p < kChunkSamples || outEnd - out < kChunkBytes) return out;
  // The previous sample of each step is read from the range itself, so the range's
  // first sample is coded on its own.
  if (p == rangeStart) {
    auto prev = static_cast<uint16_t>(previous);
    out = CodeOne(static_cast<uint16_t>(*p++), prev, out);
  }
  while (srcEnd - p >= kChunkSamples && outEnd - out >= kChunkBytes) {
    U16x8 s, before;
    std::memcpy(&s, p, sizeof s);
    std::memcpy(&before, p - 1, sizeof before);  // p[-1] is the sample coded last
    U16x8 d = s - before;
    auto fits = reinterpret_cast<U16x8>((d + 64) < 128);  // all ones or zero per lane
    U16x8 first = (fits & (d & 0x7F)) | (~fits & (0x80 | ((s >> 8) & 0x7F)));
    U16x8 words = first | (s << 8);  // little-endian: the first byte comes first
    U16x8 lengths = 2 + fits;        // 1 for a delta (2 + 0xFFFF), 2 for an absolute code
    uint16_t word[8], length[8];
    std::memcpy(word, &words, sizeof word);
    std::memcpy(length, &lengths, sizeof length);
    for (int i = 0; i < 8; ++i) {
      std::memcpy(out, &word[i], sizeof word[i]);
      out += length[i];
    }
    p += 8;
  }
  previous = p[-1];  // the sample coded last
  src = p;
  return out;
}

// ---- compressor -----------------------------------------------------------------------

// Releases the reader or writer of a state, once.
template <typename Interface>
void ReleaseAccess(Interface*& access) {
  if (access) access->Release();
  access = nullptr;
}

// Locks the next range of up to 32768 samples and sets its first window.
HRESULT LockNextRange(VKCOMPRESSOR* c) {
  c->doneInLock = 0;
  c->rangeCount = std::min(c->total - c->position, kRangeSamples);
  c->windowEnd = std::min(c->rangeCount, kWindowSamples);
  const SHORT* samples = nullptr;
  HRESULT hr = c->reader->LockSamples(c->position, c->rangeCount, 0, 0, &samples);
  if (hr != S_OK) return hr;
  if (!samples) {
    // A reader that claims success without samples: nothing can be read in place.
    c->reader->UnlockSamples();
    return E_POINTER;
  }
  c->lockedSamples = samples;
  return S_OK;
}

HRESULT CompressBlock(VKCOMPRESSOR* c, BYTE* output, DWORD cbOutput, DWORD& written, DWORD& consumed) {
  written = 0;
  consumed = 0;
  if (!c->lockedSamples) {
    if (c->position >= c->total) {
      // Everything is coded; the end is reported only once a byte held back at the
      // very end has been delivered, so the byte stream is always complete.
      if (c->flags & kHeld) {
        if (cbOutput == 0) return S_FALSE;
        output[0] = c->heldByte;
        c->flags &= static_cast<BYTE>(~kHeld);
        written = 1;
      }
      ReleaseAccess(c->reader);
      return kEnd;
    }
    HRESULT hr = LockNextRange(c);
    if (hr != S_OK) return hr;
  }

  BYTE* out = output;
  BYTE* const end = output + cbOutput;
  if ((c->flags & kHeld) && out < end) {
    *out++ = c->heldByte;
    c->flags &= static_cast<BYTE>(~kHeld);
  }

  const SHORT* src = c->lockedSamples + c->doneInLock;
  const SHORT* const windowEnd = c->lockedSamples + c->windowEnd;
  out = CodeChunks(c->lockedSamples, src, windowEnd, out, end, c->previous);
  // The last few samples one at a time while room is left.
  while (out < end && src < windowEnd) {
    auto s = static_cast<uint16_t>(*src++);
    auto d = static_cast<uint16_t>(s - static_cast<uint16_t>(c->previous));
    if (FitsDelta(d)) {
      *out++ = static_cast<BYTE>(d & 0x7F);
    } else {
      *out++ = AbsoluteHigh(s);
      if (out < end) {
        *out++ = static_cast<BYTE>(s);
      } else {
        c->heldByte = static_cast<BYTE>(s);
        c->flags |= kHeld;
      }
    }
    c->previous = static_cast<SHORT>(s);
  }

  DWORD taken = static_cast<DWORD>(src - (c->lockedSamples + c->doneInLock));
  c->doneInLock += taken;
  written = static_cast<DWORD>(out - output);
  consumed = taken * 2;
  if (c->doneInLock != c->windowEnd) return S_FALSE;
  if (c->windowEnd != c->rangeCount) {
    c->windowEnd = std::min(c->windowEnd + kWindowSamples, c->rangeCount);
    return S_OK;
  }
  c->lockedSamples = nullptr;
  c->reader->UnlockSamples();
  c->position += c->rangeCount;
  if (c->position != c->total) return S_OK;
  ReleaseAccess(c->reader);
  // The last code's second byte may still be held back: then the output is full and
  // the next call delivers it and reports the end.
  return (c->flags & kHeld) ? S_FALSE : kEnd;
}

// ---- expander ---------------------------------------------------------------------------

// Obtains the next window of up to 4096 samples from the writer.
HRESULT OpenWindow(VKEXPANDER* e) {
  e->doneInWindow = 0;
  e->windowCount = std::min(e->total - e->position, kWindowSamples);
  SHORT* window = nullptr;
  LONG status = e->writer->GetBuffer(e->windowCount * 2, &window);
  if (status != 0) return HRESULT_FROM_WIN32(static_cast<DWORD>(status));
  if (!window) return E_POINTER;  // success without a buffer: nowhere to write
  e->window = window;
  return S_OK;
}

HRESULT ExpandBlock(VKEXPANDER* e, const BYTE* input, DWORD cbInput, DWORD& used, DWORD& produced) {
  used = 0;
  produced = 0;
  if (!e->window) {
    if (e->position >= e->total) return kEnd;
    if (!e->writer) return E_UNEXPECTED;
    HRESULT hr = OpenWindow(e);
    if (hr != S_OK) return hr;
  }

  const BYTE* in = input;
  const BYTE* const end = input + cbInput;
  SHORT* out = e->window + e->doneInWindow;
  SHORT* const windowEnd = e->window + e->windowCount;
  if (e->flags & kHeld) {
    // The window has room: a byte is only held over while the window is not full.
    e->previous = static_cast<SHORT>(Absolute(e->heldByte, *in++));
    *out++ = e->previous;
    e->flags &= static_cast<BYTE>(~kHeld);
  }
  in = DecodeChunks(in, end, out, windowEnd, e->previous);
  // The last few codes one at a time.
  while (in < end && out < windowEnd) {
    BYTE b = *in++;
    int v = SevenBits(b);
    if (!(b & 0x80)) {
      e->previous = static_cast<SHORT>(static_cast<uint16_t>(e->previous) + v);
    } else if (in < end) {
      e->previous = static_cast<SHORT>(Absolute(v, *in++));
    } else {
      e->heldByte = static_cast<signed char>(v);
      e->flags |= kHeld;
      break;
    }
    *out++ = e->previous;
  }

  DWORD made = static_cast<DWORD>(out - (e->window + e->doneInWindow));
  e->doneInWindow += made;
  used = static_cast<DWORD>(in - input);
  produced = made * 2;
  if (e->doneInWindow != e->windowCount) return S_FALSE;
  e->writer->CommitBuffer(e->windowCount * 2);
  e->window = nullptr;
  e->position += e->windowCount;
  if (e->position != e->total) return S_OK;
  ReleaseAccess(e->writer);
  return kEnd;
}

// ---- creation -----------------------------------------------------------------------

template <typename State>
State* AllocState() {
  IMalloc* allocator = vkrt::TaskAllocator();
  if (!allocator) return nullptr;
  auto* state = static_cast<State*>(allocator->Alloc(sizeof(State)));
  if (state) std::memset(static_cast<void*>(state), 0, sizeof(State));
  return state;
}

void FreeState(void* state) {
  if (IMalloc* allocator = vkrt::TaskAllocator()) allocator->Free(state);
}

// Opens an access object of the kind riid names on the object's IDataStream; the stream
// pointer itself is released again. *length receives GetLength(0) when asked for.
HRESULT OpenStreamAccess(IUnknown* object, REFIID riid, void** access, DWORD* length) {
  IDataStream* stream = nullptr;
  HRESULT hr = object->QueryInterface(IID_IDataStream, reinterpret_cast<void**>(&stream));
  if (FAILED(hr)) return hr;
  if (!stream) return E_NOINTERFACE;
  hr = stream->OpenAccess(access, riid, 0);
  if (SUCCEEDED(hr)) {
    if (!*access)
      hr = E_POINTER;  // success without an object: nothing to work with
    else if (length)
      *length = stream->GetLength(0);
  }
  stream->Release();
  return FAILED(hr) ? hr : S_OK;
}

HRESULT CreateCompressor(IUnknown* source, VKCOMPRESSOR** handle) {
  auto* c = AllocState<VKCOMPRESSOR>();
  if (!c) return E_OUTOFMEMORY;
  HRESULT hr = OpenStreamAccess(source, IID_IDataStreamReader, reinterpret_cast<void**>(&c->reader), &c->total);
  if (hr != S_OK) {
    vkCloseCompressor(c);
    return hr;
  }
  *handle = c;
  return S_OK;
}

HRESULT CreateExpander(IUnknown* sink, DWORD count, VKEXPANDER** handle) {
  auto* e = AllocState<VKEXPANDER>();
  if (!e) return E_OUTOFMEMORY;
  HRESULT hr = OpenStreamAccess(sink, IID_IDataStreamWriter, reinterpret_cast<void**>(&e->writer), nullptr);
  if (hr != S_OK) {
    vkCloseExpander(e);
    return hr;
  }
  e->total = count;
  *handle = e;
  return S_OK;
}

}  // namespace

// ---- exported functions ---------------------------------------------------------------------

VKRT_API HRESULT vkCreateCompressor(IUnknown* pSource, VKCOMPRESSOR** phCompressor) {
  if (!pSource || !phCompressor) return E_INVALIDARG;
  *phCompressor = nullptr;
  return CreateCompressor(pSource, phCompressor);
}

VKRT_API HRESULT vkCompressDataBlock(VKCOMPRESSOR* hCompressor, BYTE* pOutput, DWORD cbOutput, DWORD* pcbWritten,
                                     DWORD* pcbConsumed) {
  if (!hCompressor || !pOutput) return E_INVALIDARG;
  DWORD written = 0, consumed = 0;
  HRESULT hr = CompressBlock(hCompressor, pOutput, cbOutput, written, consumed);
  if (pcbWritten) *pcbWritten = written;
  if (pcbConsumed) *pcbConsumed = consumed;
  return hr;
}

VKRT_API void vkCloseCompressor(VKCOMPRESSOR* hCompressor) {
  if (!hCompressor) return;
  if (hCompressor->lockedSamples) hCompressor->reader->UnlockSamples();
  ReleaseAccess(hCompressor->reader);
  FreeState(hCompressor);
}

VKRT_API HRESULT vkCreateExpander(IUnknown* pSink, DWORD cSamples, VKEXPANDER** phExpander) {
  if (!pSink || !phExpander || cSamples == 0) return E_INVALIDARG;
  *phExpander = nullptr;
  return CreateExpander(pSink, cSamples, phExpander);
}

VKRT_API HRESULT vkExpandDataBlock(VKEXPANDER* hExpander, const BYTE* pInput, DWORD cbInput, DWORD* pcbUsed,
                                   DWORD* pcbProduced) {
  if (!hExpander || !pInput || cbInput == 0) return E_INVALIDARG;
  DWORD used = 0, produced = 0;
  HRESULT hr = ExpandBlock(hExpander, pInput, cbInput, used, produced);
  if (pcbUsed) *pcbUsed = used;
  if (pcbProduced) *pcbProduced = produced;
  return hr;
}

VKRT_API void vkCloseExpander(VKEXPANDER* hExpander) {
  if (!hExpander) return;
  ReleaseAccess(hExpander->writer);
  FreeState(hExpander);
}
