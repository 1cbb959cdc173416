// The configuration screens against the pymodbus peer (the read at opening, the writes of a
// send or save, their popup), the resource file's screen panels, and the ways in and out.
#include <QCheckBox>
#include <QComboBox>
#include <QSpinBox>

#include "meter_fixture.h"

namespace {

using namespace mtest;

class Screens : public ScreenTest {};

TEST_F(Screens, FailedReadChangesNothingAndKeepsWritingLocked) {
  struct Case {
    int button, first, count, write, exit;
    std::vector<std::pair<int, int>> initial;  // the resource file's values
  };
  const Case cases[] = {{4, 4096, 30, kEquipoSend, kEquipoExit, {{2, 1}, {22, 2000}}},
                        {5, 4128, 5, kDisplaySave, kDisplayExit, {{4, 0}, {43, 0}, {74, 0}}}};
  for (const Case& c : cases) {
    for (const char* mode : {"exception", "short"}) {
      SCOPED_TRACE(testing::Message() << "button " << c.button << " " << mode);
      peer->Set(c.first, std::vector<int>(static_cast<std::size_t>(c.count), 0xFFFF));
      peer->Fault(c.first, c.first + c.count - 1, mode);
      const int p = Open(c.button);
      ASSERT_GT(p, 0);
      for (auto [control, value] : c.initial) EXPECT_EQ(Get<int>(p, control), value) << control;
      EXPECT_EQ(Get<int>(p, c.write, ATTR_DIMMED), 1);
      Click(p, c.write);
      Click(p, c.exit);
      EXPECT_EQ(peer->Log().size(), 1u) << "only the read went out";
      peer->Reset();
    }
  }
  EXPECT_TRUE(popups.seen.empty());
}

// Registers 4096-4125: every 16-bit setting at its maximum, the 32-bit primaries at their
// limits, clock 2025-03-15 09:30:45 with weekday 4 in 4105's high byte, frame pair 8E1.
const std::vector<int> kBlock = {
    0x0104, 0x016F, 0xBDB1, 0xFFFF, 2, 0, 0,               // 4096-4102, address 4099
    0x0025, 0x0315, 0x0409, 0x3045,                        // 4103-4106: clock
    0xFFFF, 0xFFFF, 2, 1, 8, 0xFFFF, 0xFFFF, 0, 0, 0, 0,  // 4107-4117
    0xFFFF, 0xFFFF, 0x8000, 0x0000, 0x7FFF, 0xFFFF,        // 4118-4123: transformers
    0xAAAA, 0x5555,                                        // 4124-4125
};

TEST_F(Screens, DeviceReadShowsTheBlockAndSendWritesTheEditedControls) {
  peer->Set(4096, kBlock);
  const int p = Open(4);
  ASSERT_GT(p, 0);
  const std::pair<int, int> shown[] = {
      {2, 65535},  {22, 2025},  {23, 3},           {27, 15},   {26, 9},     {25, 30},
      {24, 45},    {21, 65535}, {11, 65535},       {9, 1},     {15, 65535}, {20, 65535},
      {19, 65535}, {17, 65535}, {18, INT32_MIN}, {16, INT32_MAX},
  };
  for (auto [control, value] : shown) EXPECT_EQ(Get<int>(p, control), value) << control;
  EXPECT_EQ(Get<int>(p, kEquipoSend, ATTR_DIMMED), 0) << "the read succeeded";
  ASSERT_EQ(peer->Log().size(), 1u);
  EXPECT_EQ(peer->Log()[0].Pdu(), Hex("01 03 1000 001e")) << "one block read of 30 registers";

  // Edited controls go out as shown, the others as read; the weekday byte goes out as 0.
  const std::pair<int, int> edits[] = {
      {2, 5}, {22, 2099}, {23, 12}, {27, 31}, {26, 23}, {25, 59}, {24, 0}, {9, 3}, {18, -1}};
  for (auto [control, value] : edits) ASSERT_EQ(SetCtrlVal(p, control, value), 0) << control;
  Write(p, kEquipoSend);
  ExpectPopup(199, 200);
  EXPECT_TRUE(Visible(p)) << "the screen stays open";
  const auto writes = peer->Log(16);
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes[0].Pdu(), Hex("01 10 1003 0001 02 0005"));
  EXPECT_EQ(writes[1].Pdu(), Hex("01 10 1007 0008 10 0099 1231 0023 5900 ffff ffff 0000 0002"));
  EXPECT_EQ(writes[2].Pdu(), Hex("01 10 1010 0002 04 ffff ffff"));
  EXPECT_EQ(writes[3].Pdu(), Hex("01 10 1016 0006 0c ffff ffff ffff ffff 7fff ffff"));
  // Each write ends about 0.3 s after its request arrived, then 0.2 s pass.
  for (std::size_t i = 1; i < writes.size(); ++i)
    EXPECT_TRUE(Within(writes[i].t - writes[i - 1].t, 0.31 + 0.2, 0.08, 0.35)) << "write " << i + 1;
  EXPECT_EQ(peer->Log(3).size(), 1u) << "the block is not read back";
}

