// Shared set-up of the meter-screen tests: the shipped panels, the UI loop run until a condition
// or a deadline, and a pymodbus peer (support/pymodbus_meter.py) that serves chosen registers,
// misbehaves on request and logs every request it receives.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <functional>
#include <memory>
#include <sstream>

#include "lang/catalogue.h"
#include "link/engine.h"
#include "link/transport.h"
#include "meter/meter.h"
#include "meter/screen.h"
#include "platform/testing/ui_testing.h"
#include "platform/ui.h"
#include "popup_catcher.h"
#include "test_support.h"

namespace mtest {

using vtest::Bytes;
using vtest::Hex;

// One request as the peer received it (seconds of CLOCK_MONOTONIC): the Modbus TCP frame,
// 6-byte header first.
struct Request {
  double t = 0;
  Bytes frame;
  Bytes Pdu() const { return frame.size() > 6 ? Bytes(frame.begin() + 6, frame.end()) : Bytes{}; }
};

class Peer {
 public:
  Peer() {
    const std::string ready = process_.ReadLine(vtest::Ms(15000));
    if (ready.rfind("READY ", 0) == 0) port_ = std::stoi(ready.substr(6));
  }
  int Port() const { return port_; }              // 0: the peer did not come up
  std::string Command(const std::string& line) {  // its one-line answer; "" on time-out
    return process_.WriteLine(line) ? process_.ReadLine(vtest::Ms(5000)) : "";
  }
  void Set(int address, const std::vector<int>& words) {
    std::string line = "set " + std::to_string(address);
    for (int w : words) line += " " + std::to_string(w & 0xFFFF);
    EXPECT_EQ(Command(line), "ok") << line;
  }
  // mode: exception, silent, short or off, for requests touching first..last.
  void Fault(int first, int last, const std::string& mode) {
    EXPECT_EQ(Command("fault " + std::to_string(first) + " " + std::to_string(last) + " " + mode),
              "ok");
  }
  void Reset() { EXPECT_EQ(Command("reset"), "ok"); }
  std::vector<Request> Log(int function = 0) {  // since the last reset; 0: every function
    std::vector<Request> log;
    if (!process_.WriteLine("log")) return log;
    for (std::string line; (line = process_.ReadLine(vtest::Ms(5000))) != "" && line != "end";) {
      std::istringstream in(line);
      std::string tag, hex;
      Request r;
      in >> tag >> r.t >> hex;
      r.frame = Hex(hex);
      if (function == 0 || (r.frame.size() > 7 && r.frame[7] == function)) log.push_back(r);
    }
    return log;
  }

