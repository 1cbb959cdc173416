// User-interface runtime, panels: handles, loading from the resource file, display, titles
// and discarding.
#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCursor>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/testing/ui_testing.h"
#include "platform/ui_runtime.h"

using namespace ui::detail;

namespace {

QWidget* ParentWindow(int parent) {
  Panel* pp = FindPanel(parent);
  return pp ? pp->window : nullptr;
}

void DiscardOne(int h) {
  auto it = g_panels.find(h);
  if (it == g_panels.end()) return;
  std::unique_ptr<Panel> p = std::move(it->second);
  g_panels.erase(it);
  std::erase(g_popups, h);
  for (auto& [id, c] : p->controls)
    if (c->timer) c->timer->stop();
  p->window->hide();
  p->window->setParent(nullptr);
  // Deleted on the next loop turn: the discard may come from one of its own callbacks.
  p->window->deleteLater();
}

}  // namespace

namespace ui::detail {

Panel* FindPanel(int h) {
  auto it = g_panels.find(h);
  return it == g_panels.end() ? nullptr : it->second.get();
}

Control* FindCtrl(int h, int id, int* err) {
  Panel* p = FindPanel(h);
  if (!p) {
    if (err) *err = UI_ERR_BAD_PANEL;
    return nullptr;
  }
  auto it = p->controls.find(id);
  if (it == p->controls.end()) {
    if (err) *err = UI_ERR_BAD_CONTROL;
    return nullptr;
  }
  return it->second.get();
}

void PanelWindow::keyPressEvent(QKeyEvent* e) {
  Panel* p = FindPanel(handle_);
  const int key = e->key();
  if (!p || e->modifiers() & ~Qt::KeypadModifier ||
      (key != Qt::Key_Return && key != Qt::Key_Enter && key != Qt::Key_Escape)) {
    QWidget::keyPressEvent(e);
    return;
  }
  // Enter only ever turns a switch on (the main panel's is the link): one that is on stays so.
  auto enter = [](QAbstractButton* b) {
    if (!(b->isCheckable() && b->isChecked())) b->click();  // the same commit as a mouse click
  };
  auto press = [p, enter](int id, bool isEnter) {
    Control* c = FindCtrl(p->handle, id);
    auto* b = c ? qobject_cast<QAbstractButton*>(c->editor) : nullptr;
    if (!b || !b->isEnabled() || !b->isVisible()) return false;
    if (isEnter)
      enter(b);
    else
      b->click();
    return true;
  };
  if (key == Qt::Key_Escape) {
    if (p->escCloses)
      DispatchPanel(handle_, EVENT_CLOSE);
    else if (p->cancelCtrl)
      press(p->cancelCtrl, false);
    return;
  }
  // Enter presses the focused button, as in a dialog, otherwise the panel's default one.
  if (auto* b = qobject_cast<QAbstractButton*>(focusWidget()); b && b->isEnabled()) {
    enter(b);
    return;
  }
  if (p->defaultCtrl) press(p->defaultCtrl, true);
}

// The window as large as the panel's area and its menu bar, within the screen's available
// area less room for the window manager's frame; never larger than the panel needs.
void FitToScreen(Panel* p) {
  QWidget* w = p->window;
  int menu = 0;
  if (auto* bar = w->findChild<QMenuBar*>()) menu = bar->sizeHint().height();
  const QSize want(p->content->width(), p->content->height() + menu);
  w->setMaximumSize(want);
  QSize size = want;
  if (QScreen* sc = w->screen() ? w->screen() : QGuiApplication::primaryScreen()) {
    constexpr int kFrameW = 16, kFrameH = 48;  // borders and title bar of a usual frame
    const QRect area = sc->availableGeometry();
    size = size.boundedTo(QSize(area.width() - kFrameW, area.height() - kFrameH));
    w->resize(size);
    // Keep the whole window, title bar included, on the screen.
    QPoint at = w->pos();
    at.setX(std::clamp(at.x(), area.left(),
                       std::max(area.left(), area.right() - size.width() - kFrameW)));
    at.setY(std::clamp(at.y(), area.top(),
                       std::max(area.top(), area.bottom() - size.height() - kFrameH)));
    w->move(at);
  } else {
    w->resize(size);
  }
}

Panel* CreatePanel(int parent, int resource, const QString& title, int width, int height) {
  static const bool factoryInstalled = [] {
    // Panels carry their accessible role (window or dialog) in a property.
    QAccessible::installFactory([](const QString&, QObject* o) -> QAccessibleInterface* {
      auto* w = qobject_cast<QWidget*>(o);
      const QVariant role = w ? w->property(kPanelRoleProperty) : QVariant();
      if (!role.isValid()) return nullptr;
      return new QAccessibleWidget(w, static_cast<QAccessible::Role>(role.toInt()));
    });
    return true;
  }();
  (void)factoryInstalled;
  auto p = std::make_unique<Panel>();
  p->handle = g_nextHandle++;
  p->resource = resource;
  p->parent = parent;
  p->window = new PanelWindow(p->handle, ParentWindow(parent));
  // Screen readers announce windows and dialogs, not the plain widget's "filler".
  p->window->setProperty(kPanelRoleProperty,
                         parent > 0 ? int(QAccessible::Dialog) : int(QAccessible::Window));
  p->window->setAttribute(Qt::WA_QuitOnClose, false);
  p->window->setWindowTitle(title);
  p->window->setAccessibleName(title);
  auto* layout = new QVBoxLayout(p->window);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  // The panel's area scrolls inside a window that fits the screen: at 1024x768, or at a
  // scale factor of 2, the larger panels would otherwise put controls out of reach.
  auto* scroll = new QScrollArea(p->window);
  scroll->setObjectName(QStringLiteral("panelScroll"));
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  p->content = new QWidget;
  p->content->setFixedSize(width, height);
  scroll->setWidget(p->content);
  layout->addWidget(scroll);
  p->indicator = new QLabel(p->content);
  p->indicator->setObjectName(QStringLiteral("linkIndicator"));
  p->indicator->setAccessibleName(g_indicatorState);
  p->indicator->setGeometry(width - 22, height - 22, 18, 18);
  p->indicator->setScaledContents(true);
  if (g_indicatorShown) p->indicator->setPixmap(*g_indicator);
  p->indicator->setVisible(g_indicatorShown);
  Panel* raw = p.get();
  g_panels[raw->handle] = std::move(p);
  return raw;
}

void DiscardTree(int h) {
  std::vector<int> children;
  for (const auto& [ch, p] : g_panels)
    if (p->parent == h) children.push_back(ch);
  for (int ch : children) DiscardTree(ch);
  DiscardOne(h);
}

void DiscardAllAtExit() {
  std::vector<int> all;
  for (const auto& [h, p] : g_panels) all.push_back(h);
  for (int h : all) {
    auto it = g_panels.find(h);
    if (it == g_panels.end()) continue;
    std::unique_ptr<Panel> p = std::move(it->second);
    g_panels.erase(it);
    if (!p->window->parent()) delete p->window;
  }
  g_popups.clear();
}

}  // namespace ui::detail

