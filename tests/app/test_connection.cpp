// Connecting from the real main panel to the simulated meter: the switch, the test read,
// the dimming, the popups, the serial framing and Panel_Puerto.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "../sim/sim_harness.h"
#include "app.h"
#include "catalogue.h"
#include "connection.h"
#include "rs232.h"
#include "transport.h"
#include "ui.h"

namespace {

struct Popup {
  std::string title, text;
};

class Connection : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(InitUIRuntime(nullptr, nullptr, nullptr), 1);
    RegisterAllCallbacks();
    ui::SetProjectDirOverride(VELDIX_BIN_DIR);
    ASSERT_NE(Cargar_Textos_Idioma(VELDIX_BIN_DIR "/language.ini", 2), nullptr);  // English
  }
  void SetUp() override {
    Panel_Principal = LoadPanel(0, "VELDIXMID.uir", 6);
    ASSERT_GT(Panel_Principal, 0);
    DisplayPanel(Panel_Principal);
    Panel_Puerto = -1;
    // Every popup is read and dismissed as an operator would.
    QObject::connect(&dismisser_, &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      popups_.push_back({box->windowTitle().toStdString(), box->text().toStdString()});
      box->button(QMessageBox::Ok)->click();
    });
    dismisser_.start(20);
  }
  void TearDown() override {
    dismisser_.stop();
    Orba_Cerrar_Puerto(Puerto);
    DiscardPanel(Panel_Principal);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  void Settings(int port, int tcpPort, int mode = 0, const char* host = "127.0.0.1") {
    SetCtrlVal(Panel_Principal, kCtrlPort, port);
    SetCtrlVal(Panel_Principal, kCtrlTcpPort, tcpPort);
    SetCtrlVal(Panel_Principal, kCtrlFraming, mode);
    SetCtrlVal(Panel_Principal, kCtrlHost, host);
  }
  // The operator clicks the connection switch; the callback runs to its end.
  void ClickSwitch() {
    static_cast<QCheckBox*>(static_cast<QWidget*>(ui::CtrlWidget(Panel_Principal, kCtrlConnect)))->click();
  }
  int Value(int control) {
    int v = -1;
    GetCtrlVal(Panel_Principal, control, &v);
    return v;
  }
  // 1 when every control of the list is dimmed, 0 when none is, -1 when mixed.
  int Dimmed(std::vector<int> controls) {
    int dimmed = 0;
    for (int c : controls) {
      int d = 0;
      GetCtrlAttribute(Panel_Principal, c, ATTR_DIMMED, &d);
      dimmed += d;
    }
    return dimmed == 0 ? 0 : dimmed == static_cast<int>(controls.size()) ? 1 : -1;
  }
  const std::vector<int> kSettings{6, 7, 8, 9, 10, 11};
  const std::vector<int> kButtons{2, 3, 4, 5};
  QTimer dismisser_;
  std::vector<Popup> popups_;
};

TEST_F(Connection, ModbusTcpConnectsThenSwitchingOffDisconnects) {
  simtest::SimProcess sim({"--tcp", "0"});
  const int port = sim.port("tcp");
  ASSERT_NE(port, 0);
  Settings(100, port);
  ClickSwitch();
  EXPECT_TRUE(popups_.empty());
  EXPECT_EQ(Value(kCtrlConnect), 1);
  EXPECT_EQ(Dimmed(kSettings), 1);
  EXPECT_EQ(Dimmed(kButtons), 0);
  EXPECT_EQ(Panel_Puerto, Panel_Principal);
  EXPECT_EQ(Puerto, 100);
  EXPECT_EQ(TCP_Puerto, port);
  EXPECT_STREQ(IP, "127.0.0.1");

  Panel_Puerto = -1;
  ClickSwitch();
  EXPECT_EQ(Value(kCtrlConnect), 0);
  EXPECT_EQ(Dimmed(kSettings), 0);
  EXPECT_EQ(Dimmed(kButtons), 1);
  EXPECT_EQ(Panel_Puerto, Panel_Principal);
  EXPECT_TRUE(popups_.empty());
}

TEST_F(Connection, SerialFramingModeThreeOpensEightNoneTwo) {
  simtest::SimProcess sim({"--serial", "--stop-bits", "2"});
  const std::string dev = sim.endpoint("serial");
  ASSERT_FALSE(dev.empty());
  ::setenv("VELDIXMID_COM7", dev.c_str(), 1);
  Settings(7, 502, 3);
  ClickSwitch();
  ASSERT_EQ(Value(kCtrlConnect), 1) << (popups_.empty() ? "" : popups_[0].text);
  EXPECT_EQ(Bits, 8);
  EXPECT_EQ(Paridad, 0);
  EXPECT_EQ(Stops, 2);
  // The line itself is set so: the pty shares its settings with every opener.
  const int fd = ::open(dev.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  termios t{};
  ASSERT_EQ(::tcgetattr(fd, &t), 0);
  ::close(fd);
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_FALSE(t.c_cflag & PARENB);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));

  // Off: the port is closed, so a write on it fails.
  ClickSwitch();
  EXPECT_LT(ComWrt(7, "x", 1), 0);
  EXPECT_EQ(Dimmed(kButtons), 1);
}

