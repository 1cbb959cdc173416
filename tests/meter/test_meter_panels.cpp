// The four screen panels as the resource file gives them (every control of the register
// maps, with a format and range that can show every value its registers can hold), and
// the ways in and out of a screen: exit button, close box, a panel that cannot be loaded.
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QSpinBox>
#include <map>
#include <set>

#include "catalogue.h"
#include "connection.h"
#include "meter.h"
#include "meter_fixture.h"
#include "ui.h"

namespace {

class Panels : public mtest::ScreenTest {
 protected:
  int Load(int resource) {
    const int p = LoadPanel(0, "VELDIXMID.uir", resource);
    EXPECT_GT(p, 0) << ui::LastLoadError();
    if (p > 0) loaded_.push_back(p);
    return p;
  }
  void TearDown() override {
    for (int p : loaded_) DiscardPanel(p);
    mtest::ScreenTest::TearDown();
  }
  template <typename W>
  W* Widget(int p, int control) {
    return qobject_cast<W*>(static_cast<QWidget*>(ui::CtrlWidget(p, control)));
  }
  // Labels of the value controls: present, and no two alike.
  void ExpectDistinctLabels(int p, const std::vector<int>& controls) {
    std::set<std::string> labels;
    for (int c : controls) {
      char label[256] = "";
      EXPECT_EQ(GetCtrlAttribute(p, c, ATTR_LABEL, label), 0);
      EXPECT_NE(label[0], '\0') << "control " << c << " has no label";
      EXPECT_TRUE(labels.insert(label).second) << "label used twice: " << label;
    }
  }
  void ExpectTimerAndButton(int p, int timer, int button) {
    double interval = 0;
    EXPECT_EQ(GetCtrlAttribute(p, timer, ATTR_INTERVAL, &interval), 0) << "timer " << timer;
    int enabled = -1;
    EXPECT_EQ(GetCtrlAttribute(p, timer, ATTR_ENABLED, &enabled), 0);
    EXPECT_EQ(enabled, 0) << "the opening starts the timer, not the load";
    EXPECT_NE(Widget<QPushButton>(p, button), nullptr) << "button " << button;
  }
  std::vector<int> loaded_;
};

// A read-only double indicator with `decimals` digits that can show every value in lo..hi.
struct Indicator {
  int control;
  int decimals;
  double lo, hi;
};

TEST_F(Panels, MeasurementIndicators) {
  const int p = Load(5);
  ASSERT_GT(p, 0);
  const double i32 = 2147483648.0;
  std::vector<Indicator> expected;
  for (int c : {98, 97, 96, 95, 94, 93, 57, 56, 80, 79, 78, 77, 55})
    expected.push_back({c, 3, -i32 / 1000, (i32 - 1) / 1000});  // mV, mA -> V, A
  for (int c : {45, 32, 19, 6, 43, 30, 17, 4, 44, 31, 18, 5})
    expected.push_back({c, 0, -i32, i32 - 1});  // W, VA, var
  for (int c : {68, 67, 66, 92}) expected.push_back({c, 1, 0, 6553.5});   // % and Hz x 10
  for (int c : {42, 29, 16, 3}) expected.push_back({c, 3, 0, 65.535});     // PF x 1000
  std::vector<int> controls;
  for (const Indicator& e : expected) {
    auto* sb = Widget<QDoubleSpinBox>(p, e.control);
    ASSERT_NE(sb, nullptr) << "control " << e.control;
    EXPECT_TRUE(sb->isReadOnly()) << e.control;
    EXPECT_EQ(sb->decimals(), e.decimals) << e.control;
    EXPECT_LE(sb->minimum(), e.lo) << e.control;
    EXPECT_GE(sb->maximum(), e.hi) << e.control;
    controls.push_back(e.control);
  }
  EXPECT_EQ(controls.size(), 33u);
  ExpectDistinctLabels(p, controls);
  ExpectTimerAndButton(p, kMedidasTimer, kMedidasExit);
}

TEST_F(Panels, EnergyIndicators) {
  const int p = Load(2);
  ASSERT_GT(p, 0);
  std::vector<int> controls = {32, 31, 10, 9, 6, 5, 4, 3, 30, 29, 8, 7};
  for (int c : controls) {
    auto* sb = Widget<QDoubleSpinBox>(p, c);
    ASSERT_NE(sb, nullptr) << "control " << c;
    EXPECT_TRUE(sb->isReadOnly()) << c;
    EXPECT_EQ(sb->decimals(), 2) << c << ": counts of 0.01";
    EXPECT_LE(sb->minimum(), 0.0) << c;
    EXPECT_GE(sb->maximum(), 42949672.0) << c << ": 0xFFFFFFFF / 100 as a float";
  }
  ExpectDistinctLabels(p, controls);
  ExpectTimerAndButton(p, kEnergiasTimer, kEnergiasExit);
}

TEST_F(Panels, DeviceConfigurationControls) {
  const int p = Load(3);
  ASSERT_GT(p, 0);
  struct Range {
    int control;
    int lo, hi;
  };
  const Range ranges[] = {
      {22, 2000, 2099}, {23, 1, 12}, {27, 1, 31}, {26, 0, 23}, {25, 0, 59}, {24, 0, 59},
      {2, 0, 65535},    {21, 0, 65535}, {11, 0, 65535}, {15, 0, 65535}, {20, 0, 65535},
      {19, 0, 65535},   {17, 0, 65535},
      {18, -2147483647 - 1, 2147483647}, {16, -2147483647 - 1, 2147483647},
  };
  std::vector<int> controls;
  for (const Range& r : ranges) {
    auto* sb = Widget<QSpinBox>(p, r.control);
    ASSERT_NE(sb, nullptr) << "control " << r.control;
    EXPECT_FALSE(sb->isReadOnly()) << r.control;
    EXPECT_EQ(sb->minimum(), r.lo) << r.control;
    EXPECT_EQ(sb->maximum(), r.hi) << r.control;
    controls.push_back(r.control);
  }
  auto* ring = Widget<QComboBox>(p, kEquipoFrame);
  ASSERT_NE(ring, nullptr);
  ASSERT_EQ(ring->count(), 4);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(ring->itemData(i).toInt(), i);
  controls.push_back(kEquipoFrame);
  ExpectDistinctLabels(p, controls);

  int dimmed = 0;
  GetCtrlAttribute(p, kEquipoSend, ATTR_DIMMED, &dimmed);
  EXPECT_EQ(dimmed, 1) << "send stays locked until a read succeeded";
  EXPECT_NE(Widget<QPushButton>(p, kEquipoExit), nullptr);
}

TEST_F(Panels, DisplayCheckBoxes) {
  const int p = Load(1);
  ASSERT_GT(p, 0);
  std::vector<int> controls;
  for (int c = 4; c <= 78; ++c) {
    auto* box = Widget<QCheckBox>(p, c);
    ASSERT_NE(box, nullptr) << "control " << c;
    EXPECT_FALSE(box->isChecked()) << c;
    EXPECT_TRUE(box->isEnabled()) << c;
    controls.push_back(c);
  }
  ExpectDistinctLabels(p, controls);
  // Each box says what its bit shows on the meter's display: a label table shifted by
  // one bit or one register would show here.
  const std::pair<int, const char*> meanings[] = {
      {43, "Tensión L1-N"},        {38, "Potencia reactiva L3"},  // 4128 bits 0, 15
      {42, "Potencia aparente L1"}, {37, "THD de tensión L2"},    // 4129 bits 0, 15
      {41, "THD de tensión L3"},    {6, "kWh importados T3"},     // 4130 bits 0, 8
      {65, "Fecha"},                {35, "Secuencia de fases"},   // 4131 bits 5, 15
      {39, "Test de segmentos al inicio"}, {4, "Unidades junto al valor"},  // 4132 bits 0, 8
      {54, "Icono de tarifa"},      {74, "Parciales borrables (teclado)"},  // 4132 bits 11, 15
  };
  for (auto [control, text] : meanings)
    EXPECT_EQ(Widget<QCheckBox>(p, control)->text(), QString::fromUtf8(text)) << control;
  int dimmed = 0;
  GetCtrlAttribute(p, kDisplaySave, ATTR_DIMMED, &dimmed);
  EXPECT_EQ(dimmed, 1) << "save stays locked until a read succeeded";
  EXPECT_NE(Widget<QPushButton>(p, kDisplayExit), nullptr);
}

TEST_F(Panels, MainPanelButtonsOpenTheScreens) {
  QFile in(QStringLiteral(VELDIX_SOURCE_DIR "/resources/VELDIXMID.uir"));
  ASSERT_TRUE(in.open(QIODevice::ReadOnly));
  const QJsonArray panels = QJsonDocument::fromJson(in.readAll()).object().value("panels").toArray();
  std::map<int, QString> callbacks;
  for (const QJsonValue& p : panels) {
    if (p.toObject().value("resource").toInt() != 6) continue;
    for (const QJsonValue& c : p.toObject().value("controls").toArray())
      callbacks[c.toObject().value("id").toInt()] = c.toObject().value("callback").toString();
  }
  EXPECT_EQ(callbacks[2], "Toma_Datos");
  EXPECT_EQ(callbacks[3], "Leer_Energias_Tarifas");
  EXPECT_EQ(callbacks[4], "Config_Equipo");
  EXPECT_EQ(callbacks[5], "Config_Display");
}

// ---------------------------------------------------------------- ways in and out

struct Screen {
  int button;  // on the main panel
  int exit;
  int timer;   // 0: none
};
const Screen kScreens[] = {
    {2, kMedidasExit, kMedidasTimer},
    {3, kEnergiasExit, kEnergiasTimer},
    {4, kEquipoExit, 0},
    {5, kDisplayExit, 0},
};

TEST_F(Panels, ExitButtonAndCloseBoxBothCloseTheScreen) {
  for (const Screen& s : kScreens) {
    for (bool closeBox : {false, true}) {
      SCOPED_TRACE(testing::Message() << "button " << s.button << (closeBox ? " close box" : " exit"));
      const int p = Open(s.button);
      ASSERT_GT(p, 0);
      EXPECT_TRUE(Visible(p));
      EXPECT_FALSE(Visible(main)) << "the main panel is hidden while a screen is open";
      if (closeBox)
        CloseBox(p);
      else
        Click(p, s.exit);
      EXPECT_FALSE(Exists(p)) << "the screen's panel was not discarded";
      EXPECT_TRUE(Visible(main));
    }
  }
  // Nothing polls any more: the timers went with their panels.
  const std::size_t requests = peer->Log().size();
  mtest::RunFor(1.3);
  EXPECT_EQ(peer->Log().size(), requests);
  EXPECT_TRUE(popups.Seen().empty());
}

TEST_F(Panels, ClosedMainPanelFallsBackToTheApplicationsMainPanel) {
  // No connection committed yet: Panel_Puerto holds no panel.
  Panel_Puerto = -1;
  const int p = Open(5);
  ASSERT_GT(p, 0);
  CloseBox(p);
  EXPECT_TRUE(Visible(Panel_Principal));
}

TEST_F(Panels, ScreenThatCannotBeLoadedShowsTheMainPanelAgain) {
  ui::SetProjectDirOverride(emptyDir.c_str());
  for (const Screen& s : kScreens) {
    SCOPED_TRACE(testing::Message() << "button " << s.button);
    popups.Clear();
    const int live = ui::LivePanelCount();
    EXPECT_LT(Open(s.button), 0);
    EXPECT_TRUE(Visible(main)) << "the operator was left without a window";
    EXPECT_EQ(ui::LivePanelCount(), live);
    ASSERT_EQ(popups.Seen().size(), 1u) << "the operator is told why";
    EXPECT_TRUE(popups.Seen()[0].text.contains("VELDIXMID.uir"));
  }
  EXPECT_TRUE(peer->Log().empty());
}

}  // namespace
