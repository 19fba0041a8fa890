// Vr03FCI: the memory card initializer. Without arguments the dialog, with a command the
// same engine on the terminal.
#include "cli.h"
#include "init_dialog_window.h"

int main(int argc, char** argv) { return argc > 1 ? fci::RunCommandLine(argc, argv) : fci::RunDialog(argc, argv); }
