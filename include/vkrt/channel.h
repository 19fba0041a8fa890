// Channel access: one call fills a caller's record with the interface pointers needed to
// read or write one channel of a data source object, and one call releases them again.
#pragma once

#include "vkrt/base.h"
#include "vkrt/codec.h"

// ---- interfaces -------------------------------------------------------------------------
// The IIDs and the slot order are a contract with outside objects. A method named
// ReservedN is one this library never calls; it holds its slot so that the later methods
// keep their places. Interfaces of which only IUnknown is used here declare nothing more:
// their own methods belong to the objects that implement them.

#ifdef __cplusplus
inline constexpr IID IID_ILinkChannel = nx::Guid("62DC1540-6176-4933-ACBD-0F947DDF4E59");
inline constexpr IID IID_ILinkChannelAccess = nx::Guid("62DC1541-6176-4933-ACBD-0F947DDF4E59");
inline constexpr IID IID_ILinkChannelAccess2 = nx::Guid("62DC1542-6176-4933-ACBD-0F947DDF4E59");
inline constexpr IID IID_ILinkChannelWriter = nx::Guid("62DC1544-6176-4933-ACBD-0F947DDF4E59");
inline constexpr IID IID_IStreamChannel = nx::Guid("BB9F6E49-771A-46FD-AD61-4CD565843C59");
#else
NX_C_GUID(IID, IID_ILinkChannel, 0x62DC1540, 0x6176, 0x4933, 0xAC, 0xBD, 0x0F, 0x94, 0x7D, 0xDF, 0x4E, 0x59);
NX_C_GUID(IID, IID_ILinkChannelAccess, 0x62DC1541, 0x6176, 0x4933, 0xAC, 0xBD, 0x0F, 0x94, 0x7D, 0xDF, 0x4E, 0x59);
NX_C_GUID(IID, IID_ILinkChannelAccess2, 0x62DC1542, 0x6176, 0x4933, 0xAC, 0xBD, 0x0F, 0x94, 0x7D, 0xDF, 0x4E, 0x59);
NX_C_GUID(IID, IID_ILinkChannelWriter, 0x62DC1544, 0x6176, 0x4933, 0xAC, 0xBD, 0x0F, 0x94, 0x7D, 0xDF, 0x4E, 0x59);
NX_C_GUID(IID, IID_IStreamChannel, 0xBB9F6E49, 0x771A, 0x46FD, 0xAD, 0x61, 0x4C, 0xD5, 0x65, 0x84, 0x3C, 0x59);
#endif
// Data interfaces of a link channel. A channel whose attributes have bit 17 set is read
// through the alternative format when a reader asks for the default one.
#ifdef __cplusplus
inline constexpr IID IID_LinkDefaultFormat = nx::Guid("62DC1543-6176-4933-ACBD-0F947DDF4E59");
inline constexpr IID IID_LinkAltFormat = nx::Guid("62DC1548-6176-4933-ACBD-0F947DDF4E59");
#else
NX_C_GUID(IID, IID_LinkDefaultFormat, 0x62DC1543, 0x6176, 0x4933, 0xAC, 0xBD, 0x0F, 0x94, 0x7D, 0xDF, 0x4E, 0x59);
NX_C_GUID(IID, IID_LinkAltFormat, 0x62DC1548, 0x6176, 0x4933, 0xAC, 0xBD, 0x0F, 0x94, 0x7D, 0xDF, 0x4E, 0x59);
#endif
NX_CONST(DWORD, VK_LINK_ATTR_ALTFORMAT, 1u << 17);

// A data source object with numbered channels (no IID of its own is ever asked for).
typedef struct IChannelSource IChannelSource;
#ifdef __cplusplus
struct IChannelSource : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Reserved1() = 0;
  // Channel dwIndex as the interface riid names, into *ppChannel (one reference).
  virtual HRESULT STDMETHODCALLTYPE GetChannel(DWORD dwIndex, REFIID riid, void** ppChannel) = 0;
};
#else
NX_C_INTERFACE(IChannelSource);
struct IChannelSourceVtbl {
  NX_C_IUNKNOWN_METHODS(IChannelSource);
  HRESULT (*Reserved1)(IChannelSource* This);
  HRESULT (*GetChannel)(IChannelSource* This, DWORD dwIndex, REFIID riid, void** ppChannel);
};
#endif

