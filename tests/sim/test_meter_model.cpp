// The meter model on a fake clock: map rules, value checks, physically consistent
// measurements, energy that integrates the power, and the BCD clock.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "sim/civil_time.h"
#include "sim/meter_model.h"

using namespace veldix::sim;
using namespace std::chrono_literals;

namespace {

using TP = MeterModel::Clock::time_point;
const TP kT0 = TP{} + 1000h;

// Wednesday 2025-03-12 10:00:00: tariff T1 by the timetable.
const CivilTime kStart{2025, 3, 12, 10, 0, 0};

struct Fixture {
  MeterState state = MeterState::factory(0);
  MeterModel model{state, kT0, static_cast<double>(seconds_from_civil(kStart))};

  std::vector<uint16_t> read(uint16_t a, uint16_t n, TP at = kT0) {
    std::vector<uint16_t> v(n);
    EXPECT_EQ(model.read(a, n, v.data(), at), ModbusException::none) << a << " x" << n;
    return v;
  }
  ModbusException write(uint16_t a, std::vector<uint16_t> v, TP at = kT0) {
    return model.write(a, v, at);
  }
  uint32_t counter(uint16_t a, TP at) {
    const auto w = read(a, 2, at);
    return static_cast<uint32_t>(w[0]) << 16 | w[1];
  }
};

TP at_s(double s) { return kT0 + std::chrono::duration_cast<TP::duration>(std::chrono::duration<double>(s)); }

}  // namespace

TEST(CivilTime, KnownDatesAndWeekdays) {
  struct Case { CivilTime t; int64_t days; int weekday; };
  const Case cases[] = {
      {{1970, 1, 1, 0, 0, 0}, 0, 4},
      {{2000, 3, 1, 0, 0, 0}, 11017, 3},
      {{2024, 2, 29, 0, 0, 0}, 19782, 4},
      {{2025, 3, 15, 9, 30, 45}, 20162, 6},
      {{2024, 1, 1, 0, 0, 0}, 19723, 1},
      {{2099, 12, 31, 23, 59, 59}, 47481, 4},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(days_from_civil(c.t.year, c.t.month, c.t.day), c.days) << c.t.year;
    const int64_t s = seconds_from_civil(c.t);
    EXPECT_EQ(civil_from_seconds(s), c.t);
    EXPECT_EQ(iso_weekday(s), c.weekday) << c.t.year << "-" << c.t.month << "-" << c.t.day;
  }
}

TEST(MeterMap, ReadAndWriteRangesFollowTheMap) {
  using E = ModbusException;
  struct Case { uint16_t address; uint16_t count; E read; E write; };
  const Case cases[] = {
      {0, 1, E::illegal_data_address, E::illegal_data_address},
      {269, 1, E::illegal_data_address, E::illegal_data_address},
      {270, 92, E::none, E::illegal_data_address},
      {361, 2, E::illegal_data_address, E::illegal_data_address},
      {1023, 2, E::illegal_data_address, E::illegal_data_address},
      {1024, 50, E::none, E::illegal_data_address},
      {1074, 8, E::none, E::illegal_data_address},
      {1081, 2, E::illegal_data_address, E::illegal_data_address},
      {1582, 28, E::none, E::illegal_data_address},  // reserved 1596-1605 are read-only
      {1582, 14, E::none, E::none},
      {1606, 4, E::none, E::none},
      {1609, 2, E::illegal_data_address, E::illegal_data_address},
      {4095, 1, E::illegal_data_address, E::illegal_data_address},
      {4096, 30, E::none, E::illegal_data_address},
      {4096, 1, E::none, E::illegal_data_address},  // firmware version
      {4099, 1, E::none, E::none},
      {4100, 1, E::none, E::illegal_data_address},  // active tariff
      {4103, 8, E::none, E::none},
      {4111, 1, E::none, E::illegal_data_address},  // data bits
      {4112, 2, E::none, E::none},
      {4114, 4, E::none, E::illegal_data_address},
      {4118, 6, E::none, E::none},
      {4124, 2, E::none, E::illegal_data_address},
      {4125, 4, E::illegal_data_address, E::illegal_data_address},
      {4126, 2, E::illegal_data_address, E::illegal_data_address},
      {4128, 5, E::none, E::none},
      {4132, 2, E::illegal_data_address, E::illegal_data_address},
      {65535, 1, E::illegal_data_address, E::illegal_data_address},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MeterModel::check_read(c.address, c.count), c.read) << c.address << " x" << c.count;
    EXPECT_EQ(MeterModel::check_write(c.address, c.count), c.write) << c.address << " x" << c.count;
  }
}

