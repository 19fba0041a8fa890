// Data acquisition set-up servers of vkrt (registered machine-wide under
// HKLM\Software\Veltrak\DataAsquiersSetupSvrs), and the input device server test.
#pragma once

#include "vkrt/base.h"
#include "vkrt/providers.h"

// Registry layout (HKEY_LOCAL_MACHINE):
//   Software\Veltrak\DataAsquiersSetupSvrs\{server CLSID}   default value: name (REG_SZ)
//     Descript   REG_SZ, the server's description

// One server: the record registration takes and the element of the array the
// enumeration returns (there the array and each string are task-allocator blocks).
typedef struct VKDATAASQSETSVRINFOA VKDATAASQSETSVRINFOA;
struct VKDATAASQSETSVRINFOA {
  CLSID clsid;  // the server
  LPSTR name;  // default value of the server's key
  LPSTR description;  // the Descript value
};
typedef struct VKDATAASQSETSVRINFOW VKDATAASQSETSVRINFOW;
struct VKDATAASQSETSVRINFOW {
  CLSID clsid;
  LPWSTR name;
  LPWSTR description;
};
NX_STATIC_ASSERT(offsetof(VKDATAASQSETSVRINFOW, name) == 16 && offsetof(VKDATAASQSETSVRINFOW, description) == 24 &&
              sizeof(VKDATAASQSETSVRINFOW) == 32);
NX_STATIC_ASSERT(sizeof(VKDATAASQSETSVRINFOA) == sizeof(VKDATAASQSETSVRINFOW));

// E_INVALIDARG for a null record or a null name or description.
VKRT_API HRESULT vkRegisterDataAsqSetSvrA(const VKDATAASQSETSVRINFOA* info);
VKRT_API HRESULT vkRegisterDataAsqSetSvrW(const VKDATAASQSETSVRINFOW* info);
// Removes the server's key; the DataAsquiersSetupSvrs key too when no server is left.
VKRT_API HRESULT vkUnregisterDataAsqSetSvr(const CLSID* clsid);

// Lists the servers in registry order: *servers receives an array of *count entries
// (null when there are none). A subkey whose name is not a GUID gives a zero entry.
// Each string is terminated. On an error after the array was made (a server without
// a name or Descript value: HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) the array and
// count are still handed out, with the entries read so far complete; free them with
// vkFreeDataAsqSetSvrInfo in every case.
VKRT_API HRESULT vkEnumDataAsqSetSvrA(VKDATAASQSETSVRINFOA** servers, DWORD* count);
VKRT_API HRESULT vkEnumDataAsqSetSvrW(VKDATAASQSETSVRINFOW** servers, DWORD* count);
// Frees the strings of every entry and the array; nothing for a null array or count 0.
VKRT_API void vkFreeDataAsqSetSvrInfoA(VKDATAASQSETSVRINFOA* servers, DWORD count);
VKRT_API void vkFreeDataAsqSetSvrInfoW(VKDATAASQSETSVRINFOW* servers, DWORD count);

// S_OK when the provider is an input device server (no inputs, and an output whose
// class has a zero low attribute byte), S_FALSE when not, E_POINTER for a record (or
// its output array) that cannot be read, else the class information error.
VKRT_API HRESULT vkIsInputDeviceServerA(const VKDATAPROVIDERINFOA* info);
VKRT_API HRESULT vkIsInputDeviceServerW(const VKDATAPROVIDERINFOW* info);
