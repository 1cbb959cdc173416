// Measurements screen on its real panel, polling an independent Modbus TCP peer.
#include <QWidget>
#include <map>
#include <vector>

#include "engine.h"
#include "meter.h"
#include "meter_fixture.h"
#include "ui.h"

namespace {

using mtest::Hex;
using mtest::Request;

constexpr int kTimer = 115;
constexpr int kExit = 114;

// The register map of the screen: control, first register, 32-bit or not, divisor.
struct Cell {
  int control;
  int reg;
  bool wide;
  double divisor;
};
const Cell kMap[] = {
    {98, 1024, true, 1000}, {97, 1026, true, 1000}, {96, 1028, true, 1000},
    {95, 1030, true, 1000}, {94, 1032, true, 1000}, {93, 1034, true, 1000},
    {57, 1036, true, 1000}, {56, 1038, true, 1000}, {80, 1040, true, 1000},
    {79, 1042, true, 1000}, {78, 1044, true, 1000}, {77, 1046, true, 1000},
    {55, 1048, true, 1000}, {45, 1050, true, 1},    {32, 1052, true, 1},
    {19, 1054, true, 1},    {6, 1056, true, 1},     {43, 1058, true, 1},
    {30, 1060, true, 1},    {17, 1062, true, 1},    {4, 1064, true, 1},
    {44, 1066, true, 1},    {31, 1068, true, 1},    {18, 1070, true, 1},
    {5, 1072, true, 1},     {68, 1074, false, 10},  {67, 1075, false, 10},
    {66, 1076, false, 10},  {92, 1077, false, 10},  {42, 1078, false, 1000},
    {29, 1079, false, 1000}, {16, 1080, false, 1000}, {3, 1081, false, 1000},
};

// Register values of 1024-1081 in which every quantity differs (seed moves them all), and
// the value each control should then show.
struct Load {
  std::vector<int> words;  // 58 registers from 1024
  std::map<int, double> shown;
};

Load MakeLoad(int seed) {
  Load l;
  l.words.assign(58, 0);
  for (const Cell& c : kMap) {
    const int k = c.reg - 1024;
    if (c.wide) {
      // Negative values for odd controls: the sign must survive.
      const std::int32_t v = (c.control % 2 ? -1 : 1) * (c.control * 100003 + seed * 7);
      l.words[k] = static_cast<int>(static_cast<std::uint32_t>(v) >> 16);
      l.words[k + 1] = static_cast<int>(static_cast<std::uint32_t>(v) & 0xFFFF);
      l.shown[c.control] = v / c.divisor;
    } else {
      const int v = (c.control * 733 + seed * 11) & 0xFFFF;
      l.words[k] = v;
      l.shown[c.control] = v / c.divisor;
    }
  }
  return l;
}

class Measurements : public mtest::ScreenTest {
 protected:
  void Serve(const Load& l) { peer->Set(1024, l.words); }
  // True when every control of `which` (request A: wide, B: narrow) shows the load.
  bool Shows(int p, const Load& l, bool wide) {
    for (const Cell& c : kMap)
      if (c.wide == wide && Double(p, c.control) != Shown(p, c.control, l.shown.at(c.control)))
        return false;
    return true;
  }
  int TimerEnabled(int p) {
    int on = -1;
    GetCtrlAttribute(p, kTimer, ATTR_ENABLED, &on);
    return on;
  }
};

TEST_F(Measurements, EdgeValuesReachTheirControls) {
  Load l = MakeLoad(1);
  // 1024-1025: 0x0003 0x8D0B = 232 715 mV; 1026-1027 and 1050-1051: -1000.
  l.words[0] = 0x0003, l.words[1] = 0x8D0B, l.shown[98] = 232.715;
  l.words[2] = 0xFFFF, l.words[3] = 0xFC18, l.shown[97] = -1.0;
  l.words[26] = 0xFFFF, l.words[27] = 0xFC18, l.shown[45] = -1000.0;
  l.words[50] = 0xFFFF, l.shown[68] = 6553.5;  // 1074: unsigned
  l.words[54] = 0x03E8, l.shown[42] = 1.0;     // 1078
  Serve(l);

  const int p = Open(2);
  ASSERT_GT(p, 0);
  ASSERT_TRUE(mtest::RunUntil([&] { return Shows(p, l, false); }, 5)) << "request B not shown";
  EXPECT_TRUE(Shows(p, l, true));
  EXPECT_DOUBLE_EQ(Double(p, 98), 232.715);
  EXPECT_DOUBLE_EQ(Double(p, 97), -1.0);
  EXPECT_DOUBLE_EQ(Double(p, 45), -1000.0);
  EXPECT_DOUBLE_EQ(Double(p, 68), 6553.5);
  EXPECT_DOUBLE_EQ(Double(p, 42), 1.0);
}

TEST_F(Measurements, PollsOneSecondAfterOpeningAndAfterEachPollEnds) {
  Serve(MakeLoad(2));
  const double opened = mtest::Now();
  const int p = Open(2);
  ASSERT_GT(p, 0);
  ASSERT_TRUE(mtest::RunUntil([&] { return peer->Log().size() >= 6; }, 8));
  const auto log = peer->Log();

  // Each tick: request A (50 registers at 1024), then request B (8 at 1074); slave 1.
  for (std::size_t i = 0; i + 1 < 6; i += 2) {
    EXPECT_EQ(log[i].Pdu(), Hex("01 03 04 00 00 32")) << "tick " << i / 2;
    EXPECT_EQ(log[i + 1].Pdu(), Hex("01 03 04 32 00 08")) << "tick " << i / 2;
    EXPECT_EQ(log[i].frame[5], 6) << "Modbus TCP length: the 6 request bytes";
  }
  // First poll about 1 s after opening.
  EXPECT_TRUE(mtest::Within(log[0].t - opened, 1.0, 0.1, 0.4));
  // The next one 1 s after the previous ended: an exchange on Modbus TCP ends about 0.3 s
  // after its request arrived (0.15 s after the write, the answer, the 0.15 s closing
  // pause). Counted from the start of the previous poll it would come 0.6 s earlier.
  for (std::size_t i = 2; i < 6; i += 2)
    EXPECT_TRUE(mtest::Within(log[i].t - log[i - 1].t, 1.0 + 0.31, 0.15, 0.4)) << "tick " << i / 2;
}

TEST_F(Measurements, RequestBFailingFreezesTheScreenUntilReopened) {
  const Load first = MakeLoad(3), second = MakeLoad(4), third = MakeLoad(5);
  Serve(first);
  int p = Open(2);
  ASSERT_GT(p, 0);
  ASSERT_TRUE(mtest::RunUntil([&] { return Shows(p, first, false); }, 5));

  // Request B now fails with an exception answer: request A of that tick still shows the
  // new values, request B's controls keep the old ones, and the timer stays off.
  Serve(second);
  peer->Fault(1074, 1081, "exception");
  ASSERT_TRUE(mtest::RunUntil([&] { return Shows(p, second, true); }, 5));
  EXPECT_TRUE(Shows(p, first, false));
  EXPECT_EQ(TimerEnabled(p), 0);
  const std::size_t requests = peer->Log().size();

  // The meter answers again, yet the screen stays frozen ...
  peer->Fault(1074, 1081, "off");
  Serve(third);
  mtest::RunFor(1.8);
  EXPECT_EQ(peer->Log().size(), requests) << "a stopped screen polled again";
  EXPECT_TRUE(Shows(p, second, true));

  // ... until it is closed and opened again.
  Click(p, kExit);
  EXPECT_TRUE(Visible(main));
  p = Open(2);
  ASSERT_GT(p, 0);
  EXPECT_TRUE(mtest::RunUntil([&] { return Shows(p, third, false) && Shows(p, third, true); }, 5));
}

TEST_F(Measurements, FailedOrIncompleteRequestAChangesNothing) {
  // An exception answer, and an answer one register short of the 50 asked for (which
  // would leave the previous answer's bytes in the buffer, to be shown as new values).
  for (const char* mode : {"exception", "short"}) {
    SCOPED_TRACE(mode);
    peer->Reset();
    Serve(MakeLoad(6));
    peer->Fault(1024, 1073, mode);
    const int p = Open(2);
    ASSERT_GT(p, 0);
    ASSERT_TRUE(mtest::RunUntil([&] { return !peer->Log().empty() && TimerEnabled(p) == 0; }, 5));
    for (const Cell& c : kMap) EXPECT_EQ(Double(p, c.control), 0.0) << "control " << c.control;
    EXPECT_EQ(TimerEnabled(p), 0);
    EXPECT_EQ(peer->Log().size(), 1u) << "request B was sent after request A failed";
    Click(p, kExit);
  }
}

}  // namespace
