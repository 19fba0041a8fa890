// Worker thread base class.
#include "thbc/thbc.h"
