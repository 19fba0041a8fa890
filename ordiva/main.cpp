// Ordiva, the monitoring program: the application, the message box window, and the
// program's windows. The working window's creation runs the recorder selection and the
// start-up; without a recorder chosen the program ends silently.
#include <QApplication>

#include "MainUnit.h"
#include "nxqt/nxqt.h"
#include "vkbth.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  nxqt::InstallMessageBox();

  ordiva::Environment env;
  // The recorders in range whose name begins with "VR-03M", paired with passkey 8779 and
  // reached on RFCOMM channel 1; the dialog's place is not kept.
  env.selectDevice = [](HWND parent, HVKBTDEVICE* device) -> BOOL {
    VKBTSELECTPARAMS params{};
    params.dwSize = 44;
    params.dwFlags = 0;
    params.hwndParent = parent;
    params.pszNamePrefix = u"VR-03M";
    params.pszPasskey = u"8779";
    params.ulChannel = 1;
    return vkbtSelectDevice(&params, device) == 1;
  };
  // Closing the picture window ends the program, also during the start-up (before the
  // event loop runs, when quit() alone would be lost).
  bool ended = false;
  env.endProgram = [&ended] {
    ended = true;
    QCoreApplication::quit();
  };
  ordiva::Program program(env);
  if (!program.Start() || ended) return 0;
  return app.exec();
}
