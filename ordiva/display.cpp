// Display arithmetic: trace mapping, sweep, grid plan and layout of the working window.
#include "display.h"

#include <algorithm>
#include <cmath>

namespace ordiva::display {
namespace {

int Round(double v) { return static_cast<int>(std::lround(v)); }

std::u16string Number(long long v) {
  const std::string n = std::to_string(v);
  return std::u16string(n.begin(), n.end());
}

// round(v) for a count of grid rows, safe for the infinities and huge values that a zero
// or nearly zero amplitude or gain produces.
int CountOf(double v) {
  if (std::isnan(v)) return -1;
  return Round(std::clamp(v, -1e9, 1e9));
}

// The row offsets round(m x step) for m = -n ... n that fall inside a band of half height c
// (|offset| < c), in the order of m, without the repeats that a step below one pixel
// makes. A tiny or zero scale (an amplitude stepped down to about 0, a gain value of 0)
// asks for billions of rows that all land on the same few pixels; listing each pixel once
// draws the same grid. A negative n (mirrored traces) lists nothing. exact: the band test
// is on m x step itself rather than on its rounded value (the second marks).
std::vector<int> Rows(int n, double step, int c, bool exact = false) {
  std::vector<int> rows;
  if (n < 0) return rows;
  const double a = std::fabs(step);
  if (a >= 1) {
    const int limit = static_cast<int>(std::min<double>(n, std::ceil(c / a) + 1));
    for (int m = -limit; m <= limit; ++m) {
      const int dy = Round(m * step);
      if (exact ? std::fabs(m * step) < c : std::abs(dy) < c) rows.push_back(dy);
    }
    return rows;
  }
  // Consecutive m move less than a pixel, so every row between the extremes is hit.
  const int reach = std::min(Round(std::min<double>(n * a, 1e9)), c - 1);
  for (int dy = -reach; dy <= reach; ++dy) rows.push_back(step < 0 ? -dy : dy);
  return rows;
}

}  // namespace

int TraceOffset(int e, int h, double amplitude) { return Round(((e - 2048) * h / 4096) * amplitude); }

int WindowExtX(double speed) { return Round(kViewportExtX * speed); }

int SampleToPixelX(int x, double speed) {
  return static_cast<int>(static_cast<long long>(x) * kViewportExtX / WindowExtX(speed));
}

bool SweepEnded(int x, int right, double speed) { return x >= Round(right * speed); }

double Slower(double speed) { return speed > 4 ? speed : speed * 2; }
double Faster(double speed) { return speed > kSpeedMin ? speed / 2 : speed; }

GridScales Scales(const GridInput& in, int band) {
  const int L = in.leads;
  const int H = in.bottom - in.top;
  GridScales sc{};
  sc.g = 25 / in.speed;
  if (in.version <= 9) {
    sc.s = (3.0 / L) * in.amplitude * in.gainValue[band] / 120 * 1.05;
  } else {
    sc.s = (3.0 / L) * in.amplitude * in.gainStep[band] * in.gainCode[band] / 120 * 0.91;
  }
  sc.r = Round(H / (2.0 * L));
  sc.c = H / (2 * L);
  sc.kV = CountOf(sc.r / 30.0 / in.amplitude);
  sc.M = CountOf(in.bottom / static_cast<double>(L) / 2 / sc.s);
  return sc;
}

BandGrid Grid(const GridInput& in, int band) {
  const GridScales sc = Scales(in, band);
  const int h = BandHeight(in.bottom - in.top, in.leads);
  const int R = in.right;
  BandGrid grid;
  grid.centre = in.top + band * h + h / 2;
  const int y0 = grid.centre;
  grid.rectTop = y0 - sc.r;
  grid.rectBottom = y0 + sc.r;

  const int columns = Round(R / sc.g);
  const std::vector<int> dotRows = Rows(sc.kV, 10 * sc.s, sc.c);
  for (int k = 0; k <= columns; ++k) {
    for (int dy : dotRows) grid.dots.push_back({Round(k * sc.g), y0 + dy});
  }

  const int tenG = Round(10 * sc.g);
  const int textY = y0 + sc.c - Round(1.1 * in.secHeight);
  const std::vector<int> markRows = Rows(sc.M, sc.s, sc.c, true);
  for (int k = 1; tenG > 0 && k <= R / tenG; ++k) {
    const int x = Round(10 * sc.g * k);
    for (int dy : markRows) grid.marks.push_back({x, y0 + dy});
    grid.texts.push_back({tenG * k + in.digitWidth, textY, Number(k)});
  }
  grid.texts.push_back({R - in.secWidth - 1, textY, u"Сек."});

  const int tenS = Round(10 * sc.s);
  // Labels one millivolt apart; with less than a pixel per millivolt only the centre's.
  const int labels = tenS == 0 ? std::min(sc.kV, 0) : std::min(sc.kV, sc.c / std::abs(tenS) + 1);
  for (int m = -labels; m <= labels; ++m) {
    if (std::abs(m * tenS) < sc.c) grid.texts.push_back({5, y0 + m * tenS - 7, Number(-m)});
  }
  grid.texts.push_back({5, y0 - sc.c + 2, u"мв."});
  grid.texts.push_back({R / 2 - 90, y0 - sc.c + 10, u"Канал № " + Number(band + 1)});
  return grid;
}

Layout ComputeLayout(int clientWidth, int clientHeight, int wide30, int buttonText, int buttonHeight) {
  Layout l{};
  l.rightPanelWidth = Round(1.15 * wide30);
  l.rightPanelTop = kTopPanelHeight;
  l.rightPanelHeight = clientHeight - kTopPanelHeight;
  l.rightPanelLeft = clientWidth - l.rightPanelWidth;
  l.traceLeft = 0;
  l.traceTop = kTopPanelHeight;
  l.traceRight = clientWidth - l.rightPanelWidth;
  l.traceBottom = clientHeight;
  l.buttonWidth = buttonText;
  l.buttonTop = Round((kTopPanelHeight - buttonHeight) / 2.0);
  const int gap = (clientWidth - kTopButtons * buttonText) / (kTopButtons + 1);
  for (int i = 0; i < kTopButtons; ++i) l.buttonLeft[i] = gap + i * (buttonText + gap);
  return l;
}

}  // namespace ordiva::display
