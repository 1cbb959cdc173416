// Private to the user-interface runtime's own files (ui_panels.cpp, ui_controls.cpp,
// ui_loop.cpp): the panels and controls behind the handles, and the runtime's state.
#pragma once

#include <QCloseEvent>
#include <QLabel>
#include <QPixmap>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "ui.h"
#include "ui_internal.h"

class QApplication;
class QEventLoop;

namespace ui::detail {

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
  // A double box shows its value rounded to its precision but keeps the value set from code,
  // so that reading it back gives that value, until the operator enters another.
  double exact = 0;
  bool exactHeld = false;
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

inline std::map<int, std::unique_ptr<Panel>> g_panels;
inline int g_nextHandle = 1;
struct Loop {
  QEventLoop* loop;
  int value;
};
inline std::vector<Loop> g_loops;
inline std::vector<int> g_popups;
inline std::map<QString, CtrlCallbackPtr> g_ctrlCallbacks;
inline std::map<QString, PanelCallbackPtr> g_panelCallbacks;
inline std::map<QString, MenuCallbackPtr> g_menuCallbacks;
inline int g_suspend = 0;  // > 0 while PaintNow pumps paint events: no callback may run then
inline QPixmap* g_indicator = nullptr;  // created once the application object exists
inline bool g_indicatorShown = false;
inline QApplication* g_ownApp = nullptr;

// ---- ui_panels.cpp
Panel* FindPanel(int h);
Control* FindCtrl(int h, int id, int* err = nullptr);
Panel* CreatePanel(int parent, int resource, const QString& title, int width, int height);
void DiscardTree(int h);
void DiscardAllAtExit();

// ---- ui_controls.cpp
Control* AddControl(Panel* p, const ControlSpec& s);
void StartTimerIfEnabled(Control* c);

// ---- ui_loop.cpp: callbacks of controls, panels and timers, held back while painting
void DispatchCtrl(int h, int id, int event);
void DispatchPanel(int h, int event);
void DispatchTimer(int h, int id);

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

}  // namespace ui::detail
