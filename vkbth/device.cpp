// Device records: building, reference counting, vkbtDeviceInfoClose, and the internal
// entry point that builds a record for tests and tools.
#include "device.h"

#include <algorithm>
#include <atomic>
#include <new>

#include "agent.h"
#include "objects.h"
#include "vkbth/devtools.h"

namespace vkbth {

VKBTDeviceInfo* BuildDeviceInfo(const BLUETOOTH_DEVICE_INFO& info, const GUID* serviceClass, ULONG channel,
                                LPCWSTR passkey) {
  auto* device = new (std::nothrow) VKBTDeviceInfo{};  // every field zero
  if (!device) return nullptr;
  device->tag = kDeviceTag;
  device->info = info;
  device->address.addressFamily = AF_BTH;
  device->address.btAddr = info.Address.ullLong;
  if (serviceClass) {
    device->address.serviceClassId = *serviceClass;
    device->address.port = 0;
  } else {
    device->address.serviceClassId = GUID_NULL;
    device->address.port = channel;
  }
  try {
    RegisterObject(device, ObjectKind::Device);
    if (passkey) {
      for (int i = 0; i < kPasskeyChars && passkey[i]; ++i) device->passkey[i] = passkey[i];
      // The pairing agent answers for this device with the record's passkey from now on.
      device->registration = bluez::RegisterPasskey(device->address.btAddr, device->passkey);
    }
  } catch (const std::bad_alloc&) {
    UnregisterObject(device);
    delete device;
    return nullptr;
  }
  return device;
}

void AddRefDevice(VKBTDeviceInfo* device) { std::atomic_ref<LONG>(device->refs).fetch_add(1); }

void ReleaseDevice(VKBTDeviceInfo* device) {
  if (!IsLiveObject(device, ObjectKind::Device)) return;
  if (std::atomic_ref<LONG>(device->refs).fetch_sub(1) != 1) return;
  if (device->registration) bluez::UnregisterPasskey(device->registration);
  UnregisterObject(device);
  delete device;
}

VKBTDeviceInfo* FindDevice(const void* handle) {
  if (!IsLiveObject(handle, ObjectKind::Device)) return nullptr;
  auto* device = static_cast<VKBTDeviceInfo*>(const_cast<void*>(handle));
  return device->tag == kDeviceTag ? device : nullptr;
}

}  // namespace vkbth

using namespace vkbth;

BOOL vkbtDeviceInfoClose(HVKBTDEVICE handle) {
  DWORD error = ERROR_SUCCESS;
  VKBTDeviceInfo* device = nullptr;
  if (!ReadableHandle(handle, sizeof(VKBTDeviceInfo))) error = ERROR_INVALID_PARAMETER;
  else if (!(device = FindDevice(handle))) error = ERROR_INVALID_HANDLE;
  else ReleaseDevice(device);
  SetLastError(error);
  return error == ERROR_SUCCESS;
}

BOOL NxBtCreateDeviceInfo(ULONGLONG address, LPCWSTR name, const GUID* serviceClass, ULONG channel,
                          LPCWSTR passkey, HVKBTDEVICE* out) {
  if (!out) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  BLUETOOTH_DEVICE_INFO info{};
  info.dwSize = sizeof(info);
  info.Address.ullLong = address & 0xFFFFFFFFFFFFull;
  info.fRemembered = TRUE;
  for (int i = 0; name && i < BLUETOOTH_MAX_NAME_SIZE - 1 && name[i]; ++i) info.szName[i] = name[i];
  VKBTDeviceInfo* device = BuildDeviceInfo(info, serviceClass, channel, passkey);
  if (!device) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  AddRefDevice(device);
  *out = device;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
