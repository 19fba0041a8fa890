// Vr03FCI: the memory card initializer. Without arguments the dialog, with a command the
// same engine on the terminal.
#include "cli.h"

int main(int argc, char** argv) { return fci::RunCommandLine(argc, argv); }
