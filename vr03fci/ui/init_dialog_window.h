// Dialog 101, the initializer's window: the controls at their places in dialog units,
// each click and tick handed to InitDialog, and InitDialog's requests done on the
// window's thread (IDialogView).
#pragma once

#include <QDialog>

#include <functional>
#include <map>

#include "dialog.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

namespace fci {

class InitDialogWindow final : public QDialog, public IDialogView {
 public:
  // `logic` outlives the window; the window attaches itself to it for its own life.
  explicit InitDialogWindow(InitDialog* logic, QWidget* parent = nullptr);
  ~InitDialogWindow() override;

  // The control with the given id (ids.h), for tests and screenshots.
  QWidget* Control(int id) const;

  // IDialogView
  int FindItem(WCHAR letter) override;
  int AddItem(WCHAR letter) override;
  void DeleteItem(int index) override;
  int CurSel() override;
  void SetCurSel(int index) override;
  WCHAR ItemLetter(int index) override;
  bool IsDroppedDown() override;
  void SetText(int controlId, const std::u16string& text) override;
  void Enable(int controlId, bool enabled) override;
  void Check(int controlId, bool checked) override;
  void SetProgressRange(int max) override;
  void SetProgressPos(int pos) override;
  void Beep(DWORD frequency, DWORD durationMs) override;
  int AskUser(UINT captionId, UINT textId, UINT style) override;
  void ReportStartError(HRESULT hr) override;
  void EndDialog(int result) override;
  HWND Window() override;
  void Post(std::function<void()> update) override;

 protected:
  void closeEvent(QCloseEvent* event) override;  // the caption's close: cancel without asking
  void reject() override;  // Esc does nothing
  void keyPressEvent(QKeyEvent* event) override;  // nor does Enter

 private:
  InitDialog* logic_;
  std::map<int, QWidget*> controls_;
  std::map<int, QString> captions_;  // of the value labels, for their accessible names
  QComboBox* drives_;
  QPushButton* start_;
  QCheckBox* check_;
  QCheckBox* strict_;
  QProgressBar* progress_;
  QTimer* timer_;
  bool ending_ = false;
};

// Runs the program's dialog until it is closed; the program's exit code.
int RunDialog(int argc, char** argv);

}  // namespace fci
