// The meter model on a fake clock: map rules, refused values, consistent measurements,
// energy that integrates the power into tariffs, and the BCD clock.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "sim/meter_model.h"
#include "sim/server.h"
#include "test_support.h"

using namespace veldix::sim;
using namespace std::chrono_literals;
using E = ModbusException;
using Words = std::vector<uint16_t>;

namespace {

using TP = MeterModel::Clock::time_point;
const TP kT0 = TP{} + 1000h;
TP at_s(double s) {
  return kT0 + std::chrono::duration_cast<TP::duration>(std::chrono::duration<double>(s));
}
// Wednesday 2025-03-12 10:00:00 at kT0: tariff T1 by the timetable.
const double kStartUtc = static_cast<double>(seconds_from_civil({2025, 3, 12, 10, 0, 0}));

// The 32-bit counter at register reg of a block read from first.
uint32_t counter_in(const Words& w, int first, int reg) {
  return static_cast<uint32_t>(w[reg - first]) << 16 | w[reg - first + 1];
}

struct Meter {
  MeterModel model{MeterState::factory(0), kT0, kStartUtc};
  Words read(uint16_t a, uint16_t n, TP at = kT0) {
    Words v(n);
    EXPECT_EQ(model.read(a, n, v.data(), at), E::none) << a << " x" << n;
    return v;
  }
  E write(uint16_t a, Words v, TP at = kT0) { return model.write(a, v, at); }
  uint32_t counter(uint16_t a, TP at) { return counter_in(read(a, 2, at), a, a); }
};

}  // namespace

TEST(MeterMap, ReadAndWriteRangesFollowTheMap) {
  const E ok = E::none, no = E::illegal_data_address;
  struct Case {
    uint16_t address, count;
    E read, write;
  };
  // 1582+28 reaches the reserved 1596-1605, which are read-only.
  const Case cases[] = {
      {269, 1, no, no},  {270, 92, ok, no}, {361, 2, no, no},   {1024, 50, ok, no},
      {1074, 8, ok, no}, {1081, 2, no, no}, {1582, 28, ok, no}, {1582, 14, ok, ok},
      {1606, 4, ok, ok}, {4095, 1, no, no}, {4096, 30, ok, no}, {4099, 1, ok, ok},
      {4100, 1, ok, no}, {4103, 8, ok, ok}, {4111, 1, ok, no},  {4112, 2, ok, ok},
      {4118, 6, ok, ok}, {4125, 4, no, no}, {4128, 5, ok, ok},  {4132, 2, no, no},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MeterModel::check_read(c.address, c.count), c.read) << c.address << " x" << c.count;
    EXPECT_EQ(MeterModel::check_write(c.address, c.count), c.write) << c.address << " x" << c.count;
  }
}

TEST(MeterMap, RefusedValuesChangeNothing) {
  Meter f;
  const Words before = f.read(4096, 30), mask_before = f.read(4128, 5);
  // Slave address 1..247, speed codes only, demand period, parity, stop bits, tariff mode,
  // password, transformer secondaries, clock nibbles, partial counters reset only to zero.
  const std::pair<uint16_t, uint16_t> one[] = {
      {4099, 0},      {4099, 248},    {4107, 97},     {4108, 61}, {4109, 3},
      {4110, 3},      {4112, 5},      {4113, 10000},  {4118, 2},  {4119, 501},
      {4105, 0x0024}, {4106, 0x6000}, {4106, 0x001A}, {1606, 5},
  };
  for (const auto& [a, v] : one) EXPECT_EQ(f.write(a, {v}), E::illegal_data_value) << a;
  // CT and VT primaries (500001), a block whose last value alone is wrong; clock: month 13,
  // 31 April, 29 February 2023, a good clock with a bad speed.
  const std::pair<uint16_t, Words> many[] = {
      {4120, {0, 50001}},
      {4122, {7, 41393}},
      {4118, {1, 100, 0, 200, 0, 40}},
      {4103, {0x0025, 0x1301, 0x0010, 0x0000}},
      {4103, {0x0025, 0x0431, 0x0010, 0x0000}},
      {4103, {0x0023, 0x0229, 0x0010, 0x0000}},
      {4103, {0x0025, 0x0315, 0x0009, 0x3045, 95, 15, 0, 1}},
      {1582, {0, 1}},
  };
  for (const auto& [a, v] : many) EXPECT_EQ(f.write(a, v), E::illegal_data_value) << a;
  EXPECT_EQ(f.read(4096, 30), before);
  EXPECT_EQ(f.read(4128, 5), mask_before);
}