TEST(MeterMap, RefusedValuesChangeNothing) {
  Fixture f;
  const auto before = f.read(4096, 30);
  const auto mask_before = f.read(4128, 5);
  struct Case { uint16_t address; std::vector<uint16_t> values; };
  const Case cases[] = {
      {4099, {0}}, {4099, {248}},                 // slave address 1..247
      {4107, {97}}, {4107, {0}},                  // speed codes only
      {4108, {0}}, {4108, {61}},                  // demand period
      {4109, {3}}, {4110, {0}}, {4110, {3}},      // parity, stop bits
      {4112, {5}}, {4113, {10000}},               // tariff mode, password
      {4118, {2}}, {4119, {49}}, {4119, {501}},   // transformer secondaries
      {4120, {0, 0}}, {4120, {0, 50001}},         // CT primary
      {4122, {0, 49}}, {4122, {7, 41393}},        // VT primary (500001)
      // a whole W4-like block whose last value alone is wrong
      {4118, {1, 100, 0, 200, 0, 40}},
      // clock: month 13, 31 April, 29 February 2023, hour 24, minute 60, bad nibbles
      {4103, {0x0025, 0x1301, 0x0010, 0x0000}},
      {4103, {0x0025, 0x0431, 0x0010, 0x0000}},
      {4103, {0x0023, 0x0229, 0x0010, 0x0000}},
      {4105, {0x0024}}, {4106, {0x6000}}, {4106, {0x001A}}, {4103, {0x00A0}},
      // a W2-like block with a good clock and a bad speed
      {4103, {0x0025, 0x0315, 0x0009, 0x3045, 95, 15, 0, 1}},
      // partial counters reset only to zero
      {1582, {0, 1}}, {1606, {5}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(f.write(c.address, c.values), ModbusException::illegal_data_value) << c.address;
  }
  EXPECT_EQ(f.read(4096, 30), before);
  EXPECT_EQ(f.read(4128, 5), mask_before);
}

TEST(MeterMap, AcceptedWritesReadBack) {
  Fixture f;
  // The four writes of the configuration screen, then the display mask.
  ASSERT_EQ(f.write(4099, {17}), ModbusException::none);
  ASSERT_EQ(f.write(4103, {0x0025, 0x0315, 0x0009, 0x3045, 192, 30, 2, 1}), ModbusException::none);
  ASSERT_EQ(f.write(4112, {3, 1234}), ModbusException::none);
  ASSERT_EQ(f.write(4118, {1, 100, 0x0000, 0x1388, 0x0000, 20000}), ModbusException::none);
  ASSERT_EQ(f.write(4128, {0x8000, 0x0001, 0xFFFF, 0x1234, 0xFFFF}), ModbusException::none);

  const auto c = f.read(4096, 30);
  EXPECT_EQ(c[4099 - 4096], 17);
  EXPECT_EQ(c[4103 - 4096], 0x0025);
  EXPECT_EQ(c[4104 - 4096], 0x0315);
  EXPECT_EQ(c[4105 - 4096], 0x0609);  // high byte: weekday, Saturday
  EXPECT_EQ(c[4106 - 4096], 0x3045);
  EXPECT_EQ(std::vector<uint16_t>(c.begin() + 11, c.begin() + 15),
            (std::vector<uint16_t>{192, 30, 2, 1}));
  EXPECT_EQ(c[4111 - 4096], 8);
  EXPECT_EQ(c[4112 - 4096], 3);
  EXPECT_EQ(c[4113 - 4096], 1234);
  EXPECT_EQ(std::vector<uint16_t>(c.begin() + 22, c.begin() + 28),
            (std::vector<uint16_t>{1, 100, 0x0000, 0x1388, 0x0000, 20000}));
  // Word 4 has no bits 3 to 7.
  EXPECT_EQ(f.read(4128, 5), (std::vector<uint16_t>{0x8000, 0x0001, 0xFFFF, 0x1234, 0xFF07}));
  // Tariff mode 3 shows in the active tariff register.
  EXPECT_EQ(c[4100 - 4096], 3);

  const MeterState s = f.model.state(kT0);
  EXPECT_EQ(s.settings.slave_address, 17);
  EXPECT_EQ(s.settings.ct_primary, 5000u);
  EXPECT_EQ(s.settings.vt_primary, 20000u);

  // A model started from the saved state shows the same configuration.
  MeterModel again(s, kT0, static_cast<double>(seconds_from_civil(kStart)));
  std::vector<uint16_t> c2(30);
  ASSERT_EQ(again.read(4096, 30, c2.data(), kT0), ModbusException::none);
  EXPECT_EQ(c2, c);
}

TEST(MeterMeasurements, ConsistentAndPlausibleOverAnHour) {
  Fixture f;
  bool l3_inductive = false;
  bool l3_capacitive = false;
  Measurements prev = f.model.measure(kT0);
  for (int s = 0; s <= 3600; s += 7) {
    const Measurements m = f.model.measure(at_s(s));
    const auto& x = m.wide;
    for (int k = 0; k < 3; ++k) {
      const double v = x[k] / 1000.0;
      const double i = x[3 + k] / 1000.0;
      EXPECT_NEAR(v, 230.0, 6.0);
      EXPECT_GT(i, 1.0);
      EXPECT_LT(i, 60.0);
      // Line-to-line about sqrt(3) times the mean of its two phase voltages.
      const double pair = (x[k] + x[(k + 1) % 3]) / 2000.0;
      EXPECT_NEAR(x[8 + k] / 1000.0 / pair, std::sqrt(3.0), 0.002);
      const double p = x[13 + k], sa = x[17 + k], q = x[21 + k];
      EXPECT_NEAR(sa, v * i, 0.5 + 1e-3 * sa) << "S = V*I, phase " << k;
      EXPECT_NEAR(p * p + q * q, sa * sa, 2.0 * sa + 1.0) << "P^2 + Q^2 = S^2, phase " << k;
      EXPECT_GT(p, 0.0);
      EXPECT_NEAR(m.narrow[4 + k], std::fabs(p) / sa * 1000.0, 0.51) << "PF, phase " << k;
      EXPECT_GE(m.narrow[k], 10);  // THD 1.0 .. 3.5 %
      EXPECT_LE(m.narrow[k], 35);
      // Smooth: 7 s later nothing jumped.
      EXPECT_LT(std::abs(x[k] - prev.wide[k]), 6000) << "voltage step, phase " << k;
    }
    if (x[23] > 0) l3_inductive = true;
    if (x[23] < 0) l3_capacitive = true;
    EXPECT_GT(x[21], 0);  // L1, L2 inductive
    EXPECT_GT(x[22], 0);
    // Totals are the sums of the phase registers.
    EXPECT_EQ(x[16], x[13] + x[14] + x[15]);
    EXPECT_EQ(x[20], x[17] + x[18] + x[19]);
    EXPECT_EQ(x[24], x[21] + x[22] + x[23]);
    EXPECT_NEAR(m.narrow[7], double(x[16]) / x[20] * 1000.0, 0.51);
    EXPECT_NEAR(x[6], (x[0] + x[1] + x[2]) / 3.0, 1.0);
    EXPECT_NEAR(x[7], (x[3] + x[4] + x[5]) / 3.0, 1.0);
    EXPECT_NEAR(x[11], (x[8] + x[9] + x[10]) / 3.0, 1.0);
    // An unbalanced load: some neutral current, less than the largest phase current.
    EXPECT_GT(x[12], 0);
    EXPECT_LT(x[12], std::max({x[3], x[4], x[5]}));
    EXPECT_GE(m.narrow[3], 499);
    EXPECT_LE(m.narrow[3], 501);
    prev = m;
  }
  EXPECT_TRUE(l3_inductive);
  EXPECT_TRUE(l3_capacitive);
  // It does move.
  EXPECT_NE(f.model.measure(at_s(0)).wide[0], f.model.measure(at_s(30)).wide[0]);
}

TEST(MeterMeasurements, TransformerRatiosScaleValues) {
  Fixture f;
  const Measurements before = f.model.measure(at_s(100));
  // CT 50/5 -> 100/5 doubles currents; VT 230/230 -> 460/230 doubles voltages.
  ASSERT_EQ(f.write(4120, {0, 100}), ModbusException::none);
  ASSERT_EQ(f.write(4122, {0, 460}), ModbusException::none);
  const Measurements after = f.model.measure(at_s(100));
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(after.wide[k], 2.0 * before.wide[k], 2.0);
    EXPECT_NEAR(after.wide[3 + k], 2.0 * before.wide[3 + k], 2.0);
    EXPECT_NEAR(after.wide[13 + k], 4.0 * before.wide[13 + k], 6.0);
  }
  EXPECT_EQ(after.narrow[4], before.narrow[4]);  // power factors unchanged
}

