// The recorder set-up dialog: identity, leads, rate and range from the
// configuration block, the statistics rows for calibrating the gain steps, and the
// accelerometer's current and zero values.
#pragma once

#include <QWidget>

#include <array>

#include "session.h"

class QLineEdit;
class QPushButton;
class QRadioButton;
class QGroupBox;
class QTimer;

namespace ordiva {

class WorkingWindow;

class SetupDialog : public QWidget {
 public:
  explicit SetupDialog(WorkingWindow* window, struct Environment& env);

  // After the working window's start-up (unless the link failed): filling from the
  // block, captions, the acquisition resumed and the working window shown.
  void FillAndStartAcquisition();

  // Choices of the three radio groups (indices; -1 when nothing is chosen).
  int RadioIndex(int group) const;  // 1 leads, 2 rate, 3 range
  void SetRadioIndex(int group, int index);
  RecordingChoice Choice() const;
  IdentityTexts Identity() const;
  // The choices into the block and the captions; the number of leads.
  int StoreRecordingChoice();
  void SetIdentityEnabled(bool enabled);
  void SetWriteEnabled(bool enabled);  // "Записать"
  // Per-channel statistics rows (row 0-2), from "Стоп".
  void ShowStatistics(int row, const StatisticsRow& values);
  void ShowCurrent(const std::array<WORD, 3>& zyx);
  void ShowZero(int axis, int value);  // 0 Z, 1 Y, 2 X

  void OnApplyClicked();  // "Применить"
  void OnWriteStepsClicked();  // "Записать"
  void OnDoubleClicked();  // identity edits unlocked

  QLineEdit* Edit(const char* name) const;

 protected:
  bool eventFilter(QObject* watched, class QEvent* event) override;
  void mouseDoubleClickEvent(class QMouseEvent* event) override;

 private:
  WorkingWindow* window_;
  Environment& env_;
  std::array<QGroupBox*, 3> groups_{};
  QTimer* zeroFix_ = nullptr;
  std::array<QLineEdit*, 3> current_{};  // "Z/Y/X Текущее"
  std::array<int, 3> shown_{-1, -1, -1};  // the values they show
};

}  // namespace ordiva
