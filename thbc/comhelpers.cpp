// The COM helper classes: the class factory base with the server's counts, the advise
// sink that ignores notifications, and the context-menu holders that share one menu.
#include "internal.h"
#include "thbc/thbc.h"

namespace thbc {

HRESULT QueryOneInterface(IUnknown* self, REFIID riid, REFIID own, void** ppvObject) {
  if (!ppvObject) return E_INVALIDARG;
  if (riid == own || riid == IID_IUnknown) {
    *ppvObject = self;
    self->AddRef();
    return S_OK;
  }
  *ppvObject = nullptr;
  return E_NOINTERFACE;
}

}  // namespace thbc

namespace {

// Whether id lies in first..last, modulo 2^16, so that the empty range (last =
// first - 1) has no ids.
bool InRange(USHORT first, USHORT last, USHORT id) {
  return static_cast<USHORT>(id - first) < static_cast<USHORT>(last - first + 1);
}

}  // namespace

// ---- NXClsObj ----------------------------------------------------------------------------

NXClsObj::NXClsObj(ULONG* objectCount, ULONG* lockCount)
    : m_cRef(0), m_pObjectCount(objectCount), m_pLockCount(lockCount) {
  if (m_pObjectCount) ++*m_pObjectCount;
}

NXClsObj::NXClsObj(const NXClsObj& other) : NXClsObj(other.m_pObjectCount, other.m_pLockCount) {}

NXClsObj& NXClsObj::operator=(const NXClsObj& other) {
  if (m_pObjectCount != other.m_pObjectCount) {
    if (m_pObjectCount) --*m_pObjectCount;
    m_pObjectCount = other.m_pObjectCount;
    if (m_pObjectCount) ++*m_pObjectCount;
  }
  m_pLockCount = other.m_pLockCount;
  return *this;
}

NXClsObj::~NXClsObj() {
  if (m_pObjectCount) --*m_pObjectCount;
}

HRESULT NXClsObj::QueryInterface(REFIID riid, void** ppvObject) {
  return thbc::QueryOneInterface(this, riid, IID_IClassFactory, ppvObject);
}

ULONG NXClsObj::AddRef() { return ++m_cRef; }

ULONG NXClsObj::Release() {
  const ULONG n = --m_cRef;
  if (n == 0) delete this;
  return n;
}

HRESULT NXClsObj::LockServer(BOOL fLock) {
  if (m_pLockCount) {
    if (fLock)
      ++*m_pLockCount;
    else
      --*m_pLockCount;
  }
  return S_OK;
}

// ---- NXDataSync --------------------------------------------------------------------------

NXDataSync::NXDataSync() : m_cRef(0) {}
NXDataSync::NXDataSync(const NXDataSync&) : NXDataSync() {}
NXDataSync& NXDataSync::operator=(const NXDataSync&) { return *this; }
NXDataSync::~NXDataSync() = default;

HRESULT NXDataSync::QueryInterface(REFIID riid, void** ppvObject) {
  return thbc::QueryOneInterface(this, riid, IID_IAdviseSink, ppvObject);
}

ULONG NXDataSync::AddRef() { return ++m_cRef; }

ULONG NXDataSync::Release() {
  const ULONG n = --m_cRef;
  if (n == 0) delete this;
  return n;
}

void NXDataSync::OnDataChange(FORMATETC*, STGMEDIUM*) {}
void NXDataSync::OnViewChange(DWORD, LONG) {}
void NXDataSync::OnRename(IMoniker*) {}
void NXDataSync::OnSave() {}
void NXDataSync::OnClose() {}

// ---- NXContextMenuHolder -------------------------------------------------------------------

NXContextMenuHolder::NXContextMenuHolder(NXContextMenuHolder** head, IUnknown* object)
    : m_idFirst(0),
      m_idLast(0xFFFF),  // first - 1: no id until InitMenu gives some
      m_pMenu(nullptr),
      m_hrStatus(S_OK),
      m_pPrev(nullptr),
      m_pNext(nullptr),
      m_ppHead(head) {
  if (m_ppHead) {
    m_pNext = *m_ppHead;
    if (m_pNext) m_pNext->m_pPrev = this;
    *m_ppHead = this;
  }
  if (!object) {
    m_hrStatus = E_POINTER;
    return;
  }
  void* menu = nullptr;
  m_hrStatus = object->QueryInterface(IID_IContextMenu, &menu);
  if (SUCCEEDED(m_hrStatus)) m_pMenu = static_cast<IContextMenu*>(menu);
}

NXContextMenuHolder::~NXContextMenuHolder() {
  if (m_pMenu) m_pMenu->Release();
  m_pMenu = nullptr;
  if (m_pNext) m_pNext->m_pPrev = m_pPrev;
  if (m_pPrev)
    m_pPrev->m_pNext = m_pNext;
  else if (m_ppHead && *m_ppHead == this)
    *m_ppHead = m_pNext;
}

HRESULT NXContextMenuHolder::Status() { return m_hrStatus; }

HRESULT NXContextMenuHolder::InitMenu(HMENU menu, USHORT firstId, USHORT lastId, UINT flags) {
  USHORT used = 0;
  HRESULT hr = S_OK;
  if (m_pMenu) {
    int n = GetMenuItemCount(menu);
    if (n < 0) return HRESULT_FROM_WIN32(GetLastError());
    if (n != 0 && InsertMenuW(menu, static_cast<UINT>(n), MF_BYPOSITION | MF_SEPARATOR, 0, nullptr)) ++n;
    hr = m_pMenu->QueryContextMenu(menu, static_cast<UINT>(n), firstId, lastId, flags);
    if (FAILED(hr)) return hr;
    used = static_cast<USHORT>(HRESULT_CODE(hr));
  }
  m_idFirst = firstId;
  m_idLast = static_cast<USHORT>(firstId + used - 1);
  if (!m_pNext) return hr;
  if (static_cast<UINT>(firstId) + used > 0xFFFF) {
    // No 16-bit id is left for the older holders (the next one would wrap to 0, outside
    // the ids the owner gave): they own none this time and are not asked.
    for (NXContextMenuHolder* h = m_pNext; h; h = h->m_pNext) h->m_idLast = static_cast<USHORT>(h->m_idFirst - 1);
    return static_cast<HRESULT>(used);
  }
  const HRESULT next = m_pNext->InitMenu(menu, static_cast<USHORT>(firstId + used), lastId, flags);
  if (FAILED(next)) return next;
  return static_cast<HRESULT>(HRESULT_CODE(next) + used);
}

HRESULT NXContextMenuHolder::GetTipText(USHORT id, WCHAR* buffer, UINT capacity) {
  if (m_pMenu && InRange(m_idFirst, m_idLast, id))
    return m_pMenu->GetCommandString(static_cast<USHORT>(id - m_idFirst), GCS_HELPTEXTW, nullptr,
                                     reinterpret_cast<CHAR*>(buffer), capacity);
  return m_pNext ? m_pNext->GetTipText(id, buffer, capacity) : E_INVALIDARG;
}

HRESULT NXContextMenuHolder::Command(HWND window, USHORT id) {
  if (m_pMenu && InRange(m_idFirst, m_idLast, id)) {
    CMINVOKECOMMANDINFO info{};
    info.cbSize = sizeof(info);
    info.hwnd = window;
    info.lpVerb = MAKEINTRESOURCEA(static_cast<USHORT>(id - m_idFirst));
    return m_pMenu->InvokeCommand(&info);
  }
  return m_pNext ? m_pNext->Command(window, id) : E_INVALIDARG;
}
