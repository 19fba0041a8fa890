// PROPVARIANT clearing and copying: which types own task-allocator blocks or interface
// references, and how each is freed or duplicated.
#include <cstring>

#include "nxpal/com.h"
#include "nxpal/text.h"

namespace {

// What a value of a given VARTYPE holds beyond its own 24 bytes.
enum class Holds {
  Nothing,  // plain values
  String,  // pszVal: one task block (terminated char string)
  WString,  // pwszVal: one task block (terminated UTF-16 string)
  Clsid,  // puuid: one task block of 16 bytes
  Blob,  // blob.pBlobData: one task block of blob.cbSize bytes
  Interface,  // punkVal: one reference
  Elements,  // a VT_VECTOR block of plain elements
  StringElements,  // VT_VECTOR|VT_LPSTR: the block and each string
  WStringElements,  // VT_VECTOR|VT_LPWSTR: the block and each string
  VariantElements,  // VT_VECTOR|VT_VARIANT: the block and, recursively, each value
  Unknown,  // not supported here
};

struct TypeInfo {
  Holds holds;
  size_t elementSize;  // for vectors
};

TypeInfo Classify(VARTYPE vt) {
  const VARTYPE base = vt & VT_TYPEMASK;
  if ((vt & ~VT_TYPEMASK) == 0) {
    switch (base) {
      case VT_EMPTY: case VT_NULL: case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4:
      case VT_UI4: case VT_INT: case VT_UINT: case VT_I8: case VT_UI8: case VT_R4: case VT_R8:
      case VT_CY: case VT_DATE: case VT_BOOL: case VT_ERROR: case VT_FILETIME:
        return {Holds::Nothing, 0};
      case VT_LPSTR: return {Holds::String, 0};
      case VT_LPWSTR: return {Holds::WString, 0};
      case VT_CLSID: return {Holds::Clsid, 0};
      case VT_BLOB: case VT_BLOB_OBJECT: return {Holds::Blob, 0};
      case VT_UNKNOWN: case VT_DISPATCH: case VT_STREAM: case VT_STORAGE: case VT_STREAMED_OBJECT:
      case VT_STORED_OBJECT:
        return {Holds::Interface, 0};
      default: return {Holds::Unknown, 0};
    }
  }
  if ((vt & ~VT_TYPEMASK) == VT_VECTOR) {
    switch (base) {
      case VT_I1: case VT_UI1: return {Holds::Elements, 1};
      case VT_I2: case VT_UI2: case VT_BOOL: return {Holds::Elements, 2};
      case VT_I4: case VT_UI4: case VT_R4: case VT_ERROR: return {Holds::Elements, 4};
      case VT_I8: case VT_UI8: case VT_R8: case VT_CY: case VT_DATE: case VT_FILETIME:
        return {Holds::Elements, 8};
      case VT_CLSID: return {Holds::Elements, sizeof(CLSID)};
      case VT_LPSTR: return {Holds::StringElements, sizeof(LPSTR)};
      case VT_LPWSTR: return {Holds::WStringElements, sizeof(LPWSTR)};
      case VT_VARIANT: return {Holds::VariantElements, sizeof(PROPVARIANT)};
      default: return {Holds::Unknown, 0};
    }
  }
  return {Holds::Unknown, 0};
}

// Every counted array has its count at offset 8 and its block at offset 16; the plain
// element kinds are reached through caub (GCC defines reading another union member).
HRESULT Clear(PROPVARIANT* pv) {
  HRESULT hr = S_OK;
  switch (Classify(pv->vt).holds) {
    case Holds::Nothing: break;
    case Holds::String: CoTaskMemFree(pv->pszVal); break;
    case Holds::WString: CoTaskMemFree(pv->pwszVal); break;
    case Holds::Clsid: CoTaskMemFree(pv->puuid); break;
    case Holds::Blob: CoTaskMemFree(pv->blob.pBlobData); break;
    case Holds::Interface:
      if (pv->punkVal) pv->punkVal->Release();
      break;
    case Holds::Elements: CoTaskMemFree(pv->caub.pElems); break;
    case Holds::StringElements:
      if (pv->calpstr.pElems)
        for (ULONG i = 0; i < pv->calpstr.cElems; ++i) CoTaskMemFree(pv->calpstr.pElems[i]);
      CoTaskMemFree(pv->calpstr.pElems);
      break;
    case Holds::WStringElements:
      if (pv->calpwstr.pElems)
        for (ULONG i = 0; i < pv->calpwstr.cElems; ++i) CoTaskMemFree(pv->calpwstr.pElems[i]);
      CoTaskMemFree(pv->calpwstr.pElems);
      break;
    case Holds::VariantElements:
      if (pv->capropvar.pElems)
        for (ULONG i = 0; i < pv->capropvar.cElems; ++i) {
          HRESULT one = Clear(&pv->capropvar.pElems[i]);
          if (SUCCEEDED(hr)) hr = one;  // report the first bad element, free the rest
        }
      CoTaskMemFree(pv->capropvar.pElems);
      break;
    case Holds::Unknown: hr = STG_E_INVALIDPARAMETER; break;
  }
  PropVariantInit(pv);
  return hr;
}

// Duplicates a task block of n bytes; null stays null. False when out of memory.
bool DupBlock(const void* src, size_t n, void** out) {
  *out = nullptr;
  if (!src) return true;
  *out = CoTaskMemAlloc(n);
  if (!*out) return false;
  if (n) std::memcpy(*out, src, n);
  return true;
}

bool DupString(const char* s, char** out) {
  return DupBlock(s, s ? std::strlen(s) + 1 : 0, reinterpret_cast<void**>(out));
}

bool DupWString(const WCHAR* s, WCHAR** out) {
  return DupBlock(s, s ? (nx::WStrLen(s) + 1) * sizeof(WCHAR) : 0, reinterpret_cast<void**>(out));
}

// *dst is a shallow copy of *src on entry; replaces every owned part with its own.
// On failure the owned parts of *dst are freed and *dst is VT_EMPTY.
HRESULT Copy(PROPVARIANT* dst, const PROPVARIANT* src) {
  const TypeInfo type = Classify(src->vt);
  bool ok = true;
  switch (type.holds) {
    case Holds::Nothing: break;
    case Holds::String: ok = DupString(src->pszVal, &dst->pszVal); break;
    case Holds::WString: ok = DupWString(src->pwszVal, &dst->pwszVal); break;
    case Holds::Clsid: ok = DupBlock(src->puuid, sizeof(CLSID), reinterpret_cast<void**>(&dst->puuid)); break;
    case Holds::Blob:
      ok = DupBlock(src->blob.pBlobData, src->blob.cbSize, reinterpret_cast<void**>(&dst->blob.pBlobData));
      break;
    case Holds::Interface:
      if (src->punkVal) src->punkVal->AddRef();
      break;
    case Holds::Elements:
      ok = DupBlock(src->caub.pElems, src->caub.cElems * type.elementSize, reinterpret_cast<void**>(&dst->caub.pElems));
      break;
    case Holds::StringElements:
    case Holds::WStringElements:
    case Holds::VariantElements: {
      // Duplicate the block, then fill its elements one by one; dst->...cElems counts
      // the elements already owned so that a failure frees exactly those.
      const ULONG count = src->caub.cElems;
      ok = DupBlock(src->caub.pElems, count * type.elementSize, reinterpret_cast<void**>(&dst->caub.pElems));
      if (!ok || !src->caub.pElems) break;
      dst->caub.cElems = 0;
      for (ULONG i = 0; i < count && ok; ++i) {
        if (type.holds == Holds::StringElements) {
          ok = DupString(src->calpstr.pElems[i], &dst->calpstr.pElems[i]);
        } else if (type.holds == Holds::WStringElements) {
          ok = DupWString(src->calpwstr.pElems[i], &dst->calpwstr.pElems[i]);
        } else {
          dst->capropvar.pElems[i] = src->capropvar.pElems[i];
          HRESULT hr = Copy(&dst->capropvar.pElems[i], &src->capropvar.pElems[i]);
          if (FAILED(hr)) {
            // The element is VT_EMPTY again; free the ones before it.
            dst->caub.cElems = i;
            Clear(dst);
            return hr;
          }
        }
        if (ok) dst->caub.cElems = i + 1;
      }
      break;
    }
    case Holds::Unknown: PropVariantInit(dst); return STG_E_INVALIDPARAMETER;
  }
  if (!ok) {
    Clear(dst);
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

}  // namespace

HRESULT PropVariantClear(PROPVARIANT* pvar) {
  if (!pvar) return S_OK;
  return Clear(pvar);
}

HRESULT PropVariantCopy(PROPVARIANT* pvarDest, const PROPVARIANT* pvarSrc) {
  if (!pvarDest || !pvarSrc) return E_INVALIDARG;
  std::memcpy(pvarDest, pvarSrc, sizeof(PROPVARIANT));
  return Copy(pvarDest, pvarSrc);
}
