// The calling process: its id, and the grant that lets a service reach its handles.
#pragma once

#include "errors.h"
#include "export.h"
#include "types.h"

NXPAL_API DWORD GetCurrentProcessId(void);

// Extension of this layer (no Windows counterpart). Lets the process `processId` (a
// service of the same user, such as the paged-file service) take duplicates of this
// process's kernel handles by their values, as a Windows service duplicates a client's
// handles. Where the system restricts that to ancestors (Yama ptrace scope 1) this names
// that process as the one allowed; one process at a time, the latest grant wins. Where
// nothing restricts it the call does nothing. FALSE with the last error set otherwise.
NXPAL_API BOOL NxGrantHandleAccess(DWORD processId);
