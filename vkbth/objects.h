// The library's state: its module handle, the list of open links, and the table of live
// objects against which every handle is checked before it is used, so that a stale or
// foreign pointer is refused without being read.
#pragma once

#include "nxpal/windows.h"

namespace vkbth {

struct VKBTLink;

enum class ObjectKind { Device, Link };

// Called by the constructors and destructors of device records and links.
void RegisterObject(const void* object, ObjectKind kind);
void UnregisterObject(const void* object);
// True when object is a live object of that kind (never reads the object).
bool IsLiveObject(const void* object, ObjectKind kind);
// The first check of a handle: not null, and either a live object of the library (of
// any kind: the type is checked later by its tag) or memory readable for size bytes.
bool ReadableHandle(const void* handle, size_t size);

HMODULE Module();
// Head of the library's list of open links. The list is plain data: callers of the
// exported functions serialise vkbtCreate and vkbtClose, as the interface requires.
VKBTLink** OpenLinks();

}  // namespace vkbth
