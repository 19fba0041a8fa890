// Small services of vkrt: 32-bit flag sets as PROPVARIANT byte vectors, and registry
// values read into buffers of exactly their size.
#pragma once

#include "vkrt/base.h"

// *pv must be VT_EMPTY (else E_INVALIDARG, untouched). It becomes VT_VECTOR | VT_UI1
// with one byte per set flag, the bit number plus one (1 for bit 0 ... 32 for bit 31),
// ascending; the vector is a task-allocator block (null when no flag is set), so
// PropVariantClear releases it. E_OUTOFMEMORY leaves *pv VT_EMPTY.
VKRT_API HRESULT vkPropVariantFromBitFlags(DWORD flags, PROPVARIANT* pv);
// Back from such a vector: element e sets bit (e - 1) mod 32, so order and repeats do
// not matter and 0 stands for bit 31. E_INVALIDARG for null pointers or another type.
VKRT_API HRESULT vkPropVariantToBitFlags(const PROPVARIANT* pv, DWORD* flags);

// Reads value `name` (null: the default value) of an open key into a task-allocator
// buffer of exactly the value's size, data as stored (a string carries its terminator
// only if it was stored with one). Returns a Win32 code: the size query's failure (e.g.
// ERROR_FILE_NOT_FOUND) assigns nothing; ERROR_NOT_ENOUGH_MEMORY assigns nothing;
// otherwise *buffer is assigned and the read's code returned, and the caller frees
// *buffer with CoTaskMemFree whatever that code is. Null buffer:
// ERROR_INVALID_PARAMETER (87).
VKRT_API LONG vkGetStringFromRVA(HKEY key, LPCSTR name, LPSTR* buffer);
VKRT_API LONG vkGetStringFromRVW(HKEY key, LPCWSTR name, LPWSTR* buffer);
