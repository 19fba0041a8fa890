// Channel access records: the interface pointers of one link or stream channel obtained
// in a fixed order into a caller's record, and released again in the reverse order.
#include "vkrt/channel.h"

#include <type_traits>

namespace {

// GetState value that clears the free function's result.
constexpr DWORD kStateFlagged = 2;

// Ends an initialiser at the first step whose result is not S_OK.
#define VK_STEP(expr)                      \
  do {                                     \
    HRESULT step_hr_ = (expr);             \
    if (step_hr_ != S_OK) return step_hr_; \
  } while (0)

// A step that fills a field. An object that reports S_OK without a pointer ends the
// initialiser with E_POINTER instead of letting the next step call through null.
// The field is passed by address: it is read only after the call has filled it.
template <typename T>
HRESULT Obtained(HRESULT hr, T* const* field) {
  return (hr == S_OK && !*field) ? E_POINTER : hr;
}

template <typename T>
HRESULT Query(IUnknown* object, REFIID riid, T** field) {
  return Obtained(object->QueryInterface(riid, reinterpret_cast<void**>(field)), field);
}

template <typename T>
void ReleaseField(T* field) {
  if (field) field->Release();
}

// Zeroes a record but its caller-set channel index.
template <typename Record>
void ClearKeepingChannel(Record* r) {
  DWORD channel = r->channel;
  *r = Record{};
  r->channel = channel;
}

// The reading link initialisers; the "2" record gets ILinkChannelAccess2 and never
// swaps the data IID.
template <typename Record>
HRESULT InitLinkRead(IChannelSource* source, Record* r, REFIID dataIid, DWORD context, DWORD param) {
  constexpr bool kSecond = std::is_same_v<Record, VKLINKACCESSRD2>;
  ClearKeepingChannel(r);
  VK_STEP(Obtained(source->GetChannel(r->channel, IID_ILinkChannel, reinterpret_cast<void**>(&r->link)), &r->link));
  VK_STEP(Obtained(r->link->OpenAccess(IID_ILinkChannelAccess, reinterpret_cast<void**>(&r->access)), &r->access));
  const IID* iid = &dataIid;
  if constexpr (!kSecond) {
    // The attributes are asked only when the default format is wanted.
    if (IsEqualGUID(dataIid, IID_LinkDefaultFormat) && (r->link->GetAttributes() & VK_LINK_ATTR_ALTFORMAT))
      iid = &IID_LinkAltFormat;
  }
  VK_STEP(Query(r->access, *iid, &r->data));
  if constexpr (kSecond) VK_STEP(Query(r->access, IID_ILinkChannelAccess2, &r->access2));
  if (context != 0) r->access->SetContext(context, param);
  r->count = r->access->GetCount();
  r->stateFlag = r->access->GetState() == kStateFlagged;
  return S_OK;
}

// The writing link initialisers; the "2" record gets ILinkChannelAccess2 last.
template <typename Record>
HRESULT InitLinkWrite(IUnknown* channel, Record* r, REFIID dataIid) {
  *r = Record{};
  VK_STEP(Query(channel, IID_ILinkChannel, &r->link));
  VK_STEP(
      Obtained(r->link->OpenAccess(IID_ILinkChannelWriter, reinterpret_cast<void**>(&r->linkWriter)), &r->linkWriter));
  VK_STEP(Query(r->linkWriter, IID_ILinkChannelAccess, &r->access));
  VK_STEP(Query(r->linkWriter, dataIid, &r->data));
  if constexpr (std::is_same_v<Record, VKLINKACCESSWR2>)
    VK_STEP(Query(r->linkWriter, IID_ILinkChannelAccess2, &r->access2));
  return S_OK;
}

template <typename T>
HRESULT OpenStream(IDataStream* stream, REFIID riid, DWORD flags, T** field) {
  return Obtained(stream->OpenAccess(reinterpret_cast<void**>(field), riid, flags), field);
}

HRESULT InitStreamRead(IChannelSource* source, VKSTMACCESSRD* r, DWORD context, DWORD param) {
  ClearKeepingChannel(r);
  VK_STEP(Obtained(source->GetChannel(r->channel, IID_IStreamChannel, reinterpret_cast<void**>(&r->stmChannel)),
                   &r->stmChannel));
  VK_STEP(Query(r->stmChannel, IID_IDataStream, &r->stream));
  VK_STEP(OpenStream(r->stream, IID_IDataStreamReader, 0, &r->reader));
  VK_STEP(OpenStream(r->stream, IID_IDataStreamControl, 0, &r->control));
  if (context != 0) r->control->SetContext(context, param);
  return S_OK;
}

HRESULT InitStreamWrite(IUnknown* object, VKSTMACCESSWR* r, DWORD writeMode, BOOL wantReader) {
  *r = VKSTMACCESSWR{};
  VK_STEP(Query(object, IID_IDataStream, &r->stream));
  if (writeMode != 0) VK_STEP(OpenStream(r->stream, IID_IDataStreamWriter, writeMode == 1 ? 0 : 1, &r->writer));
  if (wantReader) VK_STEP(OpenStream(r->stream, IID_IDataStreamReader, 0, &r->reader));
  return S_OK;
}

#undef VK_STEP

}  // namespace

