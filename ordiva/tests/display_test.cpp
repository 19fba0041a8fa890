// Display arithmetic: where samples land in their bands, the sweep at each speed, the
// grid of a band for both version rules and mirrored traces, and the window layout.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "display.h"

namespace {

namespace dp = ordiva::display;

dp::GridInput Input(int leads, double speed = 1, double amplitude = 1) {
  dp::GridInput in;
  in.left = 0;
  in.top = 40;
  in.right = 1300;
  in.bottom = 938;
  in.leads = leads;
  in.speed = speed;
  in.amplitude = amplitude;
  in.version = 10;
  for (int i = 0; i < 3; ++i) {
    in.gainValue[i] = 728;
    in.gainStep[i] = 182;
    in.gainCode[i] = 4;
  }
  in.digitWidth = 7;
  in.secHeight = 13;
  in.secWidth = 28;
  return in;
}

bool HasText(const dp::BandGrid& g, const std::u16string& t) {
  return std::any_of(g.texts.begin(), g.texts.end(), [&](const dp::Text& x) { return x.text == t; });
}

TEST(TraceMapping, SamplesLandInTheirBand) {
  for (int leads = 1; leads <= 3; ++leads) {
    const int h = dp::BandHeight(898, leads);
    for (int c = 1; c <= leads; ++c) {
      const int base = dp::BandBase(c, h);
      EXPECT_EQ(base - dp::TraceOffset(2048, h, 1.0), base);
      // Full scale reaches the top row of the band (within the one pixel that 2047 of
      // 2048 steps leaves), never the band above.
      const int top = base - dp::TraceOffset(4095, h, 1.0);
      EXPECT_GE(top, (c - 1) * h);
      EXPECT_LE(top, (c - 1) * h + 1);
      const int bottom = base - dp::TraceOffset(0, h, 1.0);
      EXPECT_LE(bottom, c * h);
    }
  }
  // The integer division truncates toward zero before the amplitude is applied.
  EXPECT_EQ(dp::TraceOffset(2047, 100, 1.0), 0);
  EXPECT_EQ(dp::TraceOffset(2048 - 41, 100, 1.0), -1);
  EXPECT_EQ(dp::TraceOffset(4095, 299, -0.4), -60);  // 149 x -0.4 rounded
  EXPECT_EQ(dp::AccelDeviation(2000, 2048, 100), -1);
  EXPECT_EQ(dp::AccelDeviation(2047, 2048, 100), 0);
}

TEST(TraceMapping, SpeedBoundsAndSweepLength) {
  double s = 1;
  for (double want : {2.0, 4.0, 8.0, 8.0}) EXPECT_EQ(s = dp::Slower(s), want);
  s = 1;
  for (double want : {0.5, 0.25, 0.125, 0.125}) EXPECT_EQ(s = dp::Faster(s), want);

  // At speed 8 a sweep spans 8 x the trace width in samples, 1/8 pixel each.
  EXPECT_FALSE(dp::SweepEnded(8 * 1300 - 1, 1300, 8));
  EXPECT_TRUE(dp::SweepEnded(8 * 1300, 1300, 8));
  EXPECT_EQ(dp::SampleToPixelX(8 * 1300, 8), 1300);
  EXPECT_EQ(dp::SampleToPixelX(12, 8), 1);
  EXPECT_EQ(dp::SampleToPixelX(100, 0.125), 800);
  EXPECT_TRUE(dp::SweepEnded(dp::kRestartSweep, 1300, 8));
}

TEST(Grid, OneLeadFillsTheArea) {
  const auto in = Input(1);
  const auto g = dp::Grid(in, 0);
  EXPECT_EQ(g.centre, 40 + 449);
  EXPECT_EQ(g.rectTop, 40);
  EXPECT_EQ(g.rectBottom, 938);
  EXPECT_TRUE(HasText(g, u"Канал № 1"));
  EXPECT_TRUE(HasText(g, u"мв."));
  for (const auto& p : g.dots) EXPECT_LT(std::abs(p.y - g.centre), 449);
}

TEST(Grid, SmallDivisionsFollowTheSpeed) {
  const auto g = dp::Grid(Input(3, 8), 1);
  const auto sc = dp::Scales(Input(3, 8), 1);
  EXPECT_DOUBLE_EQ(sc.g, 3.125);
  std::set<int> columns;
  for (const auto& p : g.dots) columns.insert(p.x);
  // round(k x 3.125): 0, 3, 6, 9, 13, 16, ... up to the right edge.
  std::vector<int> first(columns.begin(), std::next(columns.begin(), 6));
  EXPECT_EQ(first, (std::vector<int>{0, 3, 6, 9, 13, 16}));
  EXPECT_EQ(*columns.rbegin(), 1300);
  // Second marks 10 divisions apart: 31 pixels (round(31.25)) for the numbers.
  int number2x = -1;
  for (const auto& t : g.texts)
    if (t.text == u"2" && t.x != 5) number2x = t.x;  // not the millivolt label
  EXPECT_EQ(number2x, 31 * 2 + 7);
}

TEST(Grid, ScalesOfBothVersionRules) {
  auto in = Input(3);
  in.version = 9;
  in.gainValue[1] = 800;
  EXPECT_NEAR(dp::Scales(in, 1).s, 1.0 * 800 / 120 * 1.05, 1e-9);
  in.version = 10;
  in.gainStep[1] = 200;
  in.gainCode[1] = 5;
  EXPECT_NEAR(dp::Scales(in, 1).s, 1.0 * 200 * 5 / 120 * 0.91, 1e-9);
  const auto sc = dp::Scales(in, 1);
  EXPECT_EQ(sc.r, 150);  // round(898 / 6)
  EXPECT_EQ(sc.c, 149);
  EXPECT_EQ(sc.kV, 5);
  // Millivolt labels: positive values above the centre.
  const auto g = dp::Grid(in, 1);
  for (const auto& t : g.texts) {
    if (t.text == u"1") {
      if (t.x == 5) {
        EXPECT_LT(t.y, g.centre);
      }
    }
  }
}

TEST(Grid, NegativeAmplitudeKeepsOnlyBandAndTexts) {
  const auto g = dp::Grid(Input(2, 1, -0.1), 0);
  EXPECT_TRUE(g.dots.empty());
  EXPECT_TRUE(g.marks.empty());
  for (const auto& t : g.texts)
    if (t.x == 5) {
      EXPECT_EQ(t.text, u"мв.") << "no millivolt label expected";
    }
  EXPECT_TRUE(HasText(g, u"Сек."));
  EXPECT_TRUE(HasText(g, u"Канал № 1"));
  EXPECT_TRUE(HasText(g, u"1"));  // second numbers stay
  EXPECT_GT(g.rectBottom, g.rectTop);
}

TEST(Grid, AmplitudeSteppedToAboutZeroStaysBounded) {
  double amplitude = 1;
  for (int i = 0; i < 10; ++i) amplitude -= 0.1;  // about 1e-16, not 0
  auto in = Input(3, 1, amplitude);
  const auto g = dp::Grid(in, 0);
  EXPECT_LT(g.dots.size(), 1'000'000u);
  in.amplitude = 0;
  in.gainCode[0] = 0;  // s = 0
  const auto z = dp::Grid(in, 0);
  EXPECT_LT(z.marks.size(), 1'000'000u);
  for (const auto& p : z.dots) EXPECT_EQ(p.y, z.centre);
}

TEST(Layout, EqualGapsAndPanels) {
  const auto l = dp::ComputeLayout(1620, 938, 300, 110, 25);
  EXPECT_EQ(l.rightPanelWidth, 345);
  EXPECT_EQ(l.rightPanelLeft, 1275);
  EXPECT_EQ(l.traceRight, 1275);
  EXPECT_EQ(l.traceTop, 40);
  EXPECT_EQ(l.traceBottom, 938);
  EXPECT_EQ(l.buttonTop, 8);  // round(7.5)
  const int gap = (1620 - 8 * 110) / 9;
  EXPECT_EQ(l.buttonLeft[0], gap);
  for (int i = 1; i < 8; ++i) EXPECT_EQ(l.buttonLeft[i] - (l.buttonLeft[i - 1] + 110), gap);
  EXPECT_LE(l.buttonLeft[7] + 110 + gap, 1620);
}

}  // namespace
