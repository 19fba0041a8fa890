// Screenshots for the README, made from the real program: the dialog on a first start
// with two cards and nothing chosen, the same once the user has chosen a card (its real
// sizes, before a run), the dialog in the middle of a strict run of a 256 MiB card
// image, and the terminal's progress bar of the same run started from the command line.
// Usage (from scripts/fci-screenshots, with NX_DRIVES pinning E: and F:, NX_PIPE_DIR and
// an empty NX_REGISTRY_DIR set up and pfsvc running):
//   fci_shots VR03FCI-PROGRAM FIRST-START.png CARD.png DIALOG.png TERMINAL.png
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest/QTest>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "ids.h"
#include "init_dialog_window.h"
#include "nxtest/fatimage.h"

namespace {

// Runs the event loop until the condition holds or the time is up.
template <class F>
bool WaitFor(F done, int ms) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ms) return false;
    QTest::qWait(20);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: fci_shots VR03FCI FIRST-START.png CARD.png DIALOG.png TERMINAL.png\n");
    return 2;
  }
  QApplication app(argc, argv);
  int rc = 0;
  {
    // A first start: no card remembered, two in their readers, none chosen.
    fci::InitDialog logic;
    fci::InitDialogWindow window(&logic);
    window.show();
    auto* drives = static_cast<QComboBox*>(window.Control(fci::IDC_DRIVES));
    if (!WaitFor([&] { return drives->count() == 2; }, 5000)) {
      std::fprintf(stderr, "fci_shots: the cards E: and F: do not appear\n");
      return 1;
    }
    QTest::qWait(1200);  // a few ticks of the window's own timer
    if (drives->currentIndex() != -1) {
      std::fprintf(stderr, "fci_shots: a card was chosen on a first start\n");
      return 1;
    }
    if (!window.grab().save(QString::fromLocal8Bit(argv[2]))) rc = 1;

    // The user picks F: with the keyboard, as on a real desktop.
    drives->setFocus();
    QTest::keyClick(drives, Qt::Key_Down);
    QTest::keyClick(drives, Qt::Key_Down);
    QTest::qWait(700);
    if (drives->currentText() != QStringLiteral("F")) {
      std::fprintf(stderr, "fci_shots: F: could not be chosen\n");
      return 1;
    }
    if (!window.grab().save(QString::fromLocal8Bit(argv[3]))) rc = 1;
    window.close();
  }

  fci::SaveSettings(fci::InitParameters{u'E', fci::OPT_CHECK | fci::OPT_STRICT});
  {
    fci::InitDialog logic;
    fci::InitDialogWindow window(&logic);
    window.show();
    auto* start = static_cast<QPushButton*>(window.Control(fci::IDC_START));
    auto* progress = static_cast<QProgressBar*>(window.Control(fci::IDC_PROGRESS));
    if (!WaitFor([&] { return start->isEnabled(); }, 5000)) {
      std::fprintf(stderr, "fci_shots: the card E: does not appear\n");
      return 1;
    }
    QTest::mouseClick(start, Qt::LeftButton);
    // Past the first display of the elapsed and remaining times.
    WaitFor([&] { return progress->value() > progress->maximum() / 3; }, 60000);
    QTest::qWait(1200);
    if (!window.grab().save(QString::fromLocal8Bit(argv[4]))) rc = 1;
    window.close();  // the caption's close: the run is cancelled without a question
  }

  // The same run on the terminal, under a pseudo-terminal so that the bar is redrawn in
  // place; stopped with Ctrl-C once it has run a few seconds.
  const std::string log = std::string(argv[5]) + ".log";
  const std::string cmd = "script -qfec " + nxtest::Quote(std::string(argv[1]) + " init E: --strict --yes") + " " +
                          nxtest::Quote(log) + " >/dev/null 2>&1 & echo $!";
  const pid_t pid = static_cast<pid_t>(std::stol(nxtest::Capture(cmd)));
  QTest::qWait(4500);
  kill(pid, SIGINT);
  QTest::qWait(1500);
  std::string text = nxtest::ReadBytes(log);
  unlink(log.c_str());
  std::string bar;
  size_t end = text.rfind(']');
  if (end != std::string::npos) {
    size_t begin = text.rfind('\r', end);
    begin = begin == std::string::npos ? 0 : begin + 1;
    size_t stop = text.find_first_of("\r\n\x1b", end);
    bar = text.substr(begin, stop == std::string::npos ? std::string::npos : stop - begin);
  }
  if (bar.empty()) {
    std::fprintf(stderr, "fci_shots: no progress bar in the terminal output\n");
    return 1;
  }
  const std::string prompt = "$ vr03fci init E: --strict --yes";
  QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  mono.setPointSize(11);
  QFontMetrics fm(mono);
  const int width = fm.horizontalAdvance(QString::fromStdString(bar)) + 32;
  QImage image(std::max(width, fm.horizontalAdvance(QString::fromStdString(prompt)) + 32), fm.height() * 2 + 28,
               QImage::Format_RGB32);
  image.fill(QColor(30, 30, 30));
  QPainter p(&image);
  p.setFont(mono);
  p.setPen(QColor(200, 200, 200));
  p.drawText(16, 12 + fm.ascent(), QString::fromStdString(prompt));
  p.setPen(QColor(120, 220, 120));
  p.drawText(16, 16 + fm.height() + fm.ascent(), QString::fromStdString(bar));
  p.end();
  if (!image.save(QString::fromLocal8Bit(argv[5]))) rc = 1;
  return rc;
}
