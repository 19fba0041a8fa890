// Ordiva, the monitoring program: the application, the message box window, and the
// program's windows. The working window's start of the session runs the recorder selection
// and the start-up; without a recorder chosen the program ends silently.
#include <QApplication>

#include <memory>

#include "nxqt/nxqt.h"
#include "working_window.h"

int main(int argc, char** argv) {
  std::unique_ptr<QApplication> app(nxqt::OpenApplication(argc, argv, "Ordiva needs a desktop session"));
  if (!app) return 1;
  nxqt::InstallMessageBox();

  ordiva::Environment env;
  env.selectDevice = ordiva::SelectRecorder;  // the real dialog, as the GUI tests drive it
  // Closing the picture window ends the program, also during the start-up (before the
  // event loop runs, when quit() alone would be lost).
  bool ended = false;
  env.endProgram = [&ended] {
    ended = true;
    QCoreApplication::quit();
  };
  ordiva::Program program(env);
  if (!program.Start() || ended) return 0;
  return app->exec();
}
