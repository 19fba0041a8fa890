// What a card initialisation needs from the program around it (the dialog, or the
// command line): the lock, the window, the confirmation box, the parameters, and the
// updates that the worker posts while it runs.
#pragma once

#include <string>

#include "nxpal/windows.h"

namespace fci {

// The dialog's record, stored as the registry value "Parameters" (4 bytes).
struct InitParameters {
  WCHAR letter;  // the card's drive letter, 0 = none
  WORD options;  // OPT_CHECK, OPT_STRICT and bits kept for others
};
static_assert(sizeof(InitParameters) == 4);

// Contract of the Post* calls: they may come from the worker thread, from the owner's
// own thread, and with the owner's lock held by either. An owner queues them for its
// own thread and returns at once; it never waits for that thread inside them.
class IInitOwner {
 public:
  virtual CRITICAL_SECTION* GetLock() = 0;
  virtual HWND GetWindow() = 0;
  virtual int AskUser(UINT captionId, UINT textId, UINT style) = 0;
  virtual InitParameters* GetParameters() = 0;

  // The progress bar (1004): its range 0 .. max, and its position.
  virtual void PostProgressRange(int max) = 0;
  virtual void PostProgressPos(int pos) = 0;
  // The text of a static control (elapsed 1011, remaining 1012).
  virtual void PostItemText(int controlId, const std::u16string& text) = 0;
  // The status line (1013): a string id of the program and its text.
  virtual void PostStatus(UINT stringId, const std::u16string& text) = 0;
  // The drive list (1001) enabled or not.
  virtual void PostDrivesEnabled(bool enabled) = 0;
  // The start button (1002) released.
  virtual void PostStartReleased() = 0;
  virtual void PostBeep(DWORD frequency, DWORD durationMs) = 0;
  // The run's end: 0 or the Win32 error it failed with (ERROR_OPERATION_ABORTED (995)
  // when it was stopped).
  virtual void PostRunEnded(DWORD error) = 0;

 protected:
  ~IInitOwner() = default;
};

}  // namespace fci
