// The about box and its splash form.
#include "about_box.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "picture_window.h"

namespace ordiva {

AboutBox::AboutBox(QWidget* parent) : QDialog(parent) {
  setObjectName("AboutBox");
  setWindowTitle("About");
  auto* panel = new QWidget(this);
  panel->setObjectName("Panel1");
  auto* inner = new QVBoxLayout(panel);
  auto* picture = new QLabel(panel);
  picture->setObjectName("ProgramIcon");
  picture->setScaledContents(true);
  picture->setPixmap(QPixmap::fromImage(AboutBoxImage()));
  picture->setFixedSize(320, 200);
  inner->addWidget(picture);
  for (const char* name : {"ProductName", "Version", "Copyright", "Comments"}) {
    auto* label = new QLabel(panel);
    label->setObjectName(name);
    inner->addWidget(label);
  }
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(panel);
  ok_ = new QPushButton("OK", this);
  ok_->setObjectName("OKButton");
  ok_->setAccessibleName("OK");
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
  layout->addWidget(ok_);
}

void AboutBox::ShowSplash() {
  setWindowFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool);
  ok_->hide();
  findChild<QWidget*>("Panel1")->setStyleSheet("#Panel1 { border: 3px solid gray; }");
  show();
  repaint();
}

}  // namespace ordiva
