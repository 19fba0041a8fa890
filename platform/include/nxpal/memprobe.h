// Probing caller memory before use: records handed in by outside programs are checked
// for readability and writability, as IsBadReadPtr and IsBadWritePtr do on Windows.
#pragma once

#include "export.h"
#include "types.h"

// Non-zero when any byte of [lp, lp + ucb) cannot be read by this process (an unmapped
// or unreadable page, a null pointer, or a range that wraps around the address space);
// 0 when all of it can. A size of 0 is always readable. The answer is a snapshot: the
// memory may be unmapped by another thread right after.
NXPAL_API BOOL IsBadReadPtr(const void* lp, UINT_PTR ucb);
// Non-zero when any byte of [lp, lp + ucb) lies outside the process's writable
// mappings (read-only data, guard pages, unmapped memory, null, a wrapping range); 0
// when all of it may be written. As on Windows, one byte of each page is read and
// written back with its own value: the contents stay, but a write another thread makes
// to that byte at the same moment may be lost. Probe only memory this call's caller
// owns. A size of 0 is writable.
NXPAL_API BOOL IsBadWritePtr(LPVOID lp, UINT_PTR ucb);
