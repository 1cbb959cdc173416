// Decoding tables of the meter screens without panels: register words to shown values and
// back, on vectors worked out by hand from the meter's register conventions.
#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <vector>

#include "meter/codec.h"
#include "test_bytes.h"

namespace {

using vtest::Bytes;
using vtest::Hex;

TEST(Codec, MeasurementValuesAndTheirBounds) {
  EXPECT_DOUBLE_EQ(meter::WideValue(Hex("0003 8d0b"), 0, 1000), 232.715);  // 232 715 mV
  EXPECT_DOUBLE_EQ(meter::WideValue(Hex("ffff fc18"), 0, 1000), -1.0);     // two's complement
  EXPECT_DOUBLE_EQ(meter::NarrowValue(Hex("8000"), 0, 10), 3276.8);        // one register: unsigned
  // Nothing is read beyond the block (the rest of the bounds is the fuzz target's).
  EXPECT_EQ(meter::WideValue(Hex("ffff ff"), 0, 1), 0.0) << "half a value";
}

TEST(Codec, CountersAreUnsignedHundredthsInSinglePrecision) {
  const std::pair<std::uint32_t, double> cases[] = {
      {123456789u, 1234567.875},  // 1 234 567.89 has no closer float
      {0xFFFFFFFFu, 42949672.0},  // never negative
      {0x80000000u, 21474836.0},  // the top bit is magnitude, not sign
      {1u, 0.009999999776482582},
  };
  for (auto [count, expected] : cases) EXPECT_EQ(meter::CounterValue(count), expected) << count;
  EXPECT_EQ(meter::Long(Bytes{0x07, 0x5B, 0xCD, 0x15}, 0), 123456789u) << "high word first";
}

TEST(Codec, BcdClockAndFrameFormat) {
  const std::pair<int, int> toBinary[] = {
      {0x00, 0}, {0x99, 99}, {0x9A, 100} /* no nibble test */, {0x125, 25} /* low byte only */};
  for (auto [b, v] : toBinary) EXPECT_EQ(BCD_a_Binario(b), v) << std::hex << b;
  const std::pair<int, int> toBcd[] = {{0, 0x00}, {25, 0x25}, {99, 0x99}, {100, 0}, {-1, 0}};
  for (auto [v, b] : toBcd) EXPECT_EQ(Binario_a_BCD(v), b) << v;

  const meter::MeterClock read = meter::DecodeClock(0xFF25, 0x0315, 0x0409, 0x3045);
  EXPECT_EQ(read, (meter::MeterClock{2025, 3, 15, 9, 30, 45})) << "weekday and 4103 high ignored";
  const auto written = meter::EncodeClock(read);
  EXPECT_EQ(Bytes(written.begin(), written.end()), Hex("00 25 03 15 00 09 30 45"));
  EXPECT_EQ(meter::DecodeClock(0x009A, 0x0101, 0, 0).year, 2100);
  EXPECT_EQ(meter::EncodeClock({2100, 1, 1, 0, 0, 0})[1], 0x00) << "year 2100 writes year 2000";

  // A frame-format pair of no ring entry shows as entry 2 (the pairs themselves are checked
  // on the configuration screen against the meter).
  for (auto [p, s] : {std::pair{1, 2}, {0, 0}, {0xFFFF, 0xFFFF}})
    EXPECT_EQ(meter::RingFromPair(p, s), 2) << p << "," << s;
  EXPECT_EQ(meter::PairFromRing(7), meter::PairFromRing(2));
}

std::set<int> AllControls() {
  std::set<int> all;
  for (int c = 4; c <= 78; ++c) all.insert(c);
  return all;
}

// The meter's clock a given number of seconds on: carries through month ends, leap days and
// the new year; a clock no valid date of 2000-2099 holds has no "later".
TEST(Codec, ClockAdvancedByElapsedSeconds) {
  using C = meter::MeterClock;
  struct Case {
    C from;
    long long seconds;
    std::optional<C> to;
  };
  const Case cases[] = {
      {{2025, 3, 15, 9, 30, 45}, 21, C{2025, 3, 15, 9, 31, 6}},
      {{2024, 2, 28, 23, 59, 59}, 1, C{2024, 2, 29, 0, 0, 0}},
      {{2025, 2, 28, 23, 59, 59}, 1, C{2025, 3, 1, 0, 0, 0}},
      {{2025, 12, 31, 23, 59, 30}, 45, C{2026, 1, 1, 0, 0, 15}},
      {{2099, 12, 31, 23, 59, 59}, 1, std::nullopt},  // the meter has no year 2100
      {{2000, 0, 0, 0, 0, 0}, 1, std::nullopt},       // a clock never set
      {{2025, 2, 29, 0, 0, 0}, 1, std::nullopt},
  };
  for (const Case& c : cases)
    EXPECT_EQ(meter::AdvanceClock(c.from, c.seconds), c.to) << "row " << &c - cases;
}

// 75 bits, controls 4..78 each once (the all-ones row).
TEST(Codec, DisplayMaskBothWays) {
  struct Case {
    meter::Mask mask;  // as read
    std::set<int> on;
    const char* written;  // bits 3 to 7 of word 4 have no control and go out as 0
  };
  const Case cases[] = {
      {{0, 0, 0, 0, 0x0100}, {4}, "0000 0000 0000 0000 0100"},
      {{0, 0x0001, 0x0002, 0x0004, 0x8001}, {42, 46, 50, 39, 74}, "0000 0001 0002 0004 8001"},
      {{0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF}, AllControls(), "ffff ffff ffff ffff ff07"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.written);
    const auto values = meter::BitsFromMask(c.mask);
    std::set<int> on;
    for (std::size_t i = 0; i < values.size(); ++i)
      if (values[i]) on.insert(meter::MaskBits()[i].control);
    EXPECT_EQ(on, c.on);
    const auto bytes = meter::EncodeMask(meter::MaskFromBits(values));
    EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), Hex(c.written));
    EXPECT_EQ(meter::DecodeMask(bytes), meter::MaskFromBits(values));
  }
  std::array<int, 75> values{};
  values[0] = 7;
  EXPECT_EQ(meter::MaskFromBits(values)[0], 0x0001) << "any value but 0 is on";
}

}  // namespace