typedef struct ILinkChannel ILinkChannel;
#ifdef __cplusplus
struct ILinkChannel : IUnknown {
  // An access object of the kind riid names, into *ppAccess (one reference).
  virtual HRESULT STDMETHODCALLTYPE OpenAccess(REFIID riid, void** ppAccess) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved2() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved3() = 0;
  // Attribute bits of the channel (bit 17: VK_LINK_ATTR_ALTFORMAT).
  virtual DWORD STDMETHODCALLTYPE GetAttributes() = 0;
};
#else
NX_C_INTERFACE(ILinkChannel);
struct ILinkChannelVtbl {
  NX_C_IUNKNOWN_METHODS(ILinkChannel);
  HRESULT (*OpenAccess)(ILinkChannel* This, REFIID riid, void** ppAccess);
  HRESULT (*Reserved2)(ILinkChannel* This);
  HRESULT (*Reserved3)(ILinkChannel* This);
  DWORD (*GetAttributes)(ILinkChannel* This);
};
#endif

typedef struct ILinkChannelAccess ILinkChannelAccess;
#ifdef __cplusplus
struct ILinkChannelAccess : IUnknown {
  virtual DWORD STDMETHODCALLTYPE GetCount() = 0;
  // The result is not used.
  virtual HRESULT STDMETHODCALLTYPE SetContext(DWORD dwContext, DWORD dwParam) = 0;
  virtual DWORD STDMETHODCALLTYPE GetState() = 0;
};
#else
NX_C_INTERFACE(ILinkChannelAccess);
struct ILinkChannelAccessVtbl {
  NX_C_IUNKNOWN_METHODS(ILinkChannelAccess);
  DWORD (*GetCount)(ILinkChannelAccess* This);
  HRESULT (*SetContext)(ILinkChannelAccess* This, DWORD dwContext, DWORD dwParam);
  DWORD (*GetState)(ILinkChannelAccess* This);
};
#endif

typedef struct ILinkChannelAccess2 ILinkChannelAccess2;
#ifdef __cplusplus
struct ILinkChannelAccess2 : IUnknown {};
#else
NX_C_INTERFACE(ILinkChannelAccess2);
struct ILinkChannelAccess2Vtbl {
  NX_C_IUNKNOWN_METHODS(ILinkChannelAccess2);
};
#endif

// Must answer QueryInterface for ILinkChannelAccess, the caller's data interface and,
// for the "2" functions, ILinkChannelAccess2.
typedef struct ILinkChannelWriter ILinkChannelWriter;
#ifdef __cplusplus
struct ILinkChannelWriter : IUnknown {};
#else
NX_C_INTERFACE(ILinkChannelWriter);
struct ILinkChannelWriterVtbl {
  NX_C_IUNKNOWN_METHODS(ILinkChannelWriter);
};
#endif

// Must answer QueryInterface for IDataStream.
typedef struct IStreamChannel IStreamChannel;
#ifdef __cplusplus
struct IStreamChannel : IUnknown {};
#else
NX_C_INTERFACE(IStreamChannel);
struct IStreamChannelVtbl {
  NX_C_IUNKNOWN_METHODS(IStreamChannel);
};
#endif

// ---- records ----------------------------------------------------------------------------
// Owned by the caller. Between its initialiser and its free function the interface
// pointers belong to the record (one reference each); the fields the caller sets are
// named so.

typedef struct VKLINKACCESSRD VKLINKACCESSRD;
struct VKLINKACCESSRD {
  DWORD channel;               // set by the caller: the channel's index
  ILinkChannel* link;          // the channel
  ILinkChannelAccess* access;  // its access object
  IUnknown* data;              // the data interface the caller asked for
  DWORD count;                 // GetCount of the access object
  BOOL stateFlag;              // GetState of the access object was 2
};

typedef struct VKLINKACCESSRD2 VKLINKACCESSRD2;
struct VKLINKACCESSRD2 {
  DWORD channel;                 // set by the caller: the channel's index
  ILinkChannel* link;            // the channel
  ILinkChannelAccess* access;    // its access object
  IUnknown* data;                // the data interface the caller asked for
  ILinkChannelAccess2* access2;  // the access object's second interface
  DWORD count;                   // GetCount of the access object
  BOOL stateFlag;                // GetState of the access object was 2
};

typedef struct VKLINKACCESSWR VKLINKACCESSWR;
struct VKLINKACCESSWR {
  ILinkChannel* link;              // the channel
  ILinkChannelAccess* access;      // the writer's access interface
  ILinkChannelWriter* linkWriter;  // the writer opened on the channel
  IUnknown* data;                  // the data interface the caller asked for
};

