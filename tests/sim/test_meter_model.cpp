// The meter model on a fake clock: map rules, refused values, energy that integrates the
// power into tariffs, the BCD clock, and the request handling with its fault options.
#include <gtest/gtest.h>

#include <vector>

#include "sim/meter_model.h"
#include "sim/options.h"
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

// The answers of the request handling every link shares to a byte stream, under the fault
// options of a command line.
vtest::Bytes serve(Framing framing, const vtest::Bytes& in, std::vector<std::string> faults) {
  faults.insert(faults.begin(), {"--tcp", "0"});
  StopSignal stop;
  MeterModel model(MeterState::factory(0), kT0, kStartUtc);
  FaultInjector injector(parse_options(faults).options.faults);
  ServerContext ctx{model, injector, stop, 1, false, {}};
  return serve_bytes(ctx, framing, in.data(), in.size());
}

}  // namespace

TEST(MeterMap, ReadAndWriteRangesFollowTheMap) {
  const E ok = E::none, no = E::illegal_data_address;
  // 1582+28 reaches the reserved 1596-1605, which are read-only.
  const struct {
    uint16_t address, count;
    E read, write;
  } cases[] = {
      {269, 1, no, no},   {270, 92, ok, no},  {361, 2, no, no},   {1024, 58, ok, no},
      {1081, 2, no, no},  {1582, 28, ok, no}, {1582, 14, ok, ok}, {4095, 1, no, no},
      {4096, 30, ok, no}, {4099, 1, ok, ok},  {4100, 1, ok, no},  {4103, 8, ok, ok},
      {4111, 1, ok, no},  {4118, 6, ok, ok},  {4125, 4, no, no},  {4128, 5, ok, ok},
      {4132, 2, no, no},  {1606, 4, ok, ok},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MeterModel::check_read(c.address, c.count), c.read) << c.address << " x" << c.count;
    EXPECT_EQ(MeterModel::check_write(c.address, c.count), c.write) << c.address << " x" << c.count;
  }
}

TEST(MeterMap, RefusedValuesChangeNothingAcceptedOnesReadBack) {
  Meter f;
  EXPECT_EQ(f.read(4128, 5), (Words{0x1DC7, 0x07C0, 0x03DE, 0x0070, 0x2905})) << "factory mask";
  const Words before = f.read(4096, 30);
  // Slave address 1..247, speed codes only, demand period, parity, stop bits, tariff mode,
  // password, transformer secondaries, clock nibbles, partial counters reset only to zero.
  const std::pair<uint16_t, uint16_t> one[] = {
      {4099, 0},     {4099, 248}, {4107, 97},  {4108, 61},     {4109, 3},      {4110, 3}, {4112, 5},
      {4113, 10000}, {4118, 2},   {4119, 501}, {4105, 0x0024}, {4106, 0x6000}, {1606, 5},
  };
  for (const auto& [a, v] : one) EXPECT_EQ(f.write(a, {v}), E::illegal_data_value) << a;
  // CT and VT primaries (500001), a block whose last value alone is wrong, 29 February 2023.
  const std::pair<uint16_t, Words> refused[] = {
      {4120, {0, 50001}},
      {4122, {7, 41393}},
      {4118, {1, 100, 0, 200, 0, 40}},
      {4103, {0x0023, 0x0229, 0x0010, 0x0000}},
  };
  for (const auto& [a, v] : refused) EXPECT_EQ(f.write(a, v), E::illegal_data_value) << a;
  EXPECT_EQ(f.read(4096, 30), before);
  // The four writes of the configuration screen, then the display mask.
  ASSERT_EQ(f.write(4099, {17}), E::none);
  ASSERT_EQ(f.write(4103, {0x0025, 0x0315, 0x0009, 0x3045, 192, 30, 2, 2}), E::none);
  ASSERT_EQ(f.write(4112, {3, 1234}), E::none);
  ASSERT_EQ(f.write(4118, {1, 100, 0x0000, 0x1388, 0x0000, 20000}), E::none);
  ASSERT_EQ(f.write(4128, {0x8000, 0x0001, 0xFFFF, 0x1234, 0xFFFF}), E::none);
  const Words c = f.read(4096, 30);
  // 4099 address, 4100 the active tariff (fixed mode 3); 4103-4113: the clock with Saturday
  // (6) in 4105's high byte, the link with 8 data bits, tariff mode and password.
  EXPECT_EQ(Words(c.begin() + 3, c.begin() + 5), (Words{17, 3}));
  EXPECT_EQ(Words(c.begin() + 7, c.begin() + 18),
            (Words{0x0025, 0x0315, 0x0609, 0x3045, 192, 30, 2, 2, 8, 3, 1234}));
  EXPECT_EQ(Words(c.begin() + 22, c.begin() + 28), (Words{1, 100, 0, 0x1388, 0, 20000}));
  EXPECT_EQ(f.read(4128, 5), (Words{0x8000, 0x0001, 0xFFFF, 0x1234, 0xFF07}))
      << "word 4 has no bits 3 to 7";
}

