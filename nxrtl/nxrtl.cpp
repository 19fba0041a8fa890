// The maker's outside runtime functions.
#include "nxrtl/nxrtl.h"
