// Command-line parsing, help text and the configuration file of the virtual recorder.
#include "options.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "scenario.h"
#include "virtualbt.h"

namespace vr03sim {
namespace {

bool ToLong(const char* text, long min, long max, long* value) {
  if (!text || !*text) return false;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *value = v;
  return true;
}

bool ToDouble(const char* text, double min, double max, double* value) {
  if (!text || !*text) return false;
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(text, &end);
  if (errno != 0 || *end != '\0' || !(v >= min && v <= max)) return false;
  *value = v;
  return true;
}

bool ParsePositions(const char* text, std::vector<Position>* positions) {
  positions->clear();
  std::string all(text);
  size_t start = 0;
  for (;;) {
    size_t comma = all.find(',', start);
    std::string one = all.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    Position p;
    if (!ParsePosition(one.c_str(), &p)) return false;
    positions->push_back(p);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

// "MS/S": stall MS milliseconds every S seconds.
bool ParseStall(const char* text, FaultSettings* faults) {
  const char* slash = std::strchr(text, '/');
  if (!slash) return false;
  std::string ms(text, slash);
  long stallMs = 0;
  double every = 0;
  if (!ToLong(ms.c_str(), 1, 600000, &stallMs) || !ToDouble(slash + 1, 0.001, 86400, &every)) return false;
  if (stallMs / 1000.0 >= every) return false;  // the link would never run
  faults->stallMs = static_cast<int>(stallMs);
  faults->stallEveryS = every;
  return true;
}

const char* HelpTemplate();

}  // namespace

const char* HelpText() {
  static const std::string text = [] {
    std::string t = HelpTemplate();
    const std::string mark = "%SCENARIO%\n";
    t.replace(t.find(mark), mark.size(), ScenarioHelp());
    return t;
  }();
  return text.c_str();
}

namespace {
const char* HelpTemplate() {
  return
      "Usage: vr03sim [options]\n"
      "\n"
      "The virtual VR-03 recorder: it answers the recorder's command protocol and sends\n"
      "its live stream (synthetic ECG, body position, supply voltage), so that the\n"
      "monitoring program can be used and tested without a recorder. It serves until\n"
      "SIGTERM or SIGINT, one connection at a time (further ones are closed at once).\n"
      "\n"
      "Where it listens:\n"
      "  Virtual transport: a Unix stream socket named after the address in the folder\n"
      "  NX_BT_DIR (or --dir), plus the file <address>.name holding the name. Programs\n"
      "  that run with the same NX_BT_DIR connect to it through the link library.\n"
      "  RFCOMM: on the given channel of the local Bluetooth adapter, where one exists;\n"
      "  without an adapter only the virtual transport is served.\n"
      "\n"
      "Options:\n"
      "  --address XX:XX:XX:XX:XX:XX  Bluetooth address (default 00:80:25:00:00:01)\n"
      "  --name TEXT            device name (default \"VR-03M 0001\")\n"
      "  --dir PATH             folder of the virtual transport (default $NX_BT_DIR)\n"
      "  --channel N            RFCOMM channel, 1-30 (default 1)\n"
      "  --no-rfcomm            do not listen on RFCOMM\n"
      "  --config FILE          the recorder's memory: its 64-byte configuration block\n"
      "                         (default $XDG_STATE_HOME/veltrak/vr03sim/<address>.cfg).\n"
      "                         Created with factory settings when missing; every change\n"
      "                         by the host (0D, 13, 0A, 0B) is stored at once\n"
      "  --leads 1|2|3          number of leads (stored in the block)\n"
      "  --rate 250|500|1000    sampling rate in Hz (stored in the block)\n"
      "  --version N            firmware version byte, 0-255 (stored in the block);\n"
      "                         version 9 takes 32-byte block writes\n"
      "  --command-log FILE     write one line per command received, block written,\n"
      "                         connection and disconnection, each with the seconds\n"
      "                         since the start (monotonic clock, microseconds)\n"
      "\n"
      "Signal:\n"
      "  --heart-rate BPM[,BPM@S...]  heart rate, 20-250 (default 72), and later rates\n"
      "                         from S seconds on\n"
      "  --position LIST        body position, or several separated by commas taken in\n"
      "                         turn: back, belly, right, left, head, upright (default back)\n"
      "  --position-period S    seconds per position of a list (default 30)\n"
      "  --battery MV           supply voltage at start in millivolts (default 1400)\n"
      "  --drain MV             millivolts lost per minute (default 2; floor 1000)\n"
      "  --seed N               seed of the noise and the faults (default 1)\n"
      "\n"
      "Conditions of a poor preparation (times in seconds since the start; the\n"
      "options naming a lead may be repeated for other leads):\n"
      "  --lead-off N[@S]       the electrode of lead N (1-3) is off from S seconds on\n"
      "                         (default 0): the lead sits near a rail of the converter\n"
      "                         (the top one for leads 1 and 3, the bottom one for 2)\n"
      "  --clip N               lead N's gain is far too high: each R wave overshoots\n"
      "                         the top rail\n"
      "  --mains HZ:MV          mains interference on every lead, MV peak (10-500 Hz)\n"
      "  --muscle N:MV          muscle noise on lead N: 20-150 Hz (below half the\n"
      "                         rate), MV RMS\n"
      "  --wander HZ:MV         base line wander on every lead, MV peak (0.01-5 Hz)\n"
      "  --scenario FILE        events at their times, one a line (see below)\n"
      "\n"
      "Faults of a poor link (live stream only; replies stay intact):\n"
      "  --drop P               probability 0-1 that a stream byte is lost\n"
      "  --extra P              probability 0-1 that a random byte is inserted after one\n"
      "  --garble P             probability 0-1 that a stream byte is changed\n"
      "  --stall MS/S           the link stops for MS milliseconds every S seconds; what\n"
      "                         was recorded meanwhile follows in a burst\n"
      "\n"
      "  --help                 this text\n"
      "\n"
      "%SCENARIO%\n"
      "The stream runs at the configured rate (records per second), in the cycle of one\n"
      "full record, then three times ten sample records and one motion record, then ten\n"
      "sample records. ECG amplitude is gain code x gain step counts per millivolt\n"
      "(step 182 for versions below 10). Exit status: 0 after SIGTERM, 1 when serving\n"
      "fails, 2 for a bad command line; the reason is one line on stderr.\n";
}
}  // namespace

bool ParseOptions(int argc, const char* const* argv, Options* o, std::string* error) {
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) return nullptr;
      return argv[++i];
    };
    auto bad = [&](const char* v) {
      *error = v ? "invalid value for " + arg + ": \"" + v + "\"" : "missing value for " + arg;
      return false;
    };
    long n = 0;
    double d = 0;
    if (arg == "--help" || arg == "-h") {
      o->help = true;
    } else if (arg == "--no-rfcomm") {
      o->rfcomm = false;
    } else if (arg == "--address") {
      const char* v = value();
      if (!v || !vkbth::ParseBtAddress(v, &o->address)) return bad(v);
    } else if (arg == "--name") {
      const char* v = value();
      if (!v || !*v || std::strchr(v, '\n')) return bad(v);
      o->name = v;
    } else if (arg == "--dir") {
      const char* v = value();
      if (!v || !*v) return bad(v);
      o->dir = v;
    } else if (arg == "--command-log") {
      const char* v = value();
      if (!v || !*v) return bad(v);
      o->commandLog = v;
    } else if (arg == "--config") {
      const char* v = value();
      if (!v || !*v) return bad(v);
      o->configPath = v;
    } else if (arg == "--channel") {
      const char* v = value();
      if (!ToLong(v, 1, 30, &n)) return bad(v);
      o->channel = static_cast<int>(n);
    } else if (arg == "--leads") {
      const char* v = value();
      if (!ToLong(v, 1, 3, &n)) return bad(v);
      o->leads = static_cast<int>(n);
    } else if (arg == "--rate") {
      const char* v = value();
      if (!ToLong(v, 250, 1000, &n) || (n != 250 && n != 500 && n != 1000)) return bad(v);
      o->rateHz = static_cast<int>(n);
    } else if (arg == "--version") {
      const char* v = value();
      if (!ToLong(v, 0, 255, &n)) return bad(v);
      o->version = static_cast<int>(n);
    } else if (arg == "--heart-rate") {
      const char* v = value();
      if (!ParseHeartRates(v, &o->signal.heartRateBpm, &o->signal.events)) return bad(v);
    } else if (arg == "--lead-off" || arg == "--clip") {
      const char* v = value();
      Event e;
      e.kind = arg == "--clip" ? Event::Kind::Clip : Event::Kind::LeadOff;
      if (!ParseLeadAt(v, &e.lead, &e.atS) || (arg == "--clip" && std::strchr(v, '@'))) return bad(v);
      o->signal.events.push_back(e);
    } else if (arg == "--mains" || arg == "--wander") {
      const char* v = value();
      Event e;
      const bool mains = arg == "--mains";
      e.kind = mains ? Event::Kind::Mains : Event::Kind::Wander;
      if (!ParseHzMv(v, mains ? 10 : 0.01, mains ? 500 : 5, &e.value, &e.mv)) return bad(v);
      o->signal.events.push_back(e);
    } else if (arg == "--muscle") {
      const char* v = value();
      Event e;
      e.kind = Event::Kind::Muscle;
      if (!ParseLeadMv(v, &e.lead, &e.value)) return bad(v);
      o->signal.events.push_back(e);
    } else if (arg == "--scenario") {
      const char* v = value();
      if (!v || !*v) return bad(v);
      if (!LoadScenario(v, &o->signal.events, error)) return false;
    } else if (arg == "--position") {
      const char* v = value();
      if (!v || !ParsePositions(v, &o->signal.positions)) return bad(v);
    } else if (arg == "--position-period") {
      const char* v = value();
      if (!ToDouble(v, 0.1, 86400, &d)) return bad(v);
      o->signal.positionPeriodS = d;
    } else if (arg == "--battery") {
      const char* v = value();
      if (!ToDouble(v, 0, 3000, &d)) return bad(v);
      o->signal.batteryMv = d;
    } else if (arg == "--drain") {
      const char* v = value();
      if (!ToDouble(v, 0, 3000, &d)) return bad(v);
      o->signal.drainMvPerMin = d;
    } else if (arg == "--seed") {
      const char* v = value();
      if (!ToLong(v, 0, 0x7FFFFFFF, &n)) return bad(v);
      o->signal.seed = static_cast<uint64_t>(n);
    } else if (arg == "--drop" || arg == "--extra" || arg == "--garble") {
      const char* v = value();
      if (!ToDouble(v, 0, 1, &d)) return bad(v);
      (arg == "--drop" ? o->faults.drop : arg == "--extra" ? o->faults.extra : o->faults.garble) = d;
    } else if (arg == "--stall") {
      const char* v = value();
      if (!v || !ParseStall(v, &o->faults)) return bad(v);
    } else {
      *error = "unknown option " + arg + " (see --help)";
      return false;
    }
  }
  SortEvents(&o->signal.events);
  return true;
}

