// Threads with Win32 numbers: created suspended, resumed and suspended with suspend
// counts, priorities, and an early end. Linux cannot stop a thread at an arbitrary
// point safely, so suspension and the early end are cooperative: each blocking call of
// this layer made on such a thread pauses while it is suspended and fails with
// ERROR_OPERATION_ABORTED (995) once its end is requested. No thread is ever killed
// inside a lock or the heap.
#pragma once

#include <poll.h>

#include "errors.h"
#include "export.h"
#include "sync.h"
#include "types.h"

typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID param);

NX_CONST(DWORD, CREATE_SUSPENDED, 0x4);
NX_CONST(DWORD, STILL_ACTIVE, 259);

NX_CONST(int, THREAD_PRIORITY_IDLE, -15);
NX_CONST(int, THREAD_PRIORITY_LOWEST, -2);
NX_CONST(int, THREAD_PRIORITY_BELOW_NORMAL, -1);
NX_CONST(int, THREAD_PRIORITY_NORMAL, 0);
NX_CONST(int, THREAD_PRIORITY_ABOVE_NORMAL, 1);
NX_CONST(int, THREAD_PRIORITY_HIGHEST, 2);
NX_CONST(int, THREAD_PRIORITY_TIME_CRITICAL, 15);
NX_CONST(int, THREAD_PRIORITY_ERROR_RETURN, 0x7FFFFFFF);

NXPAL_API HANDLE CreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                              LPVOID param, DWORD flags, LPDWORD threadId);
// Both return the previous suspend count, or (DWORD)-1 with the last error set.
// A suspended thread that is already running pauses at its next blocking layer call.
NXPAL_API DWORD ResumeThread(HANDLE thread);
NXPAL_API DWORD SuspendThread(HANDLE thread);
// Priorities are the Windows values (-15, -2..2, 15); anything else gives
// ERROR_INVALID_PARAMETER (87). They map to nice values, idle to 19 (a thread that still
// gets a share of a busy machine); raising above normal is done as far as the process is
// allowed to.
NXPAL_API BOOL SetThreadPriority(HANDLE thread, int priority);
NXPAL_API int GetThreadPriority(HANDLE thread);
// Requests the thread's end and waits until it has left its start routine; a thread that
// never started does not run it at all. The exit code is dwExitCode unless the thread had
// already finished. FALSE with ERROR_POSSIBLE_DEADLOCK (1131) when called on the calling
// thread's own handle (it would wait for itself).
NXPAL_API BOOL TerminateThread(HANDLE thread, DWORD exitCode);
NXPAL_API BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
NXPAL_API DWORD GetCurrentThreadId(void);
NXPAL_API DWORD GetThreadId(HANDLE thread);

// ---- extensions for code that blocks outside this layer ------------------------------
// TRUE when the calling thread's end has been requested.
NXPAL_API BOOL NxIsEndRequested(void);
// The calling thread's checkpoint: waits while it is suspended; FALSE with
// ERROR_OPERATION_ABORTED (995) when its end is requested.
NXPAL_API BOOL NxCheckpoint(void);
// poll() that also returns when the calling thread's end is requested (-1 with last error
// ERROR_OPERATION_ABORTED (995)) and pauses while the thread is suspended. Other
// failures: -1 with the errno mapped to a Win32 code. timeoutMs < 0 waits for ever.
NXPAL_API int NxPoll(struct pollfd* fds, unsigned nfds, int timeoutMs);
