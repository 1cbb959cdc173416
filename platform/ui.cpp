// User-interface runtime on Qt 6 Widgets: panel and control handles, attributes, callbacks,
// popups, nested event loops and timers.
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
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
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

#include "ui.h"
#include "ui_internal.h"

using namespace ui::detail;

namespace {

struct Control {
  int id = 0;
  Kind kind = Kind::Numeric;
  QWidget* editor = nullptr;  // owned by the panel's content widget
  QLabel* label = nullptr;
  QTimer* timer = nullptr;
  QString labelText;
  CtrlCallbackPtr cb = nullptr;
  void* cbData = nullptr;
  bool isDouble = false;
  double interval = 1.0;
  bool timerEnabled = false;
  bool tickPending = false;
  std::vector<std::pair<QString, int>> items;  // ring and list entries
  bool settingValue = false;                   // guards programmatic changes from commits
};

class PanelWindow;

struct Panel {
  int handle = 0;
  int resource = 0;
  int parent = 0;
  PanelWindow* window = nullptr;
  QWidget* content = nullptr;
  QLabel* indicator = nullptr;
  std::map<int, std::unique_ptr<Control>> controls;
  std::map<int, MenuCallbackPtr> menuCallbacks;
  PanelCallbackPtr cb = nullptr;
  void* cbData = nullptr;
  bool autoCenter = false;
};

std::map<int, std::unique_ptr<Panel>> g_panels;
int g_nextHandle = 1;
struct Loop {
  QEventLoop* loop;
  int value;
};
std::vector<Loop> g_loops;
std::vector<int> g_popups;
std::map<QString, CtrlCallbackPtr> g_ctrlCallbacks;
std::map<QString, PanelCallbackPtr> g_panelCallbacks;
std::map<QString, MenuCallbackPtr> g_menuCallbacks;
int g_suspend = 0;  // > 0 while PaintNow pumps paint events: no callback may run then
QPixmap* g_indicator = nullptr;  // created once the application object exists
bool g_indicatorShown = false;
QApplication* g_ownApp = nullptr;

Panel* FindPanel(int h) {
  auto it = g_panels.find(h);
  return it == g_panels.end() ? nullptr : it->second.get();
}

Control* FindCtrl(int h, int id, int* err = nullptr) {
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

void DispatchCtrl(int h, int id, int event) {
  if (g_suspend) return;
  Control* c = FindCtrl(h, id);
  if (c && c->cb) c->cb(h, id, event, c->cbData, 0, 0);
}

void DispatchPanel(int h, int event) {
  Panel* p = FindPanel(h);
  if (p && p->cb) p->cb(h, event, p->cbData, 0, 0);
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

class PanelWindow : public QWidget {
 public:
  PanelWindow(int handle, QWidget* parent) : QWidget(parent, Qt::Window), handle_(handle) {}

 protected:
  void closeEvent(QCloseEvent* e) override {
    // The close box only asks: the panel's callback decides what happens.
    e->ignore();
    if (!g_suspend) DispatchPanel(handle_, EVENT_CLOSE);
  }
  bool event(QEvent* e) override {
    if (!g_suspend) {
      if (e->type() == QEvent::WindowActivate) DispatchPanel(handle_, EVENT_GOT_FOCUS);
      if (e->type() == QEvent::WindowDeactivate) DispatchPanel(handle_, EVENT_LOST_FOCUS);
    }
    return QWidget::event(e);
  }

 private:
  int handle_;
};

QWidget* ParentWindow(int parent) {
  Panel* pp = FindPanel(parent);
  return pp ? pp->window : nullptr;
}

Panel* CreatePanel(int parent, int resource, const QString& title, int width, int height) {
  auto p = std::make_unique<Panel>();
  p->handle = g_nextHandle++;
  p->resource = resource;
  p->parent = parent;
  p->window = new PanelWindow(p->handle, ParentWindow(parent));
  p->window->setAttribute(Qt::WA_QuitOnClose, false);
  p->window->setWindowTitle(title);
  p->window->setAccessibleName(title);
  auto* layout = new QVBoxLayout(p->window);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  p->content = new QWidget(p->window);
  p->content->setFixedSize(width, height);
  layout->addWidget(p->content);
  p->indicator = new QLabel(p->content);
  p->indicator->setObjectName(QStringLiteral("linkIndicator"));
  p->indicator->setAccessibleName(QStringLiteral("link status"));
  p->indicator->setGeometry(width - 22, height - 22, 18, 18);
  p->indicator->setScaledContents(true);
  if (g_indicatorShown) p->indicator->setPixmap(*g_indicator);
  p->indicator->setVisible(g_indicatorShown);
  Panel* raw = p.get();
  g_panels[raw->handle] = std::move(p);
  return raw;
}

void ApplyAccessible(Panel* p, Control* c) {
  if (!c->editor) return;
  c->editor->setAccessibleName(c->labelText);
  c->editor->setAccessibleDescription(QStringLiteral("%1:%2").arg(p->resource).arg(c->id));
}

// Places the label above the editor (buttons and check boxes carry their own text).
void PlaceLabel(Panel* p, Control* c) {
  const bool ownText = c->kind == Kind::Button || c->kind == Kind::CheckBox;
  if (ownText || c->kind == Kind::Timer) return;
  if (c->labelText.isEmpty()) {
    if (c->label) c->label->hide();
    return;
  }
  if (!c->label) c->label = new QLabel(p->content);
  c->label->setText(c->labelText);
  c->label->adjustSize();
  const QRect g = c->editor->geometry();
  c->label->move(g.left(), std::max(0, g.top() - c->label->height() - 2));
  c->label->setVisible(c->editor->isVisibleTo(p->content));
}

// A button text too wide for its button is broken in two lines at the space nearest the
// middle; the label as given stays the accessible name.
QString FitButtonText(const QPushButton* b, const QString& text) {
  if (text.contains(QLatin1Char('\n')) ||
      b->fontMetrics().horizontalAdvance(text) <= b->width() - 12)
    return text;
  int best = -1;
  for (int i = 0; i < text.size(); ++i)
    if (text[i] == QLatin1Char(' ') &&
        (best < 0 || std::abs(i - text.size() / 2) < std::abs(best - text.size() / 2)))
      best = i;
  if (best < 0) return text;
  QString out = text;
  out[best] = QLatin1Char('\n');
  return out;
}

void SetLabel(Panel* p, Control* c, const QString& text) {
  c->labelText = text;
  if (auto* b = qobject_cast<QPushButton*>(c->editor)) b->setText(FitButtonText(b, text));
  if (c->kind == Kind::CheckBox) static_cast<QCheckBox*>(c->editor)->setText(text);
  PlaceLabel(p, c);
  ApplyAccessible(p, c);
}

int SelectItemByValue(Control* c, int value) {
  for (std::size_t i = 0; i < c->items.size(); ++i) {
    if (c->items[i].second != value) continue;
    c->settingValue = true;
    if (auto* cb = qobject_cast<QComboBox*>(c->editor)) cb->setCurrentIndex(static_cast<int>(i));
    if (auto* lw = qobject_cast<QListWidget*>(c->editor)) lw->setCurrentRow(static_cast<int>(i));
    c->settingValue = false;
    return 0;
  }
  return UI_ERR_BAD_VALUE;
}

int SelectedItem(Control* c) {
  if (auto* cb = qobject_cast<QComboBox*>(c->editor)) return cb->currentIndex();
  if (auto* lw = qobject_cast<QListWidget*>(c->editor)) return lw->currentRow();
  return -1;
}

Control* AddControl(Panel* p, const ControlSpec& s) {
  auto c = std::make_unique<Control>();
  c->id = s.id;
  c->kind = s.kind;
  c->isDouble = s.isDouble;
  c->items = s.items;
  const int h = p->handle, id = s.id;
  QWidget* e = nullptr;
  QSize size(100, 24);
  switch (s.kind) {
    case Kind::Numeric: {
      if (s.isDouble) {
        auto* sb = new QDoubleSpinBox(p->content);
        sb->setDecimals(s.precision);
        sb->setRange(s.min, s.max);
        sb->setValue(s.value.toDouble(0.0));
        if (!s.unit.isEmpty()) sb->setSuffix(QLatin1Char(' ') + s.unit);
        QObject::connect(sb, &QDoubleSpinBox::valueChanged, sb, [h, id](double) {
          Control* ctl = FindCtrl(h, id);
          if (ctl && !ctl->settingValue) DispatchCtrl(h, id, EVENT_COMMIT);
        });
        e = sb;
      } else {
        auto* sb = new QSpinBox(p->content);
        sb->setRange(static_cast<int>(std::max(s.min, -2147483648.0)),
                     static_cast<int>(std::min(s.max, 2147483647.0)));
        sb->setValue(s.value.toInt(0));
        if (!s.unit.isEmpty()) sb->setSuffix(QLatin1Char(' ') + s.unit);
        QObject::connect(sb, &QSpinBox::valueChanged, sb, [h, id](int) {
          Control* ctl = FindCtrl(h, id);
          if (ctl && !ctl->settingValue) DispatchCtrl(h, id, EVENT_COMMIT);
        });
        e = sb;
      }
      auto* asb = static_cast<QAbstractSpinBox*>(e);
      asb->setKeyboardTracking(false);  // commit on Enter, focus change or arrow, not per key
      asb->setAlignment(Qt::AlignRight);
      if (s.readOnly) {
        asb->setReadOnly(true);
        asb->setButtonSymbols(QAbstractSpinBox::NoButtons);
        asb->setFocusPolicy(Qt::NoFocus);
      }
      break;
    }
    case Kind::String: {
      auto* le = new QLineEdit(p->content);
      le->setMaxLength(s.maxLength);
      le->setText(s.value.toString());
      le->setReadOnly(s.readOnly);
      QObject::connect(le, &QLineEdit::editingFinished, le, [le, h, id] {
        if (!le->isModified()) return;
        le->setModified(false);
        DispatchCtrl(h, id, EVENT_COMMIT);
      });
      e = le;
      size = QSize(140, 24);
      break;
    }
    case Kind::TextMsg: {
      auto* lb = new QLabel(s.value.toString(), p->content);
      lb->setWordWrap(true);
      e = lb;
      size = QSize(200, 20);
      break;
    }
    case Kind::Ring: {
      auto* cb = new QComboBox(p->content);
      for (const auto& it : s.items) cb->addItem(it.first, it.second);
      QObject::connect(cb, &QComboBox::activated, cb,
                       [h, id](int) { DispatchCtrl(h, id, EVENT_COMMIT); });
      e = cb;
      size = QSize(120, 24);
      break;
    }
    case Kind::Switch:
    case Kind::CheckBox: {
      auto* ck = new QCheckBox(p->content);
      ck->setChecked(s.value.toInt(0) != 0);
      // toggled, not clicked: assistive technology toggles the box without a click.
      QObject::connect(ck, &QCheckBox::toggled, ck, [h, id](bool) {
        Control* ctl = FindCtrl(h, id);
        if (ctl && !ctl->settingValue) DispatchCtrl(h, id, EVENT_COMMIT);
      });
      e = ck;
      size = s.kind == Kind::Switch ? QSize(24, 24) : QSize(0, 22);
      break;
    }
    case Kind::Button: {
      auto* pb = new QPushButton(p->content);
      pb->setAutoDefault(false);
      QObject::connect(pb, &QPushButton::clicked, pb,
                       [h, id](bool) { DispatchCtrl(h, id, EVENT_COMMIT); });
      e = pb;
      size = QSize(0, 28);
      break;
    }
    case Kind::Timer: {
      c->timer = new QTimer(p->content);
      c->timer->setTimerType(Qt::PreciseTimer);
      c->interval = s.interval;
      c->timer->setInterval(static_cast<int>(std::lround(s.interval * 1000.0)));
      QObject::connect(c->timer, &QTimer::timeout, c->timer, [h, id] { DispatchTimer(h, id); });
      c->timerEnabled = s.enabled;
      break;
    }
    case Kind::List: {
      auto* lw = new QListWidget(p->content);
      for (const auto& it : s.items) lw->addItem(it.first);
      if (!s.items.empty()) lw->setCurrentRow(0);
      QObject::connect(lw, &QListWidget::itemActivated, lw,
                       [h, id](QListWidgetItem*) { DispatchCtrl(h, id, EVENT_COMMIT); });
      e = lw;
      size = QSize(150, 60);
      break;
    }
  }
  c->editor = e;
  Control* raw = c.get();
  p->controls[s.id] = std::move(c);
  if (e) {
    e->setObjectName(QStringLiteral("ctrl%1").arg(s.id));
    if (size.width() == 0) size.setWidth(std::max(e->sizeHint().width(), 90));
    if (s.width > 0) size.setWidth(s.width);
    if (s.height > 0) size.setHeight(s.height);
    e->setGeometry(s.left, s.top, size.width(), size.height());
    e->setEnabled(!s.dimmed);
    e->setVisible(s.visible);
    if (s.kind == Kind::Ring && !s.value.isUndefined()) SelectItemByValue(raw, s.value.toInt());
    if (s.kind == Kind::Button && s.width == 0) {
      auto* ab = static_cast<QAbstractButton*>(e);
      ab->setText(s.label);
      e->resize(std::max(ab->sizeHint().width() + 16, 90), e->height());
    }
  }
  SetLabel(p, raw, s.label);
  return raw;
}

void StartTimerIfEnabled(Control* c) {
  if (c->timer && c->timerEnabled && !c->timer->isActive()) c->timer->start();
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

}  // namespace

// ---------------------------------------------------------------- runtime and callbacks

namespace {
// Qt would abort the process when it cannot reach a display; find out first.
bool DisplayReachable() {
  const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
  if (!platform.isEmpty() && !platform.startsWith("xcb") && !platform.startsWith("wayland"))
    return true;  // offscreen, vnc, minimal, ... need no display server
  return !qgetenv("DISPLAY").isEmpty() || !qgetenv("WAYLAND_DISPLAY").isEmpty();
}
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
  QApplication::setQuitOnLastWindowClosed(false);
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

// ---------------------------------------------------------------- panels

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
  if (!layout.menus.empty()) {
    auto* bar = new QMenuBar(p->window);
    bar->setNativeMenuBar(false);
    static_cast<QVBoxLayout*>(p->window->layout())->insertWidget(0, bar);
    const int h = p->handle;
    for (const auto& m : layout.menus) {
      QMenu* menu = bar->addMenu(m.label);
      for (const auto& it : m.items) {
        QAction* a = menu->addAction(it.label);
        a->setObjectName(QStringLiteral("menu%1").arg(it.id));
        if (!it.callback.isEmpty()) p->menuCallbacks[it.id] = g_menuCallbacks[it.callback];
        const int item = it.id;
        QObject::connect(a, &QAction::triggered, a, [h, item] {
          if (g_suspend) return;
          Panel* pp = FindPanel(h);
          if (!pp) return;
          auto mc = pp->menuCallbacks.find(item);
          if (mc != pp->menuCallbacks.end() && mc->second) mc->second(h, item, nullptr, h);
        });
      }
    }
  }
  for (const auto& cs : layout.controls) {
    Control* c = AddControl(p, cs);
    if (!cs.callback.isEmpty()) c->cb = g_ctrlCallbacks[cs.callback];
  }
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
  if (p->autoCenter) {
    p->window->adjustSize();
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
    case ATTR_PANEL_FLAG_600:
    case ATTR_PANEL_FLAG_599:
    case ATTR_PANEL_FLAG_601:
      // Panels are fixed-size already; look attributes have no Qt counterpart.
      (void)value;
      return 0;
    default:
      return UI_ERR_BAD_ATTRIBUTE;
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

// ---------------------------------------------------------------- control attributes

namespace {

int SetValueNumber(Control* c, double v) {
  c->settingValue = true;
  int rc = 0;
  if (auto* d = qobject_cast<QDoubleSpinBox*>(c->editor)) {
    d->setValue(v);  // coerced into the control's range, as an operator entry would be
  } else if (auto* s = qobject_cast<QSpinBox*>(c->editor)) {
    s->setValue(static_cast<int>(std::clamp(std::round(v), -2147483648.0, 2147483647.0)));
  } else if (auto* ck = qobject_cast<QCheckBox*>(c->editor)) {
    ck->setChecked(v != 0);
  } else if (c->kind == Kind::Ring || c->kind == Kind::List) {
    c->settingValue = false;
    return SelectItemByValue(c, static_cast<int>(v));
  } else {
    rc = UI_ERR_BAD_ATTRIBUTE;
  }
  c->settingValue = false;
  return rc;
}

int GetValueNumber(Control* c, double* v) {
  if (auto* d = qobject_cast<QDoubleSpinBox*>(c->editor)) {
    *v = d->value();
  } else if (auto* s = qobject_cast<QSpinBox*>(c->editor)) {
    *v = s->value();
  } else if (auto* ck = qobject_cast<QCheckBox*>(c->editor)) {
    *v = ck->isChecked() ? 1 : 0;
  } else if (c->kind == Kind::Ring || c->kind == Kind::List) {
    const int i = SelectedItem(c);
    if (i < 0 || i >= static_cast<int>(c->items.size())) return UI_ERR_BAD_INDEX;
    *v = c->items[static_cast<std::size_t>(i)].second;
  } else {
    return UI_ERR_BAD_ATTRIBUTE;
  }
  return 0;
}

int SetDimmed(Control* c, int v) {
  if (c->editor) c->editor->setEnabled(v == 0);
  if (c->label) c->label->setEnabled(v == 0);
  return 0;
}

int SetNumberAttr(int panel, int control, int attribute, double value) {
  int err = 0;
  Control* c = FindCtrl(panel, control, &err);
  if (!c) return err;
  switch (attribute) {
    case ATTR_VALUE:
      return SetValueNumber(c, value);
    case ATTR_DIMMED:
      return SetDimmed(c, static_cast<int>(value));
    case ATTR_INTERVAL:
      if (!c->timer || !(value > 0) || value > 2147483.0) return c->timer ? UI_ERR_BAD_VALUE : UI_ERR_BAD_ATTRIBUTE;
      c->interval = value;
      c->timer->setInterval(static_cast<int>(std::lround(value * 1000.0)));
      return 0;
    case ATTR_ENABLED:
      if (!c->timer) return UI_ERR_BAD_ATTRIBUTE;
      c->timerEnabled = value != 0;
      if (c->timerEnabled)
        StartTimerIfEnabled(c);
      else
        c->timer->stop();
      return 0;
    case ATTR_WIDTH:
      if (!c->editor || value < 1) return UI_ERR_BAD_VALUE;
      c->editor->resize(static_cast<int>(value), c->editor->height());
      return 0;
    case ATTR_LIST_FLAG_700:
      return c->kind == Kind::List ? 0 : UI_ERR_BAD_ATTRIBUTE;
    default:
      return UI_ERR_BAD_ATTRIBUTE;
  }
}

}  // namespace

int SetCtrlAttribute(int panel, int control, int attribute, int value) {
  return SetNumberAttr(panel, control, attribute, value);
}

int SetCtrlAttribute(int panel, int control, int attribute, double value) {
  return SetNumberAttr(panel, control, attribute, value);
}

int SetCtrlAttribute(int panel, int control, int attribute, const char* value) {
  int err = 0;
  Control* c = FindCtrl(panel, control, &err);
  if (!c) return err;
  if (!value) return UI_ERR_BAD_VALUE;
  const QString text = FromCp1252(value);
  if (attribute == ATTR_LABEL) {
    SetLabel(FindPanel(panel), c, text);
    return 0;
  }
  if (attribute != ATTR_VALUE) return UI_ERR_BAD_ATTRIBUTE;
  if (auto* le = qobject_cast<QLineEdit*>(c->editor)) {
    le->setText(text);  // QLineEdit keeps at most its maximum length
    le->setModified(false);
    return 0;
  }
  if (c->kind == Kind::TextMsg) {
    static_cast<QLabel*>(c->editor)->setText(text);
    return 0;
  }
  return UI_ERR_BAD_ATTRIBUTE;
}

int SetCtrlAttribute(int panel, int control, int attribute, CtrlCallbackPtr value) {
  int err = 0;
  Control* c = FindCtrl(panel, control, &err);
  if (!c) return err;
  if (attribute != ATTR_CALLBACK) return UI_ERR_BAD_ATTRIBUTE;
  c->cb = value;
  return 0;
}

int SetCtrlCallbackData(int panel, int control, void* callbackData) {
  int err = 0;
  Control* c = FindCtrl(panel, control, &err);
  if (!c) return err;
  c->cbData = callbackData;
  return 0;
}

int GetCtrlAttribute(int panel, int control, int attribute, double* value) {
  int err = 0;
  Control* c = FindCtrl(panel, control, &err);
  if (!c) return err;
  if (!value) return UI_ERR_BAD_VALUE;
  switch (attribute) {
    case ATTR_VALUE:
      return GetValueNumber(c, value);
    case ATTR_DIMMED:
      *value = c->editor && !c->editor->isEnabled() ? 1 : 0;
      return 0;
    case ATTR_INTERVAL:
      if (!c->timer) return UI_ERR_BAD_ATTRIBUTE;
      *value = c->interval;
      return 0;
    case ATTR_ENABLED:
      if (!c->timer) return UI_ERR_BAD_ATTRIBUTE;
      *value = c->timerEnabled ? 1 : 0;
      return 0;
    case ATTR_WIDTH:
      if (!c->editor) return UI_ERR_BAD_ATTRIBUTE;
      *value = c->editor->width();
      return 0;
    default:
      return UI_ERR_BAD_ATTRIBUTE;
  }
}

int GetCtrlAttribute(int panel, int control, int attribute, int* value) {
  if (!value) return UI_ERR_BAD_VALUE;
  double d = 0;
  const int rc = GetCtrlAttribute(panel, control, attribute, &d);
  if (rc < 0) return rc;
  *value = static_cast<int>(std::clamp(std::round(d), -2147483648.0, 2147483647.0));
  return 0;
}

int GetCtrlAttribute(int panel, int control, int attribute, char* buffer, std::size_t size) {
  int err = 0;
  Control* c = FindCtrl(panel, control, &err);
  if (!c) return err;
  if (!buffer || size == 0) return UI_ERR_BAD_VALUE;
  QString text;
  if (attribute == ATTR_LABEL) {
    text = c->labelText;
  } else if (attribute == ATTR_VALUE) {
    if (auto* le = qobject_cast<QLineEdit*>(c->editor))
      text = le->text();
    else if (c->kind == Kind::TextMsg)
      text = static_cast<QLabel*>(c->editor)->text();
    else
      return UI_ERR_BAD_ATTRIBUTE;
  } else {
    return UI_ERR_BAD_ATTRIBUTE;
  }
  const std::string t = ToCp1252(text);
  const std::size_t n = std::min(t.size(), size - 1);
  std::memcpy(buffer, t.data(), n);
  buffer[n] = '\0';
  return 0;
}

int SetCtrlVal(int panel, int control, int value) {
  return SetCtrlAttribute(panel, control, ATTR_VALUE, value);
}
int SetCtrlVal(int panel, int control, double value) {
  return SetCtrlAttribute(panel, control, ATTR_VALUE, value);
}
int SetCtrlVal(int panel, int control, const char* value) {
  return SetCtrlAttribute(panel, control, ATTR_VALUE, value);
}
int GetCtrlVal(int panel, int control, int* value) {
  return GetCtrlAttribute(panel, control, ATTR_VALUE, value);
}
int GetCtrlVal(int panel, int control, double* value) {
  return GetCtrlAttribute(panel, control, ATTR_VALUE, value);
}
int GetCtrlVal(int panel, int control, char* buffer, std::size_t size) {
  return GetCtrlAttribute(panel, control, ATTR_VALUE, buffer, size);
}

int InsertListItem(int panel, int control, int index, const char* label, int value) {
  int err = 0;
  Control* c = FindCtrl(panel, control, &err);
  if (!c) return err;
  if (c->kind != Kind::Ring && c->kind != Kind::List) return UI_ERR_BAD_ATTRIBUTE;
  const int n = static_cast<int>(c->items.size());
  if (index < -1 || index > n) return UI_ERR_BAD_INDEX;
  const int at = index == -1 ? n : index;
  const QString text = FromCp1252(label);
  c->items.insert(c->items.begin() + at, {text, value});
  // The selection is an index: it stays where it was (the first entry when there was none).
  const int selected = std::max(SelectedItem(c), 0);
  c->settingValue = true;
  if (auto* cb = qobject_cast<QComboBox*>(c->editor)) {
    cb->insertItem(at, text, value);
    cb->setCurrentIndex(selected);
  }
  if (auto* lw = qobject_cast<QListWidget*>(c->editor)) {
    lw->insertItem(at, text);
    lw->setCurrentRow(selected);
  }
  c->settingValue = false;
  return 0;
}

int GetNumListItems(int panel, int control, int* count) {
  int err = 0;
  Control* c = FindCtrl(panel, control, &err);
  if (!c) return err;
  if (!count) return UI_ERR_BAD_VALUE;
  *count = static_cast<int>(c->items.size());
  return 0;
}

int ClearListCtrl(int panel, int control) {
  int err = 0;
  Control* c = FindCtrl(panel, control, &err);
  if (!c) return err;
  c->items.clear();
  if (auto* cb = qobject_cast<QComboBox*>(c->editor)) cb->clear();
  if (auto* lw = qobject_cast<QListWidget*>(c->editor)) lw->clear();
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
  QMessageBox box(QMessageBox::NoIcon, FromCp1252(title), FromCp1252(message), QMessageBox::Ok,
                  parent);
  box.setAccessibleName(FromCp1252(title));
  box.exec();
  return 1;
}

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
    while (QApplication::overrideCursor()) QApplication::restoreOverrideCursor();
  } else {
    QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
  }
  return 0;
}

// ---------------------------------------------------------------- internals

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
  if (g_suspend == 0) {
    // Ticks that fell due while painting are delivered on the next loop turn.
    for (const auto& [h, p] : g_panels)
      for (const auto& [id, c] : p->controls)
        if (c->tickPending) {
          const int ph = h, cid = id;
          QTimer::singleShot(0, QCoreApplication::instance(), [ph, cid] { DispatchTimer(ph, cid); });
        }
  }
}

void SetPanelIndicator(const QPixmap* pixmap) {
  g_indicatorShown = pixmap && !pixmap->isNull();
  if (g_indicatorShown) {
    if (!g_indicator) g_indicator = new QPixmap;
    *g_indicator = *pixmap;
  }
  for (const auto& [h, p] : g_panels) {
    p->indicator->setVisible(g_indicatorShown);
    if (!g_indicatorShown) continue;
    p->indicator->setPixmap(*g_indicator);
    // Painted now: the caller is about to block the thread.
    if (p->window->isVisible()) p->indicator->repaint();
  }
}

}  // namespace ui::detail
