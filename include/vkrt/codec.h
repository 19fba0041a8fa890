// Sample stream interfaces (objects of the caller's making that hold channels of 16-bit
// samples) and the lossless codec that turns such a stream into bytes and back.
#pragma once

#include "vkrt/base.h"

// ---- sample stream interfaces ----------------------------------------------------------
// The IIDs and the slot order are a contract with outside objects. A method named
// ReservedN is one this library never calls; it holds its slot so that the later
// methods keep their places, and implementations must still provide it.

#ifdef __cplusplus
inline constexpr IID IID_IDataStream = nx::Guid("3C5A98C1-8703-11D4-B769-C1A3F16BB825");
inline constexpr IID IID_IDataStreamControl = nx::Guid("3C5A98C2-8703-11D4-B769-C1A3F16BB825");
inline constexpr IID IID_IDataStreamWriter = nx::Guid("3C5A98C3-8703-11D4-B769-C1A3F16BB825");
inline constexpr IID IID_IDataStreamReader = nx::Guid("3C5A98C4-8703-11D4-B769-C1A3F16BB825");
#else
NX_C_GUID(IID, IID_IDataStream, 0x3C5A98C1, 0x8703, 0x11D4, 0xB7, 0x69, 0xC1, 0xA3, 0xF1, 0x6B, 0xB8, 0x25);
NX_C_GUID(IID, IID_IDataStreamControl, 0x3C5A98C2, 0x8703, 0x11D4, 0xB7, 0x69, 0xC1, 0xA3, 0xF1, 0x6B, 0xB8, 0x25);
NX_C_GUID(IID, IID_IDataStreamWriter, 0x3C5A98C3, 0x8703, 0x11D4, 0xB7, 0x69, 0xC1, 0xA3, 0xF1, 0x6B, 0xB8, 0x25);
NX_C_GUID(IID, IID_IDataStreamReader, 0x3C5A98C4, 0x8703, 0x11D4, 0xB7, 0x69, 0xC1, 0xA3, 0xF1, 0x6B, 0xB8, 0x25);
#endif

// A stream of samples; hands out reader, writer and control objects.
typedef struct IDataStream IDataStream;
#ifdef __cplusplus
struct IDataStream : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Reserved1() = 0;
  // Opens an access object of the kind riid names (reader, writer or control) into
  // *ppAccess, holding one reference. dwFlags belongs to the stream (0 for plain access).
  virtual HRESULT STDMETHODCALLTYPE OpenAccess(void** ppAccess, REFIID riid, DWORD dwFlags) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved3() = 0;
  // Number of samples in the stream; dwReserved is always 0.
  virtual DWORD STDMETHODCALLTYPE GetLength(DWORD dwReserved) = 0;
};
#else
NX_C_INTERFACE(IDataStream);
struct IDataStreamVtbl {
  NX_C_IUNKNOWN_METHODS(IDataStream);
  HRESULT (*Reserved1)(IDataStream* This);
  HRESULT (*OpenAccess)(IDataStream* This, void** ppAccess, REFIID riid, DWORD dwFlags);
  HRESULT (*Reserved3)(IDataStream* This);
  DWORD (*GetLength)(IDataStream* This, DWORD dwReserved);
};
#endif

// Reads samples in place: a locked range stays valid until UnlockSamples.
typedef struct IDataStreamReader IDataStreamReader;
#ifdef __cplusplus
struct IDataStreamReader : IUnknown {
  // Locks cSamples consecutive samples from index iFirst; *ppSamples receives their
  // address. The two reserved values are always 0.
  virtual HRESULT STDMETHODCALLTYPE LockSamples(DWORD iFirst, DWORD cSamples, DWORD dwReserved1, DWORD dwReserved2,
                                                const SHORT** ppSamples) = 0;
  // Releases the range locked last; the result is not used.
  virtual HRESULT STDMETHODCALLTYPE UnlockSamples() = 0;
};
#else
NX_C_INTERFACE(IDataStreamReader);
struct IDataStreamReaderVtbl {
  NX_C_IUNKNOWN_METHODS(IDataStreamReader);
  HRESULT (*LockSamples)(IDataStreamReader* This, DWORD iFirst, DWORD cSamples, DWORD dwReserved1, DWORD dwReserved2, const SHORT** ppSamples);
  HRESULT (*UnlockSamples)(IDataStreamReader* This);
};
#endif

