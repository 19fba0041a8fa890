// The maker's outside runtime functions that vkrt and the card initializer call
// (our stand-in library: only the effects its callers rely on).
#pragma once

#include "nxpal/windows.h"

// Writes "<prefix>\{GUID}" (registry form, 38 characters) terminated into out. Non-zero
// on success; 0 (last error ERROR_INVALID_PARAMETER (87)) for a null prefix, GUID or
// buffer, or when the buffer of cch characters cannot hold the text and its terminator.
// The second argument is reserved and ignored.
NXPAL_API BOOL nxFileNameFromGUIDA(LPCSTR prefix, LPCSTR reserved, const GUID* guid, LPSTR out, DWORD cch);
NXPAL_API BOOL nxFileNameFromGUIDW(LPCWSTR prefix, LPCWSTR reserved, const GUID* guid, LPWSTR out, DWORD cch);

// Removes the subkey `name` of `key` with everything below it. Returns the number of
// subkeys `key` still has: 0 tells the caller it may delete `key` itself. When that
// number cannot be read the result is non-zero, so the caller keeps the key.
NXPAL_API DWORD nxRegCleanupKeyW(HKEY key, LPCWSTR name);

// Enters the critical section, waiting as long as needed. With NX_DEADLOCK_REPORT_MS
// set, a wait longer than that many milliseconds is reported once on stderr (the
// owner's thread id) before the wait goes on.
NXPAL_API void nxDebugCriticalSectionDeadLock(LPCRITICAL_SECTION cs);

// Shows a modal error message for a failing HRESULT (Win32 codes included) with the
// caption loaded from string `captionId` of `module`; returns the button id.
NXPAL_API int nxErrMsgW(HWND owner, HMODULE module, UINT captionId, DWORD reserved, HRESULT hr, UINT style);
