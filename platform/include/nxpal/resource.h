// Module handles and module resources: each program or shared library carries its own
// string table and PNG icons (embedded at build time by nx_add_resources), looked up by
// its module handle, the load address of the module.
#pragma once

#include "errors.h"
#include "export.h"
#include "types.h"

// ---- module handles -------------------------------------------------------------------
NX_CONST(DWORD, GET_MODULE_HANDLE_EX_FLAG_PIN, 0x1);
NX_CONST(DWORD, GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, 0x2);
NX_CONST(DWORD, GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, 0x4);

// nullptr: the program. A name: the loaded module whose file name (with or without its
// folder, e.g. u"libvkrt.so") matches exactly, or a versioned library's link name
// (u"libvkrt.so" for libvkrt.so.1); none: NULL with ERROR_MOD_NOT_FOUND.
NXPAL_API HMODULE GetModuleHandleW(LPCWSTR lpModuleName);
// As GetModuleHandleW, or with GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS the module that
// contains the address passed as lpModuleName. Modules are never reference-counted here,
// so the PIN and UNCHANGED_REFCOUNT flags change nothing (both at once:
// ERROR_INVALID_PARAMETER (87)). Failures: FALSE, *phModule NULL, last error
// ERROR_INVALID_PARAMETER (87) for a null phModule or bad flags, or
// ERROR_MOD_NOT_FOUND (126).
NXPAL_API BOOL GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule);

// The module the calling code belongs to. Static inline on purpose: the anchor is a
// different object in every module that includes this header, so the answer is the
// caller's module, not the platform layer's.
#ifdef __cplusplus
static inline HMODULE NxThisModule() {
  static const char anchor = 0;
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&anchor), &module);
  return module;
}
#else
static inline HMODULE NxThisModule(void) {
  static const char anchor = 0;
  HMODULE module = NULL;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     (LPCWSTR)(const void*)&anchor, &module);
  return module;
}
#endif

// ---- strings --------------------------------------------------------------------------
// hInstance NULL means the program. Returns the characters copied without the
// terminator; a longer string is cut to cchBufferMax - 1 characters and terminated.
// LoadStringW with cchBufferMax 0 stores in *(LPCWSTR*)lpBuffer a read-only pointer to
// the string inside the module and returns its length (the text happens to be
// terminated here, unlike on Windows; do not rely on it). LoadStringA gives UTF-8 and
// counts bytes; it never cuts a character in half, so it may copy fewer than
// cchBufferMax - 1 bytes. Failures return 0 with the last error:
//   ERROR_INVALID_PARAMETER (87)           null lpBuffer, cchBufferMax < 0 (or 0 for
//                                          LoadStringA)
//   ERROR_RESOURCE_DATA_NOT_FOUND (1812)   the module has no resources (not a module built
//                                          with nx_add_resources, or unloaded)
//   ERROR_RESOURCE_TYPE_NOT_FOUND (1813)   the module has no string table
//   ERROR_RESOURCE_NAME_NOT_FOUND (1814)   no string with this id
NXPAL_API int LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax);
NXPAL_API int LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax);

// ---- icons ----------------------------------------------------------------------------
NX_CONST(UINT, IMAGE_BITMAP, 0);
NX_CONST(UINT, IMAGE_ICON, 1);
NX_CONST(UINT, IMAGE_CURSOR, 2);

NX_CONST(UINT, LR_DEFAULTCOLOR, 0x0000);
NX_CONST(UINT, LR_MONOCHROME, 0x0001);
NX_CONST(UINT, LR_LOADFROMFILE, 0x0010);
NX_CONST(UINT, LR_LOADTRANSPARENT, 0x0020);
NX_CONST(UINT, LR_DEFAULTSIZE, 0x0040);
NX_CONST(UINT, LR_VGACOLOR, 0x0080);
NX_CONST(UINT, LR_LOADMAP3DCOLORS, 0x1000);
NX_CONST(UINT, LR_CREATEDIBSECTION, 0x2000);
NX_CONST(UINT, LR_SHARED, 0x8000);

// The size LoadIconW and LR_DEFAULTSIZE use (SM_CXICON, SM_CYICON).
NX_CONST(int, NX_DEFAULT_ICON_SIZE, 32);
// Requests above this size are refused with ERROR_INVALID_PARAMETER (87).
NX_CONST(int, NX_MAX_ICON_SIZE, 1024);

