// Links and the exported link functions: open (shared per device record), close, read
// with the polling time limit, write, and the time limit itself.
#include "link.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <sys/ioctl.h>

#include "agent.h"
#include "objects.h"
#include "socket.h"
#include "vkbth.h"

namespace vkbth {
namespace {

constexpr DWORD kPollSleepMs = 20;  // pause of a read that finds nothing waiting
constexpr ULONGLONG k100nsPerMs = 10'000;

// One connection attempt; the socket stays in the link even when the connect failed.
void AttemptConnection(VKBTLink* link) {
  link->socket = ws::socket(AF_BTH, NX_SOCK_STREAM, BTHPROTO_RFCOMM);
  if (link->socket == INVALID_SOCKET) {
    link->connectError = ws::WSAGetLastError();
    return;
  }
  bool connected = ws::connect(link->socket, &link->device->address, sizeof(SOCKADDR_BTH)) != SOCKET_ERROR;
  link->connectError = connected ? ERROR_SUCCESS : ws::WSAGetLastError();
}

// The link behind a handle when it is a live link with its tag, else null.
VKBTLink* FindLink(const void* handle) {
  if (!IsLiveObject(handle, ObjectKind::Link)) return nullptr;
  auto* link = static_cast<VKBTLink*>(const_cast<void*>(handle));
  return link->tag == kLinkTag ? link : nullptr;
}

// Time base of the read and write limits. The monotonic clock, so that a change of
// the wall clock neither cuts a read short nor stretches it.
ULONGLONG Now100ns() { return NxMonotonicTime100ns(); }

// Hands out held bytes, at most wanted; how many.
DWORD TakeHeld(VKBTLink* link, BYTE* buffer, DWORD wanted) {
  const DWORD take = std::min(wanted, link->heldEnd - link->heldStart);
  std::memcpy(buffer, link->held + link->heldStart, take);
  link->heldStart += take;
  return take;
}

DWORD ReadLink(VKBTLink* link, BYTE* buffer, DWORD length, LPDWORD count) {
  *count = 0;
  const ULONGLONG start = Now100ns();
  DWORD wanted = length;
  DWORD error = ERROR_SUCCESS;
  for (;;) {
    ULONG waiting = 0;
    if (link->heldStart < link->heldEnd) {
      const DWORD took = TakeHeld(link, buffer, wanted);
      *count += took;
      buffer += took;
      wanted -= took;
    } else if (ws::ioctlsocket(link->socket, FIONREAD, &waiting) == SOCKET_ERROR) {
      error = ws::WSAGetLastError();
    } else if (waiting > 0) {
      // Only bytes already there are asked for, so the receive does not wait. When more
      // wait than the caller wants, the link takes them all (up to its buffer) and hands
      // out the rest on later reads.
      const bool hold = waiting > wanted && wanted < sizeof link->held;
      char* into = hold ? reinterpret_cast<char*>(link->held) : reinterpret_cast<char*>(buffer);
      const ULONGLONG room = hold ? sizeof link->held : wanted;
      int take = static_cast<int>(std::min<ULONGLONG>({waiting, room, INT_MAX}));
      int got = ws::recv(link->socket, into, take, 0);
      if (got == SOCKET_ERROR) {
        error = ws::WSAGetLastError();
      } else if (hold) {
        link->heldStart = 0;
        link->heldEnd = static_cast<DWORD>(got);
        const DWORD took = TakeHeld(link, buffer, wanted);
        *count += took;
        buffer += took;
        wanted -= took;
      } else {
        *count += static_cast<DWORD>(got);
        buffer += got;
        wanted -= static_cast<DWORD>(got);
      }
    } else if (const DWORD lost = ws::ConnectionLost(link->socket); lost != ERROR_SUCCESS) {
      // Nothing is waiting and nothing will come: a closed or reset link would otherwise
      // read as endless empty successes. Bytes taken before are handed out first; the
      // next read reports the loss.
      if (*count == 0) error = lost;
      break;
    } else if (!NxSleep(kPollSleepMs)) {
      error = GetLastError();  // the calling thread is being ended
    }
    const ULONGLONG now = Now100ns();
    if (error != ERROR_SUCCESS || wanted == 0) break;
    if (now - start >= link->timeout) break;
  }
  return error;
}

DWORD WriteLink(VKBTLink* link, const BYTE* buffer, DWORD length, LPDWORD count) {
  *count = 0;
  const ULONGLONG start = Now100ns();
  DWORD rest = length;
  DWORD error = ERROR_SUCCESS;
  for (;;) {
    int chunk = static_cast<int>(std::min<DWORD>(rest, INT_MAX));
    int sent = ws::send(link->socket, reinterpret_cast<const char*>(buffer), chunk, 0);
    if (sent == SOCKET_ERROR) {
      error = ws::WSAGetLastError();
    } else {
      *count += static_cast<DWORD>(sent);
      buffer += sent;
      rest -= static_cast<DWORD>(sent);
    }
    const ULONGLONG now = Now100ns();
    if (error != ERROR_SUCCESS || rest == 0) break;
    if (now - start >= link->timeout) break;
  }
  return error;
}

DWORD CreateLink(VKBTDeviceInfo* device, VKBTLink** out) {
  VKBTLink** head = OpenLinks();
  VKBTLink* link = *head;
  while (link && link->device != device) link = link->next;
  if (!link) link = ConstructLink(device, head);
  if (!link) return ERROR_NOT_ENOUGH_MEMORY;
  ++link->refs;
  if (link->connectError != ERROR_SUCCESS) {
    DWORD error = link->connectError;
    ReleaseLink(link);
    return error;
  }
  *out = link;
  return ERROR_SUCCESS;
}

BOOL Finish(DWORD error) {
  SetLastError(error);
  return error == ERROR_SUCCESS;
}

}  // namespace

VKBTLink* ConstructLink(VKBTDeviceInfo* device, VKBTLink** head) {
  auto* link = new (std::nothrow) VKBTLink{};
  if (!link) return nullptr;
  try {
    RegisterObject(link, ObjectKind::Link);
  } catch (const std::bad_alloc&) {
    delete link;
    return nullptr;
  }
  link->tag = kLinkTag;
  link->refs = 0;
  link->socket = INVALID_SOCKET;
  link->connectError = ERROR_SUCCESS;
  AddRefDevice(device);
  link->device = device;
  link->timeout = kDefaultTimeout100ns;
  link->heldStart = link->heldEnd = 0;

  link->head = head;
  link->prev = nullptr;
  link->next = *head;
  if (*head) (*head)->prev = link;
  *head = link;

  // An unpaired device with a passkey is paired from this process first, so that
  // BlueZ asks this process's agent, which knows the passkey.
  link->connectError = bluez::PairIfNeeded(device->address.btAddr);
  if (link->connectError != ERROR_SUCCESS) return link;
  // Two attempts at most, one right after the other.
  AttemptConnection(link);
  if (link->connectError != ERROR_SUCCESS) {
    if (link->socket != INVALID_SOCKET) ws::closesocket(link->socket);
    link->socket = INVALID_SOCKET;
    AttemptConnection(link);
  }
  return link;
}

void DestroyLink(VKBTLink* link) {
  if (link->socket != INVALID_SOCKET) {
    ws::shutdown(link->socket, SD_BOTH);
    ws::closesocket(link->socket);
    link->socket = INVALID_SOCKET;
  }
  if (link->next) link->next->prev = link->prev;
  if (link->prev) link->prev->next = link->next;
  else *link->head = link->next;
  UnregisterObject(link);
  ReleaseDevice(link->device);
  delete link;
}

void ReleaseLink(VKBTLink* link) {
  if (--link->refs == 0) DestroyLink(link);
}

}  // namespace vkbth

