// The virtual recorder's timed conditions: the scenario file (one event per line) and the
// option values that make the same events ("N@SECONDS", "HZ:MV", "BPM,BPM@SECONDS").
#pragma once

#include <string>
#include <vector>

#include "synth.h"

namespace vr03sim {

// The scenario's text: one "SECONDS WORD [ARGUMENT]" per line, seconds since the
// recorder was switched on; blank lines and "#" comments are skipped. Appends the
// events in the file's order; false with "NAME:LINE: reason" for the first bad line.
bool ParseScenario(const std::string& text, const std::string& name, std::vector<Event>* events, std::string* error);
// Reads and parses a scenario file; false with a one-line reason.
bool LoadScenario(const std::string& path, std::vector<Event>* events, std::string* error);

// Option values; each false when the text does not fit.
// "N" or "N@SECONDS": lead 1-3 (returned 0-based) and a time (0 without one).
bool ParseLeadAt(const char* text, int* lead, double* atS);
// "HZ:MV" with HZ within [minHz, maxHz] and MV 0-50.
bool ParseHzMv(const char* text, double minHz, double maxHz, double* hz, double* mv);
// "N:MV": lead 1-3 (returned 0-based) and MV 0-50.
bool ParseLeadMv(const char* text, int* lead, double* mv);
// "BPM[,BPM@SECONDS...]": the first rate, and HeartRate events for the later ones.
bool ParseHeartRates(const char* text, double* first, std::vector<Event>* events);

// The scenario grammar for the help text.
const char* ScenarioHelp();

}  // namespace vr03sim
