// Energy and tariff screen on its real panel, polling an independent Modbus TCP peer.
#include <cstdint>
#include <map>
#include <vector>

#include "engine.h"
#include "meter.h"
#include "meter_fixture.h"
#include "ui.h"

namespace {

using mtest::Hex;

constexpr int kExit = 42;
constexpr int kTimer = 43;

// Counter register -> control, in the order the poll reads them.
const std::pair<int, int> kCounters[] = {
    {270, 32}, {280, 31}, {300, 10}, {310, 9},  {330, 6},  {340, 5},
    {350, 4},  {360, 3},  {1582, 30}, {1584, 29}, {1606, 8}, {1608, 7},
};
// The ten requests: start and count.
const std::pair<int, int> kReads[] = {
    {270, 2}, {280, 2}, {300, 2}, {310, 2}, {330, 2},
    {340, 2}, {350, 2}, {360, 2}, {1582, 4}, {1606, 4},
};

class Energy : public mtest::ScreenTest {
 protected:
  // Serves one counter value per register pair; returns control -> counter.
  std::map<int, std::uint32_t> Serve(std::uint32_t seed) {
    std::map<int, std::uint32_t> counts;
    for (auto [reg, control] : kCounters) {
      const std::uint32_t n = seed * 1000003u + static_cast<std::uint32_t>(reg) * 17u;
      peer->Set(reg, {static_cast<int>(n >> 16), static_cast<int>(n & 0xFFFF)});
      counts[control] = n;
    }
    return counts;
  }
  // The control shows n / 100 in single precision, at the control's own precision.
  bool ShowsCount(int p, int control, std::uint32_t n) {
    const double v = static_cast<double>(static_cast<float>(n / 100.0));
    return Double(p, control) == Shown(p, control, v);
  }
  bool ShowsAll(int p, const std::map<int, std::uint32_t>& counts) {
    for (auto [control, n] : counts)
      if (!ShowsCount(p, control, n)) return false;
    return true;
  }
  int TimerEnabled(int p) {
    int on = -1;
    GetCtrlAttribute(p, kTimer, ATTR_ENABLED, &on);
    return on;
  }
};

TEST_F(Energy, CountersAreUnsignedHundredthsInSinglePrecision) {
  auto counts = Serve(1);
  const std::pair<int, std::uint32_t> edges[] = {
      {270, 123456789u},   // control 32: 1 234 567.875 (1 234 567.89 as a float)
      {280, 0xFFFFFFFFu},  // control 31: 42 949 672.0, never negative
      {300, 1u},           // control 10: 0.01 as a float
  };
  for (auto [reg, n] : edges) {
    peer->Set(reg, {static_cast<int>(n >> 16), static_cast<int>(n & 0xFFFF)});
    for (auto [r, control] : kCounters)
      if (r == reg) counts[control] = n;
  }
  const int p = Open(3);
  ASSERT_GT(p, 0);
  ASSERT_TRUE(mtest::RunUntil([&] { return ShowsAll(p, counts); }, 8));
  EXPECT_DOUBLE_EQ(Double(p, 32), Shown(p, 32, 1234567.875));
  EXPECT_NE(Shown(p, 32, 1234567.875), Shown(p, 32, 1234567.89)) << "precision hides the float";
  EXPECT_DOUBLE_EQ(Double(p, 31), 42949672.0);
  EXPECT_GT(Double(p, 10), 0.0);
}

TEST_F(Energy, TenReadsFirstAfterOneSecondThenTwoSecondsAfterEachPollEnds) {
  Serve(2);
  const double opened = mtest::Now();
  const int p = Open(3);
  ASSERT_GT(p, 0);
  ASSERT_TRUE(mtest::RunUntil([&] { return peer->Log().size() >= 11; }, 12));
  const auto log = peer->Log();
  for (std::size_t i = 0; i < 10; ++i) {
    const auto [start, count] = kReads[i];
    EXPECT_EQ(log[i].Pdu(), (mtest::Bytes{0x01, 0x03, static_cast<std::uint8_t>(start >> 8),
                                          static_cast<std::uint8_t>(start & 0xFF), 0x00,
                                          static_cast<std::uint8_t>(count)}))
        << "request " << i + 1;
  }
  EXPECT_EQ(log[10].Start(), 270) << "the next poll starts over";
  EXPECT_TRUE(mtest::Within(log[0].t - opened, 1.0, 0.1, 0.4));
  // 2 s after the tenth exchange ended (about 0.3 s after its request arrived).
  EXPECT_TRUE(mtest::Within(log[10].t - log[9].t, 2.0 + 0.31, 0.15, 0.4));
  double interval = 0;
  GetCtrlAttribute(p, kTimer, ATTR_INTERVAL, &interval);
  EXPECT_EQ(interval, 2.0);
}

TEST_F(Energy, Request5FailingFreezesItAndTheLaterCounters) {
  const auto first = Serve(3);
  int p = Open(3);
  ASSERT_GT(p, 0);
  ASSERT_TRUE(mtest::RunUntil([&] { return ShowsAll(p, first); }, 8));

  const auto second = Serve(4);
  peer->Fault(330, 331, "exception");
  // Requests 1-4 of the next tick update controls 32, 31, 10 and 9, then request 5 fails.
  ASSERT_TRUE(mtest::RunUntil([&] { return ShowsCount(p, 9, second.at(9)); }, 8));
  for (int c : {32, 31, 10, 9}) EXPECT_TRUE(ShowsCount(p, c, second.at(c))) << c;
  for (int c : {6, 5, 4, 3, 30, 29, 8, 7}) EXPECT_TRUE(ShowsCount(p, c, first.at(c))) << c;
  EXPECT_EQ(TimerEnabled(p), 0);
  const auto log = peer->Log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().Start(), 330) << "a request went out after the failed one";

  // No further poll, even once the meter answers again ...
  peer->Fault(330, 331, "off");
  mtest::RunFor(2.6);
  EXPECT_EQ(peer->Log().size(), log.size());

  // ... until the screen is reopened: 1 s to the first poll again.
  Click(p, kExit);
  const double reopened = mtest::Now();
  p = Open(3);
  ASSERT_GT(p, 0);
  double interval = 0;
  GetCtrlAttribute(p, kTimer, ATTR_INTERVAL, &interval);
  EXPECT_EQ(interval, 1.0);
  ASSERT_TRUE(mtest::RunUntil([&] { return ShowsAll(p, second); }, 8));
  const auto after = peer->Log();
  ASSERT_GT(after.size(), log.size());
  EXPECT_TRUE(mtest::Within(after[log.size()].t - reopened, 1.0, 0.1, 0.4));
}

}  // namespace