// Loads icon `name` (MAKEINTRESOURCEW(id) or the text "#id") of module hInst at cx x cy
// pixels. The embedded image is chosen as Windows does: the exact size if there is one,
// else the smallest larger image (scaled down, area-averaged), else the largest (scaled
// up, bilinear). cx or cy 0 means the chosen image's own size, or 32 with LR_DEFAULTSIZE.
// With LR_SHARED the same handle is returned for the same module, id and size; a shared
// icon lives until its module unloads and DestroyIcon leaves it alone.
// Colour flags are ignored (icons are always full colour with alpha).
// Failures: NULL with last error ERROR_INVALID_PARAMETER (87) for a bad type value or a
// negative or too large size, ERROR_NOT_SUPPORTED (50) for LR_LOADFROMFILE, the 1812,
// 1813 and 1814 errors as for strings (IMAGE_BITMAP and IMAGE_CURSOR find no resources of
// their type: ERROR_RESOURCE_TYPE_NOT_FOUND (1813)), ERROR_INVALID_DATA (13) for an
// embedded PNG that does not decode, ERROR_NOT_ENOUGH_MEMORY (8).
NXPAL_API HANDLE LoadImageW(HINSTANCE hInst, LPCWSTR name, UINT type, int cx, int cy, UINT fuLoad);
// LoadImageW(hInstance, lpIconName, IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED).
// hInstance NULL asks for the system's icons (IDI_*), which do not exist here:
// ERROR_RESOURCE_DATA_NOT_FOUND (1812).
NXPAL_API HICON LoadIconW(HINSTANCE hInstance, LPCWSTR lpIconName);
// FALSE with ERROR_INVALID_ICON_HANDLE (1402) for a handle that is not a live icon.
NXPAL_API BOOL DestroyIcon(HICON hIcon);

// For the code that draws icons: the size and a copy of the pixels, rows top to bottom,
// each pixel a DWORD 0xAARRGGBB with premultiplied alpha (Qt's
// QImage::Format_ARGB32_Premultiplied, and the BGRA byte order of a Windows 32-bit DIB).
// With pixels NULL only the size is given. Failures: FALSE with
// ERROR_INVALID_ICON_HANDLE (1402) for a handle that is not a live icon,
// ERROR_INVALID_PARAMETER (87) for a null width or height,
// ERROR_INSUFFICIENT_BUFFER (122) when pixelCount is below width * height (the size is
// given).
NXPAL_API BOOL NxGetIconPixels(HICON hIcon, int* width, int* height, DWORD* pixels, DWORD pixelCount);

// ---- registration (used by the code nx_add_resources generates) ------------------------
// The tables live in the module's read-only data; the platform layer keeps pointers to
// them from registration until unregistration, which the module does while unloading.
typedef struct NxStringResource NxStringResource;
struct NxStringResource {
  UINT id;
  UINT length;  // UTF-16 units, without the terminator
  const WCHAR* text;  // terminated
};
typedef struct NxIconImageResource NxIconImageResource;
struct NxIconImageResource {
  UINT id;
  UINT width;
  UINT height;
  UINT size;  // bytes of PNG data
  const BYTE* png;
};
NX_CONST(UINT, NX_MODULE_RESOURCES_VERSION, 1);
typedef struct NxModuleResources NxModuleResources;
struct NxModuleResources {
  UINT version;  // NX_MODULE_RESOURCES_VERSION
  UINT stringCount;
  const NxStringResource* strings;  // ascending ids, no repeats
  UINT imageCount;
  const NxIconImageResource* images;  // ascending ids; an id repeats once per size
};
// FALSE with ERROR_INVALID_PARAMETER (87) for null arguments, a wrong version or unsorted
// tables, or ERROR_ALREADY_EXISTS (183) when the module already has resources.
NXPAL_API BOOL NxRegisterModuleResources(HMODULE module, const NxModuleResources* resources);
// Forgets the module's resources and destroys its shared icons. FALSE with
// ERROR_RESOURCE_DATA_NOT_FOUND (1812) when these tables are not the module's registered
// ones.
NXPAL_API BOOL NxUnregisterModuleResources(HMODULE module, const NxModuleResources* resources);
