// Drives the recorder selection dialog from a test: finds it and its controls by their
// object names, runs a script once the list is filled, waits for a check to end.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>

#include "device.h"

namespace selecttest {

using Clock = std::chrono::steady_clock;
using vkbth::VKBTDeviceInfo;

inline const QString kFilling = "построение списка устройств…";
inline const QString kNone = "Нет доступных регистраторов. Включите регистратор и нажмите \"Проверка связи\".";
inline const QString kChoose = "Выберите требуемый из доступных регистраторов.";
inline const QString kStart = "Для начала работы нажмите \"ОК\".";

std::string Tool(const char* name) {
  const char* bin = std::getenv("NX_TEST_BIN_DIR");
  return bin ? std::string(bin) + "/" + name : std::string();
}

// The open dialog and its controls, found by their object names.
struct Dialog {
  QDialog* window = nullptr;
  QTreeWidget* list = nullptr;
  QLabel* status = nullptr;
  QPushButton *check = nullptr, *ok = nullptr, *cancel = nullptr;

  static Dialog Find() {
    Dialog d;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->objectName() == "102" && w->isVisible()) d.window = qobject_cast<QDialog*>(w);
    if (!d.window) return d;
    d.list = d.window->findChild<QTreeWidget*>("1001");
    d.status = d.window->findChild<QLabel*>("1002");
    d.check = d.window->findChild<QPushButton*>("1005");
    d.ok = d.window->findChild<QPushButton*>("1");
    d.cancel = d.window->findChild<QPushButton*>("2");
    return d;
  }
  QStringList Names() const {
    QStringList names;
    for (int i = 0; i < list->topLevelItemCount(); ++i) names << list->topLevelItem(i)->text(0);
    return names;
  }
  QTreeWidgetItem* Item(const QString& name) const {
    for (int i = 0; i < list->topLevelItemCount(); ++i)
      if (list->topLevelItem(i)->text(0) == name) return list->topLevelItem(i);
    return nullptr;
  }
  QString State(const QString& name) const { return Item(name) ? Item(name)->text(1) : QString("(missing)"); }
  VKBTDeviceInfo* Record(const QString& name) const {
    return reinterpret_cast<VKBTDeviceInfo*>(Item(name)->data(0, Qt::UserRole).value<quintptr>());
  }
  void Select(const QString& name) const { list->setCurrentItem(Item(name)); }
  bool Checking() const { return !check->isEnabled(); }
};

// Runs the script on the dialog once it is open and filled; the script ends the dialog
// (or leaves it to the test's own end). A script that fails closes the dialog.
inline void WhenFilled(std::function<void(Dialog&)> script) {
  auto* timer = new QTimer;
  QObject::connect(timer, &QTimer::timeout, [timer, script] {
    Dialog d = Dialog::Find();
    if (!d.window || d.status->text().isEmpty() || d.status->text() == kFilling) return;
    timer->stop();
    timer->deleteLater();
    script(d);
    if (Dialog::Find().window) d.window->reject();
  });
  timer->start(10);
}

// Waits (processing events) until the running check has ended.
inline bool WaitCheckEnded(Dialog& d, int ms = 20000) {
  QTest::qWait(20);
  for (auto start = Clock::now(); Clock::now() - start < std::chrono::milliseconds(ms); QTest::qWait(10))
    if (!d.Checking()) return true;
  return false;
}

}  // namespace selecttest
