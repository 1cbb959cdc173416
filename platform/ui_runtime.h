// Private to the user-interface runtime's own files (ui_panels.cpp, ui_controls.cpp,
// ui_loop.cpp): the panels and controls behind the handles, and the runtime's state.
#pragma once

#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPixmap>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "platform/ui.h"
#include "platform/ui_internal.h"

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
  std::vector<int> itemTexts;                  // text numbers of the file's ring entries
  double min = 0, max = 0;                     // numeric: the range the operator may enter
  bool settingValue = false;                   // guards programmatic changes from commits
  int text = -1;                               // text source number of the label, -1 none
  // A double box shows its value rounded to its precision but keeps the value set from code,
  // so that reading it back gives that value, until the operator enters another.
  double exact = 0;
  bool exactHeld = false;
};

class PanelWindow;
inline constexpr const char* kPanelRoleProperty = "veldixPanelRole";

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
  bool sized = false;  // fitted to the screen at its first display
  int titleText = -1;  // text source number of the title, -1 none
  std::vector<std::pair<class QAction*, int>> menuTexts;  // menu entries and their numbers
  int defaultCtrl = 0;                                    // pressed by Enter
  int cancelCtrl = 0;                                     // pressed by Esc
  bool escCloses = false;
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
inline int g_suspend = 0;  // > 0 while PaintNow or KeepAlive pump events: callbacks are held
inline std::vector<std::function<void()>> g_held;  // callbacks held back by g_suspend, in order
inline bool g_busyCursor = false;                  // KeepAlive put up the busy cursor
inline bool g_busyEndPosted = false;
inline QPixmap* g_indicator = nullptr;  // created once the application object exists
inline bool g_indicatorShown = false;
inline QString g_indicatorState = QStringLiteral("link status");  // its accessible name
inline QApplication* g_ownApp = nullptr;
inline TextSourcePtr g_textSource = nullptr;

// ---- ui_panels.cpp
Panel* FindPanel(int h);
Control* FindCtrl(int h, int id, int* err = nullptr);
Panel* CreatePanel(int parent, int resource, const QString& title, int width, int height);
void DiscardTree(int h);
void DiscardAllAtExit();

// ---- ui_controls.cpp
Control* AddControl(Panel* p, const ControlSpec& s);
void StartTimerIfEnabled(Control* c);
// Puts the text source's texts on the panel; a number without a text keeps what is there.
void ApplyTexts(Panel* p);

// ---- ui_loop.cpp: callbacks of controls, panels and timers, held back while painting
void DispatchCtrl(int h, int id, int event);
void DispatchPanel(int h, int event);
void DispatchTimer(int h, int id);
void DispatchMenu(int h, int item);
// Posts what g_suspend held back for a later loop turn, and the end of the busy cursor.
void ReleaseHeld();
void EndBusyCursor();

class PanelWindow : public QWidget {
 public:
  PanelWindow(int handle, QWidget* parent) : QWidget(parent, Qt::Window), handle_(handle) {}

 protected:
  void closeEvent(QCloseEvent* e) override {
    // The close box only asks: the panel's callback decides what happens.
    e->ignore();
    DispatchPanel(handle_, EVENT_CLOSE);
  }
  void keyPressEvent(QKeyEvent* e) override;
  bool event(QEvent* e) override {
    if (e->type() == QEvent::WindowActivate) DispatchPanel(handle_, EVENT_GOT_FOCUS);
    if (e->type() == QEvent::WindowDeactivate) DispatchPanel(handle_, EVENT_LOST_FOCUS);
    return QWidget::event(e);
  }

 private:
  int handle_;
};

}  // namespace ui::detail
