#include "meter_fixture.h"

#include <time.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QPushButton>
#include <QWidget>
#include <filesystem>
#include <sstream>

#include "catalogue.h"
#include "connection.h"
#include "engine.h"
#include "meter.h"
#include "transport.h"
#include "ui.h"

// The application shell is not linked into these tests: the main panel is the test's own.
int Panel_Principal = -1;

namespace mtest {

namespace fs = std::filesystem;

double Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

Bytes Request::Pdu() const {
  return frame.size() > 6 ? Bytes(frame.begin() + 6, frame.end()) : Bytes{};
}
int Request::Function() const { return frame.size() > 7 ? frame[7] : -1; }
int Request::Start() const { return frame.size() > 9 ? frame[8] << 8 | frame[9] : -1; }

// ---------------------------------------------------------------- peer

std::string Peer::Start() {
  // The peer leaves when its stdin closes; its errors go to the test's stderr.
  process_ = std::make_unique<vtest::Child>(
      std::vector<std::string>{vtest::SystemPython(), VELDIX_TEST_DATA "/peer.py"});
  const std::string ready = process_->ReadLine(vtest::Ms(15000));
  if (ready.rfind("READY ", 0) != 0) return "peer did not report its port: '" + ready + "'";
  port_ = std::stoi(ready.substr(6));
  return "";
}

std::string Peer::Command(const std::string& line) {
  if (!process_->WriteLine(line)) return "";
  return process_->ReadLine(vtest::Ms(5000));
}

void Peer::Set(int address, const std::vector<int>& words) {
  std::string line = "set " + std::to_string(address);
  for (int w : words) line += " " + std::to_string(w & 0xFFFF);
  EXPECT_EQ(Command(line), "ok") << line;
}

std::vector<int> Peer::Get(int address, int count) {
  std::istringstream in(Command("get " + std::to_string(address) + " " + std::to_string(count)));
  std::string word;
  in >> word;
  std::vector<int> values;
  int v = 0;
  while (in >> v) values.push_back(v);
  return values;
}

void Peer::Fault(int first, int last, const char* mode) {
  EXPECT_EQ(Command("fault " + std::to_string(first) + " " + std::to_string(last) + " " + mode),
            "ok");
}

void Peer::Reset() { EXPECT_EQ(Command("reset"), "ok"); }

std::vector<Request> Peer::Log() {
  std::vector<Request> log;
  if (!process_->WriteLine("log")) return log;
  for (;;) {
    const std::string line = process_->ReadLine(vtest::Ms(5000));
    if (line.empty() || line == "end") break;
    std::istringstream in(line);
    std::string tag, hex;
    Request r;
    in >> tag >> r.t >> hex;
    r.frame = Hex(hex);
    log.push_back(r);
  }
  return log;
}

std::vector<Request> Peer::Log(int function) {
  std::vector<Request> out;
  for (const Request& r : Log())
    if (r.Function() == function) out.push_back(r);
  return out;
}

::testing::AssertionResult Within(double measured, double expected, double early, double late) {
  if (measured >= expected - early && measured <= expected + late)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << measured << " s, expected " << expected << " s (-"
                                       << early << " / +" << late << ")";
}

// ---------------------------------------------------------------- loop and popups

bool RunUntil(const std::function<bool()>& done, double seconds) {
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

void RunFor(double seconds) {
  RunUntil([] { return false; }, seconds);
}

PopupCatcher::PopupCatcher() {
  timer_.setInterval(10);
  QObject::connect(&timer_, &QTimer::timeout, [this] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    seen_.push_back({box->windowTitle(), box->text()});
    box->button(QMessageBox::Ok)->click();
  });
  timer_.start();
}

QString Catalogue(int n) { return QString::fromLatin1(CatalogueText(n)); }

// ---------------------------------------------------------------- screen test

Peer* ScreenTest::peer = nullptr;
std::string ScreenTest::dir;
std::string ScreenTest::emptyDir;

namespace {

// Main panel stand-in: the four screen buttons with the callbacks the real one names.
QJsonObject MainPanel() {
  QJsonArray controls;
  const char* names[] = {"Toma_Datos", "Leer_Energias_Tarifas", "Config_Equipo", "Config_Display"};
  for (int i = 0; i < 4; ++i)
    controls.append(QJsonObject{{"id", i + 2},
                                {"kind", "button"},
                                {"label", QString::fromLatin1(names[i])},
                                {"top", 10 + 35 * i},
                                {"left", 10},
                                {"width", 200},
                                {"callback", QString::fromLatin1(names[i])}});
  return QJsonObject{{"resource", 6}, {"title", "Principal"}, {"width", 240},
                     {"height", 160}, {"controls", controls}};
}

void WriteUir(const std::string& folder, const QJsonArray& panels) {
  fs::create_directories(folder);
  QFile out(QString::fromStdString(folder + "/VELDIXMID.uir"));
  ASSERT_TRUE(out.open(QIODevice::WriteOnly));
  out.write(QJsonDocument(QJsonObject{{"panels", panels}}).toJson());
}

}  // namespace

void ScreenTest::SetUpTestSuite() {
  ASSERT_EQ(InitUIRuntime(nullptr, nullptr, nullptr), 1);
  RegisterMeterCallbacks();
  // The popups' texts: the shipped catalogue, first language (Spanish).
  ASSERT_NE(Cargar_Textos_Idioma(VELDIX_SOURCE_DIR "/resources/language.ini", 1), nullptr);
  ASSERT_EQ(Catalogue(199), QString::fromUtf8("Configuración enviada"));
  ASSERT_NE(Catalogue(195), Catalogue(199));

  // The screens' panels exactly as the tool ships them.
  QFile in(QStringLiteral(VELDIX_SOURCE_DIR "/resources/VELDIXMID.uir"));
  ASSERT_TRUE(in.open(QIODevice::ReadOnly));
  const QJsonDocument doc = QJsonDocument::fromJson(in.readAll());
  ASSERT_TRUE(doc.isObject());
  QJsonArray panels{MainPanel()};
  for (const QJsonValue& p : doc.object().value("panels").toArray())
    if (p.toObject().value("resource").toInt() != 6) panels.append(p);

  const std::string base = (fs::temp_directory_path() /
                            ("veldix-meter-" + std::to_string(::getpid()))).string();
  dir = base + "/tool";
  emptyDir = base + "/noscreens";
  WriteUir(dir, panels);
  WriteUir(emptyDir, QJsonArray{MainPanel()});

  peer = new Peer;
  const std::string why = peer->Start();
  if (!why.empty()) {
    delete peer;
    peer = nullptr;
    FAIL() << why;
  }
}

void ScreenTest::TearDownTestSuite() {
  delete peer;
  peer = nullptr;
  if (!dir.empty()) fs::remove_all(fs::path(dir).parent_path());
}

void ScreenTest::SetUp() {
  ASSERT_NE(peer, nullptr) << "no peer";
  peer->Reset();
  ui::SetProjectDirOverride(dir.c_str());
  Puerto = 100;  // Modbus TCP framing whatever the TCP port
  Identidad = 1;
  TCP_Puerto = peer->Port();
  std::snprintf(IP, sizeof IP, "%s", "127.0.0.1");
  ASSERT_EQ(Orba_Abrir_Puerto(Puerto, 0, 8, 0, 1, static_cast<unsigned short>(TCP_Puerto), IP), 0);
  main = LoadPanel(0, "VELDIXMID.uir", 6);
  ASSERT_GT(main, 0) << ui::LastLoadError();
  DisplayPanel(main);
  Panel_Puerto = main;
  Panel_Principal = main;
}

void ScreenTest::TearDown() {
  for (int* p : {&Panel_Medidas, &Panel_Energias, &Panel_Config_Equipo, &Panel_Config_Display}) {
    if (*p > 0) DiscardPanel(*p);
    *p = -1;
  }
  if (main > 0) DiscardPanel(main);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  Panel_Puerto = Panel_Principal = -1;
  Orba_Cerrar_Puerto(Puerto);
  ui::SetProjectDirOverride(nullptr);
}

int ScreenTest::Open(int button) {
  Click(main, button);
  switch (button) {
    case 2: return Panel_Medidas;
    case 3: return Panel_Energias;
    case 4: return Panel_Config_Equipo;
    case 5: return Panel_Config_Display;
    default: return -1;
  }
}

void ScreenTest::Click(int panel, int control) {
  auto* b = qobject_cast<QAbstractButton*>(static_cast<QWidget*>(ui::CtrlWidget(panel, control)));
  ASSERT_NE(b, nullptr) << "no button " << control << " on panel " << panel;
  b->click();
}

void ScreenTest::CloseBox(int panel) {
  auto* w = static_cast<QWidget*>(ui::PanelWidget(panel));
  ASSERT_NE(w, nullptr);
  w->close();
}

bool ScreenTest::Visible(int panel) {
  auto* w = static_cast<QWidget*>(ui::PanelWidget(panel));
  return w && w->isVisible();
}

bool ScreenTest::Exists(int panel) { return ui::PanelWidget(panel) != nullptr; }

double ScreenTest::Double(int panel, int control) {
  double v = -12345.678;
  EXPECT_EQ(GetCtrlVal(panel, control, &v), 0) << "control " << control;
  return v;
}

int ScreenTest::Int(int panel, int control) {
  int v = -12345;
  EXPECT_EQ(GetCtrlVal(panel, control, &v), 0) << "control " << control;
  return v;
}

double ScreenTest::Shown(int panel, int control, double value) {
  auto* sb = qobject_cast<QDoubleSpinBox*>(static_cast<QWidget*>(ui::CtrlWidget(panel, control)));
  if (!sb) return value;
  return QString::number(value, 'f', sb->decimals()).toDouble();
}

}  // namespace mtest
