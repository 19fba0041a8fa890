// The checks of vr03check, one function per step of setting up a clinic PC. Each adds
// its verdicts to the report and only reads: nothing here writes to a card, a recorder,
// the registry or the system's settings.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "report.h"

namespace vr03check {

// What the service check learnt, for the checks of cards after it.
struct ServiceFacts {
  bool reachable = false;
  bool system = false;  // runs as root: lends its rights for cards to the grant group
  uid_t uid = 0;  // the user it runs as
  std::string grantGroup;  // the system service's grant group; empty: it lends to nobody
};

// The paged-file service: reachable on its pipe, whose it is, its version.
ServiceFacts CheckService(Report& report);
// The right to cards (the grant group), card readers, cards in them, their mounts, and
// what the initializer would say of each card.
void CheckCards(Report& report, const ServiceFacts& service);
// BlueZ (or the virtual transport when NX_BT_DIR is set): bluetoothd, the adapter, the
// recorders it knows, and whether a pairing agent may register.
void CheckBluetooth(Report& report);
// The registry hives: where they are, readable, the user's hive writable.
void CheckRegistry(Report& report);
// A display, Qt's platform plugin (tried in a child process: `self` with
// --probe-windows), and a font with Cyrillic glyphs.
void CheckDesktop(Report& report, const std::string& self);
// The child's side of the platform plugin check: opens the application as the programs
// do and prints what it got; exit status 0 when windows can be shown.
int ProbeWindows(int argc, char** argv);
// A link to the recorder at the address: greeting and configuration block read, link
// closed, nothing changed on the recorder.
void CheckRecorder(Report& report, unsigned long long address);

// ---- helpers shared by the checks ----

// A program run to its end with a deadline: its exit status (-1 when it did not run,
// ended by a signal or was killed at the deadline) and its output.
struct ProgramRun {
  int status = -1;
  bool timedOut = false;
  std::string out, err;
};
ProgramRun RunProgram(const std::vector<std::string>& argv, int deadlineMs,
                      const std::vector<std::string>& extraEnv = {});

// The name of the user running the check ("uid 1234" when it has none).
std::string UserName();
// The first line of a text file, or empty.
std::string FirstLine(const std::string& path);

}  // namespace vr03check
