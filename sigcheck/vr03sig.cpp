// vr03sig: the signal check on a CSV file of ECG samples, one column per lead; prints each
// second's verdict per lead and the heart rate, tab-separated.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "signal_check.h"

namespace {

constexpr const char* kUsage = "usage: vr03sig --rate HZ [--gain COUNTS_PER_MV] [--mv] FILE.csv";

int Usage(const std::string& why) {
  std::fprintf(stderr, "vr03sig: %s\n%s\n", why.c_str(), kUsage);
  return 2;
}

void Help() {
  std::printf(
      "%s\n"
      "Judges each lead of an ECG recording once a second and prints, tab-separated:\n"
      "seconds since the start, lead (1-3), verdict (good, no-contact, clipped, mains,\n"
      "muscle, wander), heart rate in beats per minute or '-'.\n"
      "  --rate HZ               sampling rate: 250, 500 or 1000\n"
      "  --gain COUNTS_PER_MV    the leads' gain (default 100)\n"
      "  --mv                    the file holds millivolts (else recorder counts 0-4095)\n"
      "The file has one column per lead (1 to 3), separated by commas, semicolons, tabs or\n"
      "spaces, and may start with a header line. Exit status 0, or 2 for a bad file or option.\n",
      kUsage);
}

bool ParseNumber(std::string_view text, double* value) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size() && std::isfinite(*value);
}

// The fields of a line, split at commas, semicolons, tabs or runs of spaces.
std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  const bool spaced = line.find_first_of(",;\t") == std::string_view::npos;
  size_t i = 0;
  while (i <= line.size()) {
    if (spaced) {
      while (i < line.size() && line[i] == ' ') ++i;
      if (i == line.size()) break;
    }
    size_t end = spaced ? line.find(' ', i) : line.find_first_of(",;\t", i);
    if (end == std::string_view::npos) end = line.size();
    std::string_view f = line.substr(i, end - i);
    while (!f.empty() && f.front() == ' ') f.remove_prefix(1);
    while (!f.empty() && f.back() == ' ') f.remove_suffix(1);
    fields.push_back(f);
    i = end + 1;
  }
  return fields;
}

}  // namespace

int main(int argc, char** argv) {
  int rate = 0;
  double gain = 100;
  bool millivolts = false;
  std::string file;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      Help();
      return 0;
    }
    if (arg == "--mv") {
      millivolts = true;
    } else if (arg == "--rate" || arg == "--gain") {
      if (i + 1 >= argc) return Usage(arg + " needs a value");
      double v = 0;
      if (!ParseNumber(argv[++i], &v)) return Usage(arg + ": '" + argv[i] + "' is not a number");
      if (arg == "--rate") {
        if (v != 250 && v != 500 && v != 1000) return Usage("--rate must be 250, 500 or 1000");
        rate = static_cast<int>(v);
      } else {
        if (v <= 0) return Usage("--gain must be above 0");
        gain = v;
      }
    } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
      return Usage("unknown option " + arg);
    } else if (file.empty()) {
      file = arg;
    } else {
      return Usage("one file only");
    }
  }
  if (rate == 0) return Usage("--rate is missing");
  if (file.empty()) return Usage("the file is missing");

  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "vr03sig: %s: %s\n", file.c_str(), std::strerror(errno));
    return 2;
  }
  auto bad = [&](long line, const std::string& why) {
    std::fflush(stdout);
    std::fprintf(stderr, "vr03sig: %s:%ld: %s\n", file.c_str(), line, why.c_str());
    return 2;
  };

  std::unique_ptr<sigcheck::SignalCheck> check;
  int leads = 0;
  bool seenLine = false;
  std::string line;
  long number = 0;
  std::vector<double> values;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    const std::vector<std::string_view> fields = Fields(line);
    values.clear();
    for (std::string_view f : fields) {
      double v = 0;
      if (!ParseNumber(f, &v)) {
        // The first line may name the columns.
        if (!seenLine) break;
        return bad(number, "'" + std::string(f) + "' is not a number");
      }
      values.push_back(v);
    }
    const bool header = !seenLine && values.size() != fields.size();
    seenLine = true;
    if (header) continue;
    if (!check) {
      leads = static_cast<int>(values.size());
      if (leads > sigcheck::kMaxLeads) return bad(number, "expected 1 to 3 numbers, found " + std::to_string(leads));
      check = std::make_unique<sigcheck::SignalCheck>(rate, leads);
      for (int k = 0; k < leads; ++k) check->SetGain(k, gain);
    }
    if (static_cast<int>(values.size()) != leads) {
      return bad(number, "expected " + std::to_string(leads) + " number" + (leads == 1 ? "" : "s") + ", found " +
                             std::to_string(values.size()));
    }
    uint16_t samples[sigcheck::kMaxLeads] = {};
    for (int k = 0; k < leads; ++k) {
      double counts = values[k];
      if (millivolts) {
        counts = std::clamp(std::round(2048 + counts * gain), 0.0, 4095.0);  // the converter's range
      } else if (counts < 0 || counts > 4095 || counts != std::floor(counts)) {
        return bad(number, "'" + std::string(fields[k]) + "' is not a count from 0 to 4095 (--mv for millivolts)");
      }
      samples[k] = static_cast<uint16_t>(counts);
    }
    sigcheck::Report report;
    if (check->Push(samples, &report)) {
      for (int k = 0; k < leads; ++k) {
        const std::string rateText = report.heartRate < 0 ? "-" : std::to_string(report.heartRate);
        std::printf("%d\t%d\t%s\t%s\n", report.second, k + 1, sigcheck::VerdictWord(report.verdicts[k]),
                    rateText.c_str());
      }
    }
  }
  if (in.bad()) {
    std::fprintf(stderr, "vr03sig: %s: read error\n", file.c_str());
    return 2;
  }
  if (!check) {
    std::fprintf(stderr, "vr03sig: %s: no samples\n", file.c_str());
    return 2;
  }
  return std::fflush(stdout) == 0 ? 0 : 2;
}
