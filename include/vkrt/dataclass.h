// Data classes of vkrt: the built-in classes, data class handlers (outside COM
// components registered under HKLM\Software\Veltrak\DataTypeHandlers), the class
// information they give, and the edited data set record.
#pragma once

#include "vkrt/base.h"

// ---- the built-in data classes ----------------------------------------------------------
#ifdef __cplusplus
inline constexpr GUID VKDC_PATIENT_INFO = nx::Guid("93343270-6B62-407F-A2D7-8CAA85496445");
inline constexpr GUID VKDC_REPORT = nx::Guid("C7B90149-88EF-45AC-A73F-28EF7C0EC849");
inline constexpr GUID VKDC_STUDY_STATISTICS = nx::Guid("0A73D135-F2AA-11D3-B497-8D2BCD37A425");
inline constexpr GUID VKDC_SESSION_PARAMETERS = nx::Guid("E8F02697-20F3-4AC2-A4E6-E64A668EDC44");
inline constexpr GUID VKDC_RECORDER_EVENTS = nx::Guid("5CF87DB3-9BFB-481D-B1DC-05B72663DACA");
inline constexpr GUID VKDC_STUDY_EVENTS = nx::Guid("284FAAAE-D0F7-4024-9AAD-91B85BEB5C25");
#else
NX_C_GUID(GUID, VKDC_PATIENT_INFO, 0x93343270, 0x6B62, 0x407F, 0xA2, 0xD7, 0x8C, 0xAA, 0x85, 0x49, 0x64, 0x45);
NX_C_GUID(GUID, VKDC_REPORT, 0xC7B90149, 0x88EF, 0x45AC, 0xA7, 0x3F, 0x28, 0xEF, 0x7C, 0x0E, 0xC8, 0x49);
NX_C_GUID(GUID, VKDC_STUDY_STATISTICS, 0x0A73D135, 0xF2AA, 0x11D3, 0xB4, 0x97, 0x8D, 0x2B, 0xCD, 0x37, 0xA4, 0x25);
NX_C_GUID(GUID, VKDC_SESSION_PARAMETERS, 0xE8F02697, 0x20F3, 0x4AC2, 0xA4, 0xE6, 0xE6, 0x4A, 0x66, 0x8E, 0xDC, 0x44);
NX_C_GUID(GUID, VKDC_RECORDER_EVENTS, 0x5CF87DB3, 0x9BFB, 0x481D, 0xB1, 0xDC, 0x05, 0xB7, 0x26, 0x63, 0xDA, 0xCA);
NX_C_GUID(GUID, VKDC_STUDY_EVENTS, 0x284FAAAE, 0xD0F7, 0x4024, 0x9A, 0xAD, 0x91, 0xB8, 0x5B, 0xEB, 0x5C, 0x25);
#endif

// ---- class information ----------------------------------------------------------------
// Bits of VKDATACLASSINFO::mask: which fields to fill.
NX_CONST(DWORD, VKDCI_NAME, 0x01);
NX_CONST(DWORD, VKDCI_ATTRIBUTES, 0x02);
NX_CONST(DWORD, VKDCI_ICON, 0x04);
NX_CONST(DWORD, VKDCI_GUIDA, 0x08);
NX_CONST(DWORD, VKDCI_GUIDB, 0x10);
NX_CONST(DWORD, VKDCI_DESCRIPTION, 0x20);

// Field order and integer widths of the 32-bit interface; pointers and handles are native.
// The caller fills cbSize, mask and, for an icon, iconSize.
typedef struct VKDATACLASSINFOA VKDATACLASSINFOA;
struct VKDATACLASSINFOA {
  DWORD cbSize;  // sizeof the record (not read by the library)
  DWORD mask;  // VKDCI_* bits
  LPSTR name;  // out: task-allocator block, freed by the caller
  DWORD nameLength;  // out: characters (UTF-8 bytes for A) copied into name
  DWORD attributes;  // out: class attribute bits
  INT iconSize;  // in: width and height of the icon wanted, in pixels
  HICON icon;  // out: the class icon, destroyed by the caller with DestroyIcon
  GUID guidA;  // out
  GUID guidB;  // out
  LPSTR description;  // out: task-allocator block; null when the class has none
  DWORD descriptionLength;  // out: characters copied, 0 when none
};
typedef struct VKDATACLASSINFOW VKDATACLASSINFOW;
struct VKDATACLASSINFOW {
  DWORD cbSize;
  DWORD mask;
  LPWSTR name;
  DWORD nameLength;
  DWORD attributes;
  INT iconSize;
  HICON icon;
  GUID guidA;
  GUID guidB;
  LPWSTR description;
  DWORD descriptionLength;
};
NX_STATIC_ASSERT(offsetof(VKDATACLASSINFOW, name) == 8 && offsetof(VKDATACLASSINFOW, nameLength) == 16 &&
              offsetof(VKDATACLASSINFOW, attributes) == 20 && offsetof(VKDATACLASSINFOW, iconSize) == 24 &&
              offsetof(VKDATACLASSINFOW, icon) == 32 && offsetof(VKDATACLASSINFOW, guidA) == 40 &&
              offsetof(VKDATACLASSINFOW, guidB) == 56 && offsetof(VKDATACLASSINFOW, description) == 72 &&
              offsetof(VKDATACLASSINFOW, descriptionLength) == 80 && sizeof(VKDATACLASSINFOW) == 88);
