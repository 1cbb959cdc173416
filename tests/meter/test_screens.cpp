// The configuration screens against the pymodbus peer (the read at opening, the writes of a
// send or save, their popup), configuration files, and the ways in and out.
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <span>
#include <tuple>

#include "meter_fixture.h"

namespace {

using namespace mtest;

class Screens : public ScreenTest {
 protected:
  // The popup after a send or save with a failed write: text 207, then the write's number,
  // registers and why.
  struct Failed {
    int number, first, last;
    QString reason;
  };
  void ExpectFilePopup(int headline, const std::string& path, const QString& detail) {
    QString text = Catalogue(headline) + "\n" + QString::fromStdString(path);
    ExpectPopup(334, detail.isEmpty() ? text : text + "\n" + detail);
  }
  void ExpectFailedWrite(const Failed& f) {
    const auto n = [](int v) { return QString::number(v); };
    ExpectPopup(195, Catalogue(207) + QString("\n%1 %2 (%3 %4-%5): %6")
                                          .arg(Catalogue(208), n(f.number), Catalogue(209),
                                               n(f.first), n(f.last), f.reason));
  }
};

// Registers 4096-4125: every 16-bit setting at its maximum (the VT secondary one below, so
// that the two transformer secondaries differ), the 32-bit primaries at their
// limits, clock 2025-03-15 09:30:45 with weekday 4 in 4105's high byte, frame pair 8E1.
const std::vector<int> kBlock = {
    0x0104, 0x016F, 0xBDB1, 0xFFFF, 2,      0,      0,                   // 4096-4102, address 4099
    0x0025, 0x0315, 0x0409, 0x3045,                                      // 4103-4106: clock
    0xFFFF, 0xFFFF, 2,      1,      8,      0xFFFF, 0xFFFF, 0, 0, 0, 0,  // 4107-4117
    0xFFFF, 0xFFFE, 0x8000, 0x0000, 0x7FFF, 0xFFFF,                      // 4118-4123: transformers
    0xAAAA, 0x5555,                                                      // 4124-4125
};
// Control -> value kBlock shows, but for the clock.
const std::pair<int, int> kShown[] = {{2, 65535},      {21, 65535},    {11, 65535}, {9, 1},
                                      {15, 65535},     {20, 65535},    {19, 65535}, {17, 65534},
                                      {18, INT32_MIN}, {16, INT32_MAX}};

TEST_F(Screens, DeviceReadShowsTheBlockAndSendWritesEveryRequest) {
  peer->Set(4096, kBlock);
  const int p = Open(4);
  ASSERT_GT(p, 0);
  const std::pair<int, int> clock[] = {{22, 2025}, {23, 3}, {27, 15}, {26, 9}, {25, 30}, {24, 45}};
  for (auto [control, value] : clock) EXPECT_EQ(Get<int>(p, control), value) << control;
  for (auto [control, value] : kShown) EXPECT_EQ(Get<int>(p, control), value) << control;
  EXPECT_EQ(Get<int>(p, kEquipoSend, ATTR_DIMMED), 0) << "the read succeeded";
  ASSERT_EQ(peer->Log().size(), 1u);
  EXPECT_EQ(peer->Log()[0].Pdu(), Hex("01 03 1000 001e")) << "one block read of 30 registers";

  // Edited controls go out as shown, the others as read; the weekday byte goes out as 0.
  const std::pair<int, int> edits[] = {{2, 5},   {22, 2099}, {23, 12}, {27, 31}, {26, 23},
                                       {25, 59}, {24, 0},    {9, 3},   {18, -1}};
  for (auto [control, value] : edits) ASSERT_EQ(SetCtrlVal(p, control, value), 0) << control;
  Write(p, kEquipoSend);
  ExpectSent();
  const auto writes = peer->Log(16);
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes[0].Pdu(), Hex("01 10 1003 0001 02 0005"));
  EXPECT_EQ(writes[1].Pdu(), Hex("01 10 1007 0008 10 0099 1231 0023 5900 ffff ffff 0000 0002"));
  EXPECT_EQ(writes[2].Pdu(), Hex("01 10 1010 0002 04 ffff ffff"));
  EXPECT_EQ(writes[3].Pdu(), Hex("01 10 1016 0006 0c ffff fffe ffff ffff 7fff ffff"));
  EXPECT_EQ(peer->Log(3).size(), 2u) << "the block is read back once";

