/* The C side of public_c_binding_test: what a C program sees through vkbth.h and vkrt.h
   (layouts, constants, GUIDs), and interface tables used both ways with the C++ libraries. */
#include <stddef.h>
#include <string.h>

#include "vkbth.h"
#include "vkrt.h"

/* ---- rows and GUIDs as C sees them ---------------------------------------------------- */
size_t nx_c_rows(long long* out) {
  size_t n = 0;
#define NX_ROW(e) out[n++] = (long long)(e);
#include "c_binding_rows.inc"
#undef NX_ROW
  return n;
}

size_t nx_c_guids(const GUID** out) {
  size_t n = 0;
#define NX_GUID_ROW(g) out[n++] = &g;
#include "c_guids.inc"
#undef NX_GUID_ROW
  return n;
}

/* IsEqualGUID and its kin are macros over pointers in C. */
int nx_c_guid_macros(void) {
  GUID copy = IID_IDataStream;
  return IsEqualGUID(&copy, &IID_IDataStream) && IsEqualIID(&IID_IUnknown, &IID_IUnknown) &&
         !IsEqualCLSID(&IID_IUnknown, &IID_IMalloc);
}

/* ---- C calling C++ objects -------------------------------------------------------------- */
/* The task allocator is a C++ object; C reaches it through its table. 0 when every answer is
   right, else the number of the first wrong one. */
int nx_c_task_allocator(void) {
  IMalloc* malloc_ = NULL;
  IUnknown* unknown = NULL;
  void* block;
  if (CoGetMalloc(MEMCTX_TASK, &malloc_) != S_OK || !malloc_) return 1;
  block = malloc_->lpVtbl->Alloc(malloc_, 24);
  if (!block) return 2;
  if (malloc_->lpVtbl->GetSize(malloc_, block) != 24) return 3;
  malloc_->lpVtbl->Free(malloc_, block);
  if (malloc_->lpVtbl->QueryInterface(malloc_, &IID_IUnknown, (void**)&unknown) != S_OK || !unknown) return 4;
  unknown->lpVtbl->Release(unknown);
  if (malloc_->lpVtbl->QueryInterface(malloc_, &IID_IDataStream, (void**)&unknown) != E_NOINTERFACE) return 5;
  malloc_->lpVtbl->Release(malloc_);
  return 0;
}

/* ---- C++ calling a C object ------------------------------------------------------------- */
/* A sample store written in C: one object with three interfaces (the stream, its reader and
   its writer), each a table pointer inside the object. */
typedef struct SampleStore {
  IDataStream stream;
  IDataStreamReader reader;
  IDataStreamWriter writer;
  LONG references;
  SHORT* samples;
  DWORD count;
  DWORD written;  /* samples committed by the writer */
  int locks, unlocks, commits;
} SampleStore;

#define STORE_OF(p, member) ((SampleStore*)(void*)((char*)(p) - offsetof(SampleStore, member)))

static HRESULT StoreQuery(SampleStore* s, REFIID riid, void** ppv) {
  if (IsEqualIID(riid, &IID_IUnknown) || IsEqualIID(riid, &IID_IDataStream)) {
    *ppv = &s->stream;
  } else {
    *ppv = NULL;
    return E_NOINTERFACE;
  }
  ++s->references;
  return S_OK;
}

static HRESULT StreamQueryInterface(IDataStream* This, REFIID riid, void** ppv) {
  return StoreQuery(STORE_OF(This, stream), riid, ppv);
}
static ULONG StreamAddRef(IDataStream* This) { return (ULONG)++STORE_OF(This, stream)->references; }
static ULONG StreamRelease(IDataStream* This) { return (ULONG)--STORE_OF(This, stream)->references; }
static HRESULT StreamReserved(IDataStream* This) {
  (void)This;
  return E_NOTIMPL;
}
static HRESULT StreamOpenAccess(IDataStream* This, void** ppAccess, REFIID riid, DWORD dwFlags) {
  SampleStore* s = STORE_OF(This, stream);
  if (dwFlags != 0) return E_INVALIDARG;
  if (IsEqualIID(riid, &IID_IDataStreamReader)) {
    *ppAccess = &s->reader;
  } else if (IsEqualIID(riid, &IID_IDataStreamWriter)) {
    *ppAccess = &s->writer;
  } else {
    *ppAccess = NULL;
    return E_NOINTERFACE;
  }
  ++s->references;
  return S_OK;
}
static DWORD StreamGetLength(IDataStream* This, DWORD dwReserved) {
  return dwReserved == 0 ? STORE_OF(This, stream)->count : 0;
}

static HRESULT ReaderQueryInterface(IDataStreamReader* This, REFIID riid, void** ppv) {
  return StoreQuery(STORE_OF(This, reader), riid, ppv);
}
static ULONG ReaderAddRef(IDataStreamReader* This) { return (ULONG)++STORE_OF(This, reader)->references; }
static ULONG ReaderRelease(IDataStreamReader* This) { return (ULONG)--STORE_OF(This, reader)->references; }
static HRESULT ReaderLockSamples(IDataStreamReader* This, DWORD iFirst, DWORD cSamples, DWORD dwReserved1,
                                 DWORD dwReserved2, const SHORT** ppSamples) {
  SampleStore* s = STORE_OF(This, reader);
  if (dwReserved1 || dwReserved2 || iFirst + cSamples > s->count) return E_INVALIDARG;
  *ppSamples = s->samples + iFirst;
  ++s->locks;
  return S_OK;
}
static HRESULT ReaderUnlockSamples(IDataStreamReader* This) {
  ++STORE_OF(This, reader)->unlocks;
  return S_OK;
}

