// Draws the two picture strips of the recorder selection dialog at build time:
//   recorders.png (64 x 16): the recorder plain; with short radio waves; with long
//                            radio waves; plain again
//   states.png    (48 x 16): a computer; an arrow with radio waves; a red no-entry sign
// Both on a magenta key colour in the top-left pixel, which the dialog makes
// transparent; drawn without anti-aliasing so that no edge blends into the key.
// usage: make_strips OUTDIR
#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QString>

#include <cstdio>

namespace {

const QColor kKey(255, 0, 255);
const QColor kOutline(40, 40, 48);
const QColor kCase(224, 228, 236);
const QColor kScreen(70, 150, 110);
const QColor kWave(30, 110, 220);

// The recorder: a small upright case with a display and a lead socket, at x0.
void Recorder(QPainter& p, int x0) {
  p.setPen(kOutline);
  p.setBrush(kCase);
  p.drawRect(x0 + 2, 4, 8, 11);
  p.setBrush(kScreen);
  p.drawRect(x0 + 4, 6, 4, 3);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(200, 40, 40));
  p.drawRect(x0 + 5, 12, 2, 2);  // the lead socket
}

// Radio waves to the upper right of a point: arcs of the given radii.
void Waves(QPainter& p, int cx, int cy, std::initializer_list<int> radii) {
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(kWave, 1));
  for (int r : radii) p.drawArc(QRect(cx - r, cy - r, 2 * r, 2 * r), 0 * 16, 90 * 16);
}

QImage Recorders() {
  QImage image(64, 16, QImage::Format_RGB32);
  image.fill(kKey);
  QPainter p(&image);
  for (int i = 0; i < 4; ++i) Recorder(p, i * 16);
  Waves(p, 16 + 10, 5, {2, 3});
  Waves(p, 32 + 10, 5, {2, 3, 4, 5});
  return image;
}

QImage States() {
  QImage image(48, 16, QImage::Format_RGB32);
  image.fill(kKey);
  QPainter p(&image);
  // A computer: monitor, screen, stand.
  p.setPen(kOutline);
  p.setBrush(kCase);
  p.drawRect(1, 2, 13, 9);
  p.setBrush(QColor(60, 110, 200));
  p.drawRect(3, 4, 9, 5);
  p.setBrush(kCase);
  p.drawRect(5, 12, 5, 2);
  // An arrow to the right with radio waves above its head.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(30, 140, 60));
  p.drawRect(16 + 1, 10, 8, 3);
  QPainterPath head;
  head.moveTo(16 + 9, 7);
  head.lineTo(16 + 14, 11);
  head.lineTo(16 + 9, 15);
  head.closeSubpath();
  p.drawPath(head);
  Waves(p, 16 + 6, 7, {2, 4, 6});
  // A red no-entry sign: a disc with a white bar.
  p.setPen(QColor(150, 0, 0));
  p.setBrush(QColor(220, 20, 20));
  p.drawEllipse(QRect(32 + 1, 1, 13, 13));
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  p.drawRect(32 + 4, 6, 8, 3);
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_strips OUTDIR\n");
    return 2;
  }
  const QString dir = QString::fromLocal8Bit(argv[1]);
  if (!Recorders().save(dir + "/recorders.png") || !States().save(dir + "/states.png")) {
    std::fprintf(stderr, "make_strips: cannot write the pictures to %s\n", argv[1]);
    return 1;
  }
  return 0;
}
