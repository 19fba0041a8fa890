// The window side of the platform layer over Qt Widgets (libnxqt): window handles that
// are live widgets, dialog units, picture strips, the message box window, the bell and
// an application object for callers that have none. libnxpal stays free of Qt.
#pragma once

#include <QFont>
#include <QIcon>
#include <QImage>
#include <QList>
#include <QLocale>
#include <QRect>
#include <QString>

#include "nxpal/windows.h"

class QApplication;
class QWidget;

// Win32 functions of libnxqt: C linkage, exported by name.
#define NXQT_API NX_EXTERN_C NX_EXPORT

// TRUE when the handle is the address of a widget the application has now. Without an
// application no handle is a window. Call it on the window thread.
NXQT_API BOOL IsWindow(HWND hWnd);
// Converts a rectangle in dialog units of the dialog's font to pixels in place. FALSE
// with ERROR_INVALID_WINDOW_HANDLE (1400) for a handle that is not a window,
// ERROR_INVALID_PARAMETER (87) for a null rectangle.
NXQT_API BOOL MapDialogRect(HWND hDlg, LPRECT lpRect);
// Rings the desktop's bell. The frequency and duration are requests a desktop bell cannot
// honour; the call returns at once (from any thread). FALSE with
// ERROR_INVALID_PARAMETER (87) for a frequency outside 37-32767 Hz, as on Windows.
NXQT_API BOOL Beep(DWORD dwFreq, DWORD dwDuration);

namespace nxqt {

// A window handle is the widget's address; FromHwnd gives null unless the widget is alive.
inline HWND ToHwnd(QWidget* widget) { return reinterpret_cast<HWND>(widget); }
NX_EXPORT QWidget* FromHwnd(HWND window);

// The desktop's user-interface font, which stands for the dialogs' "MS Shell Dlg 8 pt".
NX_EXPORT QFont DialogFont();

// Dialog units of a font, as Windows computes them: a horizontal unit is a quarter of
// the font's average character width, a vertical one an eighth of its height.
class NX_EXPORT DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);
  int BaseX() const { return baseX_; }  // average character width, pixels
  int BaseY() const { return baseY_; }  // character height, pixels
  int X(int units) const;  // horizontal units to pixels, rounded
  int Y(int units) const;  // vertical units to pixels, rounded
  QRect Rect(int x, int y, int width, int height) const;
  QSize Size(int width, int height) const;

 private:
  int baseX_;
  int baseY_;
};

// A picture strip: n images of `width` pixels side by side; the colour of the strip's
// top-left pixel is transparent everywhere. Images beyond the strip's width are not
// made; an empty strip or width <= 0 gives an empty list.
NX_EXPORT QList<QIcon> SplitPictureStrip(const QImage& strip, int width);
// The strip embedded as icon `id` of the module (nx_add_resources ICONS), split as above.
// Empty when the module has no such icon (last error as LoadImageW sets it).
NX_EXPORT QList<QIcon> LoadPictureStrip(HINSTANCE module, UINT id, int width);

// Installs the message box window as the platform's message box hook (MessageBoxW/A,
// MessageBoxIndirectW) and the translations of Qt's own texts for the user's language.
// Idempotent. A call from another thread than the window thread shows the box on the
// window thread and waits for it: never call it holding a lock that thread may need.
NX_EXPORT void InstallMessageBox();
// The message box window itself: icon, buttons and default button of the MB_ style;
// returns the id of the button chosen (the Esc key gives IDCANCEL when there is a Cancel
// button and IDOK for a lone OK). 0 with ERROR_INVALID_PARAMETER (87) for unknown button
// bits. Call it on the window thread of an application (see ApplicationScope).
NX_EXPORT int ShowMessageBox(QWidget* owner, const QString& text, const QString& caption, UINT style);

// Loads Qt's own translations (qtbase) for the user's language into the application,
// once, so that standard buttons read "Да"/"Нет" on a Russian desktop. Needs an application.
NX_EXPORT void LoadQtTranslations(const QLocale& locale = QLocale::system());

// The program's application, made only where windows can be shown. Without a display
// (no QT_QPA_PLATFORM, DISPLAY or WAYLAND_DISPLAY) it writes one line to stderr,
// "<program>: no display to show windows on", then `hint` when given, and returns null.
// A display that is named but cannot be reached ends the process with such a line and
// exit status 1 (Qt itself would abort with a core dump). The caller owns the
// application, and ends with a non-zero status when it gets none.
NX_EXPORT QApplication* OpenApplication(int& argc, char** argv, const char* hint = nullptr);

// An application for the length of a call: when none exists it makes one (with Qt's
// translations loaded) and destroys it at the end of the scope; otherwise it does
// nothing. Ok() is false when no application could be made because there is no
// display (no QT_QPA_PLATFORM, DISPLAY or WAYLAND_DISPLAY): the caller shows no window.
class NX_EXPORT ApplicationScope {
 public:
  ApplicationScope();
  ~ApplicationScope();
  ApplicationScope(const ApplicationScope&) = delete;
  ApplicationScope& operator=(const ApplicationScope&) = delete;
  bool Ok() const;
  bool Owned() const { return owned_ != nullptr; }  // made by this scope

 private:
  QApplication* owned_ = nullptr;
};

}  // namespace nxqt
