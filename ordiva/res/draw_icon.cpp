// Draws Ordiva's desktop icon at build time: a light card with a grid and one red ECG
// beat across it. Usage: ordiva_draw_icon OUT.png SIZE
#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  const int size = argc == 3 ? std::atoi(argv[2]) : 0;
  if (size < 16 || size > 512) {
    std::fprintf(stderr, "usage: ordiva_draw_icon OUT.png SIZE (16-512)\n");
    return 2;
  }
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  const double s = size / 48.0;
  p.scale(s, s);
  p.setPen(QPen(QColor(90, 90, 90), 1.5));
  p.setBrush(QColor(236, 240, 236));
  p.drawRoundedRect(QRectF(2, 6, 44, 36), 5, 5);
  p.setPen(QPen(QColor(190, 200, 190), 0.8));
  for (int x = 10; x < 46; x += 8) p.drawLine(QPointF(x, 8), QPointF(x, 40));
  for (int y = 14; y < 42; y += 8) p.drawLine(QPointF(4, y), QPointF(44, y));
  QPainterPath beat;
  beat.moveTo(4, 28);
  beat.lineTo(13, 28);
  beat.quadTo(15.5, 24, 18, 28);
  beat.lineTo(20, 28);
  beat.lineTo(22, 31);
  beat.lineTo(25, 11);
  beat.lineTo(28, 35);
  beat.lineTo(30, 28);
  beat.lineTo(33, 28);
  beat.quadTo(37, 22, 41, 28);
  beat.lineTo(44, 28);
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QColor(210, 0, 0), 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.drawPath(beat);
  p.end();
  return image.save(argv[1], "PNG") ? 0 : 1;
}
