// Device configuration screen on its real panel: the block read at opening, the four write
// requests of a send as an independent Modbus TCP peer receives them, and the popup.
#include <vector>

#include "engine.h"
#include "meter.h"
#include "meter_fixture.h"
#include "ui.h"

namespace {

using mtest::Hex;

constexpr int kExit = 32;
constexpr int kSend = 33;

// Registers 4096-4125 of a meter: clock 2025-03-15 09:30:45 (weekday 4 in 4105's high
// byte), 9600 bit/s, 15 min, frame pair (2, 1), tariff 3, password 1234, transformers
// 5 A / 230 V secondary, 100 000 A and -2 (a signed 32-bit value) primary.
const std::vector<int> kBlock = {
    0x0104, 0x016F, 0xBDB1,                  // 4096-4098: firmware, serial number
    0xFFFF,                                  // 4099: address
    0x0002, 0x0000, 0x0000,                  // 4100-4102
    0x0025, 0x0315, 0x0409, 0x3045,          // 4103-4106: clock
    96, 15, 2, 1,                            // 4107-4110
    8,                                       // 4111
    3, 1234,                                 // 4112-4113
    0, 0, 0, 0,                              // 4114-4117
    5, 230, 0x0001, 0x86A0, 0xFFFF, 0xFFFE,  // 4118-4123
    0, 0,                                    // 4124-4125
};

// Control -> value the panel shows for kBlock.
const std::pair<int, int> kShown[] = {
    {2, 65535}, {22, 2025}, {23, 3}, {27, 15}, {26, 9}, {25, 30}, {24, 45}, {21, 96},
    {11, 15},   {9, 1},     {15, 3}, {20, 1234}, {19, 5}, {17, 230}, {18, 100000}, {16, -2},
};

class DeviceConfig : public mtest::ScreenTest {
 protected:
  int OpenRead() {
    peer->Set(4096, kBlock);
    const int p = Open(4);
    if (p > 0) {
      EXPECT_EQ(Dimmed(p, kSend), 0) << "the read succeeded";
    }
    return p;
  }
  int Dimmed(int p, int control) {
    int d = -1;
    GetCtrlAttribute(p, control, ATTR_DIMMED, &d);
    return d;
  }
  // Sends, and waits for the popup that ends the send.
  void Send(int p) {
    popups.Clear();
    Click(p, kSend);
    ASSERT_TRUE(mtest::RunUntil([&] { return !popups.Seen().empty(); }, 30));
  }
};

TEST_F(DeviceConfig, ReadShowsTheBlockAndUnlocksSend) {
  // A first opening reads a meter of all zeros; the second reads the block anew.
  const int p = Open(4);
  ASSERT_GT(p, 0);
  EXPECT_EQ(Int(p, 2), 0);
  Click(p, kExit);

  const int q = OpenRead();
  ASSERT_GT(q, 0);
  for (auto [control, value] : kShown) EXPECT_EQ(Int(q, control), value) << "control " << control;
  const auto log = peer->Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1].Pdu(), Hex("01 03 10 00 00 1e")) << "one block read of 30 registers";
  EXPECT_TRUE(popups.Seen().empty());
}

TEST_F(DeviceConfig, FailedReadChangesNothingAndKeepsSendLocked) {
  for (const char* mode : {"exception", "short"}) {
    SCOPED_TRACE(mode);
    peer->Set(4096, kBlock);
    peer->Fault(4096, 4125, mode);
    const int p = Open(4);
    ASSERT_GT(p, 0);
    EXPECT_EQ(Int(p, 22), 2000) << "the resource file's initial year";
    EXPECT_EQ(Int(p, 2), 0);
    EXPECT_EQ(Dimmed(p, kSend), 1);
    // A locked send button writes nothing.
    Click(p, kSend);
    EXPECT_TRUE(peer->Log(16).empty());
    EXPECT_TRUE(popups.Seen().empty());
    Click(p, kExit);
    peer->Reset();
  }
}

