// Makes the README's picture of the recorder selection dialog: the real dialog, offscreen,
// with three virtual recorders (two switched on, one off) after a check, grabbed to PNG.
// usage: select_screenshot OUT.png
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "vkbth.h"

namespace {

// A recorder switched on: its socket listens (connections wait in the queue).
int Listen(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  std::strncpy(sa.sun_path, path.c_str(), sizeof(sa.sun_path) - 1);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 || listen(fd, 8) != 0) return -1;
  return fd;
}

QDialog* OpenDialog() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->objectName() == "102" && w->isVisible()) return qobject_cast<QDialog*>(w);
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: select_screenshot OUT.png\n");
    return 2;
  }
  const std::string out = std::filesystem::absolute(argv[1]).string();
  char dirTemplate[] = "/tmp/veltrak-shot.XXXXXX";
  if (!mkdtemp(dirTemplate)) {
    std::perror("select_screenshot: temporary folder");
    return 1;
  }
  const std::string dir = dirTemplate;
  setenv("NX_BT_DIR", dir.c_str(), 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  struct Known {
    const char* address;
    const char* name;
    bool on;
  };
  const Known recorders[] = {{"00:80:25:00:01:17", "VR-03M 0117", true},
                             {"00:80:25:00:01:23", "VR-03M 0123", false},
                             {"00:80:25:00:01:31", "VR-03M 0131", true}};
  std::vector<int> sockets;
  for (const Known& r : recorders) {
    std::ofstream(dir + "/" + r.address + ".name") << r.name << "\n";
    if (r.on) sockets.push_back(Listen(dir + "/" + r.address));
  }

  QApplication app(argc, argv);
  bool saved = false;
  int phase = 0;  // 0: wait for the list, 1: the check runs, 2: done
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    QDialog* dialog = OpenDialog();
    if (!dialog) return;
    auto* list = dialog->findChild<QTreeWidget*>("1001");
    auto* check = dialog->findChild<QPushButton*>("1005");
    if (phase == 0 && list->topLevelItemCount() == 3) {
      check->click();
      phase = 1;
    } else if (phase == 1 && check->isEnabled()) {
      list->setCurrentItem(list->topLevelItem(0));
      saved = dialog->grab().save(QString::fromStdString(out));
      phase = 2;
      dialog->reject();
    }
  });
  timer.start(50);
  VKBTSELECTPARAMS params{};
  params.dwSize = 44;
  params.pszNamePrefix = u"VR-03";
  params.ulChannel = 1;
  HVKBTDEVICE device = nullptr;
  vkbtSelectDevice(&params, &device);
  for (int fd : sockets) close(fd);
  std::filesystem::remove_all(dir);
  if (!saved) {
    std::fprintf(stderr, "select_screenshot: cannot write %s\n", out.c_str());
    return 1;
  }
  return 0;
}
