// Probing caller memory before use: records handed in by outside programs are checked
// for readability, as IsBadReadPtr does on Windows.
#pragma once

#include "export.h"
#include "types.h"

// Non-zero when any byte of [lp, lp + ucb) cannot be read by this process (an unmapped
// or unreadable page, a null pointer, or a range that wraps around the address space);
// 0 when all of it can. A size of 0 is always readable. The answer is a snapshot: the
// memory may be unmapped by another thread right after.
NXPAL_API BOOL IsBadReadPtr(const void* lp, UINT_PTR ucb);
