// The Win32 registry: two hives (local machine, current user), each one SQLite file.
// Functions return Win32 codes as LONG and never touch the last error.
#pragma once

#include "errors.h"
#include "export.h"
#include "types.h"

typedef LONG LSTATUS;

// Predefined keys, with the Windows values (sign-extended to pointer width as on Win64).
// HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\Software\Classes here (no per-user classes).
#ifdef __cplusplus
#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000000))))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000001))))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000002))))
#else
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)(LONG)0x80000000)
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)(LONG)0x80000001)
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)(LONG)0x80000002)
#endif

// Value types.
NX_CONST(DWORD, REG_NONE, 0);
NX_CONST(DWORD, REG_SZ, 1);
NX_CONST(DWORD, REG_EXPAND_SZ, 2);
NX_CONST(DWORD, REG_BINARY, 3);
NX_CONST(DWORD, REG_DWORD, 4);
NX_CONST(DWORD, REG_DWORD_LITTLE_ENDIAN, 4);
NX_CONST(DWORD, REG_DWORD_BIG_ENDIAN, 5);
NX_CONST(DWORD, REG_LINK, 6);
NX_CONST(DWORD, REG_MULTI_SZ, 7);
NX_CONST(DWORD, REG_RESOURCE_LIST, 8);
NX_CONST(DWORD, REG_FULL_RESOURCE_DESCRIPTOR, 9);
NX_CONST(DWORD, REG_RESOURCE_REQUIREMENTS_LIST, 10);
NX_CONST(DWORD, REG_QWORD, 11);
NX_CONST(DWORD, REG_QWORD_LITTLE_ENDIAN, 11);

// Access rights of key handles. A handle may set values only with KEY_SET_VALUE and
// create subkeys only with KEY_CREATE_SUB_KEY; opening for writing in a hive the
// user cannot write fails with ERROR_ACCESS_DENIED, as for a non-administrator on Windows.
NX_CONST(REGSAM, KEY_QUERY_VALUE, 0x0001);
NX_CONST(REGSAM, KEY_SET_VALUE, 0x0002);
NX_CONST(REGSAM, KEY_CREATE_SUB_KEY, 0x0004);
NX_CONST(REGSAM, KEY_ENUMERATE_SUB_KEYS, 0x0008);
NX_CONST(REGSAM, KEY_NOTIFY, 0x0010);
NX_CONST(REGSAM, KEY_CREATE_LINK, 0x0020);
NX_CONST(REGSAM, KEY_WOW64_64KEY, 0x0100);
NX_CONST(REGSAM, KEY_WOW64_32KEY, 0x0200);
NX_CONST(REGSAM, KEY_WOW64_RES, 0x0300);
// (STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY)
NX_CONST(REGSAM, KEY_READ, 0x00020019);
NX_CONST(REGSAM, KEY_EXECUTE, 0x00020019);
// (STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY)
NX_CONST(REGSAM, KEY_WRITE, 0x00020006);
// (STANDARD_RIGHTS_ALL | all KEY_* rights) without SYNCHRONIZE
NX_CONST(REGSAM, KEY_ALL_ACCESS, 0x000F003F);

// Options of RegCreateKeyEx / RegOpenKeyEx. Every key here is non-volatile.
NX_CONST(DWORD, REG_OPTION_RESERVED, 0x0);
NX_CONST(DWORD, REG_OPTION_NON_VOLATILE, 0x0);
NX_CONST(DWORD, REG_OPTION_VOLATILE, 0x1);
NX_CONST(DWORD, REG_OPTION_CREATE_LINK, 0x2);
NX_CONST(DWORD, REG_OPTION_BACKUP_RESTORE, 0x4);
NX_CONST(DWORD, REG_OPTION_OPEN_LINK, 0x8);

// Dispositions reported by RegCreateKeyEx.
NX_CONST(DWORD, REG_CREATED_NEW_KEY, 0x1);
NX_CONST(DWORD, REG_OPENED_EXISTING_KEY, 0x2);

// Results, as on Windows: 0 success; ERROR_FILE_NOT_FOUND (2) key or value missing;
// ERROR_ACCESS_DENIED (5) access denied (hive not writable for this user, or the handle
// lacks the right); ERROR_INVALID_HANDLE (6) unknown or closed handle;
// ERROR_INVALID_PARAMETER (87) bad arguments; ERROR_MORE_DATA (234) buffer too small (the
// needed size is written where Windows writes it); ERROR_NO_MORE_ITEMS (259) enumeration
// index past the end; ERROR_KEY_DELETED (1018) the handle's key was deleted. The A forms
// take and give UTF-8; string data (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) is stored as
// UTF-16 and converted both ways, sizes counted in UTF-8 bytes.
NXPAL_API LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
NXPAL_API LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);

NXPAL_API LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                                  REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                  PHKEY phkResult, LPDWORD lpdwDisposition);
NXPAL_API LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                                  REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                  PHKEY phkResult, LPDWORD lpdwDisposition);

NXPAL_API LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                                 DWORD cbData);
NXPAL_API LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                                 DWORD cbData);

NXPAL_API LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                   LPBYTE lpData, LPDWORD lpcbData);
NXPAL_API LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                   LPBYTE lpData, LPDWORD lpcbData);

NXPAL_API LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                                LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);
NXPAL_API LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                                LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);

NXPAL_API LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                                LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
NXPAL_API LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                                LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);

NXPAL_API LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                   LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                   LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                   LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime);
NXPAL_API LSTATUS RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                   LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                   LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                   LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime);

// A key that still has subkeys is not deleted (ERROR_ACCESS_DENIED).
NXPAL_API LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
NXPAL_API LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);

NXPAL_API LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
NXPAL_API LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);

// Closing a predefined key succeeds and does nothing.
NXPAL_API LSTATUS RegCloseKey(HKEY hKey);

// The layer's own: a read scope. Between NxRegBeginRead and the matching NxRegEndRead,
// this thread's reads of the hive behind hKey see one snapshot and share one transaction
// instead of one each, which is what makes a walk over many keys cheap. The scope holds
// the hive for this process (other threads wait for it) and the file's read lock (other
// processes' changes wait, up to the busy timeout): keep it short, and never wait inside
// it for anything else that uses the registry. A change made on this thread inside the
// scope ends its snapshot; the next read takes a new one. Scopes on one hive nest;
// NxRegBeginRead gives ERROR_BUSY while this thread holds one on the other hive. Call
// NxRegEndRead only after a successful NxRegBeginRead.
NXPAL_API LSTATUS NxRegBeginRead(HKEY hKey);
NXPAL_API void NxRegEndRead(void);
