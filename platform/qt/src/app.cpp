// The message box window behind the platform's message boxes, Qt's own translations,
// and an application made for the length of a call.
#include <QAbstractButton>
#include <QApplication>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QThread>
#include <QTranslator>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "nxqt/nxqt.h"

namespace nxqt {
namespace {

QMessageBox::Icon IconOf(UINT style) {
  switch (style & MB_ICONMASK) {
    case MB_ICONHAND: return QMessageBox::Critical;
    case MB_ICONQUESTION: return QMessageBox::Question;
    case MB_ICONEXCLAMATION: return QMessageBox::Warning;
    case MB_ICONASTERISK: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
  }
}

// The button for a button id; Qt's standard buttons carry their translated texts.
QAbstractButton* AddButton(QMessageBox& box, int id) {
  switch (id) {
    case IDOK: return box.addButton(QMessageBox::Ok);
    case IDCANCEL: return box.addButton(QMessageBox::Cancel);
    case IDABORT: return box.addButton(QMessageBox::Abort);
    case IDRETRY: return box.addButton(QMessageBox::Retry);
    case IDIGNORE: return box.addButton(QMessageBox::Ignore);
    case IDYES: return box.addButton(QMessageBox::Yes);
    case IDNO: return box.addButton(QMessageBox::No);
    case IDTRYAGAIN: return box.addButton(QMessageBox::Retry);
    case IDCONTINUE:
      return box.addButton(QCoreApplication::translate("QPlatformTheme", "Continue"), QMessageBox::AcceptRole);
    default: return nullptr;
  }
}

// The hook installed into libnxpal: shows the box on the window thread.
int HookShow(void* /*context*/, HWND owner, LPCWSTR text, LPCWSTR caption, UINT style) {
  const QString qtext = QString::fromUtf16(text);
  const QString qcaption = QString::fromUtf16(caption);
  ApplicationScope scope;  // a plain program without an application gets one for the call
  if (!scope.Ok()) {
    int defaultId = 0;
    NxMessageBoxButtons(style, nullptr, &defaultId);
    return defaultId;
  }
  auto* app = QCoreApplication::instance();
  if (QThread::currentThread() == app->thread()) return ShowMessageBox(FromHwnd(owner), qtext, qcaption, style);
  int result = 0;
  QMetaObject::invokeMethod(
      app, [&] { result = ShowMessageBox(FromHwnd(owner), qtext, qcaption, style); }, Qt::BlockingQueuedConnection);
  return result;
}

bool HasDisplay() {
  for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

// Where windows would go, for the one line that says they cannot.
std::string DisplayName() {
  if (const char* platform = std::getenv("QT_QPA_PLATFORM"); platform && *platform)
    return std::string("the Qt platform '") + platform + "'";
  if (const char* wayland = std::getenv("WAYLAND_DISPLAY"); wayland && *wayland)
    return std::string("the Wayland display '") + wayland + "'";
  const char* x = std::getenv("DISPLAY");
  return std::string("the display '") + (x ? x : "") + "'";
}

void SayNoWindows(const char* program, const std::string& why, const char* hint) {
  std::fprintf(stderr, "%s: %s%s%s\n", program, why.c_str(), hint && *hint ? "; " : "", hint ? hint : "");
}

// While OpenApplication makes the application (one thread, before any window): the
// program's name and hint, the handler before ours, and the platform plugin's messages
// held back until it is known whether they end in Qt's fatal error.
struct Opening {
  const char* program = "";
  const char* hint = nullptr;
  QtMessageHandler previous = nullptr;
  std::vector<std::pair<QtMsgType, std::pair<std::string, QString>>> held;
};
Opening* g_opening = nullptr;

void Pass(QtMessageHandler previous, QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (previous) previous(type, context, message);
  else std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

void OpeningHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  Opening* o = g_opening;
  if (type == QtFatalMsg && o) {
    // Without a platform plugin Qt cannot go on and would abort; a display that is not
    // there is the user's setting, not a crash.
    SayNoWindows(o->program, "cannot reach " + DisplayName() + " to show windows on", o->hint);
    std::_Exit(1);
  }
  if (o && context.category && std::strncmp(context.category, "qt.qpa", 6) == 0) {
    o->held.push_back({type, {context.category, message}});
    return;
  }
  Pass(o ? o->previous : nullptr, type, context, message);
}

// The application whose translator is loaded, so a new application gets its own.
QPointer<QCoreApplication> g_translatedApp;
std::mutex g_translatorLock;

}  // namespace

int ShowMessageBox(QWidget* owner, const QString& text, const QString& caption, UINT style) {
  int ids[3] = {0, 0, 0};
  int defaultId = 0;
  const int count = NxMessageBoxButtons(style, ids, &defaultId);
  if (count == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  QMessageBox box(owner);
  box.setObjectName(QStringLiteral("NxMessageBox"));
  box.setWindowTitle(caption);
  box.setText(text);
  box.setIcon(IconOf(style));
  QAbstractButton* buttons[3] = {nullptr, nullptr, nullptr};
  QAbstractButton* escape = nullptr;
  for (int i = 0; i < count; ++i) {
    buttons[i] = AddButton(box, ids[i]);
    buttons[i]->setProperty("nxButtonId", ids[i]);
    if (ids[i] == defaultId) box.setDefaultButton(qobject_cast<QPushButton*>(buttons[i]));
    if (ids[i] == IDCANCEL) escape = buttons[i];
  }
  if (!escape && count == 1) escape = buttons[0];
  if (escape) box.setEscapeButton(escape);
  if (style & MB_TOPMOST) box.setWindowFlag(Qt::WindowStaysOnTopHint);
  box.exec();
  QAbstractButton* clicked = box.clickedButton();
  int result = clicked ? clicked->property("nxButtonId").toInt() : 0;
  if (result == 0) result = escape ? escape->property("nxButtonId").toInt() : defaultId;
  SetLastError(ERROR_SUCCESS);
  return result;
}

void InstallMessageBox() {
  NxSetMessageBoxHook(&HookShow, nullptr);
  if (QCoreApplication::instance()) LoadQtTranslations();
}

void LoadQtTranslations(const QLocale& locale) {
  auto* app = QCoreApplication::instance();
  if (!app) return;
  std::lock_guard<std::mutex> guard(g_translatorLock);
  if (g_translatedApp == app) return;
  auto* translator = new QTranslator(app);
  if (translator->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                       QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    QCoreApplication::installTranslator(translator);
  } else {
    delete translator;  // no translation for this language: Qt's English texts stay
  }
  g_translatedApp = app;
}

QApplication* OpenApplication(int& argc, char** argv, const char* hint) {
  const char* slash = argc > 0 && argv[0] ? std::strrchr(argv[0], '/') : nullptr;
  const char* program = slash ? slash + 1 : argc > 0 && argv[0] ? argv[0] : "program";
  if (!HasDisplay()) {
    SayNoWindows(program, "no display to show windows on (DISPLAY and WAYLAND_DISPLAY are not set)", hint);
    return nullptr;
  }
  Opening opening{program, hint, nullptr, {}};
  g_opening = &opening;
  opening.previous = qInstallMessageHandler(OpeningHandler);
  auto* app = new QApplication(argc, argv);
  qInstallMessageHandler(opening.previous);
  g_opening = nullptr;
  // The display was reached: what the plugin said on the way is worth its usual place.
  for (const auto& [type, text] : opening.held) {
    QMessageLogContext context(nullptr, 0, nullptr, text.first.c_str());
    Pass(opening.previous, type, context, text.second);
  }
  return app;
}

ApplicationScope::ApplicationScope() {
  if (QCoreApplication::instance() || !HasDisplay()) return;
  static int argc = 1;
  static char name[] = "nxqt";
  static char* argv[] = {name, nullptr};
  owned_ = new QApplication(argc, argv);
  LoadQtTranslations();
}

ApplicationScope::~ApplicationScope() { delete owned_; }

bool ApplicationScope::Ok() const { return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr; }

}  // namespace nxqt
