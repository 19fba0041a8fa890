// Display arithmetic of the working window: samples to trace pixels, the sweep, the
// grid of each band (scales, dots, second marks, labels) and the window layout. Plain
// numbers in, plain numbers out; the forms only paint what this computes.
#pragma once

#include <string>
#include <vector>

#include "nxpal/types.h"
#include "recorder_config.h"

namespace ordiva::display {

// Horizontal viewport extent of the trace mapping; window extent = round(this x speed).
inline constexpr int kViewportExtX = 340000;
inline constexpr int kExtY = 8000;
// A sweep position that forces a new sweep at the next step.
inline constexpr int kRestartSweep = 100000;
inline constexpr double kSpeedMax = 8, kSpeedMin = 0.125;
inline constexpr int kTopPanelHeight = 40;
inline constexpr int kTopButtons = 8;

// Band height of L bands in a trace area of this height, and its half.
constexpr int BandHeight(int areaHeight, int leads) { return areaHeight / leads; }
// Base line of channel c (1 = top band) in trace-area coordinates.
constexpr int BandBase(int channel, int h) { return (channel - 1) * h + h / 2; }
// Trace offset of a 12-bit ECG sample: round(((e - 2048) x h div 4096) x amplitude),
// the division truncating toward zero.
int TraceOffset(int e, int h, double amplitude);
// Accelerometer deviation: ((a - zero) x h) div 4096, truncating toward zero.
constexpr int AccelDeviation(int a, int zero, int h) { return (a - zero) * h / 4096; }

// The anisotropic trace mapping: window extent for a speed factor, and the pixel column
// of a sample index (1 / speed pixels per sample).
int WindowExtX(double speed);
int SampleToPixelX(int x, double speed);
// The sweep has reached the right edge of a trace area whose right side is at right.
bool SweepEnded(int x, int right, double speed);

// "Медленнее" (x 2 unless above 4) and "Быстрее" (/ 2 if above 0.125).
double Slower(double speed);
double Faster(double speed);

struct Point {
  int x, y;
  bool operator==(const Point&) const = default;
};
struct Text {
  int x, y;
  std::u16string text;
};

// What a band's grid depends on besides the trace area.
struct GridInput {
  int left = 0, top = 0, right = 0, bottom = 0;  // trace area, window coordinates
  int leads = 3;
  double speed = 1, amplitude = 1;
  BYTE version = 0;
  int gainValue[3]{}, gainStep[3]{}, gainCode[3]{};  // channels 1-3
  int digitWidth = 0;  // width of "9"
  int secHeight = 0, secWidth = 0;  // height and width of "Сек."
};

// The scales of band i (channel i + 1).
struct GridScales {
  double g;  // pixels per small division (25 samples)
  double s;  // pixels per 0.1 mV
  int r;  // half band of the rectangle
  int c;  // half band of the clipping
  int kV;  // 1 mV lines above and below the centre (negative: none)
  int M;  // rows of a second mark above and below the centre (negative: none)
};
GridScales Scales(const GridInput& in, int band);

// Everything of one band's grid, in window coordinates.
struct BandGrid {
  int centre;  // Y0, the black base line from (0, Y0) to (R, Y0)
  int rectTop, rectBottom;  // silver rectangle from (0, rectTop) to (R, rectBottom)
  std::vector<Point> dots;  // dot grid
  std::vector<Point> marks;  // second-mark columns
  std::vector<Text> texts;  // second numbers, "Сек.", millivolt labels, "мв.", "Канал № n"
};
BandGrid Grid(const GridInput& in, int band);

// Layout of the working window for a client area and the font's text metrics.
struct Layout {
  int rightPanelLeft, rightPanelTop, rightPanelWidth, rightPanelHeight;
  int traceLeft, traceTop, traceRight, traceBottom;
  int buttonWidth, buttonTop;
  int buttonLeft[kTopButtons];
};
// wide30: width of "012345678901234567890123456789"; buttonText: width of
// "    123456789    "; buttonHeight: the buttons' height.
Layout ComputeLayout(int clientWidth, int clientHeight, int wide30, int buttonText, int buttonHeight);

}  // namespace ordiva::display
