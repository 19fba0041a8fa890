// Module state of vkrt shared by its families: its own module handle (for its
// resources), the COM task allocator and the one process-wide critical section.
#pragma once

#include "nxpal/windows.h"

namespace vkrt {

// Set while the library is loaded; the allocator is null if it could not be had.
HMODULE Module();
IMalloc* TaskAllocator();
// Guards the data class handler cache; entered with nxDebugCriticalSectionDeadLock.
CRITICAL_SECTION* ModuleLock();

// Run at unload, before the allocator and the lock go away (e.g. emptying a cache).
// Register from a static initialiser of the family's source file.
using UnloadHook = void (*)();
void AddUnloadHook(UnloadHook hook);

}  // namespace vkrt