TEST(MeterEnergy, CountersIntegrateThePower) {
  Fixture f;
  const uint32_t import0 = f.counter(270, kT0);
  const uint32_t t1_0 = f.counter(330, kT0);
  const uint32_t react0 = f.counter(300, kT0) + f.counter(310, kT0);
  const uint32_t cap0 = f.counter(310, kT0);
  const uint32_t export0 = f.counter(280, kT0);
  const uint32_t part0 = f.counter(1582, kT0);
  // The test's own integral of the total power registers, 1 s apart.
  double wh = 0;
  double varh = 0;
  for (int s = 0; s < 3600; ++s) {
    const Measurements m = f.model.measure(at_s(s + 0.5));
    wh += m.wide[16] / 3600.0;
    varh += (std::abs(m.wide[21]) + std::abs(m.wide[22]) + std::abs(m.wide[23])) / 3600.0;
  }
  const TP end = at_s(3600);
  const double d_import = (f.counter(270, end) - import0) * 10.0;
  EXPECT_NEAR(d_import, wh, 0.005 * wh + 20);
  EXPECT_GT(wh, 5000.0);  // a busy hour: several kWh
  // Wednesday 10:00-11:00 is T1: everything went there.
  EXPECT_EQ(f.counter(330, end) - t1_0, f.counter(270, end) - import0);
  EXPECT_NEAR((f.counter(300, end) + f.counter(310, end) - react0) * 10.0, varh, 0.005 * varh + 30);
  EXPECT_GT(f.counter(310, end), cap0);  // L3 was capacitive part of the hour
  EXPECT_EQ(f.counter(280, end), export0);
  EXPECT_NEAR(double(f.counter(1582, end) - part0), double(f.counter(270, end) - import0), 4.0);
}

