// Decoding tables of the meter screens, without panels: register words to shown values and
// back, checked on vectors worked out by hand from the meter's register conventions.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "codec.h"

namespace {

using Bytes = std::vector<unsigned char>;

// ---------------------------------------------------------------- measurements

TEST(Codec, MeasurementValues) {
  struct Case {
    Bytes data;
    bool wide;  // signed 32-bit (two registers) or unsigned 16-bit (one)
    double divisor;
    double expected;
  };
  const Case cases[] = {
      {{0x00, 0x03, 0x8D, 0x0B}, true, 1000, 232.715},  // 232 715 mV
      {{0xFF, 0xFF, 0xFC, 0x18}, true, 1000, -1.0},     // -1000: two's complement
      {{0xFF, 0xFF, 0xFC, 0x18}, true, 1, -1000.0},
      {{0x7F, 0xFF, 0xFF, 0xFF}, true, 1, 2147483647.0},
      {{0x80, 0x00, 0x00, 0x00}, true, 1000, -2147483.648},
      {{0x00, 0x00, 0x00, 0x00}, true, 1000, 0.0},
      {{0xFF, 0xFF}, false, 10, 6553.5},  // a single register is unsigned
      {{0x80, 0x00}, false, 10, 3276.8},
      {{0x03, 0xE8}, false, 1000, 1.0},
      {{0x00, 0x01}, false, 1000, 0.001},
  };
  for (const Case& c : cases) {
    const double v = c.wide ? meter::WideValue(c.data, 0, c.divisor)
                            : meter::NarrowValue(c.data, 0, c.divisor);
    EXPECT_DOUBLE_EQ(v, c.expected) << "divisor " << c.divisor << " first byte " << int(c.data[0]);
  }
}

TEST(Codec, ValuesAreTakenFromTheirOwnPlaceInTheBlockAndNeverBeyondIt) {
  // 25 values of request A: value i in data bytes 4i..4i+3.
  Bytes a(100);
  for (std::size_t i = 0; i < 25; ++i) {
    a[4 * i + 2] = static_cast<unsigned char>(i);
    a[4 * i + 3] = 0x10;
  }
  for (std::size_t i = 0; i < 25; ++i)
    EXPECT_DOUBLE_EQ(meter::WideValue(a, i, 1), double(i * 256 + 0x10)) << "value " << i;
  EXPECT_DOUBLE_EQ(meter::WideValue(a, 25, 1), 0.0) << "beyond the block";
  EXPECT_DOUBLE_EQ(meter::WideValue(std::span(a).first(98), 24, 1), 0.0) << "half a value";
  EXPECT_DOUBLE_EQ(meter::NarrowValue(std::span(a).first(3), 1, 1), 0.0) << "half a register";
  EXPECT_EQ(meter::Long({}, 0), 0u);
  EXPECT_EQ(meter::Word({}, 0), 0u);
}

// ---------------------------------------------------------------- energy counters

TEST(Codec, CountersAreUnsignedHundredthsInSinglePrecision) {
  struct Case {
    std::uint32_t count;
    double expected;  // exactly: the single-precision value widened back to double
  };
  const Case cases[] = {
      {123456789u, 1234567.875},  // 1 234 567.89 has no closer float
      {0xFFFFFFFFu, 42949672.0},  // never negative
      {1u, 0.009999999776482582},
      {0u, 0.0},
      {100u, 1.0},
      {0x80000000u, 21474836.0},  // the top bit is magnitude, not sign
  };
  for (const Case& c : cases) EXPECT_EQ(meter::CounterValue(c.count), c.expected) << c.count;

  const Bytes registers = {0x07, 0x5B, 0xCD, 0x15};  // 270-271 holding 0x075B, 0xCD15
  EXPECT_EQ(meter::Long(registers, 0), 123456789u);
}

// ---------------------------------------------------------------- device configuration

TEST(Codec, BcdBothWays) {
  const std::pair<int, int> toBinary[] = {
      {0x00, 0}, {0x09, 9}, {0x25, 25}, {0x99, 99},
      {0x9A, 100},  // no nibble test: 9 * 10 + 10
      {0xFF, 165}, {0x125, 25},  // only the low 8 bits count
  };
  for (auto [b, v] : toBinary) EXPECT_EQ(BCD_a_Binario(b), v) << std::hex << b;
  const std::pair<int, int> toBcd[] = {
      {0, 0x00}, {9, 0x09}, {25, 0x25}, {99, 0x99},
      {100, 0x00}, {165, 0x00},  // three digits do not fit a byte
      {-1, 0x00},                // nor does a sign
  };
  for (auto [v, b] : toBcd) EXPECT_EQ(Binario_a_BCD(v), b) << v;
}

TEST(Codec, ClockBothWays) {
  const meter::MeterClock read = meter::DecodeClock(0x0025, 0x0315, 0x0409, 0x3045);
  EXPECT_EQ(read, (meter::MeterClock{2025, 3, 15, 9, 30, 45})) << "weekday byte 0x04 ignored";
  const auto written = meter::EncodeClock(read);
  EXPECT_EQ(Bytes(written.begin(), written.end()),
            (Bytes{0x00, 0x25, 0x03, 0x15, 0x00, 0x09, 0x30, 0x45}))
      << "the high bytes of 4103 and 4105 go out as 0x00";

  EXPECT_EQ(meter::DecodeClock(0x009A, 0x0101, 0, 0).year, 2100);
  EXPECT_EQ(meter::DecodeClock(0xFF99, 0x0101, 0, 0).year, 2099) << "high byte of 4103 ignored";
  EXPECT_EQ(meter::EncodeClock({2100, 1, 1, 0, 0, 0})[1], 0x00) << "year 2100 writes year 2000";
}

TEST(Codec, FrameFormatRingPairs) {
  struct Case {
    std::uint16_t r4109, r4110;
    int ring;
  };
  const Case known[] = {{0, 1, 0}, {2, 1, 1}, {1, 1, 2}, {0, 2, 3}};
  for (const Case& c : known) {
    EXPECT_EQ(meter::RingFromPair(c.r4109, c.r4110), c.ring);
    EXPECT_EQ(meter::PairFromRing(c.ring), std::make_pair(c.r4109, c.r4110));
  }
  const Case unknown[] = {{1, 2, 2}, {0, 0, 2}, {3, 1, 2}, {0xFFFF, 0xFFFF, 2}};
  for (const Case& c : unknown) EXPECT_EQ(meter::RingFromPair(c.r4109, c.r4110), c.ring);
  const std::pair<std::uint16_t, std::uint16_t> odd = {1, 1};
  EXPECT_EQ(meter::PairFromRing(7), odd);
}

// Data bytes of a block read of 4096-4125 with the given registers set.
Bytes ConfigBlock(const std::vector<std::pair<int, int>>& registers) {
  Bytes b(60, 0);
  for (auto [reg, value] : registers) {
    b[2 * (reg - 4096)] = static_cast<unsigned char>(value >> 8);
    b[2 * (reg - 4096) + 1] = static_cast<unsigned char>(value & 0xFF);
  }
  return b;
}

TEST(Codec, ConfigurationBlockRead) {
  const Bytes block = ConfigBlock({
      {4096, 0x0104}, {4097, 0x1234}, {4098, 0x5678},  // read, not shown
      {4099, 0xFFFF},
      {4103, 0x0025}, {4104, 0x0315}, {4105, 0x0409}, {4106, 0x3045},
      {4107, 96}, {4108, 15}, {4109, 2}, {4110, 1}, {4111, 8},
      {4112, 3}, {4113, 9999},
      {4118, 5}, {4119, 230},
      {4120, 0x0001}, {4121, 0x86A0},  // 100 000
      {4122, 0xFFFF}, {4123, 0xFFFE},  // -2: passed on as a signed 32-bit value
      {4124, 0xAAAA}, {4125, 0x5555},
  });
  const meter::DeviceConfig c = meter::DecodeConfig(std::span<const unsigned char, 60>(block));
  EXPECT_EQ(c.address, 65535);
  EXPECT_EQ(c.clock, (meter::MeterClock{2025, 3, 15, 9, 30, 45}));
  EXPECT_EQ(c.baud, 96);
  EXPECT_EQ(c.demandPeriod, 15);
  EXPECT_EQ(c.frame, 1);
  EXPECT_EQ(c.tariffMode, 3);
  EXPECT_EQ(c.password, 9999);
  EXPECT_EQ(c.ctSecondary, 5);
  EXPECT_EQ(c.vtSecondary, 230);
  EXPECT_EQ(c.ctPrimary, 100000);
  EXPECT_EQ(c.vtPrimary, -2);
}

TEST(Codec, ConfigurationBlockWritten) {
  meter::DeviceConfig c;
  c.address = 5;
  c.clock = {2025, 3, 15, 9, 30, 45};
  c.baud = 192;
  c.demandPeriod = 70000;  // above 16 bits: its low 16 bits go out (0x1170)
  c.frame = 3;
  c.tariffMode = 4;
  c.password = 0xBEEF;
  c.ctSecondary = 1;
  c.vtSecondary = 110;
  c.ctPrimary = 0x01020304;
  c.vtPrimary = -1;
  const auto b = meter::EncodeConfig(c);
  EXPECT_EQ(Bytes(b.begin(), b.end()),
            (Bytes{
                0x00, 0x05,                                      // W1: 4099
                0x00, 0x25, 0x03, 0x15, 0x00, 0x09, 0x30, 0x45,  // W2: clock 4103-4106
                0x00, 0xC0, 0x11, 0x70, 0x00, 0x00, 0x00, 0x02,  //     4107, 4108, 4109, 4110
                0x00, 0x04, 0xBE, 0xEF,                          // W3: 4112, 4113
                0x00, 0x01, 0x00, 0x6E,                          // W4: 4118, 4119
                0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF, 0xFF, 0xFF,  //     4120-4121, 4122-4123
            }));

  // The four writes cover the block exactly once, in order, at the registers they name.
  std::size_t next = 0;
  for (const meter::WriteRequest& w : meter::kConfigWrites) {
    EXPECT_EQ(w.offset, next);
    next += 2 * static_cast<std::size_t>(w.count);
  }
  EXPECT_EQ(next, b.size());
}

// ---------------------------------------------------------------- display mask

TEST(Codec, MaskTableIsTheDisplaySettingTable) {
  // The table as the rule gives it: for word k, bits 0, 1, 2, 8, 9, 10 have controls
  // 43-k, 48-k, 53-k, 8-k, 13-k, 18-k; words 0-3 bits 3-7 have 58-k ... 78-k and bits
  // 11-15 have 22-k, 26-k, 30-k, 34-k, 38-k; word 4 bits 11-15 have 54, 59, 64, 69, 74.
  for (int k = 0; k < 5; ++k) {
    const int low[] = {43, 48, 53};
    for (int b = 0; b < 3; ++b) EXPECT_EQ(meter::kMaskControl[b][k], low[b] - k);
    const int mid[] = {8, 13, 18};
    for (int b = 0; b < 3; ++b) EXPECT_EQ(meter::kMaskControl[8 + b][k], mid[b] - k);
    for (int b = 3; b < 8; ++b) {
      EXPECT_EQ(meter::kMaskControl[b][k], k < 4 ? 58 + 5 * (b - 3) - k : 0) << k << " " << b;
    }
    const int high[] = {22, 26, 30, 34, 38};
    const int high4[] = {54, 59, 64, 69, 74};
    for (int b = 11; b < 16; ++b)
      EXPECT_EQ(meter::kMaskControl[b][k], k < 4 ? high[b - 11] - k : high4[b - 11]);
  }

  // 75 bits, controls 4..78 each exactly once, word by word and bit by bit.
  const auto bits = meter::MaskBits();
  std::set<int> controls;
  for (std::size_t i = 0; i < bits.size(); ++i) {
    controls.insert(bits[i].control);
    if (i > 0) {
      EXPECT_LT(bits[i - 1].word * 16 + bits[i - 1].bit, bits[i].word * 16 + bits[i].bit);
    }
  }
  EXPECT_EQ(controls.size(), 75u);
  EXPECT_EQ(*controls.begin(), 4);
  EXPECT_EQ(*controls.rbegin(), 78);
  EXPECT_EQ(bits.front().control, 43);
  EXPECT_EQ(bits.back().control, 74);
}

// Control values, in table order, with exactly the given controls on.
std::array<int, 75> On(const std::set<int>& controls) {
  std::array<int, 75> values{};
  const auto bits = meter::MaskBits();
  for (std::size_t i = 0; i < bits.size(); ++i) values[i] = controls.count(bits[i].control);
  return values;
}

std::set<int> AllControls() {
  std::set<int> all;
  for (int c = 4; c <= 78; ++c) all.insert(c);
  return all;
}

TEST(Codec, MaskRead) {
  struct Case {
    meter::Mask mask;
    std::set<int> on;
  };
  const Case cases[] = {
      {{0x0001, 0, 0, 0, 0}, {43}},
      {{0x8000, 0, 0, 0, 0}, {38}},
      {{0, 0, 0, 0, 0x0100}, {4}},
      {{0, 0, 0, 0, 0x0800}, {54}},
      {{0, 0, 0, 0, 0x00F8}, {}},  // bits 3 to 7 of word 4 have no control
      {{0, 0x0001, 0x0002, 0x0004, 0x0001}, {42, 46, 50, 39}},
      {{0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF}, AllControls()},
  };
  for (const Case& c : cases) EXPECT_EQ(meter::BitsFromMask(c.mask), On(c.on)) << c.mask[0];

  const Bytes data = {0x1D, 0xC7, 0x07, 0xC0, 0x03, 0xDE, 0x00, 0x70, 0x29, 0x05};
  EXPECT_EQ(meter::DecodeMask(std::span<const unsigned char, 10>(data)),
            (meter::Mask{0x1DC7, 0x07C0, 0x03DE, 0x0070, 0x2905}));
}

TEST(Codec, MaskWritten) {
  struct Case {
    std::set<int> on;
    Bytes data;
  };
  const Case cases[] = {
      {AllControls(), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x07}},
      {{}, Bytes(10, 0)},
      {{38}, {0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {{4}, {0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x00}},
      {{54}, {0, 0, 0, 0, 0, 0, 0, 0, 0x08, 0x00}},
      {{43, 74}, {0x00, 0x01, 0, 0, 0, 0, 0, 0, 0x80, 0x00}},
  };
  for (const Case& c : cases) {
    const auto bytes = meter::EncodeMask(meter::MaskFromBits(On(c.on)));
    EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), c.data) << c.on.size() << " controls on";
  }
  // Any value but 0 is "on".
  std::array<int, 75> values{};
  values.fill(0);
  values[0] = 7;
  EXPECT_EQ(meter::MaskFromBits(values)[0], 0x0001);

  // A mask read and written back comes back whole but for word 4's bits 3 to 7.
  const meter::Mask read = {0x1DC7, 0x07C0, 0x03DE, 0x0070, 0x29FD};
  EXPECT_EQ(meter::MaskFromBits(meter::BitsFromMask(read)),
            (meter::Mask{0x1DC7, 0x07C0, 0x03DE, 0x0070, 0x2905}));
}

}  // namespace
