// The program as a user starts it from a shell: without a display it says so in one line
// and ends with status 1, instead of Qt's abort with a core dump.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "nxtest/process.h"
#include "nxtest/temp.h"

namespace {

std::string Program() { return std::string(std::getenv("NX_TEST_BIN_DIR")) + "/ordiva"; }

// A display number no X server here answers on.
std::string DeadDisplay() {
  // Built with append: GCC 12 at -O3 warns falsely (-Wrestrict) of a literal + a string.
  for (int n = 87;; ++n) {
    const std::string number = std::to_string(n);
    std::string socket = "/tmp/.X11-unix/X", display = ":";
    socket.append(number);
    display.append(number);
    struct stat st {};
    if (stat(socket.c_str(), &st) != 0) return display;
  }
}

TEST(Program, WithoutADisplayItSaysSoInOneLine) {
  nxtest::TempDir home("ordiva-home");

  // A login shell on a machine without a desktop: no DISPLAY, no WAYLAND_DISPLAY.
  nxtest::UserRun none = nxtest::RunAsUser(home.Path(), Program(), {});
  EXPECT_EQ(none.status, 1) << none.err;
  EXPECT_EQ(none.err, "ordiva: no display to show windows on (DISPLAY and WAYLAND_DISPLAY are not set); "
                      "Ordiva needs a desktop session\n");

  // A display named but not there (a closed remote session, a stale DISPLAY).
  const std::string dead = DeadDisplay();
  nxtest::UserRun gone = nxtest::RunAsUser(home.Path(), Program(), {}, {"DISPLAY=" + dead});
  EXPECT_EQ(gone.status, 1) << gone.err;
  EXPECT_EQ(gone.err, "ordiva: cannot reach the display '" + dead +
                          "' to show windows on; Ordiva needs a desktop session\n");
}

}  // namespace
