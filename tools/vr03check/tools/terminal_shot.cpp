// Draws a terminal's text, with its colour codes (SGR 0, 1, 2, 31-33), as a PNG: the
// README's picture of vr03check, made by scripts/check-screenshot from the real output.
// Usage: vr03check_terminal_shot TYPESCRIPT PROMPT OUT.png
#include <QFile>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cstdio>
#include <vector>

namespace {

struct Run {
  QString text;
  QColor colour;
  bool bold;
};
using Line = std::vector<Run>;

const QColor kPlain(200, 200, 200), kDim(130, 130, 130), kRed(240, 90, 90), kGreen(120, 220, 120),
    kYellow(230, 200, 80);

// The lines of a typescript: carriage returns dropped, SGR codes turned into runs, any
// other escape sequence skipped.
std::vector<Line> Parse(const QString& text) {
  std::vector<Line> lines(1);
  QColor colour = kPlain;
  bool bold = false;
  QString run;
  const auto flush = [&] {
    if (!run.isEmpty()) lines.back().push_back(Run{run, colour, bold});
    run.clear();
  };
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text[i];
    if (c == '\r') continue;
    if (c == '\n') {
      flush();
      lines.emplace_back();
    } else if (c == QChar(0x1b) && i + 1 < text.size() && text[i + 1] == '[') {
      qsizetype end = i + 2;
      while (end < text.size() && !text[end].isLetter()) ++end;
      if (end < text.size() && text[end] == 'm') {
        flush();
        for (const QString& code : text.mid(i + 2, end - i - 2).split(';')) {
          const int n = code.toInt();
          if (n == 0) colour = kPlain, bold = false;
          else if (n == 1) bold = true;
          else if (n == 2) colour = kDim;
          else if (n == 31) colour = kRed;
          else if (n == 32) colour = kGreen;
          else if (n == 33) colour = kYellow;
        }
      }
      i = end;
    } else {
      run += c;
    }
  }
  flush();
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: vr03check_terminal_shot TYPESCRIPT PROMPT OUT.png\n");
    return 2;
  }
  QGuiApplication app(argc, argv);
  QFile file(QString::fromLocal8Bit(argv[1]));
  if (!file.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "vr03check_terminal_shot: cannot read %s\n", argv[1]);
    return 1;
  }
  std::vector<Line> lines = Parse(QString::fromUtf8(file.readAll()));
  lines.insert(lines.begin(), Line{Run{QString::fromLocal8Bit(argv[2]), kPlain, false}});
  QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  mono.setPointSize(10);
  QFont monoBold = mono;
  monoBold.setBold(true);
  const QFontMetrics fm(mono);
  int width = 0;
  for (const Line& line : lines) {
    QString all;
    for (const Run& r : line) all += r.text;
    width = std::max(width, fm.horizontalAdvance(all));
  }
  QImage image(width + 32, static_cast<int>(lines.size()) * fm.height() + 24, QImage::Format_RGB32);
  image.fill(QColor(30, 30, 30));
  QPainter p(&image);
  int y = 12 + fm.ascent();
  for (const Line& line : lines) {
    int x = 16;
    for (const Run& r : line) {
      p.setFont(r.bold ? monoBold : mono);
      p.setPen(r.colour);
      p.drawText(x, y, r.text);
      x += fm.horizontalAdvance(r.text);  // a monospaced grid, bold or not
    }
    y += fm.height();
  }
  p.end();
  return image.save(QString::fromLocal8Bit(argv[3])) ? 0 : 1;
}
