// User-interface runtime, event loop: start and end of the runtime, the callback table,
// dispatch of callbacks, popups, nested loops, timers, the busy cursor and painting before
// the caller blocks the thread.
#include <QAbstractSpinBox>
#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCursor>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/keep_alive.h"
#include "platform/testing/ui_testing.h"
#include "platform/ui_runtime.h"

using namespace ui::detail;

namespace ui::detail {

// Commits and menu choices come from user input, which stays in the window system's queue
// while g_suspend holds (PaintNow, KeepAlive) and arrives afterwards in its order; one that
// reaches a control meanwhile was sent to it directly and is not acted on.
void DispatchCtrl(int h, int id, int event) {
  if (g_suspend) return;
  Control* c = FindCtrl(h, id);
  if (c && c->cb) c->cb(h, id, event, c->cbData, 0, 0);
}

void DispatchPanel(int h, int event) {
  Panel* p = FindPanel(h);
  if (!p || !p->cb) return;
  if (g_suspend) {
    // A close request or focus change during an exchange acts once the exchange is over.
    g_held.push_back([h, event] { DispatchPanel(h, event); });
    return;
  }
  p->cb(h, event, p->cbData, 0, 0);
}

void DispatchMenu(int h, int item) {
  if (g_suspend) return;
  Panel* p = FindPanel(h);
  if (!p) return;
  auto mc = p->menuCallbacks.find(item);
  if (mc != p->menuCallbacks.end() && mc->second) mc->second(h, item, nullptr, h);
}

void DispatchTimer(int h, int id) {
  Control* c = FindCtrl(h, id);
  if (!c || !c->timerEnabled) return;
  if (g_suspend) {
    c->tickPending = true;  // delivered on the next loop turn, after the blocking caller
    return;
  }
  c->tickPending = false;
  if (c->cb) c->cb(h, id, EVENT_TIMER_TICK, c->cbData, 0, 0);
}

}  // namespace ui::detail

namespace {
// The style of the runtime's windows: the platform's own, but for the icon of a menu bar's
// extension button (shown only when the bar is too narrow for its menus). Every QMenuBar asks
// for it when built, and the style reads it from a PNG resource, which makes Qt load and
// probe every image-format plugin (and the JPEG library) before the first panel is painted:
// about 1 ms and 0.7 MB. The style draws the same arrow itself instead.
class RuntimeStyle : public QProxyStyle {
 public:
  using QProxyStyle::QProxyStyle;
  QIcon standardIcon(StandardPixmap icon, const QStyleOption* option,
                     const QWidget* widget) const override {
    if (icon != SP_ToolBarHorizontalExtensionButton && icon != SP_ToolBarVerticalExtensionButton)
      return QProxyStyle::standardIcon(icon, option, widget);
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter painter(&pm);
    QStyleOption arrow;
    arrow.rect = pm.rect();
    arrow.palette = QApplication::palette();
    arrow.state = State_Enabled;
    drawPrimitive(icon == SP_ToolBarHorizontalExtensionButton ? PE_IndicatorArrowRight
                                                              : PE_IndicatorArrowDown,
                  &arrow, &painter, widget);
    return QIcon(pm);
  }
};

// Qt would abort the process when it cannot reach a display; find out first.
bool DisplayReachable() {
  const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
  if (!platform.isEmpty() && !platform.startsWith("xcb") && !platform.startsWith("wayland"))
    return true;  // offscreen, vnc, minimal, ... need no display server
  return !qgetenv("DISPLAY").isEmpty() || !qgetenv("WAYLAND_DISPLAY").isEmpty();
}

// Windows' dialog font ("MS Shell Dlg") is Tahoma. Where that face is missing (Wine without
// its own fonts) the font mapper can fall back to a math face whose glyph boxes are several
// lines tall: line edits and spin boxes centre that box in their 24-pixel field and draw
// their text above it, out of sight, while labels and buttons still read. Such a default
// face is swapped for the first Latin face whose boxes fit a line.
bool TextBoxesFitLine(const QFont& f) {
  const QFontMetrics fm(f);
  return fm.boundingRect(QStringLiteral("0123456789.,-AWgjy")).height() <= fm.height() * 3 / 2;
}

void KeepFieldTextVisible() {
  const QFont font = QApplication::font();
  if (TextBoxesFitLine(font)) return;
  QStringList families = {QStringLiteral("Tahoma"), QStringLiteral("Segoe UI"),
                          QStringLiteral("Arial"), QStringLiteral("DejaVu Sans"),
                          QStringLiteral("Liberation Sans")};
  families += QFontDatabase::families(QFontDatabase::Latin);
  for (const QString& family : families) {
    QFont f = font;
    f.setFamilies({family});
    if (QFontInfo(f).family() != family || !TextBoxesFitLine(f)) continue;
    QApplication::setFont(f);
    return;
  }
}

// The check loads the font database and shapes text, about 1.5 ms that the first panel
// would wait for before it is painted: it runs on the loop turn after that paint instead
// (a face swapped then repaints the panels with it).
bool g_fontCheckPending = false;
}  // namespace

