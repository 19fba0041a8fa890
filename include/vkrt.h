// Public header of the runtime library vkrt: every exported family in one include.
// Each family declares its functions and records in a header of its own under vkrt/.
// C11 and C++ callers alike: interfaces are C++ classes in C++ and tables of methods in C.
#pragma once

#include "vkrt/base.h"
#include "vkrt/bitflags.h"
#include "vkrt/channel.h"
#include "vkrt/codec.h"
#include "vkrt/dataclass.h"
#include "vkrt/pf.h"
#include "vkrt/providers.h"
#include "vkrt/setupsvr.h"
#include "vkrt/sm.h"
