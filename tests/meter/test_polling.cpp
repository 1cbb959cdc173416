// The two polled screens, measurements (1 s) and energy (2 s), on their real panels against
// the pymodbus peer: what each poll asks, when, what it shows, and how a failure stops it.
#include <cstdint>
#include <map>
#include <span>

#include "meter_fixture.h"

namespace {

using namespace mtest;

// ---------------------------------------------------------------- measurements

// The screen's controls in register order, from the screen's own tables: what is checked
// here is that every register's value reaches its control whole, not the table itself.
std::vector<int> Controls(std::span<const meter::Measure> m) {
  std::vector<int> c;
  for (const auto& x : m) c.push_back(x.control);
  return c;
}
const std::vector<int> kA = Controls(meter::kMeasureA), kB = Controls(meter::kMeasureB);

// Registers 1024-1081 near the limits of their type, every value different (seed moves
// them all), and control -> value shown. Odd controls' 32-bit values are negative.
struct Load {
  std::vector<int> words = std::vector<int>(58);
  std::map<int, double> shown;
};
Load MakeLoad(int seed) {
  Load l;
  for (int i = 0; i < 25; ++i) {
    const int c = kA[static_cast<std::size_t>(i)];
    const std::int32_t v = (c % 2 ? -1 : 1) * (2147483647 - c * 1000 - seed * 7);
    l.words[2 * i] = static_cast<int>(static_cast<std::uint32_t>(v) >> 16);
    l.words[2 * i + 1] = static_cast<int>(static_cast<std::uint32_t>(v) & 0xFFFF);
    l.shown[c] = v / meter::kMeasureA[static_cast<std::size_t>(i)].divisor;
  }
  for (int j = 0; j < 8; ++j) {
    const int c = kB[static_cast<std::size_t>(j)];
    l.words[50 + j] = 0xFFFF - c * 7 - seed * 11;
    l.shown[c] = l.words[50 + j] / meter::kMeasureB[static_cast<std::size_t>(j)].divisor;
  }
  return l;
}

// Polling stopped (values greyed, the status saying why, reading again offered) or fresh.
class Polled : public ScreenTest {
 protected:
  void ExpectState(int p, const std::vector<int>& values, int status, int again,
                   const QString& reason) {
    const int stale = reason.isEmpty() ? 0 : 1;
    for (int c : values) EXPECT_EQ(Get<int>(p, c, ATTR_DIMMED), stale) << c;
    EXPECT_EQ(Get<int>(p, again, ATTR_DIMMED), 1 - stale);
    char text[512] = "x";
    ASSERT_EQ(GetCtrlVal(p, status, text, sizeof text), 0);
    EXPECT_EQ(QString::fromLatin1(text), stale ? Catalogue(201) + "\n" + reason : "");
  }
};

class Measurements : public Polled {
 protected:
  // The first control of request A (wide) or B that does not show the load exactly (its
  // range and precision must hold every value of its register); 0 if none.
  int Mismatch(int p, const Load& l, bool wide) {
    for (int c : wide ? kA : kB)
      if (Get<double>(p, c) != l.shown.at(c)) return c;
    return 0;
  }
};

TEST_F(Measurements, PollsUntilARequestFails) {
  Load first = MakeLoad(3);
  first.words[0] = 0x8000, first.words[1] = 0, first.shown[98] = -2147483.648;
  const Load second = MakeLoad(4);
  auto all = kA;
  all.insert(all.end(), kB.begin(), kB.end());
  // Request A answered short: nothing shows (the bytes of no answer would), B is not asked.
  peer->Set(1024, first.words);
  peer->Fault(1024, 1073, "short");
  int p = Open(2);
  ASSERT_GT(p, 0);
  ASSERT_TRUE(RunUntil(
      [&] { return !peer->Log().empty() && Get<int>(p, kMedidasTimer, ATTR_ENABLED) == 0; }, 5));
  for (int c : all) EXPECT_EQ(Get<double>(p, c), 0.0) << "control " << c;
  EXPECT_EQ(peer->Log().size(), 1u) << "request B was sent after request A failed";

  // The meter answers again, yet the screen stays stopped until the operator reads again;
  // then the values are current and polling resumes.
  peer->Fault(1024, 1073, "off");
  RunFor(1.8);
  EXPECT_EQ(peer->Log().size(), 1u) << "a stopped screen polled again";
  Click(p, kMedidasReadAgain);
  EXPECT_TRUE(!Mismatch(p, first, false) && !Mismatch(p, first, true));
  ExpectState(p, all, kMedidasStatus, kMedidasReadAgain, "");
  EXPECT_EQ(Get<int>(p, kMedidasTimer, ATTR_ENABLED), 1);

  // Request B fails: request A of that tick still shows, B's controls keep the old values
  // and the timer stays off.
  peer->Set(1024, second.words);
  peer->Fault(1074, 1081, "exception");
  ASSERT_TRUE(RunUntil([&] { return Mismatch(p, second, true) == 0; }, 5));
  EXPECT_EQ(Mismatch(p, first, false), 0);
  EXPECT_EQ(Get<int>(p, kMedidasTimer, ATTR_ENABLED), 0);
  ExpectState(p, all, kMedidasStatus, kMedidasReadAgain, Exception4());

  // Each tick: request A (50 registers at 1024), then request B (8 at 1074); slave 1.
  ASSERT_TRUE(RunUntil([&] { return peer->Log().size() >= 5; }, 2));
  const auto log = peer->Log();
  for (std::size_t i = 1; i < 5; i += 2) {
    EXPECT_EQ(log[i].Pdu(), Hex("01 03 04 00 00 32")) << "tick " << i / 2;
    EXPECT_EQ(log[i + 1].Pdu(), Hex("01 03 04 32 00 08")) << "tick " << i / 2;
  }
}

// ---------------------------------------------------------------- energy

// Counter register pair -> its control, from the meter's register map.
const std::pair<int, int> kCounters[] = {{270, 32},  {280, 31},  {300, 10}, {310, 9},
                                         {330, 6},   {340, 5},   {350, 4},  {360, 3},
                                         {1582, 30}, {1584, 29}, {1606, 8}, {1608, 7}};

class Energy : public Polled {
 protected:
  // Serves a counter near 2^32 per register pair, every one different; control -> counter.
  std::map<int, std::uint32_t> Serve(std::uint32_t seed) {
    std::map<int, std::uint32_t> counts;
    for (auto [reg, control] : kCounters) {
      const auto n = 0xFFFFFFFFu - seed * 1000003u - static_cast<std::uint32_t>(reg) * 1700u;
      peer->Set(reg, {static_cast<int>(n >> 16), static_cast<int>(n & 0xFFFF)});
      counts[control] = n;
    }
    return counts;
  }
  // n / 100 in single precision, held exactly (the box only shows two decimals).
  bool ShowsCount(int p, int control, std::uint32_t n) {
    return Get<double>(p, control) == static_cast<double>(static_cast<float>(n / 100.0));
  }
  int Mismatch(int p, const std::map<int, std::uint32_t>& counts) {
    for (auto [control, n] : counts)
      if (!ShowsCount(p, control, n)) return control;
    return 0;
  }
};

TEST_F(Energy, TenReadsEachTickUntilRequest5Fails) {
  const auto first = Serve(3);
  const int p = Open(3);
  ASSERT_GT(p, 0);
  ASSERT_TRUE(RunUntil([&] { return Mismatch(p, first) == 0; }, 8)) << Mismatch(p, first);
  std::vector<int> controls;
  for (auto [c, n] : first) controls.push_back(c);

  // Requests 1-4 of the next tick update controls 32, 31, 10 and 9, then request 5 fails.
  const auto second = Serve(4);
  peer->Fault(330, 331, "exception");
  ASSERT_TRUE(RunUntil([&] { return ShowsCount(p, 9, second.at(9)); }, 8));
  for (int c : {32, 31, 10, 9}) EXPECT_TRUE(ShowsCount(p, c, second.at(c))) << c;
  for (int c : {6, 5, 4, 3, 30, 29, 8, 7}) EXPECT_TRUE(ShowsCount(p, c, first.at(c))) << c;
  EXPECT_EQ(Get<int>(p, kEnergiasTimer, ATTR_ENABLED), 0);
  ExpectState(p, controls, kEnergiasStatus, kEnergiasReadAgain, Exception4());

  ASSERT_TRUE(RunUntil([&] { return peer->Log().size() >= 15; }, 2));
  const auto log = peer->Log();
  ASSERT_EQ(log.size(), 15u) << "a request went out after the failed one";
  EXPECT_EQ(log[4].Pdu(), Hex("01 03 014a 0002")) << "request 5: tariff 1 at 330";
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(log[i + 10].Pdu(), log[i].Pdu()) << "request " << i;
  // Reading again once the meter answers shows every counter.
  peer->Fault(330, 331, "off");
  Click(p, kEnergiasReadAgain);
  EXPECT_TRUE(RunUntil([&] { return Mismatch(p, second) == 0; }, 8));
}

}  // namespace