TEST(MeterMap, AcceptedWritesReadBack) {
  Meter f;
  // The four writes of the configuration screen, then the display mask.
  ASSERT_EQ(f.write(4099, {17}), E::none);
  ASSERT_EQ(f.write(4103, {0x0025, 0x0315, 0x0009, 0x3045, 192, 30, 2, 1}), E::none);
  ASSERT_EQ(f.write(4112, {3, 1234}), E::none);
  ASSERT_EQ(f.write(4118, {1, 100, 0x0000, 0x1388, 0x0000, 20000}), E::none);
  ASSERT_EQ(f.write(4128, {0x8000, 0x0001, 0xFFFF, 0x1234, 0xFFFF}), E::none);
  const Words c = f.read(4096, 30);
  // 4099 address, 4100 the active tariff (fixed mode 3).
  EXPECT_EQ(Words(c.begin() + 3, c.begin() + 5), (Words{17, 3}));
  // 4103-4113: the clock with Saturday (6) in 4105's high byte, the link with 8 data
  // bits, tariff mode and password.
  EXPECT_EQ(Words(c.begin() + 7, c.begin() + 18),
            (Words{0x0025, 0x0315, 0x0609, 0x3045, 192, 30, 2, 1, 8, 3, 1234}));
  EXPECT_EQ(Words(c.begin() + 22, c.begin() + 28), (Words{1, 100, 0, 0x1388, 0, 20000}));
  EXPECT_EQ(f.read(4128, 5), (Words{0x8000, 0x0001, 0xFFFF, 0x1234, 0xFF07}))
      << "word 4 has no bits 3 to 7";
}

TEST(MeterMeasurements, ConsistentAndPlausibleOverAnHour) {
  Meter f;
  bool l3_inductive = false, l3_capacitive = false;
  Measurements prev = f.model.measure(kT0);
  for (int s = 0; s <= 3600; s += 7) {
    const Measurements m = f.model.measure(at_s(s));
    const auto& x = m.wide;
    for (int k = 0; k < 3; ++k) {
      SCOPED_TRACE("second " + std::to_string(s) + ", phase " + std::to_string(k + 1));
      const double v = x[k] / 1000.0, i = x[3 + k] / 1000.0;
      const double p = x[13 + k], sa = x[17 + k], q = x[21 + k];
      EXPECT_NEAR(v, 230.0, 6.0);
      EXPECT_TRUE(i > 1.0 && i < 60.0) << i;
      EXPECT_NEAR(2.0 * x[8 + k] / (x[k] + x[(k + 1) % 3]), std::sqrt(3.0), 0.002) << "U L-L";
      EXPECT_NEAR(sa, v * i, 0.5 + 1e-3 * sa) << "S = V*I";
      EXPECT_NEAR(p * p + q * q, sa * sa, 2.0 * sa + 1.0) << "P^2 + Q^2 = S^2";
      EXPECT_GT(p, 0.0);
      EXPECT_NEAR(m.narrow[4 + k], p / sa * 1000.0, 0.51) << "PF";
      EXPECT_TRUE(m.narrow[k] >= 10 && m.narrow[k] <= 35) << "THD 1.0 .. 3.5 %";
      EXPECT_LT(std::abs(x[k] - prev.wide[k]), 6000) << "smooth: no voltage step in 7 s";
    }
    l3_inductive |= x[23] > 0;
    l3_capacitive |= x[23] < 0;
    EXPECT_TRUE(x[21] > 0 && x[22] > 0) << "L1, L2 inductive";
    // Totals are sums, averages means; an unbalanced load puts some current on the neutral.
    EXPECT_EQ(x[16], x[13] + x[14] + x[15]);
    EXPECT_EQ(x[20], x[17] + x[18] + x[19]);
    EXPECT_EQ(x[24], x[21] + x[22] + x[23]);
    EXPECT_NEAR(m.narrow[7], double(x[16]) / x[20] * 1000.0, 0.51);
    for (const auto& [avg, first] : {std::pair{6, 0}, {7, 3}, {11, 8}})
      EXPECT_NEAR(x[avg], (x[first] + x[first + 1] + x[first + 2]) / 3.0, 1.0) << avg;
    EXPECT_TRUE(x[12] > 0 && x[12] < std::max({x[3], x[4], x[5]})) << "neutral " << x[12];
    EXPECT_TRUE(m.narrow[3] >= 499 && m.narrow[3] <= 501) << "frequency " << m.narrow[3];
    prev = m;
  }
  EXPECT_TRUE(l3_inductive && l3_capacitive);
  EXPECT_NE(f.model.measure(at_s(0)).wide[0], f.model.measure(at_s(30)).wide[0]) << "it moves";
}

