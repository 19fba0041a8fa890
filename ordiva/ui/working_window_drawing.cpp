// The working window's acquisition step and drawing: one record read and decoded per
// step, the link's health watched meanwhile, and the traces and grid drawn into the back
// buffer that the screen is refreshed from.
#include "working_window.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPainter>

#include "acquisition_worker.h"
#include "setup_dialog.h"
#include "working_window_parts.h"

namespace ordiva {

void WorkingWindow::AcquisitionStep() {
  if (fatalLink || greetingTimeout) {
    FatalStop();
    return;
  }
  if (linkLost_ || reconnecting_) {
    // A resumption (a resize, the set-up dialog) finds no link to read: "Пуск" first.
    worker_->Suspend();
    return;
  }
  const int h = display::BandHeight(TraceHeight(), leads);
  acquisition.decoder.leads = leads;
  linkWatch_.StepBegins();
  int delivered = 0;
  const ByteReader read = [this, &delivered](BYTE* b) {
    if (!linkWatch_.MayRead()) return false;  // a missing byte, as an empty read gives
    DWORD n = 0;
    const BOOL ok = env_.io.read(recorder.link(), b, 1, &n);
    linkWatch_.Read(ok, n, GetLastError());
    delivered += static_cast<int>(n);
    return n == 1;
  };
  const auto result = acquisition.ReadRecord(read);
  linkWatch_.StepEnds(result != StreamDecoder::Result::NoSync && delivered > 0);
  if (linkWatch_.Lost()) {
    // What was read of this record is not drawn: the traces stay as the link left them.
    OnLinkLost();
    return;
  }
  if (result == StreamDecoder::Result::NoSync) return;

  if (display::SweepEnded(sweepX, layout_.traceRight, speed)) {
    if (stopAtSweepEnd) {
      stopAtSweepEnd = false;
      worker_->Suspend();
    } else {
      NewSweep();
    }
  }
  const unsigned served = acquisition.ServeZeroRequests(recorder.config());
  for (int k = 0; k < 3; ++k)
    if ((served >> k) & 1u && setup_) setup_->ShowZero(k, acquisition.zeros[static_cast<size_t>(k)]);
  if (zeroFixArmed) ServeZeroFix();

  acquisition.Decode();
  FeedSignalCheck();
  std::array<int, 3> y{}, d{};
  acquisition.Scale(h, amplitude, &y, &d);
  if (setup_) setup_->ShowCurrent(acquisition.a);
  position = ClassifyPosition(d);
  DrawStep(y, d);
}

void WorkingWindow::ServeZeroFix() {
  // Channel offsets stay 0: nothing is known about what the recorder's trim expects, so
  // the fix sends zero offsets and subtracts nothing.
  zeroFixArmed = false;
  StopRecorderStream(recorder);
  env_.sleep(100);
  recorder.SetZeroOffsets(0, 0, 0);
  env_.sleep(100);
  recorder.StartStream();
}

void WorkingWindow::NewSweep() {
  back_.fill(palette().color(QPalette::Window));
  for (int band = 0; band < leads; ++band) DrawGrid(band);
  sweepX = prevX = 0;
  prevY = {};
  warning_->update();
  paintBox_->update();
}

void WorkingWindow::DrawGrid(int band) {
  const QFontMetrics fm(font());
  display::GridInput in;
  in.left = layout_.traceLeft;
  in.top = layout_.traceTop;
  in.right = layout_.traceRight;
  in.bottom = layout_.traceBottom;
  in.leads = leads;
  in.speed = speed;
  in.amplitude = amplitude;
  in.version = recorder.config().version;
  for (int i = 0; i < 3; ++i) {
    in.gainValue[i] = recorder.config().gainValue[i].Get();
    in.gainStep[i] = recorder.config().gainStep[i].Get();
    in.gainCode[i] = recorder.config().gainCode[i];
  }
  in.digitWidth = fm.horizontalAdvance("9");
  in.secHeight = fm.height();
  in.secWidth = fm.horizontalAdvance("Сек.");
  const display::BandGrid g = display::Grid(in, band);
  const int top = layout_.traceTop;  // window to back-buffer coordinates
  QPainter p(&back_);
  p.setPen(Qt::black);
  p.setBrush(QColor(192, 192, 192));
  p.drawRect(0, g.rectTop - top, in.right, g.rectBottom - g.rectTop);
  p.drawLine(0, g.centre - top, in.right, g.centre - top);
  for (const auto& pt : g.dots) p.drawPoint(pt.x, pt.y - top);
  for (const auto& pt : g.marks) p.drawPoint(pt.x, pt.y - top);
  p.setFont(font());
  for (const auto& t : g.texts) p.drawText(QPoint(t.x, t.y - top + fm.ascent()), Q(t.text));
}

void WorkingWindow::DrawStep(const std::array<int, 3>& y, const std::array<int, 3>& d) {
  const int h = display::BandHeight(TraceHeight(), leads);
  const int x0 = display::SampleToPixelX(prevX, speed), x1 = display::SampleToPixelX(sweepX, speed);
  QRect dirty;
  {
    QPainter p(&back_);
    for (int j = 0; j < leads; ++j) {
      const int c = leads - j;
      p.setPen(QPen(ChannelColour(c), 1));
      const int base = display::BandBase(c, h);
      const QPoint a(x0, base - prevY[static_cast<size_t>(j)]), b(x1, base - y[static_cast<size_t>(j)]);
      p.drawLine(a, b);
      dirty |= QRect(a, b).normalized().adjusted(-1, -1, 1, 1);
    }
  }
  accelBox_->Set(d, position);
  prevY = y;
  prevD = d;
  prevX = sweepX;
  ++sweepX;
  dirty_ |= dirty & back_.rect();
}

}  // namespace ordiva
