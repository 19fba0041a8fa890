// The virtual recorder's command line, its help text, and its configuration file (the
// recorder's memory: the 64-byte configuration block, kept across runs).
#pragma once

#include <string>

#include "firmware.h"
#include "synth.h"
#include "stream.h"

namespace vr03sim {

struct Options {
  ULONGLONG address = 0x008025000001ull;
  std::string name = "VR-03M 0001";
  std::string dir;  // virtual transport folder; empty: NX_BT_DIR
  int channel = 1;  // RFCOMM channel
  bool rfcomm = true;
  std::string configPath;  // empty: DefaultConfigPath(address)
  int leads = 0;  // 0: as stored
  int rateHz = 0;  // 0: as stored
  int version = -1;  // -1: as stored
  std::string commandLog;  // file that gets each received command with its time; empty: none
  SignalSettings signal;
  FaultSettings faults;
  bool help = false;
};

// Parses the arguments (without the program name). False with a one-line reason.
bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error);
const char* HelpText();

// ${XDG_STATE_HOME:-$HOME/.local/state}/veltrak/vr03sim/<address>.cfg
std::string DefaultConfigPath(ULONGLONG address);
// The stored block. exists is false (and the block untouched) when there is no file;
// false with a reason when the file cannot be read or is not a 64-byte block.
bool LoadConfig(const std::string& path, RecorderConfig* config, bool* exists, std::string* error);
// Replaces the file as a whole (a new file renamed over the old one), creating its
// folder. False with a reason.
bool SaveConfig(const std::string& path, const RecorderConfig& config, std::string* error);

}  // namespace vr03sim
