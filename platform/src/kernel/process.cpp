// The calling process's id, and the grant that lets a service reach its handles.
#include <errno.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "kernel/kernel.h"
#include "nxpal/process.h"

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

BOOL NxGrantHandleAccess(DWORD processId) {
  // Taking a duplicate of another process's descriptor (pidfd_getfd) needs the right to
  // trace it. Yama's scope 1 gives that only to ancestors and to the one process named
  // here; without Yama the call fails with EINVAL and there is nothing to grant.
  if (processId == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (prctl(PR_SET_PTRACER, static_cast<unsigned long>(processId), 0, 0, 0) != 0 && errno != EINVAL) {
    SetLastError(nxpal::Win32FromErrno(errno));
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