TEST_F(DeviceConfig, SendWritesFourRequestsInOrderWithTheirPauses) {
  const int p = OpenRead();
  ASSERT_GT(p, 0);
  Send(p);
  const auto writes = peer->Log(16);
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes[0].Pdu(), Hex("01 10 10 03 00 01 02 ff ff"));
  EXPECT_EQ(writes[1].Pdu(), Hex("01 10 10 07 00 08 10"
                                 " 00 25 03 15 00 09 30 45 00 60 00 0f 00 02 00 01"));
  EXPECT_EQ(writes[2].Pdu(), Hex("01 10 10 10 00 02 04 00 03 04 d2"));
  EXPECT_EQ(writes[3].Pdu(), Hex("01 10 10 16 00 06 0c 00 05 00 e6 00 01 86 a0 ff ff ff fe"));
  // Each write ends about 0.3 s after its request arrived, then 0.2 s pass.
  for (std::size_t i = 1; i < writes.size(); ++i)
    EXPECT_TRUE(mtest::Within(writes[i].t - writes[i - 1].t, 0.31 + 0.2, 0.08, 0.35))
        << "before write " << i + 1;

  ASSERT_EQ(popups.Seen().size(), 1u);
  EXPECT_EQ(popups.Seen()[0].title, mtest::Catalogue(199));
  EXPECT_EQ(popups.Seen()[0].text, mtest::Catalogue(200));
  EXPECT_TRUE(Visible(p)) << "the screen stays open";

  // The meter now holds what it held, but for the weekday byte, written as 0x00.
  std::vector<int> expected = kBlock;
  expected[4105 - 4096] = 0x0009;
  EXPECT_EQ(peer->Get(4096, 30), expected);
  EXPECT_EQ(peer->Log(3).size(), 1u) << "the block is not read back";
}

TEST_F(DeviceConfig, EditedControlsAreSent) {
  const int p = OpenRead();
  ASSERT_GT(p, 0);
  const std::pair<int, int> edits[] = {
      {2, 5}, {22, 2099}, {23, 12}, {27, 31}, {26, 23}, {25, 59}, {24, 0},
      {9, 3},  // 8N2: 0, 2
      {18, -1}, {16, 2147483647},
  };
  for (auto [control, value] : edits) ASSERT_EQ(SetCtrlVal(p, control, value), 0) << control;
  Send(p);
  const auto writes = peer->Log(16);
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes[0].Pdu(), Hex("01 10 10 03 00 01 02 00 05"));
  EXPECT_EQ(peer->Get(4103, 8),
            (std::vector<int>{0x0099, 0x1231, 0x0023, 0x5900, 96, 15, 0, 2}));
  EXPECT_EQ(peer->Get(4120, 4), (std::vector<int>{0xFFFF, 0xFFFF, 0x7FFF, 0xFFFF}));
}

TEST_F(DeviceConfig, AnyFailedWriteShowsTheFailurePopupAfterAllFour) {
  struct Case {
    int first, last;  // registers the meter refuses (exception answer)
  };
  const Case cases[] = {{4099, 4099}, {4103, 4110}, {4112, 4113}, {4118, 4123}, {4099, 4123}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "refused " << c.first << "-" << c.last);
    peer->Reset();
    const int p = OpenRead();
    ASSERT_GT(p, 0);
    peer->Fault(c.first, c.last, "exception");
    Send(p);
    EXPECT_EQ(peer->Log(16).size(), 4u) << "every write is attempted";
    ASSERT_EQ(popups.Seen().size(), 1u);
    EXPECT_EQ(popups.Seen()[0].title, mtest::Catalogue(195));
    EXPECT_EQ(popups.Seen()[0].text, mtest::Catalogue(198));
    Click(p, kExit);
  }
}

TEST_F(DeviceConfig, SilentMeterStillGetsEveryWriteAndTheFailurePopup) {
  // The meter stops answering at write W2: W2 waits out the whole answer time (1000 polls
  // of 0.01 s), then the pause, and W3 and W4 still go out.
  const int p = OpenRead();
  ASSERT_GT(p, 0);
  peer->Fault(4103, 4110, "silent");
  Send(p);
  const auto writes = peer->Log(16);
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes[1].Start(), 4103);
  EXPECT_GT(writes[2].t - writes[1].t, 10.0 + 0.2) << "W3 went out before W2 timed out";
  EXPECT_TRUE(mtest::Within(writes[3].t - writes[2].t, 0.31 + 0.2, 0.08, 0.35));
  ASSERT_EQ(popups.Seen().size(), 1u);
  EXPECT_EQ(popups.Seen()[0].title, mtest::Catalogue(195));
  EXPECT_TRUE(Visible(p));
}

}  // namespace