// Writes samples in place: a buffer is obtained, filled, then committed.
typedef struct IDataStreamWriter IDataStreamWriter;
#ifdef __cplusplus
struct IDataStreamWriter : IUnknown {
  // *ppBuffer receives room for cbBytes bytes of samples. Returns 0 on success, a
  // negative HRESULT or a positive Win32 error code on failure.
  virtual LONG STDMETHODCALLTYPE GetBuffer(DWORD cbBytes, SHORT** ppBuffer) = 0;
  // Commits the first cbBytes bytes of the buffer obtained last; the result is not used.
  virtual HRESULT STDMETHODCALLTYPE CommitBuffer(DWORD cbBytes) = 0;
};
#else
NX_C_INTERFACE(IDataStreamWriter);
struct IDataStreamWriterVtbl {
  NX_C_IUNKNOWN_METHODS(IDataStreamWriter);
  LONG (*GetBuffer)(IDataStreamWriter* This, DWORD cbBytes, SHORT** ppBuffer);
  HRESULT (*CommitBuffer)(IDataStreamWriter* This, DWORD cbBytes);
};
#endif

// Settings of a stream's access; the meaning of the context pair is the stream's own.
typedef struct IDataStreamControl IDataStreamControl;
#ifdef __cplusplus
struct IDataStreamControl : IUnknown {
  // The result is not used.
  virtual HRESULT STDMETHODCALLTYPE SetContext(DWORD dwContext, DWORD dwParam) = 0;
};
#else
NX_C_INTERFACE(IDataStreamControl);
struct IDataStreamControlVtbl {
  NX_C_IUNKNOWN_METHODS(IDataStreamControl);
  HRESULT (*SetContext)(IDataStreamControl* This, DWORD dwContext, DWORD dwParam);
};
#endif

// ---- codec ------------------------------------------------------------------------------
// The byte stream has one code per sample, no header and no framing:
//   delta     1 byte, bit 7 clear: bits 0-6 are a signed difference -64..63 from the
//             previous sample (which starts at 0);
//   absolute  2 bytes, first byte bit 7 set: its bits 0-6 are sample bits 8-14, the
//             second byte is sample bits 0-7; bit 15 is decoded equal to bit 14.
// Round trips are exact for samples within -16384..16383.
//
// Data-block results:
//   S_OK                               a 4096-sample window was finished; call again
//   S_FALSE                            the output buffer (compressor) or the input block
//                                      (expander) ran out first; call again
//   HRESULT_FROM_WIN32(ERROR_HANDLE_EOF) the whole stream is done (again on every later call)
//   other                              a failure of the reader or writer, passed on; the
//                                      call may be repeated
// Neither side allocates after creation. A handle belongs to one caller at a time.

// Opaque states; the handle is the state's address. Freed by the matching close call.
typedef struct VKCOMPRESSOR VKCOMPRESSOR;
typedef struct VKEXPANDER VKEXPANDER;

// Opens a reader on the source's IDataStream (which is released again); the reader stays
// open until the last sample is coded or the compressor is closed.
VKRT_API HRESULT vkCreateCompressor(IUnknown* pSource, VKCOMPRESSOR** phCompressor);
// Codes samples into pOutput (cbOutput bytes; bytes past those written may be changed
// too, within cbOutput). *pcbWritten receives the bytes written and
// *pcbConsumed twice the samples coded by this call (both optional; set by every call
// that gets past its argument checks, 0 when nothing was done).
VKRT_API HRESULT vkCompressDataBlock(VKCOMPRESSOR* hCompressor, BYTE* pOutput, DWORD cbOutput, DWORD* pcbWritten,
                                     DWORD* pcbConsumed);
// Unlocks a locked range, releases the reader and frees the state; null does nothing.
VKRT_API void vkCloseCompressor(VKCOMPRESSOR* hCompressor);

// Opens a writer on the sink's IDataStream that will receive cSamples samples.
VKRT_API HRESULT vkCreateExpander(IUnknown* pSink, DWORD cSamples, VKEXPANDER** phExpander);
// Decodes cbInput bytes (at least 1) into the writer's windows. *pcbUsed receives the
// input bytes consumed and *pcbProduced twice the samples produced by this call (both
// optional; set as for the compressor).
VKRT_API HRESULT vkExpandDataBlock(VKEXPANDER* hExpander, const BYTE* pInput, DWORD cbInput, DWORD* pcbUsed,
                                   DWORD* pcbProduced);
// Releases the writer (a partly filled window is dropped, not committed) and frees the
// state; null does nothing.
VKRT_API void vkCloseExpander(VKEXPANDER* hExpander);
