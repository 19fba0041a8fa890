// Fuzz target: the live stream receiver and everything one acquisition step computes
// from what it received, fed with arbitrary link bytes and empty reads.
//
// Input: byte 0 picks the leads (bits 0-1) and the amplitude (bits 2-7); byte 1, when not 0,
// makes every n-th read deliver nothing; the rest is what the link delivers, after which
// every read is empty.
#include <array>
#include <cstddef>
#include <cstdint>

#include "decoder.h"
#include "display.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int leads = 1 + (data[0] & 3) % 3;
  const double amplitude = ((data[0] >> 2) - 32) / 10.0;
  const unsigned emptyEvery = data[1];
  const uint8_t* bytes = data + 2;
  const size_t count = size - 2;

  size_t next = 0;
  unsigned reads = 0;
  const ordiva::ByteReader read = [&](BYTE* b) {
    ++reads;
    if (emptyEvery != 0 && reads % emptyEvery == 0) return false;
    if (next >= count) return false;
    *b = bytes[next++];
    return true;
  };

  ordiva::Acquisition acq;
  acq.decoder.leads = leads;
  ordiva::RecorderConfig config{};
  const int h = ordiva::display::BandHeight(898, leads);
  // Every record of the input and a cycle past its end; at least every other read takes a
  // byte unless every read is empty, so this many steps always reach the end.
  const int maxSteps = static_cast<int>(2 * count) + 44;
  for (int steps = 0; steps < maxSteps && (next < count || steps < 44); ++steps) {
    if (acq.ReadRecord(read) == ordiva::StreamDecoder::Result::NoSync) continue;
    acq.zeroRequest[steps % 3] = steps % 7 == 0;
    acq.ServeZeroRequests(config);
    acq.Decode();
    std::array<int, 3> y{}, d{};
    acq.Scale(h, amplitude, &y, &d);
    const auto position = ordiva::ClassifyPosition(d);
    if (ordiva::BodyPositionTextX(position) <= 0) __builtin_trap();
    for (int i = 0; i < leads; ++i) {
      const int base = ordiva::display::BandBase(leads - i, h);
      // A trace stays within one band height of its base line at any amplitude of |a| <= 1.
      if (amplitude >= -1 && amplitude <= 1 && (base - y[i] < base - h || base - y[i] > base + h)) __builtin_trap();
    }
    if (acq.decoder.state < 0 || acq.decoder.state > 2 || acq.decoder.counterA > 9 || acq.decoder.counterB > 3)
      __builtin_trap();
  }
  ordiva::ClassifyBattery(acq.voltageMean);
  return 0;
}
