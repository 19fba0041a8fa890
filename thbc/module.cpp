// Load and unload of thbc: at load it records its module handle and obtains the COM
// task allocator, which it holds while loaded (without one the library refuses to
// load); at unload it releases it.
#include "internal.h"

#include <unistd.h>

#include <cstdio>

namespace thbc {
namespace {

struct ModuleState {
  ModuleState() {
    module = NxThisModule();
    if (CoGetMalloc(MEMCTX_TASK, &allocator) != S_OK) {
      // A library that cannot initialise stops the process that loads it, as the
      // loader does with a failed load-time import.
      std::fputs("libthbc: the COM task allocator cannot be obtained\n", stderr);
      _exit(127);
    }
  }
  ~ModuleState() {
    if (allocator) allocator->Release();
    allocator = nullptr;
  }
  HMODULE module = nullptr;
  IMalloc* allocator = nullptr;
};

// Constructed when the library is loaded, destroyed when it is unloaded. Nothing in the
// library uses it from a static initialiser.
ModuleState g_state;

}  // namespace

HMODULE Module() { return g_state.module; }

}  // namespace thbc