// ---- exported functions ---------------------------------------------------------------------

VKRT_API HRESULT vkInitLinkChannelAccessRd(IChannelSource* pSource, VKLINKACCESSRD* pAccess, const IID* piidData,
                                           DWORD dwContext, DWORD dwContextParam) {
  if (!pSource || !pAccess || !piidData) return E_POINTER;
  return InitLinkRead(pSource, pAccess, *piidData, dwContext, dwContextParam);
}

VKRT_API BOOL vkFreeLinkChannelAccessRd(VKLINKACCESSRD* pAccess, BOOL bClear) {
  if (!pAccess) return FALSE;
  BOOL result = pAccess->access && !pAccess->stateFlag;
  ReleaseField(pAccess->data);
  ReleaseField(pAccess->access);
  ReleaseField(pAccess->link);
  if (bClear) *pAccess = VKLINKACCESSRD{};
  return result;
}

VKRT_API HRESULT vkInitLinkChannelAccessRd2(IChannelSource* pSource, VKLINKACCESSRD2* pAccess, const IID* piidData,
                                            DWORD dwContext, DWORD dwContextParam) {
  if (!pSource || !pAccess || !piidData) return E_POINTER;
  return InitLinkRead(pSource, pAccess, *piidData, dwContext, dwContextParam);
}

VKRT_API void vkFreeLinkChannelAccessRd2(VKLINKACCESSRD2* pAccess, BOOL bClear) {
  if (!pAccess) return;
  ReleaseField(pAccess->access2);
  ReleaseField(pAccess->data);
  ReleaseField(pAccess->access);
  ReleaseField(pAccess->link);
  if (bClear) *pAccess = VKLINKACCESSRD2{};
}

VKRT_API HRESULT vkInitLinkChannelAccessWr(IUnknown* pChannel, VKLINKACCESSWR* pAccess, const IID* piidData) {
  if (!pChannel || !pAccess || !piidData) return E_POINTER;
  return InitLinkWrite(pChannel, pAccess, *piidData);
}

VKRT_API void vkFreeLinkChannelAccessWr(VKLINKACCESSWR* pAccess, BOOL bClear) {
  if (!pAccess) return;
  ReleaseField(pAccess->data);
  ReleaseField(pAccess->access);
  ReleaseField(pAccess->linkWriter);
  ReleaseField(pAccess->link);
  if (bClear) *pAccess = VKLINKACCESSWR{};
}

VKRT_API HRESULT vkInitLinkChannelAccessWr2(IUnknown* pChannel, VKLINKACCESSWR2* pAccess, const IID* piidData) {
  if (!pChannel || !pAccess || !piidData) return E_POINTER;
  return InitLinkWrite(pChannel, pAccess, *piidData);
}

VKRT_API void vkFreeLinkChannelAccessWr2(VKLINKACCESSWR2* pAccess, BOOL bClear) {
  if (!pAccess) return;
  ReleaseField(pAccess->access2);
  ReleaseField(pAccess->data);
  ReleaseField(pAccess->access);
  ReleaseField(pAccess->linkWriter);
  ReleaseField(pAccess->link);
  if (bClear) *pAccess = VKLINKACCESSWR2{};
}

VKRT_API HRESULT vkInitStmChannelAccessRd(IChannelSource* pSource, VKSTMACCESSRD* pAccess, DWORD dwContext,
                                          DWORD dwContextParam) {
  if (!pSource || !pAccess) return E_POINTER;
  return InitStreamRead(pSource, pAccess, dwContext, dwContextParam);
}

VKRT_API void vkFreeStmChannelAccessRd(VKSTMACCESSRD* pAccess, BOOL bClear) {
  if (!pAccess) return;
  ReleaseField(pAccess->control);
  ReleaseField(pAccess->reader);
  ReleaseField(pAccess->stream);
  ReleaseField(pAccess->stmChannel);
  if (bClear) ClearKeepingChannel(pAccess);
}

VKRT_API HRESULT vkInitStmChannelAccessWr(IUnknown* pObject, VKSTMACCESSWR* pAccess, DWORD dwWriteMode,
                                          BOOL bWantReader) {
  if (!pObject || !pAccess) return E_POINTER;
  return InitStreamWrite(pObject, pAccess, dwWriteMode, bWantReader);
}

VKRT_API void vkFreeStmChannelAccessWr(VKSTMACCESSWR* pAccess, BOOL bClear) {
  if (!pAccess) return;
  ReleaseField(pAccess->reader);
  ReleaseField(pAccess->writer);
  ReleaseField(pAccess->stream);
  if (bClear) *pAccess = VKSTMACCESSWR{};
}