TEST(MeterMeasurements, TransformerRatiosScaleValues) {
  Meter f;
  const Measurements before = f.model.measure(at_s(100));
  // CT 50/5 -> 100/5 doubles currents; VT 230/230 -> 460/230 doubles voltages.
  ASSERT_EQ(f.write(4120, {0, 100}), E::none);
  ASSERT_EQ(f.write(4122, {0, 460}), E::none);
  const Measurements after = f.model.measure(at_s(100));
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(after.wide[k], 2.0 * before.wide[k], 2.0);
    EXPECT_NEAR(after.wide[3 + k], 2.0 * before.wide[3 + k], 2.0);
    EXPECT_NEAR(after.wide[13 + k], 4.0 * before.wide[13 + k], 6.0);
  }
  EXPECT_EQ(after.narrow[4], before.narrow[4]) << "power factors unchanged";
}

TEST(MeterEnergy, CountersIntegrateThePowerAndNeverGoBack) {
  // One meter read only at the end of the hour, one read at uneven steps through it; both
  // must match the test's own integral of the power registers.
  Meter once, often;
  const Words e0 = once.read(270, 92);
  const uint32_t part0 = once.counter(1582, kT0);
  auto c = [](const Words& e, int reg) { return counter_in(e, 270, reg); };
  Words prev = e0;
  double wh = 0, varh = 0;
  for (int s = 0; s < 3600; ++s) {
    const Measurements m = once.model.measure(at_s(s + 0.5));
    wh += m.wide[16] / 3600.0;
    varh += (std::abs(m.wide[21]) + std::abs(m.wide[22]) + std::abs(m.wide[23])) / 3600.0;
    const TP t = at_s(s + (s % 7) * 0.13);
    const Words e = often.read(270, 92, t);
    ASSERT_EQ(c(e, 270), c(e, 330) + c(e, 340) + c(e, 350) + c(e, 360)) << "import is T1..T4";
    ASSERT_EQ(c(e, 320), c(e, 300) + c(e, 310)) << "reactive is inductive + capacitive";
    for (int reg = 270; reg <= 360; reg += 10) ASSERT_GE(c(e, reg), c(prev, reg)) << reg;
    for (int w = 2; w < 10; ++w) ASSERT_EQ(e[w], 0) << "reserved word";
    const Words p = often.read(1582, 28, t);
    ASSERT_EQ(counter_in(p, 1582, 1582), counter_in(p, 1582, 1588) + counter_in(p, 1582, 1590) +
                                             counter_in(p, 1582, 1592) + counter_in(p, 1582, 1594));
    prev = e;
  }
  EXPECT_GT(wh, 5000.0) << "a busy hour: several kWh";
  const TP end = at_s(3600);
  for (Meter* f : {&once, &often}) {
    const Words e = f->read(270, 92, end);
    const uint32_t imported = c(e, 270) - c(e0, 270);
    EXPECT_NEAR(imported * 10.0, wh, 0.005 * wh + 20);
    EXPECT_EQ(c(e, 330) - c(e0, 330), imported) << "Wednesday 10:00-11:00 is all T1";
    EXPECT_NEAR((c(e, 300) + c(e, 310) - c(e0, 300) - c(e0, 310)) * 10.0, varh, 0.005 * varh + 30);
    EXPECT_GT(c(e, 310), c(e0, 310)) << "L3 was capacitive part of the hour";
    EXPECT_EQ(c(e, 280), c(e0, 280)) << "nothing exported";
    EXPECT_NEAR(double(f->counter(1582, end) - part0), double(imported), 4.0);
  }
}

