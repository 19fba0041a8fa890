// InitDialog: the initializer dialog's behaviour without a window. It keeps the card
// list current, shows the selected card, starts and cancels the worker, and stores the
// last card and the options in the registry. The window (fci_ui) hands it the clicks and
// ticks and does what it asks through IDialogView.
//
// Threads and locks: every method except the IInitOwner posts runs on the window
// thread. The lock guards `worker` (it is the worker's NXThread lock). The posts may
// come from the worker thread with or without the lock held; they only queue work for
// the window thread through IDialogView::Post and never wait for it.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "owner.h"
#include "thbc/thbc.h"

namespace fci {

// What the dialog does to its window's controls (by their ids in ids.h). All calls but
// Post come on the window thread.
class IDialogView {
 public:
  // The card list (1001): one item per letter, sorted.
  virtual int FindItem(WCHAR letter) = 0;  // -1 when missing
  virtual int AddItem(WCHAR letter) = 0;  // the new item's index
  virtual void DeleteItem(int index) = 0;
  virtual int CurSel() = 0;  // -1 without a selection
  virtual void SetCurSel(int index) = 0;  // -1 clears it
  virtual WCHAR ItemLetter(int index) = 0;
  virtual bool IsDroppedDown() = 0;

  virtual void SetText(int controlId, const std::u16string& text) = 0;
  virtual void Enable(int controlId, bool enabled) = 0;
  virtual void Check(int controlId, bool checked) = 0;
  virtual void SetProgressRange(int max) = 0;
  virtual void SetProgressPos(int pos) = 0;
  virtual void Beep(DWORD frequency, DWORD durationMs) = 0;
  // The modal boxes: a question from string ids, and the error box of a failed start.
  virtual int AskUser(UINT captionId, UINT textId, UINT style) = 0;
  virtual void ReportStartError(HRESULT hr) = 0;
  virtual void EndDialog(int result) = 0;
  virtual HWND Window() = 0;
  // Queues an update for the window thread and returns at once; from any thread.
  virtual void Post(std::function<void()> update) = 0;

 protected:
  ~IDialogView() = default;
};

// The registry value "Parameters" under HKEY_CURRENT_USER.
inline constexpr char16_t kSettingsKey[] = u"Software\\Veltrak\\Devices\\VR03\\FCI";
inline constexpr char16_t kSettingsValue[] = u"Parameters";
// Reads the record; false (and *params left alone) without the key or value.
bool LoadSettings(InitParameters* params);
void SaveSettings(const InitParameters& params);

class InitDialog final : public IInitOwner {
 public:
  InitDialog();  // reads the registry
  ~InitDialog();  // writes the registry
  InitDialog(const InitDialog&) = delete;
  InitDialog& operator=(const InitDialog&) = delete;

  // The window's creation and end.
  void Attach(IDialogView* view);
  void Detach();

  // Messages of the window.
  void OnTimer();  // every 500 ms: the card list and the selection
  void OnSelEndOk();  // a card chosen in the list
  void OnCheckClicked(bool ticked);  // "Проверка"
  void OnStrictClicked(bool ticked);  // "Строгая проверка"
  void OnStartClicked(bool pressed);  // "Инициализация", its state after the click
  void OnCloseClicked();  // "Закрыть": asks during a run
  void OnCloseRequested();  // the caption's close or Alt+F4: does not ask

  // IInitOwner
  CRITICAL_SECTION* GetLock() override { return &lock_; }
  HWND GetWindow() override;
  int AskUser(UINT captionId, UINT textId, UINT style) override;
  InitParameters* GetParameters() override { return &params_; }
  void PostProgressRange(int max) override;
  void PostProgressPos(int pos) override;
  void PostItemText(int controlId, const std::u16string& text) override;
  void PostStatus(UINT stringId, const std::u16string& text) override;
  void PostDrivesEnabled(bool enabled) override;
  void PostStartReleased() override;
  void PostBeep(DWORD frequency, DWORD durationMs) override;
  void PostRunEnded(DWORD error) override;

  // For the window and tests: whether a worker exists (takes the lock).
  bool Running();
  bool RunStarted() const { return runStarted_; }

 private:
  void RefreshSelection();
  void UpdateStrictBox();
  // Destroys the worker, asking first when `ask`; false when the user refused.
  bool Cancel(bool ask);
  void PostToView(std::function<void(IDialogView*)> update);
  IDialogView* View() const { return view_.load(); }

  std::atomic<IDialogView*> view_{nullptr};  // the window while it exists (read by posts)
  InitParameters params_{};
  WCHAR remembered_[2] = {0, 0};  // the letter to select when its card appears
  NXThread* worker_ = nullptr;  // guarded by lock_; filled and cleared by NXThread
  bool runStarted_ = false;  // an initialisation was started for the selected card
  CRITICAL_SECTION lock_;
};

}  // namespace fci
