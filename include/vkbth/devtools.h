// Internal entry point of the link library for tests and tools (not part of its
// interface for programs): builds a device record without the selection dialog, for
// a recorder the caller names by its Bluetooth address.
#pragma once

#include "vkbth.h"

// Builds a device record and hands it out with one reference for the caller (give it back
// with vkbtDeviceInfoClose). address: the Bluetooth address (bits 47-0); name: the device
// name (may be null); serviceClass: the service to connect to, or null to use channel as
// the RFCOMM channel; passkey: may be null. FALSE with ERROR_INVALID_PARAMETER (87) for a
// null out pointer, ERROR_NOT_ENOUGH_MEMORY (8) without memory.
VKBTH_API BOOL NxBtCreateDeviceInfo(ULONGLONG address, LPCWSTR name, const GUID* serviceClass, ULONG channel,
                                    LPCWSTR passkey, HVKBTDEVICE* device);
