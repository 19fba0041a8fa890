// What the working window's source files share: text conversions, its message boxes, and
// the two painted boxes of the window (the trace area and the accelerometer box).
#pragma once

#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>
#include <QString>
#include <QWidget>

#include <array>
#include <string>
#include <string_view>

#include "working_window.h"

namespace ordiva {

inline QString Q(std::u16string_view s) { return QString::fromUtf16(s.data(), static_cast<qsizetype>(s.size())); }
inline std::u16string U(const QString& s) {
  return std::u16string(reinterpret_cast<const char16_t*>(s.utf16()), s.size());
}

inline HWND Hwnd(QWidget* w) { return reinterpret_cast<HWND>(w); }

inline int Message(QWidget* owner, const std::u16string& text, const char16_t* caption, UINT style) {
  return MessageBoxW(Hwnd(owner), text.c_str(), caption, style);
}

// The trace area: paints the damaged part of the back buffer.
class TracePaintBox : public QWidget {
 public:
  TracePaintBox(QWidget* parent, const QImage* back) : QWidget(parent), back_(back) {
    setObjectName("PaintBox1");
    setAttribute(Qt::WA_OpaquePaintEvent);
  }

 protected:
  void paintEvent(QPaintEvent* e) override {
    QPainter p(this);
    p.drawImage(e->rect(), *back_, e->rect());
  }

 private:
  const QImage* back_;
};

// The accelerometer box: the three deviations as bars under their letters and the body
// position's text.
class AccelBox : public QWidget {
 public:
  explicit AccelBox(QWidget* parent) : QWidget(parent) {
    setObjectName("PaintBox2");
    setMinimumHeight(90);
  }
  // New values; the box is repainted by Flush.
  void Set(const std::array<int, 3>& d, BodyPosition position) {
    if (d == d_ && position == position_) return;
    d_ = d;
    position_ = position;
    dirty_ = true;
  }
  void Flush() {
    if (dirty_) update();
    dirty_ = false;
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setPen(Qt::black);
    p.setBrush(Qt::white);
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    const int m = height() / 2;
    const QFontMetrics fm(font());
    static const char* kLetters[] = {"z", "y", "x"};
    for (int k = 0; k < 3; ++k) {
      const int x = 20 * (k + 1);
      p.drawText(QPoint(x, -fm.height() / 10 + fm.ascent()), kLetters[k]);
      p.drawLine(x, m, x, m - d_[static_cast<size_t>(k)] / 3);
    }
    p.drawText(QPoint(BodyPositionTextX(position_), m + fm.ascent()), Q(BodyPositionText(position_)));
  }

 private:
  std::array<int, 3> d_{};
  BodyPosition position_ = BodyPosition::OnBack;
  bool dirty_ = false;
};

}  // namespace ordiva