int InitUIRuntime(void*, char* argv[], void*) {
  if (QApplication::instance()) return 1;
  if (!DisplayReachable()) return 0;
  // Qt keeps references to argc/argv for the life of the application object.
  static std::vector<std::string> args;
  static std::vector<char*> ptrs;
  static int argc = 0;
  args.clear();
  ptrs.clear();
  if (argv)
    for (char** a = argv; *a; ++a) args.emplace_back(*a);
  if (args.empty()) args.emplace_back("veldixmid");
  for (auto& s : args) ptrs.push_back(s.data());
  ptrs.push_back(nullptr);
  argc = static_cast<int>(args.size());
  g_ownApp = new QApplication(argc, ptrs.data());
  QApplication::setStyle(new RuntimeStyle(QApplication::style()->name()));
  QApplication::setQuitOnLastWindowClosed(false);
  g_fontCheckPending = true;
  qAddPostRoutine(DiscardAllAtExit);
  return 1;
}

void CloseUIRuntime(void) {
  DiscardAllAtExit();
  // Panels discarded during the run are deleted on a later loop turn; there is none now.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  delete g_ownApp;
  g_ownApp = nullptr;
}

int InitUserInterface(int& argc, char* argv[]) {
  (void)argc;
  return InitUIRuntime(nullptr, argv, nullptr);
}

int RegisterCtrlCallback(const char* name, CtrlCallbackPtr fn) {
  if (!name) return UI_ERR_BAD_VALUE;
  g_ctrlCallbacks[QString::fromLatin1(name)] = fn;
  return 0;
}
int RegisterPanelCallback(const char* name, PanelCallbackPtr fn) {
  if (!name) return UI_ERR_BAD_VALUE;
  g_panelCallbacks[QString::fromLatin1(name)] = fn;
  return 0;
}
int RegisterMenuCallback(const char* name, MenuCallbackPtr fn) {
  if (!name) return UI_ERR_BAD_VALUE;
  g_menuCallbacks[QString::fromLatin1(name)] = fn;
  return 0;
}

// ---------------------------------------------------------------- popups and loops

int InstallPopup(int panel) {
  Panel* p = FindPanel(panel);
  if (!p) return UI_ERR_BAD_PANEL;
  p->window->hide();  // modality can only change while hidden
  p->window->setWindowModality(Qt::ApplicationModal);
  std::erase(g_popups, panel);
  g_popups.push_back(panel);
  return DisplayPanel(panel);
}

int RemovePopup(int panel) {
  if (g_popups.empty()) return UI_ERR_NO_POPUP;
  const int h = panel == 0 ? g_popups.back() : panel;
  if (std::find(g_popups.begin(), g_popups.end(), h) == g_popups.end()) return UI_ERR_NO_POPUP;
  std::erase(g_popups, h);
  if (Panel* p = FindPanel(h)) {
    p->window->hide();
    p->window->setWindowModality(Qt::NonModal);
  }
  return 0;
}

int MessagePopup(const char* title, const char* message) {
  if (!QApplication::instance()) return UI_ERR_NOT_INITIALIZED;
  QWidget* parent = QApplication::activeModalWidget();
  if (!parent) parent = QApplication::activeWindow();
  EndBusyCursor();  // the operator must answer this one
  QMessageBox box(QMessageBox::NoIcon, FromCp1252(title), FromCp1252(message), QMessageBox::Ok,
                  parent);
  box.setAccessibleName(FromCp1252(title));
  box.exec();
  return 1;
}

namespace ui {
std::string AskFilePath(bool save, const char* title, const char* filter) {
  if (!QApplication::instance()) return {};
  QWidget* parent = QApplication::activeModalWidget();
  if (!parent) parent = QApplication::activeWindow();
  EndBusyCursor();  // the operator must answer this one
  const QString caption = FromCp1252(title);
  const QString filters = QString::fromLatin1(filter);
  const QString path = save ? QFileDialog::getSaveFileName(parent, caption, QString(), filters)
                            : QFileDialog::getOpenFileName(parent, caption, QString(), filters);
  return path.toStdString();
}
}  // namespace ui

