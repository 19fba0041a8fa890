// The Windows Sockets and Bluetooth records of the link library, with their Windows
// numbers and layouts: Bluetooth socket addresses and the device information that the
// platform's discovery returns.
#pragma once

#include <cstddef>

#include "nxpal/windows.h"

// SYSTEMTIME, the calendar time of the discovery records, comes from the platform.

// A Bluetooth device address: the 48-bit address in the low bits, most significant
// byte of the text form ("00:80:25:12:34:56") in bits 47-40.
using BTH_ADDR = ULONGLONG;

inline constexpr USHORT AF_BTH = 32;
inline constexpr int BTHPROTO_RFCOMM = 3;
inline constexpr int NX_SOCK_STREAM = 1;  // SOCK_STREAM, the same number on both systems

// Socket handles: the descriptor number, or INVALID_SOCKET.
using SOCKET = UINT_PTR;
inline constexpr SOCKET INVALID_SOCKET = ~static_cast<SOCKET>(0);
inline constexpr int SOCKET_ERROR = -1;
inline constexpr int SD_BOTH = 2;

// The Bluetooth socket address, packed to 30 bytes as on Windows.
#pragma pack(push, 1)
struct SOCKADDR_BTH {
  USHORT addressFamily;  // AF_BTH
  BTH_ADDR btAddr;  // the device's address
  GUID serviceClassId;  // service to connect to, or GUID_NULL when port is a channel
  ULONG port;  // RFCOMM channel (1-30), or 0 with a service class id
};
#pragma pack(pop)
static_assert(sizeof(SOCKADDR_BTH) == 30);
static_assert(offsetof(SOCKADDR_BTH, btAddr) == 2 && offsetof(SOCKADDR_BTH, serviceClassId) == 10 &&
              offsetof(SOCKADDR_BTH, port) == 26);

union BLUETOOTH_ADDRESS {
  BTH_ADDR ullLong;
  BYTE rgBytes[6];  // least significant byte first
};

inline constexpr int BLUETOOTH_MAX_NAME_SIZE = 248;

// One device as the platform's discovery describes it (560 bytes, natural alignment).
struct BLUETOOTH_DEVICE_INFO {
  DWORD dwSize;  // sizeof(BLUETOOTH_DEVICE_INFO)
  BLUETOOTH_ADDRESS Address;
  ULONG ulClassofDevice;
  BOOL fConnected;
  BOOL fRemembered;
  BOOL fAuthenticated;
  SYSTEMTIME stLastSeen;
  SYSTEMTIME stLastUsed;
  WCHAR szName[BLUETOOTH_MAX_NAME_SIZE];  // zero-terminated UTF-16
};
static_assert(sizeof(BLUETOOTH_DEVICE_INFO) == 560);
static_assert(offsetof(BLUETOOTH_DEVICE_INFO, Address) == 8 && offsetof(BLUETOOTH_DEVICE_INFO, szName) == 64);

// The platform's registration of an authentication callback for one device.
using HBLUETOOTH_AUTHENTICATION_REGISTRATION = HANDLE;
