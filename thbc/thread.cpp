// The worker thread base class: creation suspended, state and priority changes, and
// the end of life either on the worker (natural end) or by the owner (early stop).
#include "thbc/thbc.h"

NXThread::NXThread(NXThread** self, CRITICAL_SECTION* lock)
    : m_hThread(nullptr), m_hrStatus(S_OK), m_pLock(lock), m_ppSelf(self) {
  if (m_ppSelf) *m_ppSelf = this;  // also when the thread cannot be created
  DWORD id = 0;
  m_hThread = CreateThread(nullptr, 0, &NXThread::StartRoutine, this, CREATE_SUSPENDED, &id);
  if (!m_hThread) m_hrStatus = HRESULT_FROM_WIN32(GetLastError());
}

NXThread::~NXThread() {
  EndThread();
  if (m_ppSelf) *m_ppSelf = nullptr;
}

void NXThread::EndThread() {
  HANDLE h = m_hThread;
  if (!h) return;
  m_hThread = nullptr;
  // Destroyed on its own thread without the base ThreadProc: the thread ends when
  // this returns, nothing to wait for (waiting would wait for itself).
  if (GetThreadId(h) != GetCurrentThreadId()) TerminateThread(h, 0);
  CloseHandle(h);
}

HRESULT NXThread::Status() { return m_hrStatus; }

HRESULT NXThread::SetState(int state) {
  if (!m_hThread) return S_FALSE;
  DWORD previous = state ? ResumeThread(m_hThread) : SuspendThread(m_hThread);
  if (previous == static_cast<DWORD>(-1)) return HRESULT_FROM_WIN32(GetLastError());
  const DWORD switching = state ? 1 : 0;  // resume from 1, or suspend from 0
  return previous == switching ? S_OK : S_FALSE;
}

HRESULT NXThread::SetPriority(int priority) {
  if (!m_hThread) return S_FALSE;
  if (!SetThreadPriority(m_hThread, priority)) return HRESULT_FROM_WIN32(GetLastError());
  return S_OK;
}

void NXThread::ThreadProc() {
  CRITICAL_SECTION* lock = m_pLock;  // read before the object is gone
  // An owner that destroys this object while holding the lock ends this wait; the
  // owner then finishes the destruction, so nothing here may touch the object.
  if (!NxEnterCriticalSectionAbortable(lock)) return;
  HANDLE h = m_hThread;
  m_hThread = nullptr;
  if (h) CloseHandle(h);
  delete this;
  LeaveCriticalSection(lock);
}

DWORD NXThread::StartRoutine(LPVOID self) {
  static_cast<NXThread*>(self)->ThreadProc();
  return 0;
}
