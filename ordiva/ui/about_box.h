// The about box: caption "About", one stretched picture, four labels that stay
// empty and "OK"; shown borderless as the splash at start-up.
#pragma once

#include <QDialog>

class QPushButton;

namespace ordiva {

class AboutBox : public QDialog {
 public:
  explicit AboutBox(QWidget* parent = nullptr);
  // The splash: no border, "OK" hidden, panel border 3, on top, painted at once.
  void ShowSplash();
  QPushButton* OKButton() const { return ok_; }

 private:
  QPushButton* ok_;
};

}  // namespace ordiva
