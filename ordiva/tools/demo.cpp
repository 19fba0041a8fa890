// Demo driver: a scripted session on the real windows against a virtual recorder already
// serving in NX_BT_DIR, as a nurse would run it: the recorder chosen, the live traces
// watched, the gains applied, the patient's particulars typed in Cyrillic, "Закончить"
// pressed and the card confirmed. A screenshot of each step goes to the folder named.
// Used by scripts/demo when there is no display.
//
// Usage: ordiva_demo --screenshots DIR [--seconds N]
// Exit status: 0 when the card record was written, 1 otherwise, 2 for a bad command line.
#include <dirent.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>

#include "acquisition_worker.h"
#include "nxpal/msgbox.h"
#include "nxpal/text.h"
#include "setup_dialog.h"
#include "vkbth/devtools.h"
#include "working_window.h"

namespace {

// Runs the event loop as the program does for ms milliseconds, or until done() holds.
bool Spin(int ms, const std::function<bool()>& done = [] { return false; }) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() >= ms) return false;
    QEventLoop loop;
    QTimer::singleShot(10, &loop, &QEventLoop::quit);
    loop.exec();
  }
  return true;
}

// The first virtual recorder in NX_BT_DIR whose name starts with "VR-03M": its address.
bool FindRecorder(ULONGLONG* address, std::string* name) {
  const char* dir = std::getenv("NX_BT_DIR");
  if (!dir) return false;
  DIR* d = opendir(dir);
  if (!d) return false;
  bool found = false;
  while (dirent* e = readdir(d)) {
    std::string file = e->d_name;
    if (file.size() != 17 + 5 || file.compare(17, 5, ".name") != 0) continue;
    std::ifstream in(std::string(dir) + "/" + file);
    std::getline(in, *name);
    if (name->rfind("VR-03M", 0) != 0) continue;
    std::string hex;
    for (char c : file.substr(0, 17))
      if (c != ':') hex += c;
    *address = std::strtoull(hex.c_str(), nullptr, 16);
    found = true;
    break;
  }
  closedir(d);
  return found;
}

// Every message box of the session, answered as the nurse would: yes to "Карта
// заполнена правильно?", OK to the rest. Each is echoed so the demo's log tells the story.
int AnswerBox(void*, HWND, LPCWSTR text, LPCWSTR caption, UINT style) {
  std::printf("  message box \"%s\": %s\n", nx::Utf16ToUtf8(caption).c_str(), nx::Utf16ToUtf8(text).c_str());
  return (style & MB_TYPEMASK) == MB_YESNO ? IDYES : IDOK;
}

}  // namespace

int main(int argc, char** argv) {
  std::string shots;
  int seconds = 4;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--screenshots") && i + 1 < argc) {
      shots = argv[++i];
    } else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) {
      seconds = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: ordiva_demo --screenshots DIR [--seconds N]\n");
      return 2;
    }
  }
  if (shots.empty() || seconds <= 0) {
    std::fprintf(stderr, "usage: ordiva_demo --screenshots DIR [--seconds N]\n");
    return 2;
  }
  QApplication app(argc, argv);
  int step = 0;
  auto save = [&](QWidget* w, const char* what) {
    char file[64];
    std::snprintf(file, sizeof file, "/%02d-%s.png", ++step, what);
    if (!w->grab().save(QString::fromStdString(shots + file))) std::fprintf(stderr, "ordiva_demo: cannot save %s\n", file);
    std::printf("  screenshot %s\n", (shots + file).c_str());
  };

  ULONGLONG address = 0;
  std::string name;
  if (!FindRecorder(&address, &name)) {
    std::fprintf(stderr, "ordiva_demo: no recorder \"VR-03M...\" in NX_BT_DIR\n");
    return 1;
  }
  std::printf("ordiva_demo: recorder %s\n", name.c_str());
  NxSetMessageBoxHook(&AnswerBox, nullptr);

  ordiva::Environment env;
  env.selectDevice = [address](HWND, HVKBTDEVICE* device) {
    return NxBtCreateDeviceInfo(address, u"VR-03M", nullptr, 1, u"8779", device);
  };
  // The fixed waits at a fifth: the session keeps its order, the demo its pace.
  env.sleep = [](DWORD ms) { ::Sleep(ms / 5); };
  env.io.sleep = env.sleep;
  bool ended = false;
  env.endProgram = [&] { ended = true; };
  ordiva::Program program(env);
  if (!program.Start()) {
    std::fprintf(stderr, "ordiva_demo: the recorder did not answer\n");
    return 1;
  }
  ordiva::WorkingWindow* f = program.WorkingWindow();
  f->showNormal();
  f->resize(1400, 820);

  std::printf("ordiva_demo: live traces for %d s\n", seconds);
  Spin(seconds * 1000);
  save(f, "live-traces");

  std::printf("ordiva_demo: gains 910 / 910 / 1092 applied\n");
  f->findChild<QSpinBox*>("SpinEdit3")->setValue(910);
  f->findChild<QSpinBox*>("SpinEdit2")->setValue(910);
  f->findChild<QSpinBox*>("SpinEdit1")->setValue(1092);
  QTest::mouseClick(f->Button("Button8"), Qt::LeftButton);
  Spin(1500);
  save(f, "gains-applied");

  program.SetupDialog()->show();
  Spin(500);
  save(program.SetupDialog(), "setup-dialog");
  program.SetupDialog()->hide();

  std::printf("ordiva_demo: the patient's particulars\n");
  const std::pair<const char*, const char*> fields[] = {
      {"MaskEditFamilia", "Смирнова"}, {"MaskEdit1", "Ольга"},        {"MaskEdit2", "Викторовна"},
      {"MaskEdit7", "1207261"},        {"MaskEdit3", "14031961"},     {"MaskEditRost", "164"},
      {"MaskEditVes", "61"},           {"MaskEditKlinika", "Городская поликлиника №3"},
      {"MaskEditVrach", "Кузнецов А.И."}, {"MaskEdit10", "V2"}, {"MaskEdit9", "V5"}, {"MaskEdit8", "aVF"},
  };
  for (const auto& [control, text] : fields) {
    QLineEdit* edit = f->Edit(control);
    if (!edit) {
      std::fprintf(stderr, "ordiva_demo: no field %s\n", control);
      return 1;
    }
    edit->setText(QString::fromUtf8(text));
  }
  QTest::mouseClick(f->Edit("MaskEdit5"), Qt::LeftButton);  // sex: the click toggles it
  Spin(1000);
  save(f, "patient");

  std::printf("ordiva_demo: \"Закончить\"\n");
  QTest::mouseClick(f->Button("Button12"), Qt::LeftButton);
  Spin(5000, [&] { return ended; });
  if (!f->recordSaved) {
    std::fprintf(stderr, "ordiva_demo: the card record was not written\n");
    save(f, "not-written");
    return 1;
  }
  std::printf("ordiva_demo: the card record is written and the recorder released\n");
  return 0;
}
