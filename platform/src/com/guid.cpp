// Text forms of GUIDs for COM callers.
#include "nxpal/guid.h"

#include "nxpal/text.h"

int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
  if (!lpsz || cchMax < NX_GUID_STRING_CCH) return 0;
  return nx::FormatGuid(rguid, lpsz) + 1;
}

HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
  if (!pclsid) return E_INVALIDARG;
  if (!lpsz) {  // as on Windows: no text means the null class id
    *pclsid = CLSID_NULL;
    return NOERROR;
  }
  std::u16string_view s(lpsz, nx::WStrLen(lpsz));
  GUID g{};
  if (s.size() != static_cast<size_t>(NX_GUID_STRING_LEN) || !nx::TryParseGuid(s, g)) {
    *pclsid = CLSID_NULL;
    return CO_E_CLASSSTRING;
  }
  *pclsid = g;
  return NOERROR;
}

HRESULT IIDFromString(LPCOLESTR lpsz, LPIID lpiid) {
  HRESULT hr = CLSIDFromString(lpsz, lpiid);
  return hr == CO_E_CLASSSTRING ? E_INVALIDARG : hr;
}
