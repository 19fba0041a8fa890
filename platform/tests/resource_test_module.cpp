// A shared library with resources of its own (resource_test_module.strings and two
// icons), loaded by resource_test.cpp with dlopen.
#include "nxpal/resource.h"

// The library's module handle as the library itself sees it.
NX_EXTERN_C NX_EXPORT HMODULE ResourceTestModule() { return NxThisModule(); }
