// The stream receiver against byte streams built the way the recorder sends them: the
// 44-record cycle, resynchronisation from any point, missing bytes in each kind of
// record, and the values one step decodes from the frame.
#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <vector>

#include "decoder.h"

namespace {

using ordiva::Acquisition;
using ordiva::BodyPosition;
using ordiva::StreamDecoder;
using Result = StreamDecoder::Result;
namespace st = ordiva::stream;

constexpr int kMissing = -1;  // a read that delivers nothing

// A link whose single-byte reads deliver the queued bytes, kMissing as an empty read,
// and empty reads once the queue is used up.
struct Link {
  std::deque<int> bytes;
  int reads = 0;
  ordiva::ByteReader Reader() {
    return [this](BYTE* b) {
      ++reads;
      if (bytes.empty()) return false;
      const int v = bytes.front();
      bytes.pop_front();
      if (v == kMissing) return false;
      *b = static_cast<BYTE>(v);
      return true;
    };
  }
  void Pair(BYTE tag, int value) {
    BYTE p[2];
    st::EncodePair(tag, static_cast<WORD>(value), p);
    bytes.push_back(p[0]);
    bytes.push_back(p[1]);
  }
  // The record at cycle position n with ECG values base + 10 * channel tag; accelerometer
  // and voltage values fixed.
  void Record(long long n, int leads, int base, int voltage = 1766, int z = 2000, int y = 2100, int x = 2200) {
    const auto kind = st::KindAt(n);
    if (kind == st::RecordKind::Full) Pair(st::kTagVoltage, voltage);
    if (kind != st::RecordKind::Sample) {
      Pair(st::kTagAccelZ, z);
      Pair(st::kTagAccelY, y);
      Pair(st::kTagAccelX, x);
    }
    for (int t = leads - 1; t >= 0; --t) Pair(static_cast<BYTE>(t), base + 10 * t);
  }
};

TEST(StreamDecoder, FollowsTheCycleAndDecodesEveryRecord) {
  for (int leads = 1; leads <= 3; ++leads) {
    Link link;
    for (int n = 0; n < 2 * st::kCycleRecords; ++n) link.Record(n, leads, 1000 + n);
    Acquisition acq;
    acq.decoder.leads = leads;
    const auto read = link.Reader();
    for (int n = 0; n < 2 * st::kCycleRecords; ++n) {
      const auto result = acq.ReadRecord(read);
      const auto kind = st::KindAt(n);
      const Result want = kind == st::RecordKind::Full     ? Result::Full
                          : kind == st::RecordKind::Motion ? Result::Motion
                                                           : Result::Sample;
      ASSERT_EQ(result, want) << "leads " << leads << " record " << n;
      acq.Decode();
      // Index 0 is the first pair of the record, tagged L-1.
      for (int i = 0; i < leads; ++i) EXPECT_EQ(acq.e[i], 1000 + n + 10 * (leads - 1 - i)) << n;
      EXPECT_EQ(acq.a[0], 2000);
      EXPECT_EQ(acq.a[2], 2200);
    }
    EXPECT_TRUE(link.bytes.empty());
    EXPECT_EQ(acq.decoder.resyncs, 0u);
    EXPECT_EQ(acq.decoder.emptyReads, 0u);
    EXPECT_EQ(acq.decoder.records, 2u * st::kCycleRecords);
  }
}

TEST(StreamDecoder, OneLeadRecordSizes) {
  Link link;
  for (int n = 0; n < 12; ++n) link.Record(n, 1, 500);
  StreamDecoder d;
  d.leads = 1;
  const auto read = link.Reader();
  std::vector<int> sizes;
  for (int n = 0; n < 12; ++n) {
    const int before = link.reads;
    d.ReadRecord(read);
    sizes.push_back(link.reads - before);
  }
  EXPECT_EQ(sizes, (std::vector<int>{10, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 8}));
}

TEST(StreamDecoder, ResynchronisesFromTheMiddleOfARecord) {
  Link full;
  full.Record(0, 3, 1500);
  Link link;
  // The tail of a sample record, with a value byte whose high nibble is 6 (0x6A) that
  // looks like the start of a full record, then a whole cycle.
  link.bytes = {0x0A, 0x6A, 0x01, 0x22, 0x00, 0x33};
  const size_t garbage = link.bytes.size();
  for (int n = 0; n < st::kCycleRecords; ++n) link.Record(n, 3, 1500);
  Acquisition acq;
  const auto read = link.Reader();
  ASSERT_EQ(acq.ReadRecord(read), Result::Full);
  acq.Decode();
  EXPECT_EQ(acq.e[0], 1520);
  EXPECT_EQ(acq.e[2], 1500);
  EXPECT_EQ(acq.a[1], 2100);
  EXPECT_EQ(acq.decoder.resyncs, 1u);
  // 0x6A is taken with 0x01 as its second byte; 0x22 then fails the expected tag 5.
  EXPECT_EQ(acq.decoder.droppedBytes, garbage - 2);
  EXPECT_EQ(acq.decoder.state, StreamDecoder::kSamples);
  for (int n = 1; n < st::kCycleRecords; ++n) ASSERT_NE(acq.ReadRecord(read), Result::NoSync);
  EXPECT_TRUE(link.bytes.empty());
}

TEST(StreamDecoder, MissingSecondByteKeepsTheExpectedTag) {
  // Z's second byte is missing: the next pair must be tagged 5 again, so a byte tagged 4
  // is dropped ...
  {
    Link link;
    link.Pair(6, 1766);
    link.Pair(5, 0x123);
    link.bytes.pop_back();
    link.bytes.push_back(kMissing);
    link.bytes.push_back(0x40);
    StreamDecoder d;
    d.ReadRecord(link.Reader());
    EXPECT_GE(d.droppedBytes, 1u);
  }
  // ... and one tagged 5 is taken, with 0 stored for the missing byte.
  {
    Link link;
    link.Pair(6, 1766);
    link.bytes.push_back(0x51);
    link.bytes.push_back(kMissing);
    link.Pair(5, 0x234);
    link.Pair(4, 0x345);
    for (int t = 2; t >= 0; --t) link.Pair(static_cast<BYTE>(t), 2048);
    StreamDecoder d;
    ASSERT_EQ(d.ReadRecord(link.Reader()), Result::Full);
    EXPECT_EQ(d.droppedBytes, 0u);
    EXPECT_EQ(d.emptyReads, 1u);
    // The four header slots hold 6, 5 (second byte 0), 5, 4: four pairs fill the header
    // whatever their tags, and the ECG pairs follow.
    EXPECT_EQ(d.frame[2], 0x51);
    EXPECT_EQ(d.frame[3], 0x00);
    EXPECT_EQ(st::PairValue(d.frame[4], d.frame[5]), 0x234);
    EXPECT_EQ(st::PairValue(d.frame[6], d.frame[7]), 0x345);
  }
}

TEST(StreamDecoder, MissingBytesAreZeroInAFullRecordAndKeptElsewhere) {
  Link link;
  link.Record(0, 2, 1000);
  link.bytes.back() = kMissing;  // low byte of the last ECG pair
  link.Record(1, 2, 3000);
  link.Record(2, 2, 2000);
  link.bytes.back() = kMissing;
  StreamDecoder d;
  d.leads = 2;
  const auto read = link.Reader();
  ASSERT_EQ(d.ReadRecord(read), Result::Full);
  EXPECT_EQ(d.frame[11], 0);
  EXPECT_EQ(d.emptyReads, 1u);
  ASSERT_EQ(d.ReadRecord(read), Result::Sample);
  EXPECT_EQ(st::PairValue(d.frame[10], d.frame[11]), 3000);
  ASSERT_EQ(d.ReadRecord(read), Result::Sample);
  EXPECT_EQ(st::PairValue(d.frame[8], d.frame[9]), 2010);
  EXPECT_EQ(d.frame[11], 3000 & 0xFF) << "a missing byte keeps the last one received";
  EXPECT_FALSE(d.lastReadDelivered);
}

TEST(StreamDecoder, GarbageOnlyEndsTheStepWithoutSync) {
  Link link;
  for (int i = 0; i < ordiva::kHuntLimit + 10; ++i) link.bytes.push_back(0x12);
  StreamDecoder d;
  const auto read = link.Reader();
  EXPECT_EQ(d.ReadRecord(read), Result::NoSync);
  EXPECT_EQ(d.state, StreamDecoder::kHunting);
  link.bytes.clear();
  link.Record(0, 3, 700);
  EXPECT_EQ(d.ReadRecord(read), Result::Full);
}

TEST(Acquisition, SupplyVoltageMeanInMillivolts) {
  Link link;
  link.Record(0, 3, 0, 1766);
  Acquisition acq;
  acq.ReadRecord(link.Reader());
  EXPECT_NEAR(acq.voltageMean, 1293.8, 0.05);
  EXPECT_EQ(ordiva::ClassifyBattery(acq.voltageMean), ordiva::BatteryState::Blinking);
  EXPECT_EQ(acq.voltageCount, 2);
  EXPECT_EQ(ordiva::ClassifyBattery(1320), ordiva::BatteryState::Good);
  EXPECT_EQ(ordiva::ClassifyBattery(1280.01), ordiva::BatteryState::Blinking);
  EXPECT_EQ(ordiva::ClassifyBattery(1280), ordiva::BatteryState::Low);
}

// One step's statistics part on a frame holding these accelerometer values.
void Step(Acquisition& acq, ordiva::RecorderConfig& config, int z, int y, int x, unsigned* served = nullptr) {
  st::EncodePair(5, static_cast<WORD>(z), acq.decoder.frame + 2);
  st::EncodePair(4, static_cast<WORD>(y), acq.decoder.frame + 4);
  st::EncodePair(3, static_cast<WORD>(x), acq.decoder.frame + 6);
  const unsigned s = acq.ServeZeroRequests(config);
  if (served) *served = s;
  acq.Decode();
  std::array<int, 3> yOff{}, d{};
  acq.Scale(256, 1.0, &yOff, &d);
}

TEST(Acquisition, ZeroRequestAveragesTheSamplesSinceTheLastOne) {
  Acquisition acq;
  ordiva::RecorderConfig config{};
  for (int i = 0; i < 1000; ++i) Step(acq, config, 1900, 2100, 2000 + i % 2);
  acq.zeroRequest[1] = true;
  unsigned served = 0;
  Step(acq, config, 3000, 3000, 3000, &served);
  EXPECT_EQ(served, 2u);
  EXPECT_EQ(acq.zeros[1], 2100);
  EXPECT_EQ(config.Bytes()[25] | config.Bytes()[26] << 8, 2100);
  EXPECT_EQ(acq.zeros[0], 2048);  // not requested
  EXPECT_FALSE(acq.zeroRequest[1]);
  // All sums restarted; the serving step's own sample is the first of the new ones.
  EXPECT_EQ(acq.accelCount, (std::array<int, 3>{1, 1, 1}));
  EXPECT_EQ(acq.accelSum[2], 3000);

  // Two axes at once are served from the same sums.
  acq.zeroRequest[0] = acq.zeroRequest[2] = true;
  Step(acq, config, 1000, 1000, 1000, &served);
  EXPECT_EQ(served, 5u);
  EXPECT_EQ(acq.zeros[0], 3000);
  EXPECT_EQ(acq.zeros[2], 3000);
  EXPECT_EQ(config.accelZeroX.Get(), 3000);
  EXPECT_EQ(config.accelZeroZ.Get(), 3000);
}

TEST(Acquisition, MinimaMaximaAndDeviations) {
  Acquisition acq;
  EXPECT_EQ(acq.maxima[0], 0);
  EXPECT_EQ(acq.minima[0], 0xFFFF);
  ordiva::RecorderConfig config{};
  const int values[] = {2048, 100, 4095, 3000};
  for (int v : values) {
    st::EncodePair(2, static_cast<WORD>(v), acq.decoder.frame + 8);
    acq.Decode();
  }
  EXPECT_EQ(acq.maxima[0], 4095);
  EXPECT_EQ(acq.minima[0], 100);
  acq.ResetStatistics();
  EXPECT_EQ(acq.maxima[0], 0);
  // Deviations truncate toward zero: (2047 - 2048) x 256 div 4096 is 0, not -1.
  Step(acq, config, 2047, 2048 - 560, 2048 + 561);
  std::array<int, 3> y{}, d{};
  acq.Scale(256, 1.0, &y, &d);
  EXPECT_EQ(d, (std::array<int, 3>{0, -35, 35}));
}

TEST(BodyPosition, ThresholdAndOrder) {
  using ordiva::ClassifyPosition;
  EXPECT_EQ(ClassifyPosition({-35, 0, 0}), BodyPosition::OnBack);
  EXPECT_EQ(ClassifyPosition({-35, -36, 0}), BodyPosition::RightSide);  // -35 is not "on the back"
  EXPECT_EQ(ClassifyPosition({35, 35, 35}), BodyPosition::OnBack);  // all within +-35
  EXPECT_EQ(ClassifyPosition({36, -100, 100}), BodyPosition::OnBelly);  // Z first
  EXPECT_EQ(ClassifyPosition({0, 36, -100}), BodyPosition::LeftSide);  // Y before X
  EXPECT_EQ(ClassifyPosition({0, 0, -36}), BodyPosition::HeadDown);
  EXPECT_EQ(ClassifyPosition({0, 0, 36}), BodyPosition::Upright);
  EXPECT_EQ(std::u16string(ordiva::BodyPositionText(BodyPosition::RightSide)), u"На правом боку");
  EXPECT_EQ(ordiva::BodyPositionTextX(BodyPosition::RightSide), 68);
  EXPECT_EQ(ordiva::BodyPositionTextX(BodyPosition::LeftSide), 75);
  EXPECT_EQ(ordiva::BodyPositionTextX(BodyPosition::Upright), 80);
}

}  // namespace