TEST(MeterEnergy, TariffFollowsTheClockOrTheFixedMode) {
  struct Case {
    const char* what;
    Words clock;
    uint16_t mode;
    uint16_t grows;
  };
  const Case cases[] = {
      {"weekday day", {0x0025, 0x0312, 0x0010, 0x0000}, 0, 330},
      {"weekday night", {0x0025, 0x0312, 0x0023, 0x1000}, 0, 340},
      {"saturday", {0x0025, 0x0315, 0x0012, 0x0000}, 0, 350},
      {"sunday", {0x0025, 0x0316, 0x0003, 0x0000}, 0, 360},
      {"fixed T2 on a sunday", {0x0025, 0x0316, 0x0012, 0x0000}, 2, 340},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Meter f;
    ASSERT_EQ(f.write(4103, c.clock), E::none);
    ASSERT_EQ(f.write(4112, {c.mode, 0}), E::none);
    const Words before = f.read(330, 32);
    const TP later = at_s(1800);  // half an hour: no tariff boundary crossed
    EXPECT_EQ(f.read(4100, 1, later)[0], (c.grows - 330) / 10 + 1);
    const Words after = f.read(330, 32, later);
    for (int r = 330; r <= 360; r += 10) {
      const uint32_t grown = counter_in(after, 330, r) - counter_in(before, 330, r);
      EXPECT_TRUE(r == c.grows ? grown > 100 : grown == 0) << "register " << r << ": " << grown;
    }
  }
}

TEST(MeterEnergy, PartialCountersResetByWritingZero) {
  Meter f;
  const TP t = at_s(600);
  const uint32_t total = f.counter(270, t), ind = f.counter(1606, t);
  ASSERT_EQ(f.write(1582, {0, 0}, t), E::none);
  for (uint16_t r : {1582, 1588, 1590, 1592, 1594}) EXPECT_EQ(f.counter(r, t), 0u) << r;
  EXPECT_EQ(f.counter(1606, t), ind) << "not touched";
  EXPECT_EQ(f.counter(270, t), total) << "totals never reset";
  ASSERT_EQ(f.write(1606, {0, 0, 0, 0}, t), E::none);
  EXPECT_EQ(f.read(1606, 4, t), (Words{0, 0, 0, 0}));
  EXPECT_GT(f.counter(1582, at_s(1200)), 0u) << "and they count again";
}

TEST(MeterClock, RunsInBcdAndRollsOverDaysMonthsYears) {
  // 4105's high byte is the weekday the meter works out itself (1 Monday .. 7 Sunday).
  Meter f;
  EXPECT_EQ(f.read(4103, 4), (Words{0x0025, 0x0312, 0x0310, 0x0000})) << "from its start";
  EXPECT_EQ(f.read(4103, 4, at_s(3661.5)), (Words{0x0025, 0x0312, 0x0311, 0x0101}));
  struct Case {
    uint16_t address;
    Words set;
    double after_s;
    Words shows;
  };
  // Setting the time keeps the date and hour; high bytes of 4103 and 4105 are ignored; a
  // leap day, month, year and century (2099 -> 00) roll over.
  const Case cases[] = {
      {4103, {0x0025, 0x0315, 0x0009, 0x3045}, 59.9, {0x0025, 0x0315, 0x0609, 0x3144}},
      {4106, {0x1530}, 0, {0x0025, 0x0312, 0x0310, 0x1530}},
      {4103, {0xFF24, 0x0101, 0xFF00, 0x0000}, 0, {0x0024, 0x0101, 0x0100, 0x0000}},
      {4103, {0x0024, 0x0228, 0x0023, 0x5959}, 1, {0x0024, 0x0229, 0x0400, 0x0000}},
      {4103, {0x0023, 0x0228, 0x0023, 0x5959}, 1, {0x0023, 0x0301, 0x0300, 0x0000}},
      {4103, {0x0025, 0x1231, 0x0023, 0x5958}, 3, {0x0026, 0x0101, 0x0400, 0x0001}},
      {4103, {0x0099, 0x1231, 0x0023, 0x5959}, 1, {0x0000, 0x0101, 0x0500, 0x0000}}};
  for (const Case& c : cases) {
    Meter m;
    ASSERT_EQ(m.write(c.address, c.set, at_s(100)), E::none);
    EXPECT_EQ(m.read(4103, 4, at_s(100 + c.after_s)), c.shows)
        << std::hex << c.set[0] << " " << c.set.back();
  }
}

