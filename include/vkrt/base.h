// Common ground of the vkrt headers: the platform layer and the export marker.
#pragma once

#include "nxpal/windows.h"

// Functions of vkrt: C linkage, exported by name.
#define VKRT_API NX_EXTERN_C NX_EXPORT
