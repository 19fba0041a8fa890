// The property set base class: the walk that has the UI provider create the UI items of
// the tree, the checks and dispatch of parameter records, and the text answers.
#include "internal.h"
#include "thbc/thbc.h"

namespace {

// The base hooks' only check: the record is at least as large as its type.
HRESULT CheckSize(const NXCFGPARAMHDR* param, size_t minimum) {
  return param->cbSize < minimum ? E_INVALIDARG : S_OK;
}

// The hooks of one direction (get or set), called through the virtual table.
struct ParamHooks {
  HRESULT (NXPropSet::*main)(NXCFGPARAMHDR*, NXPROPTREEITEM*);
  HRESULT (NXPropSet::*ss)(NXCFGSSPARAM*, NXPROPTREEITEM*);
  HRESULT (NXPropSet::*integer)(NXCFGINTPARAM*, NXPROPTREEITEM*);
};

// GetParameter and SetParameter: the main part first if the record carries one, then,
// unless that answered anything but S_OK, the typed part if one follows.
HRESULT DispatchParameter(NXPropSet* self, NXCFGPARAMHDR* param, const ParamHooks& hooks) {
  if (!param) return E_INVALIDARG;
  NXPROPTREEITEM* item = param->pItem;
  HRESULT hr = (param->dwFlags & NXCFG_MAINPART) ? (self->*hooks.main)(param, item) : S_OK;
  if (hr != S_OK || !(param->dwFlags & NXCFG_TYPEDPART)) return hr;
  switch (NxCfgType(param->dwFlags)) {
    case NXCFG_TYPE_INT:
      return (self->*hooks.integer)(reinterpret_cast<NXCFGINTPARAM*>(param), item);
    case NXCFG_TYPE_SS:
      return (self->*hooks.ss)(reinterpret_cast<NXCFGSSPARAM*>(param), item);
    default:
      return E_INVALIDARG;
  }
}

}  // namespace

NXPropSet::NXPropSet(NXPROPTREEITEM* items, int count)
    : m_cRef(0),
      m_pUIProvider(nullptr),
      m_hrStatus(items && count > 0 ? S_OK : E_INVALIDARG),
      m_pItems(items),
      m_nItems(count) {}

NXPropSet::NXPropSet(const NXPropSet& other)
    : m_cRef(0),
      m_pUIProvider(other.m_pUIProvider),
      m_hrStatus(other.m_hrStatus),
      m_pItems(other.m_pItems),
      m_nItems(other.m_nItems) {}

NXPropSet& NXPropSet::operator=(const NXPropSet& other) {
  m_pUIProvider = other.m_pUIProvider;
  m_hrStatus = other.m_hrStatus;
  m_pItems = other.m_pItems;
  m_nItems = other.m_nItems;
  return *this;
}

NXPropSet::~NXPropSet() = default;

HRESULT NXPropSet::QueryInterface(REFIID riid, void** ppvObject) {
  return thbc::QueryOneInterface(this, riid, IID_INXPropertySet, ppvObject);
}

ULONG NXPropSet::AddRef() { return ++m_cRef; }

ULONG NXPropSet::Release() {
  const ULONG n = --m_cRef;
  if (n == 0) delete this;
  return n;
}

HRESULT NXPropSet::Status() { return m_hrStatus; }

HRESULT NXPropSet::Connect(INXPropertyUIProvider* provider) {
  m_pUIProvider = provider;
  if (m_nItems < 0) return E_INVALIDARG;
  return uInitUI(0, m_pItems, static_cast<DWORD>(m_nItems));
}

HRESULT NXPropSet::uInitUI(DWORD parent, NXPROPTREEITEM* items, DWORD count) {
  if (count == 0) return S_OK;
  if (!items) return E_INVALIDARG;
  if (!m_pUIProvider) return E_POINTER;
  HRESULT hr = S_OK;
  for (DWORD i = 0; i < count && hr == S_OK; ++i) {
    NXPROPTREEITEM& item = items[i];
    NXPROPUIITEM record{};
    record.cbSize = sizeof(record);
    record.dwCode = NXPROPUIITEM_ITEM | item.wID;
    record.pItem = &item;
    hr = m_pUIProvider->InsertItem(parent, &record, &item.dwUIHandle);
    if (hr == S_OK && item.pChildren && item.wChildCount != 0)
      hr = uInitUI(item.dwUIHandle, item.pChildren, item.wChildCount);
  }
  return hr;
}

HRESULT NXPropSet::GetParameter(NXCFGPARAMHDR* param) {
  return DispatchParameter(this, param, {&NXPropSet::uGetMainParam, &NXPropSet::uGetSSParam, &NXPropSet::uGetIntParam});
}

HRESULT NXPropSet::SetParameter(NXCFGPARAMHDR* param) {
  return DispatchParameter(this, param, {&NXPropSet::uSetMainParam, &NXPropSet::uSetSSParam, &NXPropSet::uSetIntParam});
}

HRESULT NXPropSet::GetImageList(int, HIMAGELIST* list) {
  if (!list) return E_INVALIDARG;
  *list = nullptr;
  return S_FALSE;
}

HRESULT NXPropSet::GetText(NXSTRINGREQUEST* request) {
  if (!request) return E_POINTER;
  NXPROPTREEITEM* item = request->pItem;
  if (request->wKind == NXSTR_KIND_VALUE) return uGetStringValue(item, request);
  if (!item) return E_INVALIDARG;
  const bool tip = request->wKind == NXSTR_KIND_TIP;
  const WORD id = tip ? item->wTipID : item->wLabelID;
  if (id == 0) return tip ? uGetPropTip(item, request) : uGetPropLabel(item, request);
  request->wForm = NXSTR_FORM_RESOURCE;
  request->wStringID = id;
  request->hModule = thbc::Module();
  return S_OK;
}

BOOL NXPropSet::Check(HWND) { return TRUE; }
HRESULT NXPropSet::Apply() { return S_OK; }

HRESULT NXPropSet::uGetStringValue(NXPROPTREEITEM*, NXSTRINGREQUEST*) { return S_FALSE; }
HRESULT NXPropSet::uGetPropLabel(NXPROPTREEITEM*, NXSTRINGREQUEST*) { return S_FALSE; }
HRESULT NXPropSet::uGetPropTip(NXPROPTREEITEM*, NXSTRINGREQUEST*) { return S_FALSE; }

HRESULT NXPropSet::uGetMainParam(NXCFGPARAMHDR* param, NXPROPTREEITEM*) {
  return CheckSize(param, sizeof(NXCFGPARAMHDR));
}
HRESULT NXPropSet::uGetSSParam(NXCFGSSPARAM* param, NXPROPTREEITEM*) {
  return CheckSize(&param->hdr, sizeof(NXCFGSSPARAM));
}
HRESULT NXPropSet::uGetIntParam(NXCFGINTPARAM* param, NXPROPTREEITEM*) {
  return CheckSize(&param->hdr, sizeof(NXCFGINTPARAM));
}
HRESULT NXPropSet::uSetMainParam(NXCFGPARAMHDR* param, NXPROPTREEITEM* item) { return NXPropSet::uGetMainParam(param, item); }
HRESULT NXPropSet::uSetSSParam(NXCFGSSPARAM* param, NXPROPTREEITEM* item) { return NXPropSet::uGetSSParam(param, item); }
HRESULT NXPropSet::uSetIntParam(NXCFGINTPARAM* param, NXPROPTREEITEM* item) { return NXPropSet::uGetIntParam(param, item); }
