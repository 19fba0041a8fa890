// The picture window, its connection animation, and the JPEG pictures decoded with
// libjpeg.
#include "picture_window.h"

#include <QCloseEvent>
#include <QPainter>
#include <QPaintEvent>

#include <cmath>
#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

#include "pictures.h"

namespace ordiva {
namespace {

// libjpeg reports fatal errors through error_exit, which must not return.
struct JpegError {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
};
void JpegFail(j_common_ptr info) { std::longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1); }
void JpegQuiet(j_common_ptr, int) {}

const QColor kSkyBlue(166, 202, 240);

}  // namespace

QImage DecodeJpeg(const unsigned char* data, size_t size) {
  jpeg_decompress_struct info{};
  JpegError error{};
  info.err = jpeg_std_error(&error.mgr);
  error.mgr.error_exit = JpegFail;
  error.mgr.emit_message = JpegQuiet;
  QImage image;
  if (setjmp(error.jump)) {
    jpeg_destroy_decompress(&info);
    return QImage();
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
  if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK) {
    jpeg_destroy_decompress(&info);
    return QImage();
  }
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  image = QImage(static_cast<int>(info.output_width), static_cast<int>(info.output_height), QImage::Format_RGB888);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = image.scanLine(static_cast<int>(info.output_scanline));
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return image;
}

QImage PictureWindowImage() { return DecodeJpeg(kPictureWindowJpeg, sizeof kPictureWindowJpeg); }
QImage AboutBoxImage() { return DecodeJpeg(kAboutBoxJpeg, sizeof kAboutBoxJpeg); }

PictureWindow::PictureWindow(std::function<void()> onClose)
    : QWidget(nullptr, Qt::FramelessWindowHint), onClose_(std::move(onClose)) {
  setObjectName("Form3");
  picture_ = PictureWindowImage();
  Repaint();
}

void PictureWindow::Repaint() {
  canvas_ = QImage(size().expandedTo(QSize(1, 1)), QImage::Format_RGB32);
  canvas_.fill(kSkyBlue);
  QPainter p(&canvas_);
  const QPoint at((width() - picture_.width()) / 2, (height() - picture_.height()) / 2);
  p.drawImage(at, picture_);
  update();
}

void PictureWindow::resizeEvent(QResizeEvent*) { Repaint(); }

void PictureWindow::paintEvent(QPaintEvent* e) {
  QPainter p(this);
  p.drawImage(e->rect(), canvas_, e->rect());
}

void PictureWindow::closeEvent(QCloseEvent* e) {
  e->accept();
  if (onClose_) onClose_();
}

void PictureWindow::PlayConnectionAnimation(int screenWidth, int screenHeight, const std::function<void(DWORD)>& sleep,
                                     DWORD stepMs) {
  const QPointF centre(screenWidth / 2 - 320, screenHeight / 2);
  for (int k = 1; k <= 100; ++k) {
    const int r = 5 * k;
    {
      QPainter p(&canvas_);
      p.setRenderHint(QPainter::Antialiasing, false);
      p.setPen(QColor(0, 255, 0));
      // The arc runs round between the directions of (r, r/4) and (r, -r/4), leaving
      // the gap of about 28 degrees between them open on the right.
      const double half = std::atan2(r / 4.0, r) * 180 / M_PI;
      p.drawArc(QRectF(centre.x() - r, centre.y() - r, 2 * r, 2 * r), static_cast<int>(half * 16),
                static_cast<int>((360 - 2 * half) * 16));
    }
    repaint();
    sleep(stepMs);
  }
}

}  // namespace ordiva
