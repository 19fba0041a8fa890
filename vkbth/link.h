// Links: one connected stream socket to one device record, reference-counted, kept in
// a doubly linked list (the library's list of open links, or a list of the caller's).
#pragma once

#include "device.h"
#include "nxpal/windows.h"
#include "winbth.h"

namespace vkbth {

// {79CFC90F-7319-4CF0-A175-ACDF1815B6C8}
inline constexpr GUID kLinkTag = nx::Guid("79CFC90F-7319-4CF0-A175-ACDF1815B6C8");

inline constexpr ULONGLONG kDefaultTimeout100ns = 1'000'000;  // 100 ms

struct VKBTLink {
  GUID tag;  // kLinkTag
  VKBTDeviceInfo* device;  // holds one reference for the link's whole life
  ULONGLONG timeout;  // time limit of reads and writes, 100 ns units
  LONG refs;  // opens not yet closed
  SOCKET socket;  // connected socket, or INVALID_SOCKET
  DWORD connectError;  // 0 when connected, else the last attempt's socket error
  VKBTLink* prev;
  VKBTLink* next;
  VKBTLink** head;  // the head pointer of the list the link is in
  // Bytes taken from the socket beyond what a read asked for, handed out first by the
  // next reads: a caller reading one byte at a time costs two system calls per burst
  // of the peer's bytes instead of per byte.
  BYTE held[512];
  DWORD heldStart;  // the next byte to hand out
  DWORD heldEnd;  // just past the last held byte
};

// Builds a link for the device at the front of *head and makes up to two connection
// attempts; the result stays in connectError. Reference count 0. Null without memory.
VKBTLink* ConstructLink(VKBTDeviceInfo* device, VKBTLink** head);
// Closes the socket, unlinks, gives back the device reference and frees the link.
void DestroyLink(VKBTLink* link);
// Gives back one reference; destroys the link at 0.
void ReleaseLink(VKBTLink* link);

}  // namespace vkbth
