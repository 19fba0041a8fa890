// Load and unload of the library: the module handle, the live-object table and the list
// of open links, whose links are destroyed (sockets closed) when the library unloads.
#include "objects.h"

#include <mutex>
#include <unordered_map>

#include "link.h"
#include "nxpal/resource.h"

namespace vkbth {
namespace {

struct ModuleState {
  ModuleState() : module(NxThisModule()) {}
  // Unload: destroy every open link; each destruction unlinks the head, so the loop
  // ends. Device records still held by callers are left alone.
  ~ModuleState() {
    while (openLinks) DestroyLink(openLinks);
  }
  HMODULE module;
  VKBTLink* openLinks = nullptr;
  // The table is the one shared structure that may be reached from several threads at
  // once (links used on different threads, the selection dialog's checking thread), so
  // it has a lock of its own; the lock guards the table only, never the objects.
  std::mutex tableLock;
  std::unordered_map<const void*, ObjectKind> live;
};

ModuleState& State() {
  static ModuleState state;
  return state;
}

// The state exists as soon as the library is loaded.
[[maybe_unused]] const bool g_loaded = (State(), true);

}  // namespace

void RegisterObject(const void* object, ObjectKind kind) {
  std::lock_guard<std::mutex> guard(State().tableLock);
  State().live[object] = kind;
}

void UnregisterObject(const void* object) {
  std::lock_guard<std::mutex> guard(State().tableLock);
  State().live.erase(object);
}

bool IsLiveObject(const void* object, ObjectKind kind) {
  std::lock_guard<std::mutex> guard(State().tableLock);
  auto it = State().live.find(object);
  return it != State().live.end() && it->second == kind;
}

bool ReadableHandle(const void* handle, size_t size) {
  if (!handle) return false;
  {
    std::lock_guard<std::mutex> guard(State().tableLock);
    if (State().live.count(handle)) return true;
  }
  return !IsBadReadPtr(handle, size);
}

HMODULE Module() { return State().module; }
VKBTLink** OpenLinks() { return &State().openLinks; }

}  // namespace vkbth