std::string DefaultConfigPath(ULONGLONG address) {
  std::string base;
  if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state) {
    base = state;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home && *home ? home : ".") + "/.local/state";
  }
  return base + "/veltrak/vr03sim/" + vkbth::BtAddressText(address) + ".cfg";
}

bool LoadConfig(const std::string& path, RecorderConfig* config, bool* exists, std::string* error) {
  *exists = false;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return true;
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  RecorderConfig block{};
  BYTE extra = 0;
  ssize_t n = read(fd, block.Bytes(), sizeof(block));
  ssize_t more = n == static_cast<ssize_t>(sizeof(block)) ? read(fd, &extra, 1) : 0;
  int err = errno;
  close(fd);
  if (n < 0 || more < 0) {
    *error = "cannot read " + path + ": " + std::strerror(err);
    return false;
  }
  if (n != static_cast<ssize_t>(sizeof(block)) || more != 0) {
    *error = path + " is not a 64-byte configuration block";
    return false;
  }
  *config = block;
  *exists = true;
  return true;
}

bool SaveConfig(const std::string& path, const RecorderConfig& config, std::string* error) {
  std::error_code ec;
  const auto folder = std::filesystem::path(path).parent_path();
  if (!folder.empty()) std::filesystem::create_directories(folder, ec);
  const std::string temp = path + ".new";
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot write " + temp + ": " + std::strerror(errno);
    return false;
  }
  bool ok = write(fd, config.Bytes(), sizeof(config)) == static_cast<ssize_t>(sizeof(config));
  int err = errno;
  ok = close(fd) == 0 && ok;
  if (ok && rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    unlink(temp.c_str());
    *error = "cannot write " + path + ": " + std::strerror(err);
  }
  return ok;
}

}  // namespace vr03sim