NX_STATIC_ASSERT(sizeof(VKDATACLASSINFOA) == sizeof(VKDATACLASSINFOW));

// Fills the fields the mask asks for, stopping at the first failure (fields filled
// before it stay, and the caller frees what was allocated). E_INVALIDARG for null
// arguments; HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) for a class that neither is
// built in nor has a registered handler that describes it.
VKRT_API HRESULT vkGetDataClassInfoA(const GUID* dataClass, VKDATACLASSINFOA* info);
VKRT_API HRESULT vkGetDataClassInfoW(const GUID* dataClass, VKDATACLASSINFOW* info);

// ---- data class handlers --------------------------------------------------------------
// What a handler tells about a class: filled by the library with cbSize and dataClass,
// and by the handler with the rest. Strings and the icon are resources of `module`.
typedef struct VKDATACLASSREQUEST VKDATACLASSREQUEST;
struct VKDATACLASSREQUEST {
  DWORD cbSize;  // sizeof(VKDATACLASSREQUEST)
  const GUID* dataClass;  // the class asked about
  HMODULE module;  // where the strings and the icon are
  UINT nameId;  // string resource id of the name
  WORD iconId;  // icon resource id
  WORD reserved;
  DWORD nameLength;  // size in characters of the buffer for the name (0: the name's own)
  DWORD attributes;
  const GUID* guidA;  // null reads as GUID_NULL
  const GUID* guidB;
  UINT descriptionId;  // string resource id of the description; 0 = none
  DWORD descriptionLength;  // size in characters of the buffer for the description
};
NX_STATIC_ASSERT(offsetof(VKDATACLASSREQUEST, dataClass) == 8 && offsetof(VKDATACLASSREQUEST, module) == 16 &&
              offsetof(VKDATACLASSREQUEST, nameId) == 24 && offsetof(VKDATACLASSREQUEST, iconId) == 28 &&
              offsetof(VKDATACLASSREQUEST, nameLength) == 32 && offsetof(VKDATACLASSREQUEST, attributes) == 36 &&
              offsetof(VKDATACLASSREQUEST, guidA) == 40 && offsetof(VKDATACLASSREQUEST, guidB) == 48 &&
              offsetof(VKDATACLASSREQUEST, descriptionId) == 56 &&
              offsetof(VKDATACLASSREQUEST, descriptionLength) == 60 && sizeof(VKDATACLASSREQUEST) == 64);

#ifdef __cplusplus
inline constexpr IID IID_IDataClassHandler = nx::Guid("5FE95E63-A0F2-4895-B70C-BA3AF23D3282");
#else
NX_C_GUID(IID, IID_IDataClassHandler, 0x5FE95E63, 0xA0F2, 0x4895, 0xB7, 0x0C, 0xBA, 0x3A, 0xF2, 0x3D, 0x32, 0x82);
#endif

// Implemented by an in-process COM server registered as a handler of one or more
// classes: HKLM\Software\Veltrak\DataTypeHandlers\{class GUID} holds one value per
// handler, named by the handler's CLSID in braces (the data are not read).
typedef struct IDataClassHandler IDataClassHandler;
#ifdef __cplusplus
struct IDataClassHandler : IUnknown {
  // S_OK when the handler describes request->dataClass (and filled the request),
  // S_FALSE when it does not know the class.
  virtual HRESULT STDMETHODCALLTYPE DescribeClass(VKDATACLASSREQUEST* request) = 0;
};
#else
NX_C_INTERFACE(IDataClassHandler);
struct IDataClassHandlerVtbl {
  NX_C_IUNKNOWN_METHODS(IDataClassHandler);
  HRESULT (*DescribeClass)(IDataClassHandler* This, VKDATACLASSREQUEST* request);
};
#endif

// Releases every cached handler.
VKRT_API void vkFreeDataClassHandlers(void);
// Removes the handler from every class key; a class key left without handlers goes,
// and DataTypeHandlers goes when no class key is left. A Win32 code, 0 on success.
VKRT_API LONG vkCleanupDataClassHandlerRecords(const CLSID* handler);

// ---- edited data sets -----------------------------------------------------------------
// Entries belong to the programs that use them; the library only counts them.
typedef struct VKEDITEDDATASETENTRY VKEDITEDDATASETENTRY;
struct VKEDITEDDATASETENTRY {
  BYTE data[8];
};
NX_STATIC_ASSERT(sizeof(VKEDITEDDATASETENTRY) == 8);

typedef struct VKEDITEDDATASET VKEDITEDDATASET;
struct VKEDITEDDATASET {
  BYTE header[22];  // owned by the programs; zero when allocated
  WORD count;  // entries at `entries`
  VKEDITEDDATASETENTRY* entries;  // right after the header in the same block; null when count is 0
};
NX_STATIC_ASSERT(offsetof(VKEDITEDDATASET, count) == 22 && offsetof(VKEDITEDDATASET, entries) == 24 &&
              sizeof(VKEDITEDDATASET) == 32);

// One zero-filled task-allocator block for the header and `count` entries.
// E_INVALIDARG for a null out pointer, a non-zero reserved argument or more entries
// than the 16-bit count holds.
VKRT_API HRESULT vkAllocEditedDataSet(VKEDITEDDATASET** set, DWORD count, DWORD reserved);
