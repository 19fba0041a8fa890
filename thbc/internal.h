// Internal declarations shared by thbc's sources: the library's state (its own module
// handle, named in the property set's string answers, and the COM task allocator) and
// the common QueryInterface of its COM classes.
#pragma once

#include "nxpal/windows.h"

namespace thbc {

// Set while the library is loaded (module.cpp).
HMODULE Module();
IMalloc* TaskAllocator();

// QueryInterface of an object that answers IUnknown and one interface of its own, both
// at the address self (single inheritance) (comhelpers.cpp).
HRESULT QueryOneInterface(IUnknown* self, REFIID riid, REFIID own, void** ppvObject);

}  // namespace thbc
