// Win32 error codes and HRESULTs with their real values, and the per-thread last error.
// errno never stands in for these: every layer function reports through SetLastError.
#pragma once

#include "export.h"
#include "types.h"

// ---- Win32 error codes -------------------------------------------------------
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD NO_ERROR = 0;
inline constexpr DWORD ERROR_INVALID_FUNCTION = 1;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_BAD_FORMAT = 11;
inline constexpr DWORD ERROR_INVALID_ACCESS = 12;
inline constexpr DWORD ERROR_INVALID_DATA = 13;
inline constexpr DWORD ERROR_OUTOFMEMORY = 14;
inline constexpr DWORD ERROR_INVALID_DRIVE = 15;
inline constexpr DWORD ERROR_NO_MORE_FILES = 18;
inline constexpr DWORD ERROR_WRITE_PROTECT = 19;
inline constexpr DWORD ERROR_NOT_READY = 21;
inline constexpr DWORD ERROR_CRC = 23;
inline constexpr DWORD ERROR_BAD_LENGTH = 24;
inline constexpr DWORD ERROR_SEEK = 25;
inline constexpr DWORD ERROR_SECTOR_NOT_FOUND = 27;
inline constexpr DWORD ERROR_WRITE_FAULT = 29;
inline constexpr DWORD ERROR_READ_FAULT = 30;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_SHARING_VIOLATION = 32;
inline constexpr DWORD ERROR_LOCK_VIOLATION = 33;
inline constexpr DWORD ERROR_HANDLE_EOF = 38;
inline constexpr DWORD ERROR_HANDLE_DISK_FULL = 39;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_DEV_NOT_EXIST = 55;
inline constexpr DWORD ERROR_FILE_EXISTS = 80;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_BROKEN_PIPE = 109;
inline constexpr DWORD ERROR_OPEN_FAILED = 110;
inline constexpr DWORD ERROR_BUFFER_OVERFLOW = 111;
inline constexpr DWORD ERROR_DISK_FULL = 112;
inline constexpr DWORD ERROR_CALL_NOT_IMPLEMENTED = 120;
inline constexpr DWORD ERROR_SEM_TIMEOUT = 121;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_INVALID_NAME = 123;
inline constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
inline constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
inline constexpr DWORD ERROR_NEGATIVE_SEEK = 131;
inline constexpr DWORD ERROR_DIR_NOT_EMPTY = 145;
inline constexpr DWORD ERROR_BAD_PATHNAME = 161;
inline constexpr DWORD ERROR_BUSY = 170;
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;
inline constexpr DWORD ERROR_ENVVAR_NOT_FOUND = 203;
inline constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr DWORD ERROR_BAD_PIPE = 230;
inline constexpr DWORD ERROR_PIPE_BUSY = 231;
inline constexpr DWORD ERROR_NO_DATA = 232;
inline constexpr DWORD ERROR_PIPE_NOT_CONNECTED = 233;
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
inline constexpr DWORD ERROR_NOT_OWNER = 288;
inline constexpr DWORD ERROR_TOO_MANY_POSTS = 298;
inline constexpr DWORD ERROR_INVALID_ADDRESS = 487;
inline constexpr DWORD ERROR_PIPE_CONNECTED = 535;
inline constexpr DWORD ERROR_PIPE_LISTENING = 536;
inline constexpr DWORD ERROR_OPERATION_ABORTED = 995;
inline constexpr DWORD ERROR_IO_INCOMPLETE = 996;
inline constexpr DWORD ERROR_IO_PENDING = 997;
inline constexpr DWORD ERROR_NOACCESS = 998;
inline constexpr DWORD ERROR_INVALID_FLAGS = 1004;
inline constexpr DWORD ERROR_UNRECOGNIZED_VOLUME = 1005;
inline constexpr DWORD ERROR_FILE_INVALID = 1006;
inline constexpr DWORD ERROR_CANTOPEN = 1011;
inline constexpr DWORD ERROR_CANTREAD = 1012;
inline constexpr DWORD ERROR_CANTWRITE = 1013;
inline constexpr DWORD ERROR_REGISTRY_CORRUPT = 1015;
inline constexpr DWORD ERROR_REGISTRY_IO_FAILED = 1016;
inline constexpr DWORD ERROR_KEY_DELETED = 1018;
inline constexpr DWORD ERROR_CHILD_MUST_BE_VOLATILE = 1021;
inline constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;
inline constexpr DWORD ERROR_DLL_INIT_FAILED = 1114;
inline constexpr DWORD ERROR_POSSIBLE_DEADLOCK = 1131;
inline constexpr DWORD ERROR_MAPPED_ALIGNMENT = 1132;
inline constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
inline constexpr DWORD ERROR_NOT_FOUND = 1168;
inline constexpr DWORD ERROR_NOT_AUTHENTICATED = 1244;
inline constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
inline constexpr DWORD ERROR_INVALID_MENU_HANDLE = 1401;
inline constexpr DWORD ERROR_INVALID_ICON_HANDLE = 1402;
inline constexpr DWORD ERROR_MENU_ITEM_NOT_FOUND = 1456;
inline constexpr DWORD ERROR_TIMEOUT = 1460;
inline constexpr DWORD ERROR_RESOURCE_DATA_NOT_FOUND = 1812;
inline constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
inline constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;
inline constexpr DWORD ERROR_NOT_CONNECTED = 2250;

