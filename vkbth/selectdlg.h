// The recorder selection dialog: its state while vkbtSelectDevice runs, the window (dialog
// 102) and the checking thread that tries a link to every listed recorder.
#pragma once

#include <QDialog>

#include <vector>

#include "device.h"
#include "devlist.h"
#include "thbc/thbc.h"
#include "vkbth.h"

class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace vkbth {

// Control ids of dialog 102 (also the controls' object names).
inline constexpr int kIdList = 1001;
inline constexpr int kIdStatus = 1002;
inline constexpr int kIdCheck = 1005;
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;

// Check states of a list item.
enum ItemState { kNotTested = 0, kAnswered = 1, kChecking = 2, kNoAnswer = 3 };

// The dialog's state while vkbtSelectDevice runs. The lock guards the thread slot;
// everything else belongs to the dialog's thread.
struct VKBTSelectDialog {
  HWND window;  // the SelectionWindow
  VKBTDeviceInfo* chosen;  // one reference of the dialog's own, or null
  BOOL waitCursor;  // a wait cursor and the mouse capture are in place for a check
  NXThread* thread;  // the running VKBTDEThread, or null (its self slot)
  LONG minWidth, minHeight;  // the window's size at creation
  LONG gapX, gapY;  // OK to Cancel; status line to the buttons
  LONG marginRight, marginBottom;  // Cancel to the client area's right and bottom edges
  RECT rect;  // outer window rectangle: loaded before the dialog opens, saved at its end
  CRITICAL_SECTION lock;
  VKBTSELECTPARAMS params;  // the caller's parameters
};

class SelectionWindow;

// The checking thread: tries a link to each record the dialog listed when the check
// started, in a link list of its own, and posts each item's state to the window. It never
// waits for the window's thread. The records stay alive meanwhile: the list holds them and
// is neither refilled nor destroyed before the check is stopped.
class VKBTDEThread : public NXThread {
 public:
  VKBTDEThread(NXThread** self, CRITICAL_SECTION* lock, HWND dialog, std::vector<VKBTDeviceInfo*> records);
  ~VKBTDEThread() override;  // posts "check ended" to the window
  void ThreadProc() override;

 private:
  HWND m_hDialog;
  std::vector<VKBTDeviceInfo*> m_records;
};

// Dialog 102. Thin over the state: buttons, list and status line, the resize layout,
// and the check's start, stop and end.
class SelectionWindow : public QDialog {
 public:
  SelectionWindow(VKBTSelectDialog* state, QWidget* parent);
  ~SelectionWindow() override;

  // Called on the window's thread (posted by the checking thread where it is the caller).
  void Fill();
  void SetItemState(VKBTDeviceInfo* record, int state, DWORD error);
  void SetStatusText(const QString& text);
  void CheckEnded();
  void StartCheck();
  // The reason an item's last check failed, in plain words (empty for other errors).
  static QString FailureReason(DWORD error);

  void accept() override;  // OK: stop a check, choose the selected record
  void reject() override;  // Cancel, Esc, the close button: stop a check, end with 0
  void done(int code) override;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void FillWith(const DeviceList& list);
  bool AddRecord(VKBTDeviceInfo* record);
  void SizeColumns();
  void UpdateStatusAndOk();
  void StopCheck();
  QTreeWidgetItem* ItemOf(const VKBTDeviceInfo* record) const;

  VKBTSelectDialog* state_;
  QLabel* label_;
  QTreeWidget* list_;
  QLabel* status_;
  QPushButton* check_;
  QPushButton* ok_;
  QPushButton* cancel_;
  QList<QIcon> recorderPictures_;  // strip 101: four pictures
  QList<QIcon> statePictures_;  // strip 104: three pictures
  bool placed_ = false;  // the stored rectangle was applied at the first show
};

// The text of the record's socket address: "(00:80:25:12:34:56)", with ":channel"
// when a channel is set.
QString AddressText(const SOCKADDR_BTH& address);

}  // namespace vkbth
