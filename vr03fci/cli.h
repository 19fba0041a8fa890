// The card initializer without a window: "vr03fci list", "info E:", "init E: ...",
// with a progress bar on the terminal. The same engine as the dialog's.
#pragma once

namespace fci {

// Exit codes of the command line.
inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;  // refused card, failed run, or failed start
inline constexpr int kExitUsage = 2;
inline constexpr int kExitCancelled = 130;  // Ctrl-C (SIGINT) or SIGTERM

// Runs the command given by argv[1..]; the exit code.
int RunCommandLine(int argc, char** argv);

}  // namespace fci
