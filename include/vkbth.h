// Public header of the Bluetooth link library vkbth: byte-stream links to recorders
// opened from device records, with a per-link time limit for reads and writes. For C11
// and C++ callers alike.
#pragma once

#include <stddef.h>

#include "nxpal/windows.h"

// Functions of vkbth: C linkage, exported by name.
#define VKBTH_API NX_EXTERN_C NX_EXPORT

// Both handles are addresses of objects of the library, opaque to callers. Each object
// begins with a 16-byte type tag that every function checks before using it.
typedef void* HVKBTDEVICE;  // a device record (VKBTDeviceInfo), reference-counted
typedef void* HVKBTLINK;  // an open link (VKBTLink), reference-counted

// Every function sets the calling thread's last error on every path (0 on success):
// ERROR_INVALID_PARAMETER (87) for a null or unreadable handle, a null buffer or out
// pointer (a write's buffer must also be readable), a zero length or a zero time limit;
// ERROR_INVALID_HANDLE (6) for a handle that is not a live object of the expected type (a
// stale handle is refused without being read); ERROR_NOT_ENOUGH_MEMORY (8) when no memory
// is left; otherwise the socket layer's code (WSAE..., errors.h), passed through.
// Arguments are checked before the handle's type.

// Opens the link to a device record, or shares the open one: two opens of one record
// return the same handle, and each open takes a reference that vkbtClose gives back.
// The link holds its own reference on the record. Up to two connection attempts; on
// failure no link stays behind and *link is not written.
VKBTH_API BOOL vkbtCreate(HVKBTDEVICE device, HVKBTLINK* link);
// Gives back one reference; the last one closes the socket and frees the link.
VKBTH_API BOOL vkbtClose(HVKBTLINK link);
// Reads up to length bytes: returns as soon as all have arrived, or with what arrived
// when the link's time limit runs out (a partial or empty read succeeds). Polls the
// pending byte count every 20 ms; bytes beyond the length stay for the next read.
VKBTH_API BOOL vkbtRead(HVKBTLINK link, LPVOID buffer, DWORD length, LPDWORD read);
// Sends the buffer; the time limit is tested only between sends.
VKBTH_API BOOL vkbtWrite(HVKBTLINK link, LPCVOID buffer, DWORD length, LPDWORD written);
// The link's time limit in milliseconds (default 100; 0 is refused with
// ERROR_INVALID_PARAMETER (87)).
VKBTH_API BOOL vkbtSetTimeout(HVKBTLINK link, DWORD milliseconds);
// The time limit in milliseconds; 0 with last error ERROR_INVALID_PARAMETER (87) or
// ERROR_INVALID_HANDLE (6) for a bad handle.
VKBTH_API DWORD vkbtGetTimeout(HVKBTLINK link);
// Gives back one reference on a device record; the last one destroys it. Links opened
// from the record hold references of their own, so it may be given back at any time.
VKBTH_API BOOL vkbtDeviceInfoClose(HVKBTDEVICE device);

// ---- recorder selection -------------------------------------------------------------
// Flags of VKBTSELECTPARAMS.
NX_CONST(DWORD, VKBTSP_RECT_REGISTRY, 0x1);  // window rectangle in HKCU (key path, value name)
NX_CONST(DWORD, VKBTSP_RECT_BUFFER, 0x2);  // window rectangle in the caller's buffer; wins over bit 0
NX_CONST(DWORD, VKBTSP_SERVICE_CLASS, 0x4);  // connect to a service class instead of a channel

// The caller's parameters of vkbtSelectDevice, fields in this order with these integer
// widths (the 32-bit layout is 44 bytes; pointer fields are pointer-sized here).
typedef struct VKBTSELECTPARAMS VKBTSELECTPARAMS;
struct VKBTSELECTPARAMS {
  DWORD dwSize;  // set by the caller; not tested
  DWORD dwFlags;  // VKBTSP_ bits; others are ignored
  HWND hwndParent;  // owner window of the dialog, or null
  LPCWSTR pszNamePrefix;  // only devices whose name begins with it (exact, case-sensitive); null or empty: all
  LPCWSTR pszPasskey;  // answered to pairing requests (cut to 16 characters), or null
  union {
    ULONG ulChannel;  // without VKBTSP_SERVICE_CLASS: the RFCOMM channel of every connection
    GUID guidServiceClass;  // with it: the service to connect to
  };
  union {
    LPCWSTR pszKeyPath;  // VKBTSP_RECT_REGISTRY: key below HKEY_CURRENT_USER
    DWORD cbRect;  // VKBTSP_RECT_BUFFER: the buffer's byte count; only 16 counts; set to 16
  };
  union {
    LPCWSTR pszValueName;  // VKBTSP_RECT_REGISTRY: the REG_BINARY value of 16 bytes
    LPVOID pvRect;  // VKBTSP_RECT_BUFFER: the caller's 16 bytes, or null: allocated with
                    // CoTaskMemAlloc and stored here (the caller frees it)
  };
};
NX_STATIC_ASSERT(offsetof(VKBTSELECTPARAMS, guidServiceClass) == 32 && offsetof(VKBTSELECTPARAMS, cbRect) == 48 &&
              offsetof(VKBTSELECTPARAMS, pvRect) == 56 && sizeof(VKBTSELECTPARAMS) == 64);
// The window rectangle kept between calls: left, top, right, bottom of the dialog's
// outer window in screen coordinates (a RECT, 16 bytes, little-endian).

// Shows the recorder selection dialog over the parent and waits for the user. 1 when a
// recorder was chosen (*device = its record with one reference for the caller), 0 when
// the user cancelled (*device untouched); last error 0 in both cases. 0 with
// ERROR_INVALID_PARAMETER (87) when the parameters cannot be read or *device cannot be
// written, ERROR_INVALID_WINDOW_HANDLE (1400) when the parent is not null and not a
// window (no dialog is shown then), and ERROR_NOT_SUPPORTED (50) when no window can be
// shown at all (no display).
VKBTH_API INT_PTR vkbtSelectDevice(VKBTSELECTPARAMS* params, HVKBTDEVICE* device);