namespace {
QString g_lastError;
}

namespace ui {
const char* LastLoadError() {
  static std::string text;
  text = g_lastError.toStdString();
  return text.c_str();
}
}  // namespace ui

int LoadPanel(int parent, const char* file, int resource) {
  if (!QApplication::instance()) return UI_ERR_NOT_INITIALIZED;
  if (!file || !*file) return UI_ERR_FILE_NOT_FOUND;
  QString path = QString::fromLocal8Bit(file);
  if (!path.contains(QLatin1Char('/')) && !path.contains(QLatin1Char('\\'))) {
    char dir[4096];
    if (GetProjectDir(dir, sizeof dir) == 0)
      path = QString::fromLocal8Bit(dir) + QLatin1Char(PathSeparator()) + path;
  }
  if (parent != 0 && !FindPanel(parent)) {
    g_lastError = QStringLiteral("parent panel %1 does not exist").arg(parent);
    return UI_ERR_BAD_PANEL;
  }
  PanelSpec layout;
  if (const int rc = LoadPanelSpec(path, resource, &layout, &g_lastError); rc < 0) return rc;
  // Every callback name must be known before anything is built.
  auto unknown = [&](const QString& name, const QString& where) {
    g_lastError = QStringLiteral("%1: panel %2: unknown callback \"%3\" on %4")
                      .arg(path)
                      .arg(resource)
                      .arg(name, where);
    return UI_ERR_UNKNOWN_CALLBACK;
  };
  if (!layout.callback.isEmpty() && !g_panelCallbacks.count(layout.callback))
    return unknown(layout.callback, QStringLiteral("the panel"));
  for (const auto& c : layout.controls)
    if (!c.callback.isEmpty() && !g_ctrlCallbacks.count(c.callback))
      return unknown(c.callback, QStringLiteral("control %1").arg(c.id));
  for (const auto& m : layout.menus)
    for (const auto& it : m.items)
      if (!it.callback.isEmpty() && !g_menuCallbacks.count(it.callback))
        return unknown(it.callback, QStringLiteral("menu item %1").arg(it.id));

  Panel* p = CreatePanel(parent, resource, layout.title, layout.width, layout.height);
  if (!layout.callback.isEmpty()) p->cb = g_panelCallbacks[layout.callback];
  p->defaultCtrl = layout.defaultCtrl;
  p->cancelCtrl = layout.cancelCtrl;
  p->escCloses = layout.escCloses;
  p->autoCenter = layout.center;
  p->titleText = layout.titleText;
  if (layout.indicator[2] > 0)
    p->indicator->setGeometry(layout.indicator[1], layout.indicator[0], layout.indicator[2],
                              layout.indicator[2]);
  if (!layout.menus.empty()) {
    auto* bar = new QMenuBar(p->window);
    bar->setNativeMenuBar(false);
    static_cast<QVBoxLayout*>(p->window->layout())->insertWidget(0, bar);
    const int h = p->handle;
    for (const auto& m : layout.menus) {
      QMenu* menu = bar->addMenu(m.label);
      if (m.text >= 0) p->menuTexts.emplace_back(menu->menuAction(), m.text);
      for (const auto& it : m.items) {
        QAction* a = menu->addAction(it.label);
        if (it.text >= 0) p->menuTexts.emplace_back(a, it.text);
        a->setObjectName(QStringLiteral("menu%1").arg(it.id));
        if (!it.callback.isEmpty()) p->menuCallbacks[it.id] = g_menuCallbacks[it.callback];
        const int item = it.id;
        QObject::connect(a, &QAction::triggered, a, [h, item] { DispatchMenu(h, item); });
      }
    }
  }
  for (const auto& cs : layout.controls) {
    Control* c = AddControl(p, cs);
    if (!cs.callback.isEmpty()) c->cb = g_ctrlCallbacks[cs.callback];
    c->text = cs.text;
  }
  ApplyTexts(p);
  p->indicator->raise();
  // Timers run from the moment the panel is loaded, shown or not.
  for (auto& [id, c] : p->controls) StartTimerIfEnabled(c.get());
  return p->handle;
}

