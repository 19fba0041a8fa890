// Parsing of the scenario file and of the condition options' values.
#include "scenario.h"

#include <errno.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vr03sim {
namespace {

constexpr double kMaxSeconds = 7 * 24 * 3600.0;
constexpr double kMaxMv = 50;

bool Number(const std::string& text, double min, double max, double* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !(v >= min && v <= max)) return false;
  *value = v;
  return true;
}

bool Lead(const std::string& text, int* lead) {
  if (text.size() != 1 || text[0] < '1' || text[0] > '3') return false;
  *lead = text[0] - '1';
  return true;
}

// "A:B" split at the colon.
bool Pair(const std::string& text, std::string* a, std::string* b) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  *a = text.substr(0, colon);
  *b = text.substr(colon + 1);
  return true;
}

struct Word {
  const char* word;
  Event::Kind kind;
  const char* argument;  // for the message of a bad argument
};
constexpr Word kWords[] = {
    {"lead-off", Event::Kind::LeadOff, "a lead 1-3"},
    {"lead-on", Event::Kind::LeadOn, "a lead 1-3"},
    {"clip", Event::Kind::Clip, "a lead 1-3"},
    {"unclip", Event::Kind::Unclip, "a lead 1-3"},
    {"mains", Event::Kind::Mains, "HZ:MV (10-500 Hz, 0-50 mV)"},
    {"muscle", Event::Kind::Muscle, "LEAD:MV (lead 1-3, 0-50 mV)"},
    {"wander", Event::Kind::Wander, "HZ:MV (0.01-5 Hz, 0-50 mV)"},
    {"heart-rate", Event::Kind::HeartRate, "beats per minute, 20-250"},
    {"turn", Event::Kind::Turn, "a position: back, belly, right, left, head or upright"},
    {"battery", Event::Kind::Battery, "millivolts, 0-3000"},
    {"stall", Event::Kind::Stall, "seconds, 0.001-600"},
    {"link-drop", Event::Kind::LinkDrop, "seconds, 0.001-3600"},
};

// The argument of an event of a known kind; false when it does not fit.
bool Argument(Event::Kind kind, const std::string& text, Event* e) {
  using K = Event::Kind;
  switch (kind) {
    case K::LeadOff:
    case K::LeadOn:
    case K::Clip:
    case K::Unclip: return Lead(text, &e->lead);
    case K::Mains: return ParseHzMv(text.c_str(), 10, 500, &e->value, &e->mv);
    case K::Wander: return ParseHzMv(text.c_str(), 0.01, 5, &e->value, &e->mv);
    case K::Muscle: return ParseLeadMv(text.c_str(), &e->lead, &e->value);
    case K::HeartRate: return Number(text, 20, 250, &e->value);
    case K::Turn: return ParsePosition(text.c_str(), &e->position);
    case K::Battery: return Number(text, 0, 3000, &e->value);
    case K::Stall: return Number(text, 0.001, 600, &e->value);
    case K::LinkDrop: return Number(text, 0.001, 3600, &e->value);
  }
  return false;
}

}  // namespace

bool ParseLeadAt(const char* text, int* lead, double* atS) {
  const std::string all(text ? text : "");
  const size_t at = all.find('@');
  *atS = 0;
  if (at != std::string::npos && !Number(all.substr(at + 1), 0, kMaxSeconds, atS)) return false;
  return Lead(all.substr(0, at), lead);
}

bool ParseHzMv(const char* text, double minHz, double maxHz, double* hz, double* mv) {
  std::string a, b;
  return text && Pair(text, &a, &b) && Number(a, minHz, maxHz, hz) && Number(b, 0, kMaxMv, mv);
}

bool ParseLeadMv(const char* text, int* lead, double* mv) {
  std::string a, b;
  return text && Pair(text, &a, &b) && Lead(a, lead) && Number(b, 0, kMaxMv, mv);
}

