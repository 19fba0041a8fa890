// nxDebugCriticalSectionDeadLock: enter a critical section, waiting as long as needed,
// optionally telling on stderr when a wait grows suspiciously long.
#include <cstdio>
#include <cstdlib>

#include "nxrtl/nxrtl.h"

namespace {

// Milliseconds after which a wait is reported, from NX_DEADLOCK_REPORT_MS; 0 = never.
DWORD ReportAfterMs() {
  const char* v = std::getenv("NX_DEADLOCK_REPORT_MS");
  if (!v || !*v) return 0;
  char* end = nullptr;
  unsigned long ms = std::strtoul(v, &end, 10);
  return (end && *end == 0 && ms > 0 && ms < INFINITE) ? static_cast<DWORD>(ms) : 0;
}

}  // namespace

void nxDebugCriticalSectionDeadLock(LPCRITICAL_SECTION cs) {
  if (!cs) return;
  if (TryEnterCriticalSection(cs)) return;
  DWORD reportMs = ReportAfterMs();
  if (reportMs == 0) {
    EnterCriticalSection(cs);
    return;
  }
  // A bounded first wait; on timeout tell who holds the lock, then wait on. The wait
  // itself is never abandoned: the caller relies on holding the lock on return.
  if (NxEnterCriticalSectionTimeout(cs, reportMs)) return;
  if (GetLastError() == WAIT_TIMEOUT)
    std::fprintf(stderr, "nxrtl: thread %u has waited %u ms for critical section %p held by thread %d\n",
               GetCurrentThreadId(), reportMs, static_cast<void*>(cs), static_cast<int>(NxCriticalSectionOwner(cs)));
  EnterCriticalSection(cs);
}
