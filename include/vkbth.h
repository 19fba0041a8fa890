// Public header of the Bluetooth link library vkbth: byte-stream links to recorders
// opened from device records, with a per-link time limit for reads and writes.
#pragma once

#include "nxpal/windows.h"

// Functions of vkbth: C linkage, exported by name.
#define VKBTH_API NX_EXTERN_C NX_EXPORT

// Both handles are addresses of objects of the library, opaque to callers. Each object
// begins with a 16-byte type tag that every function checks before using it.
using HVKBTDEVICE = void*;  // a device record (VKBTDeviceInfo), reference-counted
using HVKBTLINK = void*;  // an open link (VKBTLink), reference-counted

// Every function sets the calling thread's last error on every path (0 on success):
// 87 for a null or unreadable handle, a null buffer or out pointer (a write's buffer
// must also be readable), a zero length or a zero time limit; 6 for a handle that is
// not a live object of the expected type (a stale handle is refused without being
// read); 8 when no memory is left; otherwise the socket layer's code (WSAE...,
// errors.h), passed through. Arguments are checked before the handle's type.

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
// The link's time limit in milliseconds (default 100; 0 is refused with 87).
VKBTH_API BOOL vkbtSetTimeout(HVKBTLINK link, DWORD milliseconds);
// The time limit in milliseconds; 0 with last error 87 or 6 for a bad handle.
VKBTH_API DWORD vkbtGetTimeout(HVKBTLINK link);
// Gives back one reference on a device record; the last one destroys it. Links opened
// from the record hold references of their own, so it may be given back at any time.
VKBTH_API BOOL vkbtDeviceInfoClose(HVKBTDEVICE device);
