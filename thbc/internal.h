// Internal declarations shared by thbc's sources: the library's own module handle (named
// in the property set's string answers) and the common QueryInterface of its COM classes.
#pragma once

#include "nxpal/windows.h"

namespace thbc {

// Set while the library is loaded (module.cpp).
HMODULE Module();

// QueryInterface of an object that answers IUnknown and one interface of its own, both
// at the address self (single inheritance) (comhelpers.cpp).
HRESULT QueryOneInterface(IUnknown* self, REFIID riid, REFIID own, void** ppvObject);

}  // namespace thbc
