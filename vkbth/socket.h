// The Windows Sockets subset the links use, with Windows semantics and error codes,
// over two transports: RFCOMM (BlueZ) and the virtual transport of virtualbt.h, which
// takes over when NX_BT_DIR is set. Failures return SOCKET_ERROR (INVALID_SOCKET from
// socket) and set the socket layer's code as the thread's last error, as
// WSAGetLastError reads it on Windows.
//
// Sockets behave as blocking ones, but every wait is the platform layer's abortable
// one (NxPoll, NxSleep): on a worker thread whose end is requested a waiting call fails
// with ERROR_OPERATION_ABORTED (995) instead of blocking on.
#pragma once

#include "winbth.h"

namespace vkbth::ws {

// af AF_BTH, type 1 (stream), protocol BTHPROTO_RFCOMM; anything else is refused with
// the Windows code for it.
SOCKET socket(int af, int type, int protocol);
// Connects to the device's serial channel: with a null service class id the port is
// the RFCOMM channel; with a service class id and port 0 the channel is found by a
// service discovery query (channel 1 when none answers). The virtual transport ignores
// the port and connects to the device's socket in NX_BT_DIR.
int connect(SOCKET s, const SOCKADDR_BTH* name, int namelen);
// FIONREAD only: the number of bytes that a recv can take at once.
int ioctlsocket(SOCKET s, long cmd, ULONG* argp);
// Blocks until at least one byte is there (or the peer has closed: 0).
int recv(SOCKET s, char* buf, int len, int flags);
// Blocks until the whole buffer is sent; a failure after some bytes returns their count
// (the next call reports the failure). Never raises SIGPIPE.
int send(SOCKET s, const char* buf, int len, int flags);
int shutdown(SOCKET s, int how);
// Whether the connection has ended with nothing left to read: the peer closed or reset
// it, or the adapter dropped it. Returns at once. 0 while it is alive (quiet or not);
// otherwise the code a receive would meet: the socket's own error (WSAECONNRESET,
// WSAETIMEDOUT, WSAEHOSTDOWN, ...), or WSAECONNRESET for a peer that closed its end.
DWORD ConnectionLost(SOCKET s);
int closesocket(SOCKET s);

inline DWORD WSAGetLastError() { return GetLastError(); }

// The Windows Sockets code for an errno value of a failed socket call.
DWORD WsaFromErrno(int err);

// RFCOMM channel offered for a service class by the device, or 0 when the device does
// not answer or offers none. Waits abortably (at most about 10 s).
ULONG FindRfcommChannel(BTH_ADDR address, const GUID& serviceClass);

}  // namespace vkbth::ws