int RunUserInterface(void) {
  if (!QApplication::instance()) return UI_ERR_NOT_INITIALIZED;
  QEventLoop loop;
  g_loops.push_back({&loop, 0});
  loop.exec();
  const int value = g_loops.back().value;
  g_loops.pop_back();
  return value;
}

int QuitUserInterface(int value) {
  if (g_loops.empty()) return UI_ERR_NOT_INITIALIZED;
  g_loops.back().value = value;
  g_loops.back().loop->exit(0);
  return 0;
}

int ResetTimer(int panel, int control) {
  int err = 0;
  Control* c = FindCtrl(panel, control, &err);
  if (!c) return err;
  if (!c->timer) return UI_ERR_BAD_ATTRIBUTE;
  if (c->timer->isActive()) c->timer->start();  // the interval count restarts from zero
  return 0;
}

int SetMouseCursor(int cursor) {
  if (!QApplication::instance()) return UI_ERR_NOT_INITIALIZED;
  if (cursor == kDefaultCursor) {
    g_busyCursor = false;
    while (QApplication::overrideCursor()) QApplication::restoreOverrideCursor();
  } else {
    QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
  }
  return 0;
}

namespace ui::detail {

void PaintNow() {
  if (!QApplication::instance()) return;
  ++g_suspend;
  QElapsedTimer t;
  t.start();
  // Let the window system map and expose what was just shown; input events stay queued
  // and no callback runs (g_suspend), so nothing re-enters the caller.
  for (;;) {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                    QEventLoop::ExcludeSocketNotifiers);
    bool allExposed = true;
    for (const auto& [h, p] : g_panels)
      if (p->window->isVisible() && p->window->windowHandle() &&
          !p->window->windowHandle()->isExposed())
        allExposed = false;
    if (allExposed || t.elapsed() > 200) break;
  }
  for (const auto& [h, p] : g_panels)
    if (p->window->isVisible()) p->window->repaint();
  --g_suspend;
  if (g_fontCheckPending) {
    g_fontCheckPending = false;
    QTimer::singleShot(0, QCoreApplication::instance(), KeepFieldTextVisible);
  }
  ReleaseHeld();
}

void ReleaseHeld() {
  if (g_suspend) return;
  // What was held back is delivered on a later loop turn, after the blocking caller. Run
  // from a later wait of the same caller it is held back again.
  for (const auto& [h, p] : g_panels)
    for (const auto& [id, c] : p->controls)
      if (c->tickPending) {
        const int ph = h, cid = id;
        QTimer::singleShot(0, QCoreApplication::instance(), [ph, cid] { DispatchTimer(ph, cid); });
      }
  if (!g_held.empty()) {
    auto held = std::move(g_held);
    g_held.clear();
    QTimer::singleShot(0, QCoreApplication::instance(), [held] {
      for (const auto& fn : held) fn();
    });
  }
  if (g_busyCursor && !g_busyEndPosted) {
    g_busyEndPosted = true;
    QTimer::singleShot(0, QCoreApplication::instance(), [] {
      g_busyEndPosted = false;
      if (g_suspend == 0) EndBusyCursor();
    });
  }
}

void EndBusyCursor() {
  if (!g_busyCursor) return;
  g_busyCursor = false;
  QApplication::restoreOverrideCursor();
}

void SetPanelIndicator(const QPixmap* pixmap, const QString& state) {
  g_indicatorShown = pixmap && !pixmap->isNull();
  if (!state.isEmpty()) g_indicatorState = state;
  if (g_indicatorShown) {
    if (!g_indicator) g_indicator = new QPixmap;
    *g_indicator = *pixmap;
  }
  for (const auto& [h, p] : g_panels) {
    p->indicator->setVisible(g_indicatorShown);
    if (!g_indicatorShown) continue;
    p->indicator->setPixmap(*g_indicator);
    p->indicator->setAccessibleName(g_indicatorState);
    // Painted now: the caller is about to block the thread.
    if (p->window->isVisible()) p->indicator->repaint();
  }
}

}  // namespace ui::detail

void ui::KeepAlive() {
  auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
  if (!app || QThread::currentThread() != app->thread() || g_suspend) return;
  if (!g_busyCursor) {
    g_busyCursor = true;
    QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
  }
  ++g_suspend;
  // Window-system events other than input (expose, configure, the window manager's ping,
  // close requests) are handled; input stays in the window system's queue in its order and
  // socket notifiers wait, so nothing reaches the blocked caller's callbacks.
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                  QEventLoop::ExcludeSocketNotifiers);
  --g_suspend;
  ReleaseHeld();
}
