// Data provider registry of vkrt: registering, removing, reading, copying and finding
// the data providers registered machine-wide under HKLM\Software\Veltrak\DataProviders.
#pragma once

#include "vkrt/base.h"

// Registry layout (HKEY_LOCAL_MACHINE; GUIDs in registry form with braces):
//   Software\Veltrak\DataProviders\{provider CLSID}   default value: description (REG_SZ)
//     Out\{data class GUID}                          default value: output name (optional)
//     In\{data class GUID}                           (the In key is optional)
//       ReqSrc   REG_BINARY, packed 16-byte GUIDs of the sources the input requires

// One input of a provider. Field order and integer widths are those of the 32-bit
// interface; pointers are native.
typedef struct VKDATAPROVIDERINPUT VKDATAPROVIDERINPUT;
struct VKDATAPROVIDERINPUT {
  GUID dataClass;  // the class consumed
  DWORD reqSrcCount;  // number of GUIDs at reqSrc
  GUID* reqSrc;  // required sources; null when ReqSrc is absent or empty
};
NX_STATIC_ASSERT(offsetof(VKDATAPROVIDERINPUT, reqSrcCount) == 16 && offsetof(VKDATAPROVIDERINPUT, reqSrc) == 24);
NX_STATIC_ASSERT(sizeof(VKDATAPROVIDERINPUT) == 32);

// One output of a provider.
typedef struct VKDATAPROVIDEROUTPUTA VKDATAPROVIDEROUTPUTA;
struct VKDATAPROVIDEROUTPUTA {
  GUID dataClass;  // the class produced
  LPSTR name;  // the output's name; null when it has none
};
typedef struct VKDATAPROVIDEROUTPUTW VKDATAPROVIDEROUTPUTW;
struct VKDATAPROVIDEROUTPUTW {
  GUID dataClass;
  LPWSTR name;
};
NX_STATIC_ASSERT(offsetof(VKDATAPROVIDEROUTPUTW, name) == 16 && sizeof(VKDATAPROVIDEROUTPUTW) == 24);
NX_STATIC_ASSERT(sizeof(VKDATAPROVIDEROUTPUTA) == sizeof(VKDATAPROVIDEROUTPUTW));

// A provider's registration. As input to registration the pointers refer to the
// caller's data; returned by the library it heads one self-contained task-allocator
// block (header, output entries, input entries, then description, output names and
// ReqSrc arrays), freed with one CoTaskMemFree.
typedef struct VKDATAPROVIDERINFOA VKDATAPROVIDERINFOA;
struct VKDATAPROVIDERINFOA {
  CLSID clsid;  // the provider
  LPSTR description;  // default value of the provider's key
  WORD inputCount;  // entries at inputs
  WORD outputCount;  // entries at outputs
  VKDATAPROVIDERINPUT* inputs;  // null when there are no inputs
  VKDATAPROVIDEROUTPUTA* outputs;
};
typedef struct VKDATAPROVIDERINFOW VKDATAPROVIDERINFOW;
struct VKDATAPROVIDERINFOW {
  CLSID clsid;
  LPWSTR description;
  WORD inputCount;
  WORD outputCount;
  VKDATAPROVIDERINPUT* inputs;
  VKDATAPROVIDEROUTPUTW* outputs;
};
NX_STATIC_ASSERT(offsetof(VKDATAPROVIDERINFOW, description) == 16 && offsetof(VKDATAPROVIDERINFOW, inputCount) == 24 &&
              offsetof(VKDATAPROVIDERINFOW, outputCount) == 26 && offsetof(VKDATAPROVIDERINFOW, inputs) == 32 &&
              offsetof(VKDATAPROVIDERINFOW, outputs) == 40 && sizeof(VKDATAPROVIDERINFOW) == 48);
NX_STATIC_ASSERT(sizeof(VKDATAPROVIDERINFOA) == sizeof(VKDATAPROVIDERINFOW));

// Called once per matching provider with its information block (VKDATAPROVIDERINFOA or
// VKDATAPROVIDERINFOW, after the function called). Returns 0 to stop, 2 to keep the
// block (the callback frees it later with CoTaskMemFree), anything else to go on (the
// library frees the block).
typedef int (*VKENUMDATAPROVIDERSPROC)(LPVOID info, LPVOID context);
NX_CONST(int, VKENUM_STOP, 0);
NX_CONST(int, VKENUM_CONTINUE, 1);
NX_CONST(int, VKENUM_KEEPBLOCK, 2);

// Called once per provider registered with the class on the side asked; FALSE stops.
typedef BOOL (*VKENUMPROVIDERCLASSPROC)(const CLSID* clsid, LPVOID context);

// Writes the registration (keys already written stay when a registry call fails).
// E_INVALIDARG for a null record, a null description, null outputs with a non-zero
// count, or an input whose reqSrc is null with a non-zero reqSrcCount.
VKRT_API HRESULT vkRegisterDataProviderA(const VKDATAPROVIDERINFOA* info);
VKRT_API HRESULT vkRegisterDataProviderW(const VKDATAPROVIDERINFOW* info);
// Removes the provider's key; the DataProviders key too when no provider is left.
VKRT_API HRESULT vkUnregisterDataProvider(const CLSID* clsid);

// Reads a registration into one block (*info; null on failure). Missing provider or
// Out key: HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND). Subkeys of Out and In whose names
// are not GUIDs are skipped. The description is never null (empty when absent).
VKRT_API HRESULT vkGetDataProviderInfoA(const CLSID* clsid, VKDATAPROVIDERINFOA** info);
VKRT_API HRESULT vkGetDataProviderInfoW(const CLSID* clsid, VKDATAPROVIDERINFOW** info);

// Copies a record (a block of the library or a record of the caller's) into one new
// self-contained block whose pointers refer into the copy itself, so the copy outlives
// its source. *size (optional) receives the copy's size in bytes.
VKRT_API HRESULT vkCopyDataProviderInfoA(VKDATAPROVIDERINFOA** copy, const VKDATAPROVIDERINFOA* source, DWORD* size);
VKRT_API HRESULT vkCopyDataProviderInfoW(VKDATAPROVIDERINFOW** copy, const VKDATAPROVIDERINFOW* source, DWORD* size);

// Calls back for every provider with an output of dataClass (with any output for
// GUID_NULL). S_OK when at least one matched and the callback never stopped the walk,
// S_FALSE when none matched or the callback stopped it, else the first error.
VKRT_API HRESULT vkEnumDataProvidersA(const GUID* dataClass, VKENUMDATAPROVIDERSPROC proc, LPVOID context);
VKRT_API HRESULT vkEnumDataProvidersW(const GUID* dataClass, VKENUMDATAPROVIDERSPROC proc, LPVOID context);

// Calls back with the CLSID of every provider that has Out\{dataClass} (output TRUE)
// or In\{dataClass} (output FALSE). S_OK at the end, S_FALSE when the callback stopped.
VKRT_API HRESULT vkEnumDataProviderClass(const GUID* dataClass, BOOL output, VKENUMPROVIDERCLASSPROC proc,
                                         LPVOID context);