bool ParseHeartRates(const char* text, double* first, std::vector<Event>* events) {
  if (!text) return false;
  std::vector<Event> later;
  std::stringstream all(text);
  std::string one;
  bool gotFirst = false;
  while (std::getline(all, one, ',')) {
    const size_t at = one.find('@');
    double bpm = 0;
    if (!Number(one.substr(0, at), 20, 250, &bpm)) return false;
    if (!gotFirst) {
      if (at != std::string::npos) return false;  // the first rate holds from the start
      *first = bpm;
      gotFirst = true;
      continue;
    }
    Event e;
    e.kind = Event::Kind::HeartRate;
    e.value = bpm;
    if (at == std::string::npos || !Number(one.substr(at + 1), 0, kMaxSeconds, &e.atS)) return false;
    later.push_back(e);
  }
  if (!gotFirst || (!std::string(text).empty() && std::string(text).back() == ',')) return false;
  events->insert(events->end(), later.begin(), later.end());
  return true;
}

bool ParseScenario(const std::string& text, const std::string& name, std::vector<Event>* events, std::string* error) {
  std::stringstream lines(text);
  std::string line;
  std::vector<Event> parsed;
  for (int number = 1; std::getline(lines, line); ++number) {
    auto fail = [&](const std::string& reason) {
      *error = name + ":" + std::to_string(number) + ": " + reason;
      return false;
    };
    if (const size_t hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::stringstream fields(line);
    std::string seconds, word, argument, extra;
    if (!(fields >> seconds)) continue;  // blank or a comment only
    Event e;
    if (!Number(seconds, 0, kMaxSeconds, &e.atS)) return fail("\"" + seconds + "\" is not a time in seconds");
    if (!(fields >> word)) return fail("an event is missing after the time");
    const Word* known = nullptr;
    for (const Word& w : kWords) {
      if (word == w.word) known = &w;
    }
    if (!known) return fail("unknown event \"" + word + "\"");
    e.kind = known->kind;
    if (!(fields >> argument)) return fail(word + " needs " + known->argument);
    if (!Argument(known->kind, argument, &e)) return fail("bad value \"" + argument + "\" for " + word + ": " + known->argument);
    if (fields >> extra) return fail("unexpected \"" + extra + "\" after " + word + " " + argument);
    parsed.push_back(e);
  }
  events->insert(events->end(), parsed.begin(), parsed.end());
  return true;
}

bool LoadScenario(const std::string& path, std::vector<Event>* events, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    *error = "cannot read the scenario " + path + ": " + std::strerror(errno);
    return false;
  }
  std::stringstream text;
  text << file.rdbuf();
  return ParseScenario(text.str(), path, events, error);
}

const char* ScenarioHelp() {
  return
      "Scenario file (--scenario): one event per line, \"SECONDS EVENT ARGUMENT\", the\n"
      "seconds counted from the recorder's start; blank lines and # comments are skipped:\n"
      "  lead-off N        the electrode of lead N comes off (the lead sits at a rail)\n"
      "  lead-on N         it is put back\n"
      "  clip N, unclip N  lead N starts or stops reaching the converter's rails\n"
      "  mains HZ:MV       mains interference on every lead (MV 0 ends it)\n"
      "  muscle N:MV       muscle noise (20-150 Hz, MV RMS) on lead N (MV 0 ends it)\n"
      "  wander HZ:MV      base line wander on every lead (MV 0 ends it)\n"
      "  heart-rate BPM    the heart rate from then on\n"
      "  turn POSITION     the patient turns (the position list ends)\n"
      "  battery MV        the supply voltage drops or rises to MV, then drains on\n"
      "  stall SECONDS     the link stops that long; what was recorded follows in a burst\n"
      "  link-drop SECONDS the connection breaks and the recorder is out of reach that long\n"
      "For example:\n"
      "  20 lead-off 2\n"
      "  35 lead-on 2\n"
      "  40 turn left\n"
      "  50 battery 1100\n"
      "  60 link-drop 5\n"
      "\n";
}

}  // namespace vr03sim
