// Device records: the reference-counted description of one recorder that links are
// opened from (its Bluetooth socket address, passkey and discovery information).
#pragma once

#include "nxpal/windows.h"
#include "winbth.h"

namespace vkbth {

// {A58D7327-5B09-44E5-B65B-BB1B7F2CDCD7}
inline constexpr GUID kDeviceTag = nx::Guid("A58D7327-5B09-44E5-B65B-BB1B7F2CDCD7");

inline constexpr int kPasskeyChars = 16;

struct VKBTDeviceInfo {
  GUID tag;  // kDeviceTag
  LONG refs;  // holders: the caller, each link opened from it, the selection list
  HWND listWindow;  // the selection dialog's list that shows the record, or null
  WCHAR passkey[kPasskeyChars + 1];  // answered to pairing requests; zero-terminated
  HBLUETOOTH_AUTHENTICATION_REGISTRATION registration;  // pairing callback, or null
  SOCKADDR_BTH address;  // where links connect to
  BLUETOOTH_DEVICE_INFO info;  // the device as discovery described it
};

// Builds a record with reference count 0 from discovery's description: the socket
// address is the device's Bluetooth address with either a service class id (port 0)
// or, with serviceClass null, the RFCOMM channel. passkey may be null; longer ones are
// cut to 16 characters. Null when there is no memory.
VKBTDeviceInfo* BuildDeviceInfo(const BLUETOOTH_DEVICE_INFO& info, const GUID* serviceClass, ULONG channel,
                                LPCWSTR passkey);
void AddRefDevice(VKBTDeviceInfo* device);
// Destroys the record when the count reaches 0. A record that is no longer live (given
// back too often by a caller) is left alone.
void ReleaseDevice(VKBTDeviceInfo* device);
// The record behind a handle when it is a live device record with its tag, else null.
VKBTDeviceInfo* FindDevice(const void* handle);

}  // namespace vkbth