TEST_F(Screens, AnyFailedWriteStillSendsAllFourThenSaysSo) {
  peer->Set(4096, kBlock);
  const int p = Open(4);
  ASSERT_GT(p, 0);
  struct Case {
    int first, last;
    const char* mode;
  };
  // W1 refused, W4 confirmed for fewer registers than written, W2 never answered.
  const Case cases[] = {{4099, 4099, "exception"}, {4118, 4123, "short"}, {4103, 4110, "silent"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    const std::size_t before = peer->Log(16).size();
    peer->Fault(c.first, c.last, c.mode);
    Write(p, kEquipoSend);
    peer->Fault(c.first, c.last, "off");
    EXPECT_EQ(peer->Log(16).size(), before + 4) << "every write is attempted";
    ExpectPopup(195, 198);
    EXPECT_TRUE(Visible(p));
  }
  // W3 waited out W2's whole answer time (1000 polls of 0.01 s) and the pause.
  const auto writes = peer->Log(16);
  ASSERT_EQ(writes.size(), 12u);
  EXPECT_EQ(writes[9].Start(), 4103);
  EXPECT_GT(writes[10].t - writes[9].t, 10.0 + 0.2) << "W3 went out before W2 timed out";
  EXPECT_TRUE(Within(writes[11].t - writes[10].t, 0.31 + 0.2, 0.08, 0.35));
}

TEST_F(Screens, DisplayMaskReadThenSavedWholeAndFailedSavesSaySo) {
  // 4128 bits 0, 15; 4129 bit 8; 4131 bit 5; 4132 bit 11 and bits 3-7, which have no box.
  peer->Set(4128, {0x8001, 0x0100, 0, 0x0020, 0x08F8});
  const int p = Open(5);
  ASSERT_GT(p, 0);
  std::set<int> on;
  for (int c = 4; c <= 78; ++c)
    if (Get<int>(p, c)) on.insert(c);
  EXPECT_EQ(on, (std::set<int>{43, 38, 7, 65, 54}));
  EXPECT_EQ(peer->Log().at(0).Pdu(), Hex("01 03 1020 0005"));

  // Saved unchanged: only the unused bits of 4132 change. Then as the boxes say.
  Write(p, kDisplaySave);
  ExpectPopup(199, 200);
  for (int c = 4; c <= 78; ++c) ASSERT_EQ(SetCtrlVal(p, c, c == 4 || c == 74), 0);
  Write(p, kDisplaySave);
  ExpectPopup(199, 200);
  const auto writes = peer->Log(16);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].Pdu(), Hex("01 10 1020 0005 0a 8001 0100 0000 0020 0800"));
  EXPECT_EQ(writes[1].Pdu(), Hex("01 10 1020 0005 0a 0000 0000 0000 0000 8100"));

  // A refusal, and a confirmation naming 4 registers instead of 5; then saving works again.
  for (const char* mode : {"exception", "short", "off"}) {
    SCOPED_TRACE(mode);
    peer->Fault(4128, 4132, mode);
    Write(p, kDisplaySave);
    const bool ok = std::string(mode) == "off";
    ExpectPopup(ok ? 199 : 195, ok ? 200 : 198);
    EXPECT_TRUE(Visible(p));
  }
  EXPECT_EQ(peer->Log(16).size(), 5u);
  EXPECT_EQ(peer->Log(3).size(), 1u) << "the mask is not read back";
}