// One meter read at uneven steps through an hour, one only at its end: both must match the
// test's own integral of the power; partial counters then reset by a write of zero; the
// transformer ratios scale the power.
TEST(MeterEnergy, CountersIntegrateThePowerAndNeverGoBack) {
  Meter f, once;
  auto c = [](const Words& e, int reg) { return counter_in(e, 270, reg); };
  const Words e0 = f.read(270, 92);
  const uint32_t part0 = f.counter(1582, kT0);
  Words prev = e0;
  double wh = 0;
  for (int s = 0; s < 3600; ++s) {
    wh += f.model.measure(at_s(s + 0.5)).wide[16] / 3600.0;
    const Words e = f.read(270, 92, at_s(s + (s % 7) * 0.13));
    ASSERT_EQ(c(e, 270), c(e, 330) + c(e, 340) + c(e, 350) + c(e, 360)) << "import is T1..T4";
    ASSERT_EQ(c(e, 320), c(e, 300) + c(e, 310)) << "reactive is inductive + capacitive";
    for (int reg = 270; reg <= 360; reg += 10) ASSERT_GE(c(e, reg), c(prev, reg)) << reg;
    prev = e;
  }
  const TP end = at_s(3600);
  const Words e = f.read(270, 92, end);
  const uint32_t imported = c(e, 270) - c(e0, 270);
  EXPECT_NEAR(imported * 10.0, wh, 0.005 * wh + 20);
  EXPECT_EQ(c(e, 330) - c(e0, 330), imported) << "Wednesday 10:00-11:00 is all T1";
  EXPECT_EQ(c(e, 280), c(e0, 280)) << "nothing exported";
  EXPECT_NEAR(c(once.read(270, 92, end), 270), c(e, 270), 1.0);
  EXPECT_NEAR(double(f.counter(1582, end) - part0), double(imported), 4.0);
  const uint32_t inductive = f.counter(1606, end);
  ASSERT_EQ(f.write(1582, {0, 0}, end), E::none);
  for (uint16_t r : {1582, 1588, 1590, 1592, 1594}) EXPECT_EQ(f.counter(r, end), 0u) << r;
  // CT 50/5 -> 100/5 and VT 230/230 -> 460/230 make the power four times as large.
  const double power = f.model.measure(end).wide[16];
  ASSERT_EQ(f.write(4120, {0, 100}, end), E::none);
  ASSERT_EQ(f.write(4122, {0, 460}, end), E::none);
  EXPECT_NEAR(f.model.measure(end).wide[16], 4.0 * power, 6.0);
  EXPECT_EQ(f.counter(1606, end), inductive) << "not touched";
  EXPECT_EQ(f.counter(270, end), c(e, 270)) << "totals never reset";
}

// 4105's high byte is the weekday the meter works out itself (1 Monday .. 7 Sunday). Setting
// the time keeps the date and hour; high bytes of 4103 and 4105 are ignored; a leap day,
// month, year and century (2099 -> 00) roll over. The energy of the next ten minutes goes to
// the tariff of the timetable (weekdays 07-23 T1, else T2; Saturday T3; Sunday T4) or to the
// fixed one.
TEST(MeterClock, RunsInBcdRollsOverAndPicksTheTariff) {
  Meter f;
  EXPECT_EQ(f.read(4103, 4, at_s(3661.5)), (Words{0x0025, 0x0312, 0x0311, 0x0101}));
  const struct {
    uint16_t address;
    Words set;
    double after_s;
    Words shows;
    uint16_t tariff;
  } cases[] = {
      {4106, {0x1530}, 0, {0x0025, 0x0312, 0x0310, 0x1530}, 1},
      {4112, {2, 0}, 0, {0x0025, 0x0312, 0x0310, 0x0140}, 2},
      {4103, {0xFF24, 0x0101, 0xFF00, 0x0000}, 0, {0x0024, 0x0101, 0x0100, 0x0000}, 2},
      {4103, {0x0024, 0x0228, 0x0023, 0x5959}, 1, {0x0024, 0x0229, 0x0400, 0x0000}, 2},
      {4103, {0x0023, 0x0228, 0x0023, 0x5959}, 1, {0x0023, 0x0301, 0x0300, 0x0000}, 2},
      {4103, {0x0099, 0x1231, 0x0023, 0x5959}, 1, {0x0000, 0x0101, 0x0500, 0x0000}, 2},
      {4103, {0x0025, 0x0315, 0x0012, 0x0000}, 0, {0x0025, 0x0315, 0x0612, 0x0000}, 3},
      {4103, {0x0025, 0x0316, 0x0003, 0x0000}, 0, {0x0025, 0x0316, 0x0703, 0x0000}, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << c.address << " " << c.set.back());
    Meter m;
    const TP t = at_s(100 + c.after_s), later = at_s(700 + c.after_s);
    ASSERT_EQ(m.write(c.address, c.set, at_s(100)), E::none);
    EXPECT_EQ(m.read(4103, 4, t), c.shows);
    EXPECT_EQ(m.read(4100, 1, t)[0], c.tariff);
    const Words before = m.read(330, 32, t), after = m.read(330, 32, later);
    for (int k = 1, r = 330; r <= 360; ++k, r += 10) {
      const uint32_t grown = counter_in(after, 330, r) - counter_in(before, 330, r);
      EXPECT_TRUE(k == c.tariff ? grown > 10 : grown == 0) << "T" << k << ": " << grown;
    }
  }
}

