// The picture window: the application's main window (closing it ends the
// program), borderless and sky-blue with one centred picture, which shows the
// connection animation while the link is made.
#pragma once

#include <QImage>
#include <QWidget>

#include <functional>

#include "nxpal/types.h"

namespace ordiva {

class PictureWindow : public QWidget {
 public:
  explicit PictureWindow(std::function<void()> onClose);
  // 100 green arcs of radius 5 ... 500 around (screen width / 2 - 320, screen height / 2),
  // each open on the right, the window updated after each and sleep(stepMs) between them.
  void PlayConnectionAnimation(int screenWidth, int screenHeight, const std::function<void(DWORD)>& sleep,
                               DWORD stepMs = 100);
  const QImage& Canvas() const { return canvas_; }

 protected:
  void paintEvent(class QPaintEvent* event) override;
  void resizeEvent(class QResizeEvent* event) override;
  void closeEvent(class QCloseEvent* event) override;

 private:
  void Repaint();
  QImage picture_;
  QImage canvas_;
  std::function<void()> onClose_;
};

// The program's two pictures, decoded from JPEG with libjpeg (empty on failure).
QImage DecodeJpeg(const unsigned char* data, size_t size);
QImage PictureWindowImage();
QImage AboutBoxImage();

}  // namespace ordiva
