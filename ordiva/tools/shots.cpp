// Screenshot driver: runs the real windows offscreen against a virtual recorder that is
// already serving in NX_BT_DIR, lets the traces run one sweep, and saves the working
// window and the set-up dialog as PNG files; given the recorder's process, it then
// switches the recorder off and saves the window that says the link is lost. With
// --signal-check it waits instead until the signal check has flagged a lead and shows
// the heart rate, and saves the window after one more sweep. Used by scripts/screenshots.
//
// Usage: ordiva_shots ADDRESS MAIN.png SETUP.png [LOST.png RECORDER-PID]
//        ordiva_shots --signal-check ADDRESS CHANNEL OUT.png
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QTimer>
#include <QPixmap>
#include <QPushButton>
#include <QTest>

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "acquisition_worker.h"
#include "nxpal/text.h"
#include "setup_dialog.h"
#include "vkbth/devtools.h"
#include "working_window.h"

namespace {

void Spin(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

// The window once channel `flagged` is no longer "норма" while the others are, the heart
// rate is shown, and a whole sweep has run since.
int SignalCheckShot(ordiva::WorkingWindow* f, int flagged, const char* out) {
  auto verdict = [f](int channel) {
    return f->findChild<QLabel*>(QString("SignalVerdict%1").arg(channel))->text();
  };
  auto ready = [&] {
    for (int c = 1; c <= f->leads; ++c) {
      const bool good = verdict(c) == "норма";
      if (c == flagged ? good || verdict(c) == "проверка…" : !good) return false;
    }
    return f->findChild<QLabel*>("HeartRate")->text() != "ЧСС — уд/мин";
  };
  QElapsedTimer t;
  t.start();
  while (!ready() && t.elapsed() < 60000) Spin(20);
  if (!ready()) {
    std::fprintf(stderr, "ordiva_shots: channel %d was not flagged alone\n", flagged);
    return 1;
  }
  // A new sweep, then nearly all of it.
  while (f->sweepX > 200 && t.elapsed() < 90000) Spin(20);
  while (f->sweepX < 1250 && t.elapsed() < 90000) Spin(20);
  if (!ready()) {
    std::fprintf(stderr, "ordiva_shots: the verdicts changed meanwhile\n");
    return 1;
  }
  return f->grab().save(out) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const bool signalCheck = argc == 5 && std::string(argv[1]) == "--signal-check";
  if (argc != 4 && argc != 6 && !signalCheck) {
    std::fprintf(stderr,
                 "usage: ordiva_shots ADDRESS MAIN.png SETUP.png [LOST.png RECORDER-PID]\n"
                 "       ordiva_shots --signal-check ADDRESS CHANNEL OUT.png\n");
    return 2;
  }
  const ULONGLONG address = std::strtoull(argv[signalCheck ? 2 : 1], nullptr, 16);
  ordiva::Environment env;
  env.selectDevice = [address](HWND, HVKBTDEVICE* device) {
    return NxBtCreateDeviceInfo(address, u"VR-03M", nullptr, 1, u"8779", device);
  };
  env.sleep = [](DWORD ms) { ::Sleep(ms / 10); };
  env.io.sleep = env.sleep;
  env.endProgram = [] {};
  ordiva::Program program(env);
  if (!program.Start()) {
    std::fprintf(stderr, "ordiva_shots: no recorder\n");
    return 1;
  }
  ordiva::WorkingWindow* f = program.WorkingWindow();
  f->showNormal();
  f->resize(1620, 938);
  f->findChild<QWidget*>("MaskEditFamilia")->setProperty("text", "Иванова");
  f->findChild<QWidget*>("MaskEdit1")->setProperty("text", "Анна");
  f->findChild<QWidget*>("MaskEdit2")->setProperty("text", "Петровна");
  f->findChild<QWidget*>("MaskEdit10")->setProperty("text", "V2");
  f->findChild<QWidget*>("MaskEdit9")->setProperty("text", "V5");
  f->findChild<QWidget*>("MaskEdit8")->setProperty("text", "III");
  f->findChild<QWidget*>("MaskEdit5")->setProperty("text", "Ж");
  if (signalCheck) return SignalCheckShot(f, std::atoi(argv[3]), argv[4]);
  // Nearly a whole sweep at the design size.
  QElapsedTimer t;
  t.start();
  auto spin = [](int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
  };
  spin(500);
  while (f->sweepX < 1250 && t.elapsed() < 30000) spin(20);
  if (!f->grab().save(argv[2])) return 1;
  program.SetupDialog()->show();
  QTest::qWait(200);
  QTest::mouseClick(f->findChild<QPushButton*>("Button3"), Qt::LeftButton);  // "Стоп": statistics rows
  QTest::qWait(200);
  if (!program.SetupDialog()->grab().save(argv[3])) return 1;
  if (argc == 4) return 0;

  // The recorder switched off while the traces run.
  program.SetupDialog()->hide();
  QTest::mouseClick(f->findChild<QPushButton*>("Button4"), Qt::LeftButton);  // "Пуск"
  const auto steps = f->Worker()->Steps();
  t.restart();
  while (f->Worker()->Steps() < steps + 400 && t.elapsed() < 30000) spin(20);
  kill(static_cast<pid_t>(std::atol(argv[5])), SIGKILL);
  t.restart();
  while (!f->LinkLost() && t.elapsed() < 10000) spin(20);
  if (!f->LinkLost()) {
    std::fprintf(stderr, "ordiva_shots: the lost link was not noticed\n");
    return 1;
  }
  spin(300);
  if (!f->grab().save(argv[4])) return 1;
  return 0;
}