int NewPanel(int parent, const char* title, int top, int left, int height, int width) {
  if (!QApplication::instance()) return UI_ERR_NOT_INITIALIZED;
  if (parent != 0 && !FindPanel(parent)) return UI_ERR_BAD_PANEL;
  if (height <= 0 || width <= 0) return UI_ERR_BAD_VALUE;
  Panel* p = CreatePanel(parent, 0, FromCp1252(title), width, height);
  if (top == kCentreOnScreen || left == kCentreOnScreen)
    p->autoCenter = true;
  else
    p->window->move(left, top);
  return p->handle;
}

int NewCtrl(int panel, int style, const char* label, int top, int left) {
  Panel* p = FindPanel(panel);
  if (!p) return UI_ERR_BAD_PANEL;
  ControlSpec s;
  switch (style) {
    case CTRL_STYLE_BUTTON: s.kind = Kind::Button; break;
    case CTRL_STYLE_LIST: s.kind = Kind::List; break;
    default: return UI_ERR_BAD_VALUE;
  }
  s.id = p->controls.empty() ? 2 : p->controls.rbegin()->first + 1;
  s.label = FromCp1252(label);
  s.top = top;
  s.left = left;
  AddControl(p, s);
  p->indicator->raise();
  return s.id;
}

int DisplayPanel(int panel) {
  Panel* p = FindPanel(panel);
  if (!p) return UI_ERR_BAD_PANEL;
  if (!p->sized) {
    FitToScreen(p);
    p->sized = true;
  }
  if (p->autoCenter) {
    if (QScreen* sc = QGuiApplication::primaryScreen()) {
      const QRect area = sc->availableGeometry();
      p->window->move(area.center() - QPoint(p->window->width() / 2, p->window->height() / 2));
    }
    p->autoCenter = false;
  }
  p->window->show();
  p->window->raise();
  p->window->activateWindow();
  PaintNow();
  // Start-up measurements (bench/) wait for this line: the panel is on screen now.
  static const bool report = qEnvironmentVariableIsSet("VELDIXMID_REPORT_SHOWN");
  if (report) {
    std::printf("shown %d %s\n", p->resource, qPrintable(p->window->windowTitle()));
    std::fflush(stdout);
  }
  return 0;
}

