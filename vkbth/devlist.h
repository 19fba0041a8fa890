// The devices this computer already knows, for the selection dialog: the virtual
// transport's devices when NX_BT_DIR is set, else the devices BlueZ knows (read over
// the system D-Bus, without inquiry or discovery).
#pragma once

#include <QObject>

#include <functional>
#include <vector>

#include "winbth.h"

namespace vkbth {

// Why a list is empty although nothing failed in the caller's terms.
enum class ListTrouble {
  None,
  BluetoothOff,  // every adapter is switched off
  NoAdapter,  // BlueZ runs but has no adapter
  NoService,  // no system bus or no bluetoothd on it
  NoPermission,  // the bus refused the request
};

struct DeviceList {
  std::vector<BLUETOOTH_DEVICE_INFO> devices;  // sorted by address
  ListTrouble trouble = ListTrouble::None;
};

// Lists the known devices and hands the list to done on context's thread (at once for
// the virtual transport; when BlueZ answers otherwise, never blocking the caller's
// thread). done is not called when context is destroyed first.
void ListKnownDevices(QObject* context, std::function<void(DeviceList)> done);

// The virtual transport's devices in dir: each "<address>.name" file is a known device
// whose name is the file's first line (UTF-8).
DeviceList ListVirtualDevices(const std::string& dir);

}  // namespace vkbth