typedef struct VKLINKACCESSWR2 VKLINKACCESSWR2;
struct VKLINKACCESSWR2 {
  ILinkChannel* link;              // the channel
  ILinkChannelAccess* access;      // the writer's access interface
  ILinkChannelWriter* linkWriter;  // the writer opened on the channel
  IUnknown* data;                  // the data interface the caller asked for
  ILinkChannelAccess2* access2;    // the writer's second access interface
};

typedef struct VKSTMACCESSRD VKSTMACCESSRD;
struct VKSTMACCESSRD {
  DWORD channel;                // set by the caller: the channel's index
  IStreamChannel* stmChannel;   // the channel
  IDataStream* stream;          // its sample stream
  IDataStreamControl* control;  // control object of the stream
  IDataStreamReader* reader;    // reader of the stream
};

typedef struct VKSTMACCESSWR VKSTMACCESSWR;
struct VKSTMACCESSWR {
  IDataStream* stream;        // the object's sample stream
  IDataStreamWriter* writer;  // writer of the stream, when a write mode was given
  IDataStreamReader* reader;  // reader of the stream, when asked for
};

// ---- functions --------------------------------------------------------------------------
// Initialisers: E_POINTER (the record untouched) when a required pointer is null.
// Otherwise every field but channel is zeroed first and the steps run in order; the first
// result other than S_OK is returned at once and the pointers obtained so far stay in the
// record. Call the free function after a failure as after a success.
// Free functions: release every non-null pointer (in the reverse of their use) and, when
// bClear is set, zero the fields. A record freed without clearing must not be freed again.

// Channel from the source, its access object, the data interface (the alternative format
// in place of the default one on channels with VK_LINK_ATTR_ALTFORMAT), SetContext when
// dwContext is not 0, then count and stateFlag.
VKRT_API HRESULT vkInitLinkChannelAccessRd(IChannelSource* pSource, VKLINKACCESSRD* pAccess, const IID* piidData,
                                           DWORD dwContext, DWORD dwContextParam);
// TRUE when the access object was obtained and its state was not 2; FALSE for a null record.
VKRT_API BOOL vkFreeLinkChannelAccessRd(VKLINKACCESSRD* pAccess, BOOL bClear);

// As vkInitLinkChannelAccessRd, with the caller's data IID always used unchanged and
// ILinkChannelAccess2 of the access object after the data interface.
VKRT_API HRESULT vkInitLinkChannelAccessRd2(IChannelSource* pSource, VKLINKACCESSRD2* pAccess, const IID* piidData,
                                            DWORD dwContext, DWORD dwContextParam);
VKRT_API void vkFreeLinkChannelAccessRd2(VKLINKACCESSRD2* pAccess, BOOL bClear);

// ILinkChannel of the channel object, a writer opened on it, and the writer's
// ILinkChannelAccess and data interface.
VKRT_API HRESULT vkInitLinkChannelAccessWr(IUnknown* pChannel, VKLINKACCESSWR* pAccess, const IID* piidData);
VKRT_API void vkFreeLinkChannelAccessWr(VKLINKACCESSWR* pAccess, BOOL bClear);

// As vkInitLinkChannelAccessWr, then the writer's ILinkChannelAccess2.
VKRT_API HRESULT vkInitLinkChannelAccessWr2(IUnknown* pChannel, VKLINKACCESSWR2* pAccess, const IID* piidData);
VKRT_API void vkFreeLinkChannelAccessWr2(VKLINKACCESSWR2* pAccess, BOOL bClear);

// Stream channel from the source, its IDataStream, a reader and a control object
// (flag 0), then SetContext on the control object when dwContext is not 0.
VKRT_API HRESULT vkInitStmChannelAccessRd(IChannelSource* pSource, VKSTMACCESSRD* pAccess, DWORD dwContext,
                                          DWORD dwContextParam);
VKRT_API void vkFreeStmChannelAccessRd(VKSTMACCESSRD* pAccess, BOOL bClear);

// IDataStream of the object; a writer when dwWriteMode is not 0 (flag 0 for mode 1, flag 1
// for any other mode); a reader (flag 0) when bWantReader is set.
VKRT_API HRESULT vkInitStmChannelAccessWr(IUnknown* pObject, VKSTMACCESSWR* pAccess, DWORD dwWriteMode,
                                          BOOL bWantReader);
VKRT_API void vkFreeStmChannelAccessWr(VKSTMACCESSWR* pAccess, BOOL bClear);
