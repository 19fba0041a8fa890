// The maker's outside runtime functions that vkrt and the card initializer call.
#pragma once

#include "nxpal/windows.h"
