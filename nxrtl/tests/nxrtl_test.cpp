// Tests of the outside runtime functions.
#include <gtest/gtest.h>

#include "nxrtl/nxrtl.h"
