// vr03sig as a user runs it: a recording with one electrode off, in counts and in
// millivolts with a header, and the refusals of bad files and options.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "nxtest/process.h"
#include "nxtest/temp.h"

namespace {

std::string Program() { return std::string(std::getenv("NX_TEST_BIN_DIR")) + "/vr03sig"; }

// A regular ECG (Gaussian waves) at 75 bpm, in mV.
double Ecg(double t, double r) {
  const double period = 0.8;
  double v = 0;
  for (int k = -1; k <= 1; ++k) {
    const double p = std::fmod(t, period) - 0.4 + k * period;  // R at 0.4 s of each period
    auto g = [p](double at, double w, double h) { return h * std::exp(-(p - at) * (p - at) / (2 * w * w)); };
    v += g(-0.2, 0.025, 0.1 * r) + g(0, 0.012, r) + g(0.03, 0.01, -0.2 * r) + g(0.3, 0.06, 0.25 * r);
  }
  return v;
}

std::vector<std::vector<std::string>> Lines(const std::string& out) {
  std::vector<std::vector<std::string>> lines;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::istringstream f(line);
    std::string field;
    while (std::getline(f, field, '\t')) fields.push_back(field);
    lines.push_back(fields);
  }
  return lines;
}

class Vr03sig : public ::testing::Test {
 protected:
  nxtest::TempDir home_{"vr03sig-home"};
  std::string File(const std::string& name, const std::string& text) {
    const std::string path = home_.Path() + "/" + name;
    std::ofstream(path) << text;
    return path;
  }
};

TEST_F(Vr03sig, JudgesEachLeadEverySecond) {
  // 12 s at 250 Hz, three leads in counts (gain 100); lead 2's electrode is off from the start.
  std::ostringstream counts;
  for (int n = 0; n < 12 * 250; ++n) {
    const double t = n / 250.0;
    counts << std::lround(2048 + 100 * Ecg(t, 1.0)) << ",2048," << std::lround(2048 + 100 * Ecg(t, 0.5)) << "\r\n";
  }
  const nxtest::UserRun run = nxtest::RunAsUser(home_.Path(), Program(), {"--rate", "250", File("a.csv", counts.str())});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const auto lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 36u) << run.out;
  for (size_t i = 0; i < lines.size(); ++i) {
    ASSERT_EQ(lines[i].size(), 4u) << i;
    EXPECT_EQ(lines[i][0], std::to_string(i / 3 + 1));
    EXPECT_EQ(lines[i][1], std::to_string(i % 3 + 1));
  }
  // The last second: lead 2 off, the others good, 75 bpm.
  EXPECT_EQ(lines[33], (std::vector<std::string>{"12", "1", "good", "75"}));
  EXPECT_EQ(lines[34], (std::vector<std::string>{"12", "2", "no-contact", "75"}));
  EXPECT_EQ(lines[35], (std::vector<std::string>{"12", "3", "good", "75"}));

  // The same in millivolts with a header and gain 400, one lead with 50 Hz mains of 0.3 mV.
  std::ostringstream mv;
  mv << "I;II\n";
  for (int n = 0; n < 10 * 500; ++n) {
    const double t = n / 500.0;
    mv << Ecg(t, 1.0) << ";" << Ecg(t, 1.0) + 0.3 * std::sin(2 * std::numbers::pi * 50 * t) << "\n";
  }
  const nxtest::UserRun mvRun =
      nxtest::RunAsUser(home_.Path(), Program(), {"--mv", "--gain", "400", "--rate", "500", File("b.csv", mv.str())});
  ASSERT_EQ(mvRun.status, 0) << mvRun.err;
  const auto mvLines = Lines(mvRun.out);
  ASSERT_EQ(mvLines.size(), 20u);
  EXPECT_EQ(mvLines[18], (std::vector<std::string>{"10", "1", "good", "75"}));
  EXPECT_EQ(mvLines[19], (std::vector<std::string>{"10", "2", "mains", "75"}));

  // No usable lead: no heart rate.
  std::ostringstream flat;
  for (int n = 0; n < 3 * 250; ++n) flat << "2048\n";
  const nxtest::UserRun flatRun = nxtest::RunAsUser(home_.Path(), Program(), {"--rate", "250", File("c.csv", flat.str())});
  ASSERT_EQ(flatRun.status, 0) << flatRun.err;
  EXPECT_EQ(Lines(flatRun.out).back(), (std::vector<std::string>{"3", "1", "no-contact", "-"}));
}

TEST_F(Vr03sig, RefusesBadFilesAndOptionsWithStatusTwo) {
  std::string rows = "lead1,lead2,lead3\n";
  for (int n = 2; n < 17; ++n) rows += "2048,2050,2047\n";
  const std::string shortRow = File("short.csv", rows + "2048,2049\n");
  nxtest::UserRun run = nxtest::RunAsUser(home_.Path(), Program(), {"--rate", "1000", shortRow});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "vr03sig: " + shortRow + ":17: expected 3 numbers, found 2\n");

  const std::string word = File("word.csv", "100\n200\nabc\n");
  run = nxtest::RunAsUser(home_.Path(), Program(), {"--rate", "250", word});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "vr03sig: " + word + ":3: 'abc' is not a number\n");

  const std::string range = File("range.csv", "100\n5000\n");
  run = nxtest::RunAsUser(home_.Path(), Program(), {"--rate", "250", range});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "vr03sig: " + range + ":2: '5000' is not a count from 0 to 4095 (--mv for millivolts)\n");

  const std::string four = File("four.csv", "1,2,3,4\n");
  run = nxtest::RunAsUser(home_.Path(), Program(), {"--rate", "250", four});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "vr03sig: " + four + ":1: expected 1 to 3 numbers, found 4\n");

  run = nxtest::RunAsUser(home_.Path(), Program(), {"--rate", "250", home_.Path() + "/missing.csv"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "vr03sig: " + home_.Path() + "/missing.csv: No such file or directory\n");

  const std::string usage = "usage: vr03sig --rate HZ [--gain COUNTS_PER_MV] [--mv] FILE.csv\n";
  const std::vector<std::pair<std::vector<std::string>, std::string>> options = {
      {{word}, "--rate is missing"},
      {{"--rate", "300", word}, "--rate must be 250, 500 or 1000"},
      {{"--rate", "250", "--gain", "0", word}, "--gain must be above 0"},
      {{"--rate", "250", "--gain"}, "--gain needs a value"},
      {{"--rate", "250", "--volts", word}, "unknown option --volts"},
      {{"--rate", "250"}, "the file is missing"},
  };
  for (const auto& [args, why] : options) {
    run = nxtest::RunAsUser(home_.Path(), Program(), args);
    EXPECT_EQ(run.status, 2) << why;
    EXPECT_EQ(run.err, "vr03sig: " + why + "\n" + usage);
    EXPECT_EQ(run.out, "");
  }
  run = nxtest::RunAsUser(home_.Path(), Program(), {"--help"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.substr(0, usage.size()), usage);
}

}  // namespace