TEST(MeterEnergy, TotalsAreSumsAndNeverGoBack) {
  Fixture f;
  std::vector<uint16_t> prev = f.read(270, 92, kT0);
  double s = 0;
  for (int k = 0; k < 300; ++k) {
    s += 0.37 + (k % 7) * 1.3;
    const auto e = f.read(270, 92, at_s(s));
    auto c = [&](int reg) { return static_cast<uint32_t>(e[reg - 270]) << 16 | e[reg - 270 + 1]; };
    auto p = [&](int reg) { return static_cast<uint32_t>(prev[reg - 270]) << 16 | prev[reg - 270 + 1]; };
    ASSERT_EQ(c(270), c(330) + c(340) + c(350) + c(360));
    ASSERT_EQ(c(320), c(300) + c(310));
    for (int reg = 270; reg <= 360; reg += 10) ASSERT_GE(c(reg), p(reg)) << reg;
    for (int w = 2; w < 10; ++w) ASSERT_EQ(e[w], 0) << "reserved word";
    const auto part = f.read(1582, 28, at_s(s));
    auto pc = [&](int reg) { return static_cast<uint32_t>(part[reg - 1582]) << 16 | part[reg - 1582 + 1]; };
    ASSERT_EQ(pc(1582), pc(1588) + pc(1590) + pc(1592) + pc(1594));
    prev = e;
  }
}

TEST(MeterEnergy, TariffFollowsTheClockOrTheFixedMode) {
  struct Case { const char* what; std::vector<uint16_t> clock; uint16_t mode; uint16_t grows; };
  const Case cases[] = {
      {"weekday day", {0x0025, 0x0312, 0x0010, 0x0000}, 0, 330},
      {"weekday night", {0x0025, 0x0312, 0x0023, 0x1000}, 0, 340},
      {"saturday", {0x0025, 0x0315, 0x0012, 0x0000}, 0, 350},
      {"sunday", {0x0025, 0x0316, 0x0003, 0x0000}, 0, 360},
      {"fixed T2 on a sunday", {0x0025, 0x0316, 0x0012, 0x0000}, 2, 340},
  };
  for (const Case& c : cases) {
    Fixture f;
    ASSERT_EQ(f.write(4103, c.clock), ModbusException::none) << c.what;
    ASSERT_EQ(f.write(4112, {c.mode, 0}), ModbusException::none) << c.what;
    std::vector<uint32_t> before;
    for (uint16_t r = 330; r <= 360; r += 10) before.push_back(f.counter(r, kT0));
    const TP later = at_s(1800);  // half an hour: no tariff boundary crossed
    EXPECT_EQ(f.read(4100, 1, later)[0], (c.grows - 330) / 10 + 1) << c.what;
    for (uint16_t r = 330; r <= 360; r += 10) {
      const uint32_t now = f.counter(r, later);
      if (r == c.grows) {
        EXPECT_GT(now, before[(r - 330) / 10] + 100) << c.what;
      } else {
        EXPECT_EQ(now, before[(r - 330) / 10]) << c.what << " register " << r;
      }
    }
  }
}