static HRESULT WriterQueryInterface(IDataStreamWriter* This, REFIID riid, void** ppv) {
  return StoreQuery(STORE_OF(This, writer), riid, ppv);
}
static ULONG WriterAddRef(IDataStreamWriter* This) { return (ULONG)++STORE_OF(This, writer)->references; }
static ULONG WriterRelease(IDataStreamWriter* This) { return (ULONG)--STORE_OF(This, writer)->references; }
static LONG WriterGetBuffer(IDataStreamWriter* This, DWORD cbBytes, SHORT** ppBuffer) {
  SampleStore* s = STORE_OF(This, writer);
  if (cbBytes % 2 || s->written + cbBytes / 2 > s->count) return (LONG)ERROR_INVALID_PARAMETER;
  *ppBuffer = s->samples + s->written;
  return 0;
}
static HRESULT WriterCommitBuffer(IDataStreamWriter* This, DWORD cbBytes) {
  SampleStore* s = STORE_OF(This, writer);
  s->written += cbBytes / 2;
  ++s->commits;
  return S_OK;
}

static const IDataStreamVtbl kStreamTable = {StreamQueryInterface, StreamAddRef, StreamRelease, StreamReserved,
                                             StreamOpenAccess,     StreamReserved, StreamGetLength};
static const IDataStreamReaderVtbl kReaderTable = {ReaderQueryInterface, ReaderAddRef, ReaderRelease,
                                                   ReaderLockSamples, ReaderUnlockSamples};
static const IDataStreamWriterVtbl kWriterTable = {WriterQueryInterface, WriterAddRef, WriterRelease,
                                                   WriterGetBuffer, WriterCommitBuffer};

static void StoreInit(SampleStore* s, SHORT* samples, DWORD count) {
  memset(s, 0, sizeof *s);
  s->stream.lpVtbl = &kStreamTable;
  s->reader.lpVtbl = &kReaderTable;
  s->writer.lpVtbl = &kWriterTable;
  s->references = 1;
  s->samples = samples;
  s->count = count;
}

enum { kSamples = 10000 };

/* The library's codec reads a C store and writes another: the samples come back the same,
   every lock is unlocked, every window committed, every reference given back. 0 when all
   holds, else the number of the first step that went wrong. */
int nx_c_codec_round_trip(DWORD* codedBytes) {
  static SHORT source[kSamples], target[kSamples];
  static BYTE coded[2 * kSamples + 16];
  SampleStore in, out;
  VKCOMPRESSOR* compressor = NULL;
  VKEXPANDER* expander = NULL;
  const HRESULT end = HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);
  DWORD total = 0, used = 0, i;
  HRESULT hr;
  /* Small steps, and a jump to an absolute code every 97 samples; all within the codec's
     exact range -16384..16383. */
  for (i = 0; i < kSamples; ++i)
    source[i] = (SHORT)(i % 97 == 0 ? (int)(i * 3 % 16000) - 8000 : (int)(i % 50) - 25);
  memset(target, 0, sizeof target);
  StoreInit(&in, source, kSamples);
  StoreInit(&out, target, kSamples);

  if (vkCreateCompressor((IUnknown*)&in.stream, &compressor) != S_OK) return 1;
  do {
    DWORD written = 0;
    hr = vkCompressDataBlock(compressor, coded + total, (DWORD)sizeof coded - total, &written, NULL);
    total += written;
  } while (hr == S_OK || hr == S_FALSE);
  if (hr != end) return 2;
  vkCloseCompressor(compressor);
  if (in.locks == 0 || in.locks != in.unlocks) return 3;
  if (in.references != 1) return 4;

  if (vkCreateExpander((IUnknown*)&out.stream, kSamples, &expander) != S_OK) return 5;
  do { /* in chunks of 1000 bytes, as a reader of a file would hand them */
    DWORD chunk = total - used < 1000 ? total - used : 1000, took = 0;
    hr = vkExpandDataBlock(expander, coded + used, chunk ? chunk : 1, &took, NULL);
    used += took;
  } while ((hr == S_OK || hr == S_FALSE) && used <= total);
  if (hr != end || used != total) return 6;
  vkCloseExpander(expander);
  if (out.written != kSamples || out.commits != (kSamples + 4095) / 4096) return 7;
  if (out.references != 1) return 8;
  if (memcmp(source, target, sizeof source) != 0) return 9;
  *codedBytes = total;
  return 0;
}

/* ---- plain calls ---------------------------------------------------------------------- */
/* A flag set as a byte vector and back, through a PROPVARIANT of C's making. */
int nx_c_bit_flags(void) {
  PROPVARIANT pv;
  DWORD back = 0;
  PropVariantInit(&pv);
  if (vkPropVariantFromBitFlags(0x80000005u, &pv) != S_OK) return 1;
  if (pv.vt != (VT_VECTOR | VT_UI1) || pv.caub.cElems != 3) return 2;
  if (pv.caub.pElems[0] != 1 || pv.caub.pElems[1] != 3 || pv.caub.pElems[2] != 32) return 3;
  if (vkPropVariantToBitFlags(&pv, &back) != S_OK || back != 0x80000005u) return 4;
  if (PropVariantClear(&pv) != S_OK || pv.vt != VT_EMPTY || pv.caub.pElems) return 5;
  if (vkPropVariantFromBitFlags(1, NULL) != E_INVALIDARG) return 6;
  return 0;
}