// The request handling every link shares, fed byte streams in one piece: what is answered,
// what is skipped without losing the frame after it, exceptions that keep bit 7, and what
// the fault options of a command line do to the answers.
TEST(SimRequests, StreamsCutAnsweredOrSkipped) {
  using namespace vtest;
  auto cat = [](std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
  };
  const Bytes read_addr = WithCrc(Hex("01 03 1003 0001")),
              addr_answer = WithCrc(Hex("01 03 02 0001")),
              tcp_read = Hex("0042 0000 0006 01 03 1003 0001"),
              tcp_answer = Hex("0042 0000 0005 01 03 02 0001");
  const auto rtu = Framing::rtu, tcp = Framing::tcp;
  const std::vector<std::string> corrupt = {"--corrupt-crc", "1"};
  const struct {
    const char* what;
    Framing framing;
    Bytes in, out;
    std::vector<std::string> faults = {};
  } cases[] = {
      {"another address, then ours", rtu, cat({WithCrc(Hex("02 03 1003 0001")), read_addr}),
       addr_answer},
      {"another's write, then ours", rtu, cat({WithCrc(Hex("07 10 1020 0001 02 0000")), read_addr}),
       addr_answer},
      {"bad CRC drops what follows", rtu, cat({Hex("01 03 1003 0001 00 00"), read_addr}), {}},
      {"0xFF keeps bit 7", rtu, WithCrc(Hex("01 FF")), WithCrc(Hex("01 FF 01"))},
      {"124 registers written", rtu, WithCrc(cat({Hex("01 10 1000 007C F8"), Bytes(248)})),
       WithCrc(Hex("01 90 03"))},
      {"read of 126", rtu, WithCrc(Hex("01 03 0400 007E")), WithCrc(Hex("01 83 03"))},
      {"read of 0", rtu, WithCrc(Hex("01 03 1003 0000")), WithCrc(Hex("01 83 03"))},
      {"broadcast read: no answer", rtu, WithCrc(Hex("00 03 1003 0001")), {}},
      {"Modbus TCP", tcp, tcp_read, tcp_answer},
      {"TCP units 0 and 255 are ours, 7 gets 0x0B", tcp,
       cat({Hex("0001 0000 0006 00 03 1003 0001"), Hex("0002 0000 0006 FF 03 1003 0001"),
            Hex("0003 0000 0006 07 03 1003 0001")}),
       cat({Hex("0001 0000 0005 00 03 02 0001"), Hex("0002 0000 0005 FF 03 02 0001"),
            Hex("0003 0000 0003 07 83 0B")})},
      {"TCP 0x85", tcp, Hex("0001 0000 0002 01 85"), Hex("0001 0000 0003 01 85 01")},
      {"TCP read cut short", tcp, Hex("0003 0000 0004 01 03 1003"), Hex("0003 0000 0003 01 83 03")},
      {"another protocol id skipped", tcp, cat({Hex("0009 0001 0006 01 03 1003 0001"), tcp_read}),
       tcp_answer},
      {"MBAP length 0: closed, rest unread", tcp, cat({Hex("0001 0000 0000 01"), tcp_read}), {}},
      {"corrupt: the CRC's high byte", rtu, read_addr, Hex("01 03 02 0001 79 7B"), corrupt},
      {"corrupt: TCP's last byte", tcp, tcp_read, Hex("0042 0000 0005 01 03 02 00FE"), corrupt},
      // next to a register, touching it, not in the map (that comes first), inside a range
      {"exception-at",
       rtu,
       cat({read_addr, WithCrc(Hex("01 03 1003 0002")), WithCrc(Hex("01 03 101F 0001")),
            WithCrc(Hex("01 03 1020 0001"))}),
       cat({addr_answer, WithCrc(Hex("01 83 04")), WithCrc(Hex("01 83 02")),
            WithCrc(Hex("01 83 04"))}),
       {"--exception-at", "4127-4129,4100"}},
      {"drop-after 1", tcp, cat({tcp_read, tcp_read}), tcp_answer, {"--drop-after", "1"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ToHex(serve(c.framing, c.in, c.faults)), ToHex(c.out)) << c.what;
  }
  // The corruption draw follows the seed: the same seed spoils the same answers.
  Bytes many;
  for (int k = 0; k < 32; ++k) many = cat({many, read_addr});
  auto spoilt = [&](const char* seed) {
    return serve(rtu, many, {"--corrupt-crc", "0.5", "--seed", seed});
  };
  EXPECT_EQ(spoilt("7"), spoilt("7"));
  EXPECT_NE(spoilt("7"), spoilt("8"));
}