// The request handling every link shares, fed byte streams in one piece: what is answered,
// what is skipped without losing the frame after it, and exceptions that keep bit 7.
TEST(SimRequests, StreamsCutAnsweredOrSkipped) {
  StopSignal stop;
  MeterModel model(MeterState::factory(0), kT0, kStartUtc);
  FaultInjector faults(FaultOptions{});
  ServerContext ctx{model, faults, stop, 1, false, {}};
  using vtest::Hex;
  using vtest::WithCrc;
  using B = vtest::Bytes;
  auto cat = [](B a, const B& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const B read_addr = WithCrc(Hex("01 03 1003 0001")), addr_answer = WithCrc(Hex("01 03 02 0001"));
  B write124 = Hex("01 10 1000 007C F8"), mbap124 = Hex("0005 0000 00FF 01 10 1000 007C F8");
  write124.resize(write124.size() + 248);
  mbap124.resize(mbap124.size() + 248);
  const auto rtu = Framing::rtu, tcp = Framing::tcp;
  const struct {
    const char* what;
    Framing framing;
    B in, out;
  } cases[] = {
      {"own address", rtu, read_addr, addr_answer},
      {"another address, then ours", rtu, cat(WithCrc(Hex("02 03 1003 0001")), read_addr),
       addr_answer},
      {"another's write, then ours", rtu, cat(WithCrc(Hex("07 10 1020 0001 02 0000")), read_addr),
       addr_answer},
      {"bad CRC: dropped with what follows", rtu, cat(Hex("01 03 1003 0001 00 00"), read_addr), {}},
      {"0xFF keeps bit 7", rtu, WithCrc(Hex("01 FF")), WithCrc(Hex("01 FF 01"))},
      {"function 43", rtu, WithCrc(Hex("01 2B 0E 01 00")), WithCrc(Hex("01 AB 01"))},
      {"124 registers written", rtu, WithCrc(write124), WithCrc(Hex("01 90 03"))},
      {"read of 126", rtu, WithCrc(Hex("01 03 0400 007E")), WithCrc(Hex("01 83 03"))},
      {"read of 0", rtu, WithCrc(Hex("01 03 1003 0000")), WithCrc(Hex("01 83 03"))},
      {"broadcast read: no answer", rtu, WithCrc(Hex("00 03 1003 0001")), {}},
      {"Modbus TCP", tcp, Hex("0042 0000 0006 01 03 1003 0001"),
       Hex("0042 0000 0005 01 03 02 0001")},
      {"TCP 0x85", tcp, Hex("0001 0000 0002 01 85"), Hex("0001 0000 0003 01 85 01")},
      {"TCP 124 registers", tcp, mbap124, Hex("0005 0000 0003 01 90 03")},
      {"TCP read cut short", tcp, Hex("0003 0000 0004 01 03 1003"), Hex("0003 0000 0003 01 83 03")},
      {"another protocol id skipped", tcp,
       cat(Hex("0009 0001 0006 01 03 1003 0001"), Hex("000A 0000 0006 01 03 1003 0001")),
       Hex("000A 0000 0005 01 03 02 0001")},
      {"MBAP length 0: closed, rest unread",
       tcp,
       cat(Hex("0001 0000 0000 01"), Hex("000A 0000 0006 01 03 1003 0001")),
       {}}};
  for (const auto& c : cases) {
    EXPECT_EQ(vtest::ToHex(serve_bytes(ctx, c.framing, c.in.data(), c.in.size())),
              vtest::ToHex(c.out))
        << c.what;
  }
}
