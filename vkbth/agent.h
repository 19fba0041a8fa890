// Pairing with the caller's passkey, the Linux way: one org.bluez.Agent1 object of this
// process on the system bus (never the default agent) answers BlueZ's PIN and passkey
// requests for the devices that have a passkey registered, and a link to an unpaired
// device with a passkey pairs it from this process before RFCOMM connects.
#pragma once

#include "winbth.h"

namespace vkbth::bluez {

// Registers the passkey for the device (one registration per device record); the
// handle is never null. The first registration outside the virtual transport puts the
// agent on the bus, on a thread of its own.
HBLUETOOTH_AUTHENTICATION_REGISTRATION RegisterPasskey(BTH_ADDR address, const WCHAR* passkey);
void UnregisterPasskey(HBLUETOOTH_AUTHENTICATION_REGISTRATION registration);
// The passkey registered last for the device, or empty.
std::u16string PasskeyFor(BTH_ADDR address);

// Before an RFCOMM connect: when a passkey is registered for the device and BlueZ knows
// it unpaired, asks BlueZ to pair it and waits (abortably) for the result. ERROR_SUCCESS
// also when there was nothing to do (virtual transport, no passkey, no bluetoothd: the
// connect then fails on its own); ERROR_NOT_AUTHENTICATED when the pairing was refused or
// failed; ERROR_OPERATION_ABORTED (995) when the calling thread is being ended.
DWORD PairIfNeeded(BTH_ADDR address);

}  // namespace vkbth::bluez
