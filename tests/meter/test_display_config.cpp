// Display configuration screen on its real panel: the mask read into the 75 check boxes
// and the save as an independent Modbus TCP peer receives it.
#include <set>
#include <vector>

#include "engine.h"
#include "meter.h"
#include "meter_fixture.h"
#include "ui.h"

namespace {

using mtest::Hex;

constexpr int kExit = 2;
constexpr int kSave = 3;

std::set<int> All() {
  std::set<int> all;
  for (int c = 4; c <= 78; ++c) all.insert(c);
  return all;
}

class DisplayConfig : public mtest::ScreenTest {
 protected:
  int OpenWithMask(const std::vector<int>& mask) {
    peer->Set(4128, mask);
    return Open(5);
  }
  std::set<int> On(int p) {
    std::set<int> on;
    for (int c = 4; c <= 78; ++c)
      if (Int(p, c) == 1) on.insert(c);
    return on;
  }
  int Dimmed(int p, int control) {
    int d = -1;
    GetCtrlAttribute(p, control, ATTR_DIMMED, &d);
    return d;
  }
  void Save(int p) {
    popups.Clear();
    Click(p, kSave);
    ASSERT_TRUE(mtest::RunUntil([&] { return !popups.Seen().empty(); }, 15));
  }
};

TEST_F(DisplayConfig, MaskReadSetsItsCheckBoxes) {
  struct Case {
    std::vector<int> mask;
    std::set<int> on;
  };
  const Case cases[] = {
      {{0x0001, 0, 0, 0, 0}, {43}},
      {{0x8000, 0, 0, 0, 0}, {38}},
      {{0, 0, 0, 0, 0x0100}, {4}},
      {{0, 0, 0, 0, 0x0800}, {54}},
      {{0, 0, 0, 0, 0x00F8}, {}},  // bits 3 to 7 of 4132 have no check box
      {{0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF}, All()},
      {{0, 0, 0, 0, 0}, {}},  // reopened: nothing of the previous reading is kept
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.mask[0] << " " << c.mask[4]);
    const int p = OpenWithMask(c.mask);
    ASSERT_GT(p, 0);
    EXPECT_EQ(On(p), c.on);
    EXPECT_EQ(Dimmed(p, kSave), 0);
    Click(p, kExit);
    EXPECT_FALSE(Exists(p));
  }
  const auto reads = peer->Log(3);
  ASSERT_FALSE(reads.empty());
  EXPECT_EQ(reads[0].Pdu(), Hex("01 03 10 20 00 05"));
  EXPECT_TRUE(popups.Seen().empty());
}

TEST_F(DisplayConfig, FailedReadLeavesInitialValuesAndSaveLocked) {
  for (const char* mode : {"exception", "short"}) {
    SCOPED_TRACE(mode);
    peer->Reset();
    peer->Fault(4128, 4132, mode);
    const int p = OpenWithMask({0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF});
    ASSERT_GT(p, 0);
    EXPECT_TRUE(Visible(p));
    EXPECT_EQ(On(p), std::set<int>{}) << "the resource file's values: all off";
    EXPECT_EQ(Dimmed(p, kSave), 1);
    Click(p, kSave);  // locked: nothing is written
    EXPECT_TRUE(peer->Log(16).empty());
    EXPECT_TRUE(popups.Seen().empty());
    Click(p, kExit);
  }
}

TEST_F(DisplayConfig, SaveAfterReadChangesOnlyTheUnusedBitsOf4132) {
  const std::vector<int> mask = {0x1DC7, 0x07C0, 0x03DE, 0x0070, 0x29FD};
  const int p = OpenWithMask(mask);
  ASSERT_GT(p, 0);
  Save(p);
  const auto writes = peer->Log(16);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].Pdu(), Hex("01 10 10 20 00 05 0a 1d c7 07 c0 03 de 00 70 29 05"));
  EXPECT_EQ(peer->Get(4128, 5), (std::vector<int>{0x1DC7, 0x07C0, 0x03DE, 0x0070, 0x2905}));
  ASSERT_EQ(popups.Seen().size(), 1u);
  EXPECT_EQ(popups.Seen()[0].title, mtest::Catalogue(199));
  EXPECT_EQ(popups.Seen()[0].text, mtest::Catalogue(200));
  EXPECT_TRUE(Visible(p));
  EXPECT_EQ(peer->Log(3).size(), 1u) << "the mask is not read back";
}

TEST_F(DisplayConfig, SavedBytesFollowTheCheckBoxes) {
  struct Case {
    std::set<int> on;
    const char* data;
  };
  const Case cases[] = {
      {All(), "ff ff ff ff ff ff ff ff ff 07"},
      {{}, "00 00 00 00 00 00 00 00 00 00"},
      {{38}, "80 00 00 00 00 00 00 00 00 00"},
      {{4}, "00 00 00 00 00 00 00 00 01 00"},
      {{54}, "00 00 00 00 00 00 00 00 08 00"},
  };
  const int p = OpenWithMask({0x5555, 0xAAAA, 0x5555, 0xAAAA, 0x5555});
  ASSERT_GT(p, 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.data);
    for (int control = 4; control <= 78; ++control)
      ASSERT_EQ(SetCtrlVal(p, control, static_cast<int>(c.on.count(control))), 0);
    Save(p);
    const auto writes = peer->Log(16);
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back().Pdu(), Hex(std::string("01 10 10 20 00 05 0a ") + c.data));
  }
}

TEST_F(DisplayConfig, FailedSaveShowsTheFailurePopup) {
  const int p = OpenWithMask({1, 2, 3, 4, 5});
  ASSERT_GT(p, 0);
  // A refusal, and a confirmation that names 4 registers instead of the 5 written.
  for (const char* mode : {"exception", "short"}) {
    SCOPED_TRACE(mode);
    peer->Fault(4128, 4132, mode);
    Save(p);
    ASSERT_EQ(popups.Seen().size(), 1u);
    EXPECT_EQ(popups.Seen()[0].title, mtest::Catalogue(195));
    EXPECT_EQ(popups.Seen()[0].text, mtest::Catalogue(198));
    EXPECT_TRUE(Visible(p));
  }
  // Saving again is possible, and succeeds once the meter takes it.
  peer->Fault(4128, 4132, "off");
  Save(p);
  EXPECT_EQ(popups.Seen().back().title, mtest::Catalogue(199));
  EXPECT_EQ(peer->Log(16).size(), 3u);
}

}  // namespace