  // W1 refused, W4 confirmed for fewer registers than written, W2 never answered: every
  // write is still attempted, and the popup names the failed one, and why.
  const std::pair<const char*, Failed> cases[] = {{"exception", {1, 4099, 4099, Exception4()}},
                                                  {"short", {4, 4118, 4123, Catalogue(197)}},
                                                  {"silent", {2, 4103, 4110, Catalogue(202)}}};
  for (const auto& [mode, f] : cases) {
    SCOPED_TRACE(mode);
    const std::size_t before = peer->Log(16).size();
    peer->Fault(f.first, f.last, mode);
    Write(p, kEquipoSend);
    peer->Fault(f.first, f.last, "off");
    EXPECT_EQ(peer->Log(16).size(), before + 4);
    ExpectFailedWrite(f);
  }
}

// The meter's clock runs while the screen is open: a send with the clock fields as read
// writes the read clock plus the time since the read, and after "PC time" the PC's local
// time at the moment of the write (not of the click); both within 1 s.
TEST_F(Screens, ClockSentAsTheMeterOrThePcKeepsItAtTheWrite) {
  auto epoch = [](const std::string& clock) {  // 00 YY MM DD WD hh mm ss in BCD, local time
    std::tm t{};
    std::sscanf(clock.c_str(), "%*2d%2d%2d%2d%*2d%2d%2d%2d", &t.tm_year, &t.tm_mon, &t.tm_mday,
                &t.tm_hour, &t.tm_min, &t.tm_sec);
    t.tm_year += 100;
    t.tm_mon -= 1;
    t.tm_isdst = -1;
    return double(std::mktime(&t));
  };
  peer->Set(4096, kBlock);  // 2025-03-15 09:30:45
  const int p = Open(4);
  ASSERT_GT(p, 0);
  for (const bool fromPc : {false, true}) {
    SCOPED_TRACE(fromPc ? "PC time" : "clock as read");
    if (fromPc) Click(p, kEquipoPcClock);
    RunFor(2.6);  // the screen stays open a while before the send
    Write(p, kEquipoSend);
    ExpectSent();
    const double now =
        std::chrono::duration<double>(vtest::Clock::now().time_since_epoch()).count();
    const Request w2 = peer->Log(16).at(fromPc ? 5 : 1);
    const std::string clock = vtest::ToHex(Bytes(w2.frame.begin() + 13, w2.frame.begin() + 21));
    const double expected = fromPc ? double(std::time(nullptr)) - (now - w2.t)
                                   : epoch("0025031504093045") + w2.t - peer->Log(3).at(0).t;
    EXPECT_LE(std::abs(epoch(clock) - expected), 1.0) << clock;
  }
}

// A meter that confirms every write but keeps its own value of one register: the read-back
// after the send (save) marks that setting only as different; settings applied at the
// meter's next start say so. Clock bytes no valid date holds (year 0x9A, an unset 00/00 date,
// minute 0x99) and a frame-format pair of no ring entry (1, 2 shows as entry 2) go back
// unchanged when not edited.
TEST_F(Screens, ReadBackAfterAWriteShowsTheSettingThatDidNotTake) {
  peer->Set(4096, kBlock);
  peer->Set(4103, {0x009A, 0x0000, 0x0000, 0x9900, 0xFFFF, 0xFFFF, 1, 2});
  peer->Set(4128, {0, 0, 0, 0, 0});
  peer->Fault(4113, 4113, "ignore");
  peer->Fault(4130, 4130, "ignore");
  auto shown = [](int panel, int control) {
    char text[4096] = "";
    EXPECT_EQ(GetCtrlVal(panel, control, text, sizeof text), 0);
    return QString::fromLatin1(text);
  };
  int p = Open(4);
  ASSERT_GT(p, 0);
  ASSERT_EQ(SetCtrlVal(p, kEquipoPassword, 1234), 0);
  ASSERT_EQ(SetCtrlVal(p, kEquipoTariff, 3), 0);
  const std::pair<int, int> clock[] = {{22, 2100}, {23, 0}, {27, 0}, {26, 0}, {25, 99}, {24, 0}};
  for (auto [control, value] : clock) EXPECT_EQ(Get<int>(p, control), value) << control;
  Write(p, kEquipoSend);
  ExpectSent();
  EXPECT_EQ(peer->Log(16).at(1).Pdu(),
            Hex("01 10 1007 0008 10 009a 0000 0000 9900 ffff ffff 0001 0002"));
  const QString text = shown(p, kEquipoReadBack);
  QStringList lines = text.split('\n');
  ASSERT_EQ(lines.size(), 11) << text.toStdString();
  EXPECT_EQ(lines[0], Catalogue(349));
  const QString w = Catalogue(350), r = Catalogue(351), same = Catalogue(352);
  const QString restart = " (" + Catalogue(354) + ")";
  EXPECT_TRUE(lines[4].endsWith("2, " + r + " 1, 2 - " + same + restart)) << lines[4].toStdString();
  EXPECT_TRUE(lines[5].endsWith(": " + w + " 3, " + r + " 3 - " + same)) << lines[5].toStdString();
  EXPECT_TRUE(lines[6].endsWith(": " + w + " 1234, " + r + " 65535 - " + Catalogue(353)));
  EXPECT_EQ(text.count(Catalogue(353)), 1);
  EXPECT_EQ(text.count(restart), 3) << "address, speed, frame format";
  Click(p, kEquipoExit);

  p = Open(5);
  ASSERT_GT(p, 0);
  ASSERT_EQ(SetCtrlVal(p, 43, 1), 0);  // 4128 bit 0
  ASSERT_EQ(SetCtrlVal(p, 41, 1), 0);  // 4130 bit 0
  Write(p, kDisplaySave);
  ExpectSent();
  EXPECT_EQ(
      shown(p, kDisplayReadBack),
      QString("%1 4130: %2 0x0001, %3 0x0000 - %4.").arg(Catalogue(349), w, r, Catalogue(353)));
}