TEST_F(Connection, SilentMeterGivesOnePopupAndResetsTheSwitch) {
  simtest::SimProcess sim({"--serial", "--silent"});
  const std::string dev = sim.endpoint("serial");
  ASSERT_FALSE(dev.empty());
  ::setenv("VELDIXMID_COM8", dev.c_str(), 1);
  Settings(8, 502);
  ClickSwitch();
  ASSERT_EQ(popups_.size(), 1u);
  EXPECT_EQ(popups_[0].title, CatalogueText(195));
  EXPECT_EQ(popups_[0].text, CatalogueText(198));
  EXPECT_EQ(Value(kCtrlConnect), 0);
  EXPECT_EQ(Dimmed(kSettings), 0);
  EXPECT_EQ(Dimmed(kButtons), 1);
  EXPECT_EQ(Panel_Puerto, Panel_Principal);
}

TEST_F(Connection, UnopenablePortGivesTheReasonThenTheNoAnswerPopup) {
  ::setenv("VELDIXMID_COM9", "/dev/veldix-no-such-port", 1);
  Settings(9, 502);
  ClickSwitch();
  ASSERT_EQ(popups_.size(), 2u);
  EXPECT_EQ(popups_[0].title, CatalogueText(195));
  EXPECT_NE(popups_[0].text.find("/dev/veldix-no-such-port"), std::string::npos)
      << "the reason names the device: " << popups_[0].text;
  EXPECT_EQ(popups_[1].text, CatalogueText(198));
  EXPECT_EQ(Value(kCtrlConnect), 0);
  EXPECT_EQ(Dimmed(kButtons), 1);
}

TEST_F(Connection, TcpWithEmptyHostOrRefusedConnectionStaysDisconnected) {
  // Nothing listens on the port of a simulator that has been stopped.
  int port = 0;
  {
    simtest::SimProcess sim({"--tcp", "0"});
    port = sim.port("tcp");
  }
  ASSERT_NE(port, 0);
  struct Case {
    const char* host;
    const char* reason;  // in the first popup: why the link could not be opened
  } cases[] = {{"127.0.0.1", "refused"}, {"", "host"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    popups_.clear();
    Settings(101, port, 0, c.host);
    ClickSwitch();
    ASSERT_EQ(popups_.size(), 2u);
    EXPECT_NE(popups_[0].text.find(c.reason), std::string::npos) << popups_[0].text;
    EXPECT_EQ(popups_[1].text, CatalogueText(198));
    EXPECT_EQ(Value(kCtrlConnect), 0);
    EXPECT_EQ(Dimmed(kButtons), 1);
  }
}

// pymodbus, an implementation nobody here wrote, as the meter on each kind of link.
class PymodbusMeter {
 public:
  explicit PymodbusMeter(const char* mode) {
    int out[2], in[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    const std::string script = VELDIX_SOURCE_DIR "/tests/link/peers/pymodbus_meter.py";
    char* argv[] = {const_cast<char*>("/usr/bin/python3"), const_cast<char*>(script.c_str()),
                    const_cast<char*>(mode), nullptr};
    if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    ::close(in[0]);
    out_ = out[0];
    in_ = in[1];
    // "READY <port or device>" once it serves; pymodbus takes a while to import.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
      pollfd pfd{out_, POLLIN, 0};
      if (::poll(&pfd, 1, 100) <= 0) continue;
      char c;
      if (::read(out_, &c, 1) != 1) break;
      if (c == '\n') break;
      line.push_back(c);
    }
    if (line.rfind("READY ", 0) == 0) where_ = line.substr(6);
  }
  ~PymodbusMeter() {
    if (in_ >= 0) ::close(in_);  // it ends when its standard input closes
    if (pid_ > 0) {
      for (int i = 0; i < 50 && ::waitpid(pid_, nullptr, WNOHANG) == 0; ++i) ::usleep(100000);
      if (::kill(pid_, 0) == 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
      }
    }
    if (out_ >= 0) ::close(out_);
  }
  const std::string& Where() const { return where_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1, in_ = -1;
  std::string where_;
};

struct PeerCase {
  const char* mode;
  int port;  // main-panel port number: serial 10, Modbus TCP 100, RTU over TCP 99
};

class ConnectionToPymodbus : public Connection, public ::testing::WithParamInterface<PeerCase> {};

TEST_P(ConnectionToPymodbus, ConnectsFromTheMainPanel) {
  PymodbusMeter meter(GetParam().mode);
  ASSERT_FALSE(meter.Where().empty()) << "pymodbus did not start";
  if (GetParam().port < 99) {
    ::setenv("VELDIXMID_COM10", meter.Where().c_str(), 1);
    Settings(GetParam().port, 502);
  } else {
    Settings(GetParam().port, std::stoi(meter.Where()));
  }
  ClickSwitch();
  EXPECT_TRUE(popups_.empty()) << popups_.front().title << ": " << popups_.front().text;
  EXPECT_EQ(Value(kCtrlConnect), 1);
  EXPECT_EQ(Dimmed(kButtons), 0);
  EXPECT_EQ(Dimmed(kSettings), 1);
}

INSTANTIATE_TEST_SUITE_P(Links, ConnectionToPymodbus,
                         ::testing::Values(PeerCase{"serial", 10}, PeerCase{"tcp", 100},
                                           PeerCase{"rtu-over-tcp", 99}),
                         [](const auto& info) {
                           std::string n = info.param.mode;
                           for (char& c : n)
                             if (c == '-') c = '_';
                           return n;
                         });

}  // namespace
