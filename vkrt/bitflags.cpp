// Flag sets as PROPVARIANT byte vectors, and registry values read into task-allocator
// buffers of exactly their size.
#include <bit>

#include "regkeys.h"
#include "vkrt/bitflags.h"

namespace {

HRESULT FromBitFlags(DWORD flags, PROPVARIANT* pv) {
  const auto n = static_cast<ULONG>(std::popcount(flags));
  UCHAR* elems = nullptr;
  if (n > 0) {
    elems = static_cast<UCHAR*>(vkrt::TaskAlloc(n));
    if (!elems) return E_OUTOFMEMORY;
  }
  ULONG next = 0;
  for (DWORD bit = 0; bit < 32; ++bit)
    if (flags & (1u << bit)) elems[next++] = static_cast<UCHAR>(bit + 1);
  pv->caub.cElems = n;
  pv->caub.pElems = elems;
  pv->vt = VT_VECTOR | VT_UI1;
  return S_OK;
}

DWORD ToBitFlags(const CAUB& vector) {
  DWORD flags = 0;
  // Element e stands for bit e - 1, taken modulo 32 (0 is bit 31, 33 is bit 0).
  for (ULONG i = 0; i < vector.cElems; ++i) flags |= 1u << ((vector.pElems[i] + 31u) % 32u);
  return flags;
}

// Size query, allocation of exactly that size, read: see vkGetStringFromRV in the header.
template <typename Ch>
LONG StringFromValue(HKEY key, LPCWSTR name, Ch** buffer) {
  DWORD cb = 0;
  if (LONG rc = vkrt::Text<Ch>::QueryValue(key, name, nullptr, nullptr, &cb)) return rc;
  auto* data = static_cast<Ch*>(vkrt::TaskAlloc(cb));
  if (!data) return ERROR_NOT_ENOUGH_MEMORY;
  *buffer = data;
  return vkrt::Text<Ch>::QueryValue(key, name, nullptr, reinterpret_cast<LPBYTE>(data), &cb);
}

}  // namespace

HRESULT vkPropVariantFromBitFlags(DWORD flags, PROPVARIANT* pv) {
  if (!pv || pv->vt != VT_EMPTY) return E_INVALIDARG;
  return FromBitFlags(flags, pv);
}

HRESULT vkPropVariantToBitFlags(const PROPVARIANT* pv, DWORD* flags) {
  if (!pv || !flags || pv->vt != (VT_VECTOR | VT_UI1)) return E_INVALIDARG;
  if (pv->caub.cElems > 0 && !pv->caub.pElems) return E_INVALIDARG;
  *flags = ToBitFlags(pv->caub);
  return S_OK;
}

LONG vkGetStringFromRVA(HKEY key, LPCSTR name, LPSTR* buffer) {
  if (!buffer) return ERROR_INVALID_PARAMETER;
  return vkrt::NoThrow<LONG>(ERROR_NOT_ENOUGH_MEMORY, [&] {
    std::u16string wide = name ? nx::Utf8ToUtf16(name) : std::u16string();
    return StringFromValue<char>(key, name ? wide.c_str() : nullptr, buffer);
  });
}

LONG vkGetStringFromRVW(HKEY key, LPCWSTR name, LPWSTR* buffer) {
  if (!buffer) return ERROR_INVALID_PARAMETER;
  return StringFromValue<WCHAR>(key, name, buffer);
}
