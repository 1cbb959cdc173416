// Connecting from the real main panel to pymodbus and to our scripted meter:
// the switch, the test read, the dimming, the popups, the serial framing, the status line.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <filesystem>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/connection.h"
#include "lang/catalogue.h"
#include "link/transport.h"
#include "meter/screen.h"
#include "platform/rs232.h"
#include "platform/testing/ui_testing.h"
#include "platform/ui.h"
#include "popup_catcher.h"
#include "scripted_meter.h"

using namespace vtest;
namespace fs = std::filesystem;

namespace {

class Connection : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(InitUIRuntime(nullptr, nullptr, nullptr), 1);
    // A fresh registry store: the remembered link settings land there.
    ::setenv("VELDIXMID_REGISTRY", Store().c_str(), 1);
    RegisterAllCallbacks();
    ui::SetProjectDirOverride(VELDIX_BIN_DIR);
    ASSERT_NE(Cargar_Textos_Idioma(VELDIX_BIN_DIR "/language.ini", 2), nullptr);  // English
  }
  static fs::path Store() {
    return fs::temp_directory_path() / ("veldix-conn-registry-" + std::to_string(::getpid()));
  }
  static void TearDownTestSuite() { fs::remove(Store()); }
  void SetUp() override {
    Panel_Principal = LoadPanel(0, "VELDIXMID.uir", 6);
    ASSERT_GT(Panel_Principal, 0);
    DisplayPanel(Panel_Principal);
  }
  void TearDown() override {
    Orba_Cerrar_Puerto(Puerto);
    DiscardPanel(Panel_Principal);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  void Settings(int port, int tcpPort, int mode = 0) {
    SetCtrlVal(Panel_Principal, kCtrlPort, port);
    SetCtrlVal(Panel_Principal, kCtrlTcpPort, tcpPort);
    SetCtrlVal(Panel_Principal, kCtrlFraming, mode);
  }
  // The operator clicks the connection switch; the callback runs to its end.
  void Click() {
    popups_.seen.clear();
    Panel_Puerto = -1;
    auto* toggle = static_cast<QWidget*>(ui::CtrlWidget(Panel_Principal, kCtrlConnect));
    static_cast<QCheckBox*>(toggle)->click();
    EXPECT_EQ(Panel_Puerto, Panel_Principal) << "set on every commit";
  }
  // The settings a main panel loaded now would start with: port, TCP port, framing, host.
  static std::string Restored() {
    const int p = LoadPanel(0, "VELDIXMID.uir", 6);
    Recupera_Enlace(p);
    std::string s;
    for (int c : {kCtrlPort, kCtrlTcpPort, kCtrlFraming}) {
      int v = 0;
      GetCtrlVal(p, c, &v);
      s += std::to_string(v) + " ";
    }
    char host[16] = {};
    GetCtrlVal(p, kCtrlHost, host, sizeof host);
    DiscardPanel(p);
    return s + host;
  }
  // The main panel's status line after a tick of its timer.
  std::string Status() {
    Estado_Enlace(Panel_Principal, 16, EVENT_TIMER_TICK, nullptr, 0, 0);
    char text[300] = {};
    GetCtrlVal(Panel_Principal, 15, text, sizeof text);
    return text;
  }
  // The switch's value, then which controls are dimmed: settings 6-11, screen buttons 2-5.
  std::string State() {
    int value = -1;
    GetCtrlVal(Panel_Principal, kCtrlConnect, &value);
    std::string s = std::to_string(value);
    for (int c : {0, 6, 7, 8, 9, 10, 11, 0, 2, 3, 4, 5}) {
      int d = 0;
      if (c != 0) GetCtrlAttribute(Panel_Principal, c, ATTR_DIMMED, &d);
      s += c == 0 ? ' ' : d != 0 ? '1' : '0';
    }
    return s;
  }
  PopupCatcher popups_;  // every popup read and dismissed as an operator would
};

constexpr const char* kConnected = "1 111111 0000";
constexpr const char* kDisconnected = "0 000000 1111";

// pymodbus, which nobody here wrote, as the meter on each link; serial (a pty pair bridged to
// pymodbus's own) with framing 3 (8N2).
TEST_F(Connection, ConnectsToPymodbusOnEveryLinkAndSwitchesOff) {
  struct Case {
    const char *mode, *link;  // the peer's mode, the link on the status line
    int port;                 // serial 10, Modbus TCP 100, RTU over TCP 99
  };
  EXPECT_EQ(Restored(), "1 502 0 127.0.0.1") << "a fresh store keeps the defaults";
  for (const Case c : {Case{"serial", "Modbus RTU", 10}, Case{"tcp", "Modbus TCP", 100},
                       Case{"rtu-over-tcp", "Modbus RTU over TCP", 99}}) {
    SCOPED_TRACE(c.mode);
    Child meter({SystemPython(), VELDIX_SOURCE_DIR "/tests/support/pymodbus_meter.py", c.mode});
    const std::string line = meter.ReadLine(Ms(30000));
    ASSERT_EQ(line.rfind("READY ", 0), 0u) << "pymodbus did not start: '" << line << "'";
    const std::string where = line.substr(6);
    const bool serial = c.port < 99;
    ComEnv env(10, where);  // read by the serial case only
    Settings(c.port, serial ? 502 : std::stoi(where), serial ? 3 : 0);
    Click();
    EXPECT_TRUE(popups_.seen.empty()) << popups_.seen.front().text.toStdString();
    EXPECT_EQ(State(), kConnected);
    const std::string link = std::string(c.link) + " " +
                             (serial ? where + " 9600 8N2" : "127.0.0.1:" + where) + ", slave 1";
    EXPECT_EQ(Status().rfind("Connected: " + link + ". Last answer: ", 0), 0u) << Status();
    // The next start offers the link that answered.
    EXPECT_EQ(Restored(),
              std::to_string(c.port) + " " + (serial ? "502 3" : where + " 0") + " 127.0.0.1");

    Click();  // off: the link is closed
    EXPECT_EQ(State(), kDisconnected);
    EXPECT_EQ(Status(), "Disconnected: " + link);
    EXPECT_TRUE(popups_.seen.empty());
    EXPECT_TRUE(serial ? ComWrt(10, "x", 1) < 0 : TCP_handle == 0u);
  }
  Settings(101, 502);  // TCP port 502 means Modbus TCP on any port number
  EXPECT_EQ(Status(), "Disconnected: Modbus TCP 127.0.0.1:502, slave 1");
}

