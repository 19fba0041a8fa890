// Critical sections, events, waits, sleeps and clocks.
// Blocking calls here are the points where a worker thread notices suspension and an
// early end (see thread.h): on a thread whose end was requested they fail with
// ERROR_OPERATION_ABORTED (995).
#pragma once

#include "errors.h"
#include "export.h"
#include "types.h"

// A recursive lock. Zero-initialised storage is not a usable lock: call
// InitializeCriticalSection first and DeleteCriticalSection last, as on Windows.
typedef struct CRITICAL_SECTION CRITICAL_SECTION;
struct CRITICAL_SECTION {
  void* Impl;  // the lock object, owned by the critical section
  LONG RecursionCount;  // entries of the owning thread (read without the lock only for diagnostics)
  LONG OwningThread;  // kernel thread id of the owner, 0 when free
};
typedef CRITICAL_SECTION* LPCRITICAL_SECTION;

// The owner's kernel thread id (0 when free), readable from any thread for diagnostics.
NX_INLINE LONG NxCriticalSectionOwner(const CRITICAL_SECTION* cs) {
  return __atomic_load_n(&cs->OwningThread, __ATOMIC_RELAXED);
}

NXPAL_API void InitializeCriticalSection(LPCRITICAL_SECTION cs);
NXPAL_API BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION cs, DWORD spinCount);
NXPAL_API void DeleteCriticalSection(LPCRITICAL_SECTION cs);
NXPAL_API void EnterCriticalSection(LPCRITICAL_SECTION cs);
NXPAL_API BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs);
NXPAL_API void LeaveCriticalSection(LPCRITICAL_SECTION cs);

// Extensions of this layer (no Windows counterpart).
// Enters unless the calling thread's end is requested first: TRUE with the lock held, or
// FALSE with last error ERROR_OPERATION_ABORTED (995) and the lock not held. A worker's
// final wait for its owner's lock uses it so that an owner destroying the worker under
// that lock never deadlocks.
NXPAL_API BOOL NxEnterCriticalSectionAbortable(LPCRITICAL_SECTION cs);
// Enters within timeoutMs (INFINITE waits for ever): TRUE with the lock held, FALSE
// with last error WAIT_TIMEOUT (258) when the time is up or ERROR_OPERATION_ABORTED (995)
// when the end was requested.
NXPAL_API BOOL NxEnterCriticalSectionTimeout(LPCRITICAL_SECTION cs, DWORD timeoutMs);

// ---- waits and sleeps --------------------------------------------------------------
NX_CONST(DWORD, WAIT_OBJECT_0, 0);
NX_CONST(DWORD, WAIT_ABANDONED, 0x80);
NX_CONST(DWORD, WAIT_TIMEOUT, 258);
#ifdef __cplusplus
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
#else
#define WAIT_FAILED ((DWORD)0xFFFFFFFFu)
#endif

// Sleeps; on a thread whose end is requested returns at once with last error
// ERROR_OPERATION_ABORTED (995) (Sleep has no result to tell it by; NxSleep has).
NXPAL_API void Sleep(DWORD ms);
// TRUE after the full time; FALSE with last error ERROR_OPERATION_ABORTED (995) when the
// end was requested.
NXPAL_API BOOL NxSleep(DWORD ms);

// Events: unnamed, manual- or auto-reset. The handle value is an eventfd.
NXPAL_API HANDLE CreateEventW(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, BOOL initialState, LPCWSTR name);
NXPAL_API HANDLE CreateEventA(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, BOOL initialState, LPCSTR name);
NXPAL_API BOOL SetEvent(HANDLE event);
NXPAL_API BOOL ResetEvent(HANDLE event);

// Waits for an event or a thread. WAIT_FAILED with ERROR_OPERATION_ABORTED (995) on a
// thread whose end is requested, with ERROR_INVALID_HANDLE (6) for a handle that is not
// waitable.
NXPAL_API DWORD WaitForSingleObject(HANDLE h, DWORD ms);
// Closes any kernel handle of this layer; FALSE with ERROR_INVALID_HANDLE (6) for an
// unknown handle.
NXPAL_API BOOL CloseHandle(HANDLE h);

// ---- clocks -----------------------------------------------------------------------
NXPAL_API DWORD GetTickCount(void);
NXPAL_API ULONGLONG GetTickCount64(void);
// Wall clock in 100 ns units since 1601-01-01 UTC.
NXPAL_API void GetSystemTimeAsFileTime(LPFILETIME ft);
NXPAL_API BOOL QueryPerformanceCounter(LARGE_INTEGER* count);
NXPAL_API BOOL QueryPerformanceFrequency(LARGE_INTEGER* freq);
// Monotonic clock in 100 ns units (for time limits that must not follow wall-clock jumps).
NXPAL_API ULONGLONG NxMonotonicTime100ns(void);
