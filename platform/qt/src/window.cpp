// Window handles as live widgets, dialog units, picture strips, and the bell.
#include <QApplication>
#include <QFontMetrics>
#include <QMetaObject>
#include <QThread>
#include <QWidget>

#include <cmath>
#include <vector>

#include "nxqt/nxqt.h"

namespace nxqt {
namespace {

// Windows' MulDiv: a * b / c rounded half away from zero.
int MulDivRound(int a, int b, int c) {
  const long long product = static_cast<long long>(a) * b;
  const long long half = c / 2;
  return static_cast<int>(product >= 0 ? (product + half) / c : (product - half) / c);
}

bool OnWindowThread() {
  auto* app = QCoreApplication::instance();
  return app && QThread::currentThread() == app->thread();
}

}  // namespace

QWidget* FromHwnd(HWND window) {
  if (!window || !qobject_cast<QApplication*>(QCoreApplication::instance())) return nullptr;
  // The handle is compared with the live widgets only; it is never dereferenced first.
  const QWidgetList widgets = QApplication::allWidgets();
  for (QWidget* w : widgets)
    if (reinterpret_cast<HWND>(w) == window) return w;
  return nullptr;
}

QFont DialogFont() { return QApplication::font(); }

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  // Windows' average width of a dialog font: the extent of the 52 Latin letters / 26,
  // plus one, halved.
  const int extent = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  baseX_ = (extent / 26 + 1) / 2;
  baseY_ = metrics.height();
}

int DialogUnits::X(int units) const { return MulDivRound(units, baseX_, 4); }
int DialogUnits::Y(int units) const { return MulDivRound(units, baseY_, 8); }
QRect DialogUnits::Rect(int x, int y, int width, int height) const { return QRect(X(x), Y(y), X(width), Y(height)); }
QSize DialogUnits::Size(int width, int height) const { return QSize(X(width), Y(height)); }

QList<QIcon> SplitPictureStrip(const QImage& strip, int width) {
  QList<QIcon> icons;
  if (strip.isNull() || width <= 0) return icons;
  QImage image = strip.convertToFormat(QImage::Format_ARGB32);
  const QRgb key = image.pixel(0, 0) | 0xFF000000u;
  for (int y = 0; y < image.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < image.width(); ++x)
      if ((line[x] | 0xFF000000u) == key) line[x] = 0;
  }
  for (int left = 0; left + width <= image.width(); left += width)
    icons.append(QIcon(QPixmap::fromImage(image.copy(left, 0, width, image.height()))));
  return icons;
}

QList<QIcon> LoadPictureStrip(HINSTANCE module, UINT id, int width) {
  auto icon = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(id), IMAGE_ICON, 0, 0, 0));
  if (!icon) return {};
  int w = 0, h = 0;
  QList<QIcon> icons;
  if (NxGetIconPixels(icon, &w, &h, nullptr, 0) && w > 0 && h > 0) {
    std::vector<DWORD> pixels(static_cast<size_t>(w) * h);
    if (NxGetIconPixels(icon, &w, &h, pixels.data(), static_cast<DWORD>(pixels.size()))) {
      const QImage image(reinterpret_cast<const uchar*>(pixels.data()), w, h, w * 4,
                         QImage::Format_ARGB32_Premultiplied);
      icons = SplitPictureStrip(image, width);  // converts, so the pixels may go
    }
  }
  DestroyIcon(icon);
  return icons;
}

}  // namespace nxqt

using namespace nxqt;

BOOL IsWindow(HWND hWnd) { return FromHwnd(hWnd) != nullptr; }

BOOL MapDialogRect(HWND hDlg, LPRECT lpRect) {
  QWidget* dialog = FromHwnd(hDlg);
  DWORD error = !dialog ? ERROR_INVALID_WINDOW_HANDLE : !lpRect ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
  if (error == ERROR_SUCCESS) {
    // The property, not QWidget::font(): that inline would be emitted and exported here.
    const DialogUnits units(dialog->property("font").value<QFont>());
    lpRect->left = units.X(lpRect->left);
    lpRect->right = units.X(lpRect->right);
    lpRect->top = units.Y(lpRect->top);
    lpRect->bottom = units.Y(lpRect->bottom);
  }
  SetLastError(error);
  return error == ERROR_SUCCESS;
}

BOOL Beep(DWORD dwFreq, DWORD /*dwDuration*/) {
  if (dwFreq < 37 || dwFreq > 32767) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
  if (app) {
    if (OnWindowThread()) QApplication::beep();
    else QMetaObject::invokeMethod(app, [] { QApplication::beep(); }, Qt::QueuedConnection);
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