TEST_F(Screens, ResourcePanels) {
  // Device: the clock takes valid dates only, every setting what its register accepts.
  const int device = LoadPanel(0, "VELDIXMID.uir", kResConfigEquipo);
  ASSERT_GT(device, 0);
  const std::array<int, 3> ranges[] = {
      {22, 2000, 2099}, {23, 1, 12},  {27, 1, 31},     {26, 0, 23},  {25, 0, 59},
      {24, 0, 59},      {2, 1, 247},  {21, 12, 1152},  {11, 1, 60},  {15, 0, 4},
      {20, 0, 9999},    {19, 1, 5},   {17, 50, 500},   {18, 1, 50000}, {16, 50, 500000},
  };
  std::vector<int> controls{kEquipoFrame};
  for (auto [c, lo, hi] : ranges) {
    auto* sb = Widget<QSpinBox>(device, c);
    ASSERT_NE(sb, nullptr) << c;
    EXPECT_EQ(std::make_pair(sb->minimum(), sb->maximum()), std::make_pair(lo, hi)) << c;
    controls.push_back(c);
  }
  auto* ring = Widget<QComboBox>(device, kEquipoFrame);
  ASSERT_TRUE(ring && ring->count() == 4);
  // Listed in the main panel's order (8N1, 8O1, 8E1, 8N2) with the meter's own codes.
  for (int i = 0; i < 4; ++i) EXPECT_EQ(ring->itemData(i).toInt(), (std::array{0, 2, 1, 3}[i]));
  ExpectControls(device, controls, false);

  // Display: each box says what its bit shows on the meter; a label table shifted by one
  // bit or one register would show here.
  const int display = LoadPanel(0, "VELDIXMID.uir", kResConfigDisplay);
  ASSERT_GT(display, 0);
  const std::pair<int, const char*> meanings[] = {
      {43, "Tensión L1-N"},        {38, "Potencia reactiva L3"},  // 4128 bits 0, 15
      {42, "Potencia aparente L1"}, {37, "THD de tensión L2"},    // 4129 bits 0, 15
      {41, "THD de tensión L3"},    {6, "kWh importados T3"},     // 4130 bits 0, 8
      {65, "Fecha"},                {35, "Secuencia de fases"},   // 4131 bits 5, 15
      {39, "Test de segmentos al inicio"}, {4, "Unidades junto al valor"},  // 4132 bits 0, 8
      {54, "Icono de tarifa"},      {74, "Parciales borrables (teclado)"},  // 4132 bits 11, 15
  };
  for (auto [control, text] : meanings) {
    auto* box = Widget<QCheckBox>(display, control);
    EXPECT_TRUE(box && box->text() == QString::fromUtf8(text)) << control;
  }
  std::vector<int> boxes;
  for (int c = 4; c <= 78; ++c) boxes.push_back(c);
  ExpectControls(display, boxes, false);
  DiscardPanel(device);
  DiscardPanel(display);
}

TEST_F(Screens, ExitButtonAndCloseBoxBothCloseEveryScreen) {
  const std::pair<int, int> screens[] = {
      {2, kMedidasExit}, {3, kEnergiasExit}, {4, kEquipoExit}, {5, kDisplayExit}};
  for (auto [button, exit] : screens) {
    for (bool closeBox : {false, true}) {
      SCOPED_TRACE(testing::Message() << "button " << button << (closeBox ? " close box" : ""));
      const int p = Open(button);
      ASSERT_GT(p, 0);
      EXPECT_TRUE(Visible(p));
      EXPECT_FALSE(Visible(main)) << "the main panel is hidden while a screen is open";
      if (closeBox)
        PanelWidget(p)->close();
      else
        Click(p, exit);
      EXPECT_EQ(PanelWidget(p), nullptr) << "the screen's panel was not discarded";
      EXPECT_TRUE(Visible(main));
    }
  }
  // Nothing polls any more: the timers went with their panels.
  const std::size_t requests = peer->Log().size();
  RunFor(1.3);
  EXPECT_EQ(peer->Log().size(), requests);
  EXPECT_TRUE(popups.seen.empty());

  // With no connection committed yet the application's main panel comes back.
  Panel_Puerto = -1;
  const int p = Open(5);
  ASSERT_GT(p, 0);
  PanelWidget(p)->close();
  EXPECT_TRUE(Visible(Panel_Principal));
}

TEST_F(Screens, ScreenThatCannotBeLoadedShowsTheMainPanelAgain) {
  ui::SetProjectDirOverride(VELDIX_TEST_DATA);  // a folder without the resource file
  for (int button = 2; button <= 5; ++button) {
    SCOPED_TRACE(testing::Message() << "button " << button);
    popups.seen.clear();
    const int live = ui::LivePanelCount();
    EXPECT_LT(Open(button), 0);
    EXPECT_TRUE(Visible(main)) << "the operator was left without a window";
    EXPECT_EQ(ui::LivePanelCount(), live);
    ASSERT_EQ(popups.seen.size(), 1u) << "the operator is told why";
    EXPECT_TRUE(popups.seen[0].text.contains("VELDIXMID.uir"));
  }
  EXPECT_TRUE(peer->Log().empty());
}

}  // namespace