using namespace vkbth;

BOOL vkbtCreate(HVKBTDEVICE deviceHandle, HVKBTLINK* out) {
  if (!ReadableHandle(deviceHandle, sizeof(VKBTDeviceInfo)) || !out) return Finish(ERROR_INVALID_PARAMETER);
  VKBTDeviceInfo* device = FindDevice(deviceHandle);
  if (!device) return Finish(ERROR_INVALID_HANDLE);
  VKBTLink* link = nullptr;
  DWORD error = CreateLink(device, &link);
  if (error == ERROR_SUCCESS) *out = link;
  return Finish(error);
}

BOOL vkbtClose(HVKBTLINK handle) {
  if (!ReadableHandle(handle, sizeof(VKBTLink))) return Finish(ERROR_INVALID_PARAMETER);
  VKBTLink* link = FindLink(handle);
  if (!link) return Finish(ERROR_INVALID_HANDLE);
  ReleaseLink(link);
  return Finish(ERROR_SUCCESS);
}

BOOL vkbtRead(HVKBTLINK handle, LPVOID buffer, DWORD length, LPDWORD read) {
  // Memory that cannot take the bytes is refused before anything leaves the link.
  if (!ReadableHandle(handle, sizeof(VKBTLink)) || length == 0 || IsBadWritePtr(buffer, length) ||
      IsBadWritePtr(read, sizeof *read))
    return Finish(ERROR_INVALID_PARAMETER);
  VKBTLink* link = FindLink(handle);
  if (!link) return Finish(ERROR_INVALID_HANDLE);
  return Finish(ReadLink(link, static_cast<BYTE*>(buffer), length, read));
}

BOOL vkbtWrite(HVKBTLINK handle, LPCVOID buffer, DWORD length, LPDWORD written) {
  if (!ReadableHandle(handle, sizeof(VKBTLink)) || length == 0 || IsBadReadPtr(buffer, length) ||
      IsBadWritePtr(written, sizeof *written))
    return Finish(ERROR_INVALID_PARAMETER);
  VKBTLink* link = FindLink(handle);
  if (!link) return Finish(ERROR_INVALID_HANDLE);
  return Finish(WriteLink(link, static_cast<const BYTE*>(buffer), length, written));
}

BOOL vkbtSetTimeout(HVKBTLINK handle, DWORD milliseconds) {
  if (!ReadableHandle(handle, sizeof(VKBTLink)) || milliseconds == 0) return Finish(ERROR_INVALID_PARAMETER);
  VKBTLink* link = FindLink(handle);
  if (!link) return Finish(ERROR_INVALID_HANDLE);
  link->timeout = static_cast<ULONGLONG>(milliseconds) * k100nsPerMs;
  return Finish(ERROR_SUCCESS);
}

DWORD vkbtGetTimeout(HVKBTLINK handle) {
  const bool readable = ReadableHandle(handle, sizeof(VKBTLink));
  VKBTLink* link = readable ? FindLink(handle) : nullptr;
  SetLastError(!readable ? ERROR_INVALID_PARAMETER : !link ? ERROR_INVALID_HANDLE : ERROR_SUCCESS);
  return link ? static_cast<DWORD>(link->timeout / k100nsPerMs) : 0;
}
