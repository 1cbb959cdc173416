// Under a real X server: the window stays alive while an exchange blocks the thread (the
// window manager's ping is answered, the busy cursor shows, and a click made meanwhile is
// held back and acts after the exchange, never inside it); every panel fits the screen.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QCursor>
#include <QProcess>
#include <QScreen>
#include <QScrollArea>
#include <QTest>

#include "app/app.h"
#include "link/engine.h"
#include "link/frames.h"
#include "link/transport.h"
#include "platform/testing/ui_testing.h"
#include "platform/ui.h"
#include "test_support.h"

namespace {

bool g_exchanging = false, g_busyShown = false;
int g_clicks = 0, g_clicksDuringExchange = 0, g_result = 0;
std::uint16_t g_silentPort = 0;

// The exchange of the connection test, on a Modbus TCP link to a meter that never answers.
int SilentExchange(int, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  g_exchanging = true;
  Orba_Abrir_Puerto(100, 9600, 8, 0, 1, g_silentPort, "127.0.0.1");
  unsigned char request[8], answer[300];
  Orba_Comando_Lectura(1, 3, 4099, 1, request);
  g_result = Orba_Transmitir_Modbus(100, request, 6, answer, 2, 0, "", g_silentPort, "127.0.0.1",
                                    sizeof answer);
  g_busyShown =
      QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor;
  Orba_Cerrar_Puerto(100);
  g_exchanging = false;
  return 0;
}

int RecordClick(int, int, int event, void*, int, int) {
  if (event == EVENT_COMMIT) ++(g_exchanging ? g_clicksDuringExchange : g_clicks);
  return 0;
}

TEST(Alive, PingAnsweredAndClickHeldDuringASilentTcpExchange) {
  ASSERT_EQ(InitUIRuntime(nullptr, nullptr, nullptr), 1);
  RegisterAllCallbacks();
  ui::SetProjectDirOverride(VELDIX_BIN_DIR);
  const int panel = LoadPanel(0, "VELDIXMID.uir", 6);
  ASSERT_GT(panel, 0);
  DisplayPanel(panel);
  auto* window = static_cast<QWidget*>(ui::PanelWidget(panel));
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
  SetCtrlAttribute(panel, 12, ATTR_CALLBACK, SilentExchange);
  SetCtrlAttribute(panel, 13, ATTR_CALLBACK, RecordClick);
  auto* quit = static_cast<QWidget*>(ui::CtrlWidget(panel, 13));
  const QPoint at = quit->mapToGlobal(quit->rect().center());

  vtest::Listener silent;  // accepts the connection, never answers
  g_silentPort = silent.port();
  QProcess wm;
  wm.start("/usr/bin/python3",
           {VELDIX_SOURCE_DIR "/tests/app/e2e/ping_click.py", QString::number(window->winId()),
            QString::number(at.x()), QString::number(at.y())});
  ASSERT_TRUE(QTest::qWaitFor([&] { return wm.canReadLine(); }, 20000))
      << "the ping client never started";
  wm.readLine();  // "ready"

  // The operator turns the switch on; the helper clicks Quit one second later.
  static_cast<QCheckBox*>(ui::CtrlWidget(panel, 12))->click();
  EXPECT_EQ(g_result, kModbusTcpTimeout);
  EXPECT_TRUE(g_busyShown) << "no busy cursor during the exchange";
  EXPECT_EQ(g_clicksDuringExchange, 0) << "a click ran inside the exchange";
  EXPECT_TRUE(QTest::qWaitFor([] { return g_clicks == 1; }, 5000)) << "the held click was lost";
  EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "the busy cursor stayed";

  wm.closeWriteChannel();
  ASSERT_TRUE(wm.waitForFinished(10000));
  const QString figures = QString::fromLatin1(wm.readAllStandardOutput()).trimmed();
  EXPECT_GT(figures.section("pings=", 1).toInt(), 100) << figures.toStdString();
  // Only tells a live window from one frozen for 10 s (the figure: bench/window_ping.sh).
  EXPECT_LT(figures.section(' ', 0, 0).section('=', 1).toDouble(), 1000.0) << figures.toStdString();
  DiscardPanel(panel);
}

// Run at 1024x768 and at a scale factor of 2 on 1920x1080 (tests/app/CMakeLists.txt): every
// panel's window lies on the screen and every control can be scrolled into it.
TEST(Fit, EveryControlOfEveryPanelReachable) {
  ASSERT_EQ(InitUIRuntime(nullptr, nullptr, nullptr), 1);
  RegisterAllCallbacks();
  ui::SetProjectDirOverride(VELDIX_BIN_DIR);
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  for (int res : {6, 4, 5, 2, 3, 1}) {
    SCOPED_TRACE(res);
    const int panel = LoadPanel(0, "VELDIXMID.uir", res);
    ASSERT_GT(panel, 0);
    DisplayPanel(panel);
    auto* window = static_cast<QWidget*>(ui::PanelWidget(panel));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    EXPECT_TRUE(screen.contains(window->frameGeometry())) << "window off the screen";
    auto* scroll = window->findChild<QScrollArea*>();
    ASSERT_NE(scroll, nullptr);
    for (auto* w : scroll->widget()->findChildren<QWidget*>()) {
      if (!w->isVisible() || !w->accessibleDescription().contains(QLatin1Char(':'))) continue;
      scroll->ensureWidgetVisible(w, 0, 0);
      const QRect r(w->mapTo(window, QPoint(0, 0)), w->size());
      EXPECT_TRUE(window->rect().contains(r))
          << w->accessibleDescription().toStdString() << " out of reach";
    }
    DiscardPanel(panel);
  }
}

}  // namespace