int HidePanel(int panel) {
  Panel* p = FindPanel(panel);
  if (!p) return UI_ERR_BAD_PANEL;
  p->window->hide();
  return 0;
}

int DiscardPanel(int panel) {
  if (!FindPanel(panel)) return UI_ERR_BAD_PANEL;
  DiscardTree(panel);
  return 0;
}

int SetPanelAttribute(int panel, int attribute, int value) {
  Panel* p = FindPanel(panel);
  if (!p) return UI_ERR_BAD_PANEL;
  switch (attribute) {
    case ATTR_DEFAULT_CTRL: p->defaultCtrl = value; return 0;
    case ATTR_CANCEL_CTRL: p->cancelCtrl = value; return 0;
    case ATTR_PANEL_FLAG_600:
    case ATTR_PANEL_FLAG_599:
    case ATTR_PANEL_FLAG_601:
      // Panels are fixed-size already; look attributes have no Qt counterpart.
      (void)value;
      return 0;
    default: return UI_ERR_BAD_ATTRIBUTE;
  }
}

int SetPanelAttribute(int panel, int attribute, const char* value) {
  Panel* p = FindPanel(panel);
  if (!p) return UI_ERR_BAD_PANEL;
  if (attribute != ATTR_TITLE || !value) return UI_ERR_BAD_ATTRIBUTE;
  const QString t = FromCp1252(value);
  p->window->setWindowTitle(t);
  p->window->setAccessibleName(t);
  return 0;
}

int GetPanelAttribute(int panel, int attribute, char* buffer, std::size_t size) {
  Panel* p = FindPanel(panel);
  if (!p) return UI_ERR_BAD_PANEL;
  if (attribute != ATTR_TITLE || !buffer || size == 0) return UI_ERR_BAD_ATTRIBUTE;
  const std::string t = ToCp1252(p->window->windowTitle());
  const std::size_t n = std::min(t.size(), size - 1);
  std::memcpy(buffer, t.data(), n);
  buffer[n] = '\0';
  return 0;
}

int SetPanelCallback(int panel, PanelCallbackPtr fn, void* callbackData) {
  Panel* p = FindPanel(panel);
  if (!p) return UI_ERR_BAD_PANEL;
  p->cb = fn;
  p->cbData = callbackData;
  return 0;
}

namespace ui {
int LivePanelCount() { return static_cast<int>(g_panels.size()); }

void* PanelWidget(int panel) {
  Panel* p = FindPanel(panel);
  return p ? p->window : nullptr;
}

void* CtrlWidget(int panel, int control) {
  Control* c = FindCtrl(panel, control);
  return c ? c->editor : nullptr;
}
}  // namespace ui

int SetTextSource(TextSourcePtr source) {
  g_textSource = source;
  return 0;
}

int RelabelPanels(void) {
  for (const auto& [h, p] : g_panels) ApplyTexts(p.get());
  return 0;
}