using Files = Screens;  // configuration files

// One meter's settings and mask saved to files, loaded on a meter set otherwise and sent:
// the writes carry the first meter's values byte for byte (the clock stays the second
// meter's own). Files that cannot be loaded are refused naming the field, and the panel keeps
// what it showed.
TEST_F(Files, SavedConfigurationSendsTheSameBytesAndBadFilesAreRefused) {
  QTemporaryDir dir;
  peer->Set(4096, kBlock);
  peer->Set(4128, {0x1234, 0xFFFF, 0, 0x8001, 0xFF07});
  const std::string device = dir.filePath("device.vmcfg").toStdString();
  const std::string display = dir.filePath("display.vmcfg").toStdString();
  for (auto [button, save, exit, path] :
       {std::tuple{4, int(kEquipoSaveFile), int(kEquipoExit), device},
        std::tuple{5, int(kDisplaySaveFile), int(kDisplayExit), display}}) {
    const int p = Open(button);
    ASSERT_GT(p, 0);
    pick = path;
    Write(p, save);
    ExpectFilePopup(347, path, "");
    Click(p, exit);
  }
  QFile saved(QString::fromStdString(device));  // the meter it came from, and when
  ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
  const std::string full = saved.readAll().toStdString();
  EXPECT_NE(full.find("\nread = 20"), std::string::npos) << full;
  EXPECT_NE(full.find("\nslave = 1\nserial = 24100273\n"), std::string::npos) << full;

  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string t = full;
    return t.replace(t.find(from), from.size(), to);
  };
  struct Case {
    const char* name;
    std::string text;  // "" with `folder`: the path is a folder
    QString detail;
    bool folder = false;
  };
  const Case bad[] = {
      {"malformed", replaced("ct_primary =", "ct_primary"), Catalogue(339) + " 20"},
      {"not ours", "[file]\nformat = other\n", "file.format: " + Catalogue(340)},
      {"out of range", replaced("baud = 65535", "baud = 65536"),
       "device.baud: " + Catalogue(344) + " 0..65535"},
      {"truncated", full.substr(0, full.find("ct_primary")),
       "device.ct_primary: " + Catalogue(342)},
      {"a folder", "", Catalogue(337) + ": " + Catalogue(348), true},
  };

  peer->Reset();
  std::vector<int> other(30, 0);
  for (int r : {4103, 4104, 4105, 4106})
    other[std::size_t(r - 4096)] = kBlock[std::size_t(r - 4096)];
  peer->Set(4096, other);
  peer->Set(4128, {0, 0, 0, 0, 0});
  for (auto [button, load, write, path] :
       {std::tuple{4, int(kEquipoLoadFile), int(kEquipoSend), device},
        std::tuple{5, int(kDisplayLoadFile), int(kDisplaySave), display}}) {
    const int p = Open(button);
    ASSERT_GT(p, 0);
    pick = path;
    popups.seen.clear();
    const std::size_t before = peer->Log(16).size();
    Click(p, load);
    EXPECT_TRUE(popups.seen.empty());
    EXPECT_EQ(peer->Log(16).size(), before) << "loading writes nothing";
    for (const Case& c : button == 4 ? std::span(bad) : std::span<const Case>()) {
      SCOPED_TRACE(c.name);
      pick = dir.filePath(c.name).toStdString();
      if (c.folder) {
        ASSERT_TRUE(QDir(dir.path()).mkdir(c.name));
      } else {
        QFile f(QString::fromStdString(pick));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(c.text.data(), qint64(c.text.size()));
      }
      popups.seen.clear();
      Click(p, load);
      ExpectFilePopup(335, pick, c.detail);
      for (auto [control, value] : kShown) EXPECT_EQ(Get<int>(p, control), value) << control;
    }
    Write(p, write);
    ExpectSent();
    Click(p, button == 4 ? kEquipoExit : kDisplayExit);
  }
  const auto writes = peer->Log(16);
  ASSERT_EQ(writes.size(), 5u);
  EXPECT_EQ(writes[0].Pdu(), Hex("01 10 1003 0001 02 ffff"));
  const Bytes w2 = writes[1].Pdu();
  EXPECT_EQ(vtest::ToHex(Bytes(w2.begin() + 15, w2.end())), "ffffffff00020001");
  EXPECT_EQ(writes[2].Pdu(), Hex("01 10 1010 0002 04 ffff ffff"));
  EXPECT_EQ(writes[3].Pdu(), Hex("01 10 1016 0006 0c ffff fffe 8000 0000 7fff ffff"));
  EXPECT_EQ(writes[4].Pdu(), Hex("01 10 1020 0005 0a 1234 ffff 0000 8001 ff07"));
}

