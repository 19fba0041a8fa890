// What the programs' windows need: a display, Qt's platform plugin able to open it (tried
// in a child process, since Qt ends a process whose plugin fails), and a font with
// Cyrillic glyphs for the windows' Russian texts.
#include <QFontDatabase>
#include <QGuiApplication>
#include <QScreen>

#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "checks.h"

namespace vr03check {
namespace {

constexpr char kDisplayTitle[] = "display";
constexpr char kPluginTitle[] = "Qt platform plugin";

std::string Env(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

// The probe child's Qt messages, written out only when the plugin fails.
std::vector<std::string>* g_probeMessages = nullptr;

void ProbeHandler(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (g_probeMessages) g_probeMessages->push_back(message.toStdString());
  if (type == QtFatalMsg) {
    for (const std::string& line : *g_probeMessages) std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    std::_Exit(1);
  }
}

// The line of the child's output that says most about a failure.
std::string Reason(const std::string& err) {
  std::string first;
  size_t begin = 0;
  while (begin < err.size()) {
    size_t end = err.find('\n', begin);
    if (end == std::string::npos) end = err.size();
    const std::string line = err.substr(begin, end - begin);
    begin = end + 1;
    if (line.empty()) continue;
    if (first.empty()) first = line;
    if (line.find("could not connect") != std::string::npos || line.find("Could not load") != std::string::npos ||
        line.find("Could not find") != std::string::npos || line.find("Failed to create") != std::string::npos)
      return line;
  }
  return first;
}

}  // namespace

int ProbeWindows(int argc, char** argv) {
  std::vector<std::string> messages;
  g_probeMessages = &messages;
  qInstallMessageHandler(ProbeHandler);
  QGuiApplication app(argc, argv);
  const QScreen* screen = QGuiApplication::primaryScreen();
  std::printf("%s %dx%d\n", QGuiApplication::platformName().toUtf8().constData(),
              screen ? screen->size().width() : 0, screen ? screen->size().height() : 0);
  return 0;
}

void CheckDesktop(Report& report, const std::string& self) {
  const std::string platform = Env("QT_QPA_PLATFORM"), x = Env("DISPLAY"), wayland = Env("WAYLAND_DISPLAY");
  bool probe = true;
  if (!platform.empty() && platform != "xcb" && platform.rfind("wayland", 0) != 0) {
    report.Add("display", kDisplayTitle, Status::Fail,
               "QT_QPA_PLATFORM=" + platform + ": the programs' windows would not be shown on the desktop",
               "unset QT_QPA_PLATFORM");
    probe = false;
  } else if (x.empty() && wayland.empty()) {
    report.Add("display", kDisplayTitle, Status::Fail,
               "none: DISPLAY and WAYLAND_DISPLAY are not set (a terminal outside the desktop session)",
               "run vr03check in a terminal of the desktop session");
    probe = false;
  } else {
    report.Add("display", kDisplayTitle, Status::Ok,
               wayland.empty() ? "X display " + x : "Wayland display " + wayland + (x.empty() ? "" : ", X display " + x))
        .Fact("display", x)
        .Fact("wayland_display", wayland);
  }
  if (!probe) {
    report.Add("qt platform", kPluginTitle, Status::Skip, "not checked: no display");
  } else {
    const ProgramRun run = RunProgram({self, "--probe-windows"}, 20000);
    if (run.status == 0) {
      std::string seen = run.out.substr(0, run.out.find('\n'));
      const std::string name = seen.substr(0, seen.find(' '));
      const std::string size = seen.find(' ') == std::string::npos ? std::string() : seen.substr(seen.find(' ') + 1);
      report.Add("qt platform", kPluginTitle, Status::Ok, name + " opens the display, screen " + size)
          .Fact("plugin", name)
          .Fact("screen", size);
    } else {
      const std::string reason = run.timedOut ? "no answer from the display within 20 s" : Reason(run.err);
      const bool connect = reason.find("connect") != std::string::npos || run.timedOut;
      report.Add("qt platform", kPluginTitle, Status::Fail, "windows cannot be opened: " + reason,
                 connect ? "check that DISPLAY is the desktop's own (echo $DISPLAY in a terminal of the desktop)"
                         : "sudo apt install --reinstall libqt6gui6 libxcb-cursor0 (QT_DEBUG_PLUGINS=1 vr03fci tells "
                           "what is missing)");
    }
  }

  // Fonts are the same for every platform plugin: fontconfig's.
  QStringList fonts = QFontDatabase::families(QFontDatabase::Cyrillic);
  if (fonts.isEmpty()) {
    report.Add("font", "Cyrillic font", Status::Fail, "no font with Cyrillic glyphs: the windows' texts would be boxes",
               "sudo apt install fonts-dejavu-core");
  } else {
    const QString shown = fonts.contains(QStringLiteral("DejaVu Sans")) ? QStringLiteral("DejaVu Sans") : fonts.first();
    const long long count = fonts.size();
    report.Add("font", "Cyrillic font", Status::Ok,
               shown.toStdString() + (count > 1 ? " and " + std::to_string(count - 1) + " more" : std::string()))
        .Fact("font", shown.toStdString())
        .Fact("fonts", count);
  }
}

}  // namespace vr03check
