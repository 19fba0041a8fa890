// Public header of the basic classes library: worker thread base class.
#pragma once

#include "nxpal/windows.h"
