// Start-up and unload of vkrt: at load it records its module handle, creates its
// critical section and obtains the task allocator; at unload it runs the families'
// unload hooks (e.g. emptying the handler cache), releases the allocator and deletes
// the critical section.
#include "module.h"

#include <vector>

#include "nxpal/resource.h"

namespace vkrt {
namespace {

struct ModuleState {
  ModuleState() {
    module = NxThisModule();
    InitializeCriticalSection(&lock);
    if (CoGetMalloc(1, &allocator) != S_OK) allocator = nullptr;
  }
  ~ModuleState() {
    for (auto it = hooks.rbegin(); it != hooks.rend(); ++it) (*it)();
    if (allocator) allocator->Release();
    allocator = nullptr;
    DeleteCriticalSection(&lock);
  }
  HMODULE module = nullptr;
  CRITICAL_SECTION lock{};
  IMalloc* allocator = nullptr;
  std::vector<UnloadHook> hooks;
};

// Built on first use so that other static initialisers of the library may use it.
ModuleState& State() {
  static ModuleState state;
  return state;
}

// Makes sure the state exists as soon as the library is loaded.
[[maybe_unused]] const bool g_started = (State(), true);

}  // namespace

HMODULE Module() { return State().module; }
IMalloc* TaskAllocator() { return State().allocator; }
CRITICAL_SECTION* ModuleLock() { return &State().lock; }
void AddUnloadHook(UnloadHook hook) { State().hooks.push_back(hook); }

}  // namespace vkrt