 private:
  vtest::Child process_{
      {vtest::SystemPython(), VELDIX_SOURCE_DIR "/tests/support/pymodbus_meter.py"}};
  int port_ = 0;
};

// Runs the UI loop until `done` holds or `seconds` pass; the final verdict of `done`.
inline bool RunUntil(const std::function<bool()>& done, double seconds) {
  if (done()) return true;
  QElapsedTimer t;
  t.start();
  QTimer watchdog;
  watchdog.setInterval(5);
  QObject::connect(&watchdog, &QTimer::timeout, [&] {
    if (done() || t.elapsed() > static_cast<qint64>(seconds * 1000)) QuitUserInterface(0);
  });
  watchdog.start();
  RunUserInterface();
  return done();
}
inline void RunFor(double seconds) {
  RunUntil([] { return false; }, seconds);
}

inline QString Catalogue(int n) { return QString::fromLatin1(CatalogueText(n)); }
// Exception 4 as the screens tell it, in the shipped Spanish catalogue.
inline QString Exception4() { return Catalogue(203) + " 4 (" + Catalogue(214) + ")."; }

// The UI runtime with the shipped Spanish catalogue, a peer, the link open to it (Modbus
// TCP, port number 100, slave 1) and the shipped main panel shown and in Panel_Puerto.
class ScreenTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(InitUIRuntime(nullptr, nullptr, nullptr), 1);
    RegisterMeterCallbacks();
    // The main panel's callbacks belong to the shell, which is not linked here.
    RegisterPanelCallback("panelCB", [](int, int, void*, int, int) { return 0; });
    for (const char* shell :
         {"Seleccionar_Puerto", "QuitCallback", "Estado_Enlace", "Elige_Puerto"})
      RegisterCtrlCallback(shell, [](int, int, int, void*, int, int) { return 0; });
    for (const char* menu :
         {"Salir_Menu", "Cambia_Idioma_ESP", "Cambia_Idioma_ENG", "Pantalla_HELP", "Abrir_Trafico"})
      RegisterMenuCallback(menu, [](int, int, void*, int) {});
    ASSERT_NE(Cargar_Textos_Idioma(VELDIX_SOURCE_DIR "/resources/language.ini", 1), nullptr);
    ASSERT_EQ(Catalogue(199), QString::fromUtf8("Configuración enviada"));
    peer = std::make_unique<Peer>();
  }
  static void TearDownTestSuite() { peer.reset(); }
  void SetUp() override {
    ASSERT_TRUE(peer && peer->Port() > 0) << "the peer did not come up";
    peer->Reset();
    ui::SetProjectDirOverride(VELDIX_SOURCE_DIR "/resources");  // the panels as shipped
    Puerto = 100;  // Modbus TCP framing whatever the TCP port
    Identidad = 1;
    TCP_Puerto = peer->Port();
    std::snprintf(IP, sizeof IP, "%s", "127.0.0.1");
    ASSERT_EQ(Orba_Abrir_Puerto(Puerto, 0, 8, 0, 1, static_cast<unsigned short>(TCP_Puerto), IP),
              0);
    main = LoadPanel(0, "VELDIXMID.uir", 6);
    ASSERT_GT(main, 0) << ui::LastLoadError();
    for (int button = 2; button <= 5; ++button)  // as a committed connection leaves them
      SetCtrlAttribute(main, button, ATTR_DIMMED, 0);
    DisplayPanel(main);
    Panel_Puerto = Panel_Principal = main;
    meter::SetFilePicker([](bool) { return pick; });  // stands in for the file dialog
  }
  void TearDown() override {
    for (int* p : {&Panel_Medidas, &Panel_Energias, &Panel_Config_Equipo, &Panel_Config_Display}) {
      if (*p > 0) DiscardPanel(*p);
      *p = -1;
    }
    if (main > 0) DiscardPanel(main);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    Panel_Puerto = Panel_Principal = -1;
    Orba_Cerrar_Puerto(Puerto);
    ui::SetProjectDirOverride(nullptr);
    meter::SetFilePicker(nullptr);
    // A test may have loaded another language.
    ASSERT_NE(Cargar_Textos_Idioma(VELDIX_SOURCE_DIR "/resources/language.ini", 1), nullptr);
  }

  // Clicks main-panel button 2 (measurements), 3 (energy), 4 (device) or 5 (display); the
  // screen panel it opened, or -1.
  int Open(int button) {
    Click(main, button);
    const int screens[] = {Panel_Medidas, Panel_Energias, Panel_Config_Equipo,
                           Panel_Config_Display};
    return button >= 2 && button <= 5 ? screens[button - 2] : -1;
  }
  template <typename W = QWidget>
  W* Widget(int panel, int control) {
    return qobject_cast<W*>(static_cast<QWidget*>(ui::CtrlWidget(panel, control)));
  }
  void Click(int panel, int control) {
    auto* b = Widget<QAbstractButton>(panel, control);
    ASSERT_NE(b, nullptr) << "no button " << control << " on panel " << panel;
    b->click();
  }
  QWidget* PanelWidget(int panel) { return static_cast<QWidget*>(ui::PanelWidget(panel)); }
  bool Visible(int panel) { return PanelWidget(panel) && PanelWidget(panel)->isVisible(); }
  template <typename T>
  T Get(int panel, int control, int attribute = -1) {
    T v{};
    EXPECT_EQ(attribute < 0 ? GetCtrlVal(panel, control, &v)
                            : GetCtrlAttribute(panel, control, attribute, &v),
              0)
        << "control " << control;
    return v;
  }
  // Clicks a send or save button and waits for the popup that ends it.
  void Write(int panel, int button) {
    popups.seen.clear();
    Click(panel, button);
    ASSERT_TRUE(RunUntil([&] { return !popups.seen.empty(); }, 30)) << "no popup";
  }
  void ExpectPopup(int title, const QString& text) {  // exactly one since the last Write
    ASSERT_EQ(popups.seen.size(), 1u);
    EXPECT_EQ(popups.seen[0].title, Catalogue(title));
    EXPECT_EQ(popups.seen[0].text, text);
  }
  void ExpectSent() { ExpectPopup(199, Catalogue(200)); }

  inline static std::unique_ptr<Peer> peer;
  inline static std::string pick;  // the file the file dialog returns
  int main = -1;
  vtest::PopupCatcher popups;
};

}  // namespace mtest