// A read the meter refuses or answers short shows nothing read and keeps writing locked.
TEST_F(Screens, FailedReadKeepsWritingLocked) {
  const std::tuple<int, int, const char*> cases[] = {{4, kEquipoSend, "exception"},
                                                     {5, kDisplaySave, "short"}};
  for (auto [button, save, fault] : cases) {
    SCOPED_TRACE(fault);
    peer->Set(4096, kBlock);
    peer->Set(4128, {0x8001, 0x0100, 0, 0x0020, 0x08F8});
    peer->Fault(4096, 4132, fault);
    const int p = Open(button);
    ASSERT_GT(p, 0);
    EXPECT_EQ(Get<int>(p, save, ATTR_DIMMED), 1);
    EXPECT_EQ(Get<int>(p, button == 4 ? 2 : 43), button == 4 ? 1 : 0) << "the resource file's";
    Click(p, save);
    EXPECT_TRUE(peer->Log(16).empty()) << "nothing written";
    Click(p, button == 4 ? kEquipoExit : kDisplayExit);
  }
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
  // Each box says what its bit shows on the meter (4128 bits 0 and 15, 4130 bit 8, 4132 bit
  // 15): a label table shifted by one bit or one register would show here.
  const std::pair<int, const char*> meanings[] = {{43, "Tensión L1-N"},
                                                  {38, "Potencia reactiva L3"},
                                                  {6, "kWh importados T3"},
                                                  {74, "Parciales borrables (teclado)"}};
  for (auto [control, text] : meanings) {
    auto* box = Widget<QCheckBox>(p, control);
    EXPECT_TRUE(box && box->text() == QString::fromUtf8(text)) << control;
  }
  EXPECT_EQ(peer->Log().at(0).Pdu(), Hex("01 03 1020 0005"));

  // Saved unchanged: only the unused bits of 4132 change. Then as the boxes say.
  Write(p, kDisplaySave);
  ExpectSent();
  for (int c = 4; c <= 78; ++c) ASSERT_EQ(SetCtrlVal(p, c, c == 4 || c == 74), 0);
  Write(p, kDisplaySave);
  ExpectSent();
  const auto writes = peer->Log(16);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].Pdu(), Hex("01 10 1020 0005 0a 8001 0100 0000 0020 0800"));
  EXPECT_EQ(writes[1].Pdu(), Hex("01 10 1020 0005 0a 0000 0000 0000 0000 8100"));

  peer->Fault(4128, 4132, "exception");
  Write(p, kDisplaySave);
  ExpectFailedWrite({1, 4128, 4132, Exception4()});
  EXPECT_EQ(peer->Log(3).size(), 3u) << "each confirmed save, and only those, read back";
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
}

// A resource file from another version (the main panel but not the screen's): the operator
// is told why and keeps the main panel.
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
