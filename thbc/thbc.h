// Public header of the basic classes library: the worker thread base class for
// derivation in other libraries and programs.
#pragma once

#include "nxpal/windows.h"

// A one-shot worker thread whose life is tied to an owner's pointer variable (the
// self slot), guarded by the owner's critical section (the lock).
//
// Contract: the object writes itself into the slot when built and null when destroyed,
// so the owner, under its lock, always sees either a live worker or null. A worker
// that finishes its work calls the base ThreadProc as its very last step, which takes
// the lock and destroys the object; an owner that stops a worker early destroys it
// under the lock, which ends the thread (cooperatively: the worker's blocking calls of
// the platform layer fail with 995 from then on) and waits for it to be gone. Derived
// objects are created with new and destroyed through the virtual destructor.
class NX_EXPORT NXThread {
 public:
  // Both pointers must stay valid for the object's whole life; the lock is never
  // initialised or deleted here.
  NXThread(NXThread** self, CRITICAL_SECTION* lock);
  // Two objects would own one thread handle: copying is not offered.
  NXThread(const NXThread&) = delete;
  NXThread& operator=(const NXThread&) = delete;

  virtual ~NXThread();
  // S_OK when the thread was created, else the HRESULT of the creation failure.
  virtual HRESULT Status();
  // Non-zero resumes, 0 suspends. S_OK exactly when the call switched the thread
  // between suspended and running; S_FALSE otherwise or without a thread.
  virtual HRESULT SetState(int state);
  // A Windows thread priority (-15 idle ... 15); S_FALSE without a thread.
  virtual HRESULT SetPriority(int priority);
  // The thread body. Overrides do their work and call this as their very last step.
  virtual void ThreadProc();

 protected:
  // Ends the thread if it is still attached and waits until it is gone. A derived
  // destructor whose members the worker uses calls this first, so that the worker
  // never sees them destroyed; the base destructor calls it in any case.
  void EndThread();

  HANDLE m_hThread;  // null when creation failed and after the thread's natural end
  HRESULT m_hrStatus;  // S_OK or the creation failure
  CRITICAL_SECTION* m_pLock;  // the owner's lock
  NXThread** m_ppSelf;  // the owner's slot

 private:
  static DWORD StartRoutine(LPVOID self);
};