// A failed connection leaves the switch at 0 with the no-answer popup, after a popup with the
// reason when the link could not even be opened, in the chosen language (Spanish here: the
// runtime's own texts are English).
TEST_F(Connection, FailuresLeaveTheSwitchOffWithTheirPopups) {
  Pty silentLine;  // nobody answers there
  ComEnv silentPort(8, silentLine.path()), missingPort(9, "/dev/veldix-no-such-port");
  const int closedPort = Listener().port();  // free a moment ago, closed now
  struct Case {
    int port, tcpPort;
    const char* reason;  // in the first popup; none when the link opened
  } const cases[] = {{8, 502, nullptr},
                     {9, 502, "/dev/veldix-no-such-port: no existe el dispositivo"},
                     {101, closedPort, "conexión rechazada por 127.0.0.1:"}};
  ASSERT_NE(Cargar_Textos_Idioma(VELDIX_BIN_DIR "/language.ini", 1), nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason ? c.reason : "silent meter");
    Settings(c.port, c.tcpPort);
    Click();
    const auto& seen = popups_.seen;
    ASSERT_EQ(seen.size(), c.reason ? 2u : 1u);
    for (const auto& p : seen)
      EXPECT_EQ(ui::ToCp1252(p.title.toStdU16String()), CatalogueText(195));
    if (c.reason) {
      EXPECT_EQ(seen[0].text.toStdString().rfind(c.reason, 0), 0u) << seen[0].text.toStdString();
    }
    EXPECT_EQ(ui::ToCp1252(seen.back().text.toStdU16String()), CatalogueText(198));
    EXPECT_EQ(State(), kDisconnected);
  }
  ASSERT_NE(Cargar_Textos_Idioma(VELDIX_BIN_DIR "/language.ini", 2), nullptr);
}

// The server drops the link while a screen waits for an answer: the main panel shows the
// link lost (switch off, settings usable, buttons dimmed) with one popup; the next exchange
// fails at once and says nothing more; switching on again reconnects.
TEST_F(Connection, LostLinkShowsOnTheMainPanelOnceAndSwitchingOnReconnects) {
  ScriptedMeter meter(Framing::Rtu);  // the engine's tests close each kind of link
  Settings(101, meter.port());
  Click();
  ASSERT_EQ(State(), kConnected);
  meter.Next([](const Bytes&, const Bytes&) { return Reply{{}, Ms(0), true}; });
  popups_.seen.clear();
  EXPECT_EQ(meter::ReadBlock(4099, 1), -5);
  EXPECT_EQ(State(), kDisconnected);
  ASSERT_EQ(popups_.seen.size(), 1u);
  EXPECT_EQ(popups_.seen[0].title.toStdString(), CatalogueText(195));
  EXPECT_EQ(popups_.seen[0].text.toStdString(), CatalogueText(206));

  EXPECT_EQ(meter::ReadBlock(4099, 1), -5);
  EXPECT_EQ(popups_.seen.size(), 1u) << "the loss is told once";
  EXPECT_EQ(meter.RequestCount(), 2u) << "the test read and the one the server dropped";

  Click();
  EXPECT_TRUE(popups_.seen.empty());
  EXPECT_EQ(State(), kConnected);
  EXPECT_EQ(meter.Accepted(), 2);
  Click();
}

// Each framing choice reaches the line (the termios of a pty, which drops PARENB but keeps
// PARODD and CSTOPB) and is remembered, the test read asks for register 4099 (the meter's own
// address) and the status line names it all.
TEST_F(Connection, SerialFramingAndTestRead) {
  const char* const kNames[] = {"8N1", "8O1", "8E1", "8N2"};  // framing choices 0-3
  for (int mode = 0; mode < 4; ++mode) {
    SCOPED_TRACE(kNames[mode]);
    Pty pty;
    ScriptedMeter meter(pty);
    ComEnv env(7, pty.path());
    Settings(7, 502, mode);
    Click();
    EXPECT_EQ(State(), kConnected);
    const termios t = pty.Termios();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ((t.c_cflag & PARODD) != 0, mode == 1);  // odd parity: 8O1 only
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, mode == 3);  // two stop bits: 8N2 only
    ASSERT_EQ(meter.RequestCount(), 1u);
    EXPECT_EQ(ToHex(meter.Requests()[0]), ToHex(WithCrc(Hex("01 03 1003 0001"))));
    EXPECT_EQ(Status().rfind("Connected: Modbus RTU " + pty.path() + " 9600 " + kNames[mode], 0),
              0u);
    EXPECT_EQ(Restored(), "7 502 " + std::to_string(mode) + " 127.0.0.1");
    Click();
    EXPECT_LT(ComWrt(7, "x", 1), 0) << "the serial link left open";
  }
}

}  // namespace
