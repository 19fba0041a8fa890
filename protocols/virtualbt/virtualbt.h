// The virtual Bluetooth transport's naming, shared by the link library and the virtual
// recorder: device addresses as text, and the folder of device sockets (NX_BT_DIR).
//
// Layout of NX_BT_DIR: for a device with address 00:80:25:12:34:56,
//   "00:80:25:12:34:56"       Unix stream socket: the device is switched on and in range;
//                             a connection to it is the device's serial channel
//   "00:80:25:12:34:56.name"  the device's name, UTF-8, one line: the device is known to
//                             this computer (stays when the device is switched off)
#pragma once

#include <string>
#include <string_view>

#include "nxpal/types.h"

namespace vkbth {

// "00:80:25:12:34:56": six upper-case hex pairs, most significant byte first (the
// address's bits 47-40). Bits above 47 are ignored.
std::string BtAddressText(ULONGLONG address);
// Accepts six hex pairs separated by ':' (either case). False on any other text.
bool ParseBtAddress(std::string_view text, ULONGLONG* address);

// The folder of the virtual transport: NX_BT_DIR, or empty when it is not set or empty
// (then links use RFCOMM).
std::string VirtualBtDir();
std::string VirtualSocketPath(const std::string& dir, ULONGLONG address);
std::string VirtualNamePath(const std::string& dir, ULONGLONG address);

}  // namespace vkbth