// Windows Sockets codes the link layer passes through.
inline constexpr DWORD WSAEINTR = 10004;
inline constexpr DWORD WSAEBADF = 10009;
inline constexpr DWORD WSAEACCES = 10013;
inline constexpr DWORD WSAEFAULT = 10014;
inline constexpr DWORD WSAEINVAL = 10022;
inline constexpr DWORD WSAEMFILE = 10024;
inline constexpr DWORD WSAEWOULDBLOCK = 10035;
inline constexpr DWORD WSAEINPROGRESS = 10036;
inline constexpr DWORD WSAEALREADY = 10037;
inline constexpr DWORD WSAENOTSOCK = 10038;
inline constexpr DWORD WSAEPROTONOSUPPORT = 10043;
inline constexpr DWORD WSAESOCKTNOSUPPORT = 10044;
inline constexpr DWORD WSAEOPNOTSUPP = 10045;
inline constexpr DWORD WSAEAFNOSUPPORT = 10047;
inline constexpr DWORD WSAEADDRINUSE = 10048;
inline constexpr DWORD WSAEADDRNOTAVAIL = 10049;
inline constexpr DWORD WSAENETDOWN = 10050;
inline constexpr DWORD WSAENETUNREACH = 10051;
inline constexpr DWORD WSAENETRESET = 10052;
inline constexpr DWORD WSAECONNABORTED = 10053;
inline constexpr DWORD WSAECONNRESET = 10054;
inline constexpr DWORD WSAENOBUFS = 10055;
inline constexpr DWORD WSAEISCONN = 10056;
inline constexpr DWORD WSAENOTCONN = 10057;
inline constexpr DWORD WSAESHUTDOWN = 10058;
inline constexpr DWORD WSAETIMEDOUT = 10060;
inline constexpr DWORD WSAECONNREFUSED = 10061;
inline constexpr DWORD WSAENAMETOOLONG = 10063;
inline constexpr DWORD WSAEHOSTDOWN = 10064;
inline constexpr DWORD WSAEHOSTUNREACH = 10065;
inline constexpr DWORD WSANOTINITIALISED = 10093;
inline constexpr DWORD WSASERVICE_NOT_FOUND = 10108;

// ---- HRESULTs ----------------------------------------------------------------
inline constexpr LONG FACILITY_NULL = 0;
inline constexpr LONG FACILITY_ITF = 4;
inline constexpr LONG FACILITY_WIN32 = 7;

inline constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
inline constexpr bool FAILED(HRESULT hr) { return hr < 0; }
inline constexpr LONG HRESULT_CODE(HRESULT hr) { return hr & 0xFFFF; }
inline constexpr LONG HRESULT_FACILITY(HRESULT hr) { return (hr >> 16) & 0x1FFF; }
inline constexpr LONG HRESULT_SEVERITY(HRESULT hr) { return (hr >> 31) & 1; }

// A code above 0 becomes the Win32-facility failure with the code's low 16 bits;
// 0 and negative values (already HRESULTs) pass unchanged.
inline constexpr HRESULT HRESULT_FROM_WIN32(DWORD code) {
  return static_cast<HRESULT>(code) <= 0
             ? static_cast<HRESULT>(code)
             : static_cast<HRESULT>((code & 0x0000FFFFu) | (static_cast<DWORD>(FACILITY_WIN32) << 16) | 0x80000000u);
}

inline constexpr HRESULT MAKE_HRESULT(DWORD sev, DWORD fac, DWORD code) {
  return static_cast<HRESULT>((sev << 31) | (fac << 16) | code);
}

#define NX_HR(v) (static_cast<HRESULT>(static_cast<DWORD>(v)))
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT NOERROR = 0;
inline constexpr HRESULT E_NOTIMPL = NX_HR(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = NX_HR(0x80004002);
inline constexpr HRESULT E_POINTER = NX_HR(0x80004003);
inline constexpr HRESULT E_ABORT = NX_HR(0x80004004);
inline constexpr HRESULT E_FAIL = NX_HR(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = NX_HR(0x8000FFFF);
inline constexpr HRESULT DISP_E_BADVARTYPE = NX_HR(0x80020008);
inline constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = NX_HR(0x8002802B);
inline constexpr HRESULT STG_E_INVALIDPARAMETER = NX_HR(0x80030057);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = NX_HR(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = NX_HR(0x80040111);
inline constexpr HRESULT REGDB_E_READREGDB = NX_HR(0x80040150);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = NX_HR(0x80040154);
inline constexpr HRESULT CO_E_NOTINITIALIZED = NX_HR(0x800401F0);
inline constexpr HRESULT CO_E_CLASSSTRING = NX_HR(0x800401F3);
inline constexpr HRESULT CO_E_DLLNOTFOUND = NX_HR(0x800401F8);
inline constexpr HRESULT CO_E_ERRORINDLL = NX_HR(0x800401F9);
inline constexpr HRESULT E_ACCESSDENIED = NX_HR(0x80070005);
inline constexpr HRESULT E_HANDLE = NX_HR(0x80070006);
inline constexpr HRESULT E_OUTOFMEMORY = NX_HR(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = NX_HR(0x80070057);
#undef NX_HR

// ---- last error ----------------------------------------------------------------
// One value per thread, as on Windows.
NXPAL_API DWORD GetLastError();
NXPAL_API void SetLastError(DWORD code);
