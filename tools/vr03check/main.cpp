// vr03check: checks this PC for the VR-03 software and says, step by step, what is
// missing and the command that mends it. It only looks: nothing is written anywhere.
#include <QGuiApplication>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "checks.h"
#include "report.h"
#include "virtualbt.h"

#ifndef VR03CHECK_VERSION
#define VR03CHECK_VERSION "unknown"
#endif

namespace {

const char kHelp[] =
    "Usage: vr03check [--json] [--recorder ADDRESS]\n"
    "\n"
    "Checks this PC for the VR-03 software, one line per step, each OK or what is\n"
    "wrong with the command that mends it:\n"
    "  the paged-file service pfsvc: reachable, whose it is, its version;\n"
    "  the right to cards: the service's grant group; card readers, the cards in\n"
    "    them, their mounts, and whether vr03fci can initialise each card;\n"
    "  Bluetooth: bluetoothd, its adapter, the recorders it knows (names beginning\n"
    "    with VR-03M), paired and trusted or not, and a pairing agent's registration;\n"
    "  the registry hives: where they are, readable, the user's writable;\n"
    "  the windows: a display, Qt's platform plugin, a font with Cyrillic glyphs.\n"
    "\n"
    "  --recorder ADDRESS  also open a link to the recorder (00:80:25:12:34:56),\n"
    "                      read its greeting and configuration, and close it\n"
    "  --json              one JSON document instead of lines\n"
    "  --version           the version\n"
    "  --help              this text\n"
    "\n"
    "Nothing is written to a card, a recorder or the registry.\n"
    "Exit status: 0 when every check passes, 1 when one fails, 2 for a usage error.\n";

int Usage(const std::string& why) {
  std::fprintf(stderr, "vr03check: %s (see vr03check --help)\n", why.c_str());
  return 2;
}

// Qt's own remarks (fontconfig, the platform) are not the check's output.
void Quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

std::string SelfPath(const char* argv0) {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string(argv0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--probe-windows") == 0) return vr03check::ProbeWindows(argc - 1, argv);
  bool json = false, recorder = false;
  ULONGLONG address = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (a == "--version") {
      std::printf("vr03check %s\n", VR03CHECK_VERSION);
      return 0;
    } else if (a == "--json") {
      json = true;
    } else if (a == "--recorder" || a.rfind("--recorder=", 0) == 0) {
      std::string value;
      if (a == "--recorder") {
        if (i + 1 >= argc) return Usage("--recorder needs an address such as 00:80:25:12:34:56");
        value = argv[++i];
      } else {
        value = a.substr(11);
      }
      if (!vkbth::ParseBtAddress(value, &address)) return Usage("not a Bluetooth address: " + value);
      recorder = true;
    } else {
      return Usage("unknown argument " + a);
    }
  }

  // An application of our own for D-Bus and the font database; the windows' platform is
  // tried apart (CheckDesktop), so this one never needs a display.
  qInstallMessageHandler(Quiet);
  static char name[] = "vr03check", platformArg[] = "-platform", offscreen[] = "offscreen";
  static char* qtArgv[] = {name, platformArg, offscreen, nullptr};
  int qtArgc = 3;
  QGuiApplication app(qtArgc, qtArgv);

  vr03check::Report report;
  const vr03check::ServiceFacts service = vr03check::CheckService(report);
  vr03check::CheckCards(report, service);
  vr03check::CheckBluetooth(report);
  vr03check::CheckRegistry(report);
  vr03check::CheckDesktop(report, SelfPath(argv[0]));
  if (recorder) vr03check::CheckRecorder(report, address);

  if (json) {
    report.WriteJson(stdout, VR03CHECK_VERSION);
  } else {
    const char* term = getenv("TERM");
    const bool colour = isatty(STDOUT_FILENO) && !getenv("NO_COLOR") && !(term && std::strcmp(term, "dumb") == 0);
    report.WriteText(stdout, colour);
  }
  return report.AnyFailed() ? 1 : 0;
}