TEST(MeterEnergy, PartialCountersResetByWritingZero) {
  Fixture f;
  const TP t = at_s(600);
  const uint32_t total = f.counter(270, t);
  const uint32_t ind = f.counter(1606, t);
  ASSERT_EQ(f.write(1582, {0, 0}, t), ModbusException::none);
  EXPECT_EQ(f.counter(1582, t), 0u);
  for (uint16_t r = 1588; r <= 1594; r += 2) EXPECT_EQ(f.counter(r, t), 0u);
  EXPECT_EQ(f.counter(1606, t), ind);     // not touched
  EXPECT_EQ(f.counter(270, t), total);    // totals never reset
  ASSERT_EQ(f.write(1606, {0, 0, 0, 0}, t), ModbusException::none);
  EXPECT_EQ(f.counter(1606, t), 0u);
  EXPECT_EQ(f.counter(1608, t), 0u);
  EXPECT_GT(f.counter(1582, at_s(1200)), 0u);  // and they count again
}

TEST(MeterClock, RunsFromTheStartAndFromAWrite) {
  Fixture f;
  auto fields = [&](TP at) { return f.read(4103, 4, at); };
  EXPECT_EQ(fields(kT0), (std::vector<uint16_t>{0x0025, 0x0312, 0x0310, 0x0000}));
  EXPECT_EQ(fields(at_s(3661.5)), (std::vector<uint16_t>{0x0025, 0x0312, 0x0311, 0x0101}));

  // Set at t = 100 s; 59.9 s later one field has moved by 59 s.
  ASSERT_EQ(f.write(4103, {0x0025, 0x0315, 0x0009, 0x3045}, at_s(100)), ModbusException::none);
  EXPECT_EQ(fields(at_s(100)), (std::vector<uint16_t>{0x0025, 0x0315, 0x0609, 0x3045}));
  EXPECT_EQ(fields(at_s(159.9)), (std::vector<uint16_t>{0x0025, 0x0315, 0x0609, 0x3144}));

  // Writing minutes and seconds alone keeps the date and hour; high bytes written to
  // 4103 and 4105 are ignored.
  ASSERT_EQ(f.write(4106, {0x0000}, at_s(200)), ModbusException::none);
  EXPECT_EQ(fields(at_s(200)), (std::vector<uint16_t>{0x0025, 0x0315, 0x0609, 0x0000}));
  ASSERT_EQ(f.write(4103, {0xFF24, 0x0101, 0xFF00, 0x0000}, at_s(300)), ModbusException::none);
  EXPECT_EQ(fields(at_s(300)), (std::vector<uint16_t>{0x0024, 0x0101, 0x0100, 0x0000}));
}

TEST(MeterClock, RollsOverDaysMonthsYears) {
  struct Case { std::vector<uint16_t> set; double after_s; std::vector<uint16_t> shows; };
  const Case cases[] = {
      {{0x0024, 0x0228, 0x0023, 0x5959}, 1, {0x0024, 0x0229, 0x0400, 0x0000}},  // leap day
      {{0x0023, 0x0228, 0x0023, 0x5959}, 1, {0x0023, 0x0301, 0x0300, 0x0000}},
      {{0x0025, 0x1231, 0x0023, 0x5958}, 3, {0x0026, 0x0101, 0x0400, 0x0001}},
      {{0x0025, 0x0430, 0x0023, 0x5959}, 86401, {0x0025, 0x0502, 0x0500, 0x0000}},
      // past 2099 the two-digit year starts again at 00
      {{0x0099, 0x1231, 0x0023, 0x5959}, 1, {0x0000, 0x0101, 0x0500, 0x0000}},
  };
  for (const Case& c : cases) {
    Fixture f;
    ASSERT_EQ(f.write(4103, c.set), ModbusException::none);
    EXPECT_EQ(f.read(4103, 4, at_s(c.after_s)), c.shows) << std::hex << c.set[1] << " " << c.set[3];
  }
}
