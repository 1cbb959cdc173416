// User-interface runtime on real Qt widgets (offscreen): loading, values, callbacks, timers,
// popups, loops.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/testing/ui_testing.h"
#include "platform/ui.h"

namespace fs = std::filesystem;

namespace {

struct Event {
  int panel, control, event;
  bool operator==(const Event&) const = default;
};
std::vector<Event> g_events;

const char* kUir = R"({
  "panels": [
    { "resource": 1, "title": "Every kind", "width": 400, "height": 300, "callback": "RecordPanel",
      "default": 7, "cancel": 9,
      "controls": [
        { "id": 2, "kind": "numeric", "label": "Count", "value": 5, "min": 0, "max": 100, "callback": "RecordCtrl" },
        { "id": 3, "kind": "numeric", "type": "double", "precision": 3, "label": "Volts", "value": 1.5, "readonly": true },
        { "id": 4, "kind": "string", "label": "Host", "maxlength": 15, "value": "127.0.0.1", "callback": "RecordCtrl" },
        { "id": 5, "kind": "textmsg", "value": "hello" },
        { "id": 6, "kind": "ring", "label": "Mode", "items": [["8N1", 0], ["8O1", 1], ["8E1", 2], ["8N2", 3]], "value": 2, "callback": "RecordCtrl" },
        { "id": 7, "kind": "switch", "label": "Connect", "callback": "RecordCtrl" },
        { "id": 9, "kind": "button", "label": "Send", "callback": "RecordCtrl", "dimmed": true },
        { "id": 10, "kind": "timer", "interval": 0.5, "enabled": false, "callback": "RecordCtrl" },
        { "id": 11, "kind": "list", "items": [["one", 10], ["two", 20]] }
      ] },
    { "resource": 2, "title": "Child", "width": 100, "height": 50, "cancel": "close", "callback": "RecordPanel" }
  ] })";

class Ui : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(InitUIRuntime(nullptr, nullptr, nullptr), 1);
    RegisterCtrlCallback("RecordCtrl", [](int panel, int control, int event, void*, int, int) {
      g_events.push_back({panel, control, event});
      return 0;
    });
    RegisterPanelCallback("RecordPanel", [](int panel, int event, void*, int, int) {
      g_events.push_back({panel, 0, event});
      return 0;
    });
  }
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("veldix-ui-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    Write("test.uir", kUir);
    ui::SetProjectDirOverride(dir_.c_str());
    g_events.clear();
  }
  void TearDown() override {
    for (int p : panels_) DiscardPanel(p);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ui::SetProjectDirOverride(nullptr);
    fs::remove_all(dir_);
  }
  void Write(const char* name, const std::string& text) {
    std::ofstream(dir_ / name, std::ios::binary) << text;
  }
  int Load(int resource, int parent = 0) {
    const int h = LoadPanel(parent, "test.uir", resource);
    if (h > 0) panels_.push_back(h);
    return h;
  }
  template <typename W = QWidget>
  static W* Widget(int panel, int control) {
    return static_cast<W*>(static_cast<QWidget*>(ui::CtrlWidget(panel, control)));
  }
  static QWidget* Window(int panel) { return static_cast<QWidget*>(ui::PanelWidget(panel)); }
  fs::path dir_;
  std::vector<int> panels_;
};

TEST_F(Ui, ValuesAndLabels) {
  const int p = Load(1);
  ASSERT_GT(p, 0);
  // Numbers outside the range are shown as set (a value read from the meter is shown as read);
  // the list's first entry starts selected and answers with its value, not its position.
  struct NumCase {
    int control;
    double set, expect;
  } nums[] = {{11, NAN, 10}, {11, 20, 20}, {2, 1000, 1000}, {3, 232.715, 232.715}, {6, 3, 3}};
  double d = 0;
  for (const auto& c : nums) {
    EXPECT_EQ(std::isnan(c.set) ? 0 : SetCtrlVal(p, c.control, c.set), 0) << c.control;
    ASSERT_EQ(GetCtrlVal(p, c.control, &d), 0);
    EXPECT_DOUBLE_EQ(d, c.expect) << "control " << c.control << " set " << c.set;
  }
  int i = 0;
  EXPECT_EQ(SetCtrlVal(p, 6, 9), UI_ERR_BAD_VALUE) << "no ring entry has value 9";
  EXPECT_EQ(GetCtrlVal(p, 6, &i), 0);
  EXPECT_EQ(i, 3) << "a refused value leaves the selection";
  EXPECT_EQ(SetCtrlVal(p, 2, "x"), UI_ERR_BAD_ATTRIBUTE);
  EXPECT_EQ(GetCtrlVal(p, 9, &i), UI_ERR_BAD_ATTRIBUTE);
  EXPECT_EQ(SetCtrlVal(p, 99, 1), UI_ERR_BAD_CONTROL);
  EXPECT_EQ(SetCtrlVal(p + 1000, 2, 1), UI_ERR_BAD_PANEL);

  // The string control keeps at most its maximum length; a short buffer is cut and terminated.
  auto text = [p](int control, std::size_t size = 64) {
    char buf[64];
    return GetCtrlVal(p, control, buf, size) == 0 ? std::string(buf) : "<failed>";
  };
  ASSERT_EQ(SetCtrlVal(p, 4, "192.168.100.200:502"), 0);
  EXPECT_EQ(text(4), "192.168.100.200");
  EXPECT_EQ(text(4, 4), "192");
  ASSERT_EQ(SetCtrlVal(p, 5, "Configuraci\xF3n"), 0);  // Windows-1252 in, Unicode on screen
  EXPECT_EQ(text(5), "Configuraci\xF3n");
  EXPECT_EQ(Widget(p, 5)->property("text").toString(), QString::fromUtf8("Configuración"));

  // Too wide for its 90-pixel button: shown on two lines, named whole for screen readers.
  ASSERT_EQ(SetCtrlAttribute(p, 9, ATTR_LABEL, "Enviar configuraci\xF3n"), 0);
  EXPECT_EQ(Widget<QPushButton>(p, 9)->text(), QString::fromUtf8("Enviar\nconfiguración"));
  EXPECT_EQ(Widget(p, 9)->accessibleName(), QString::fromUtf8("Enviar configuración"));
}

// Enter presses the default control (a switch only on), Esc the cancel one (never while dimmed) or
// asks to close.
TEST_F(Ui, Keyboard) {
  const int p = Load(1), child = Load(2, p);
  ASSERT_GT(child, 0);
  DisplayPanel(p);
  struct Case {
    int panel, key, undim;
    std::vector<Event> want;
  };
  for (const auto& c : std::vector<Case>{
           {p, Qt::Key_Return, 0, {{p, 7, EVENT_COMMIT}}},
           {p, Qt::Key_Enter, 0, {}},   // the switch is on now: Enter never turns it off
           {p, Qt::Key_Escape, 0, {}},  // Send is dimmed
           {p, Qt::Key_Escape, 9, {{p, 9, EVENT_COMMIT}}},
           {child, Qt::Key_Escape, 0, {{child, 0, EVENT_CLOSE}}},
       }) {
    if (c.undim) SetCtrlAttribute(c.panel, c.undim, ATTR_DIMMED, 0);
    Window(c.panel)->setFocus();
    g_events.clear();
    QTest::keyClick(Window(c.panel), static_cast<Qt::Key>(c.key));
    EXPECT_EQ(g_events, c.want) << "key " << c.key << " on panel " << c.panel;
  }
}

TEST_F(Ui, LoaderFailsWithClearCodes) {
  auto control = [](const std::string& c) {
    return R"({"panels": [{"resource": 1, "width": 10, "height": 10, "controls": [)" + c + "]}]}";
  };
  const struct {
    const char* name;
    std::string text;  // "dir": a directory
    int expected;
    const char* message;
  } cases[] = {
      // clang-format off
      {"dir.uir", "dir", UI_ERR_FILE_NOT_FOUND, "is a directory"},
      {"other.uir", R"({"panels": [{"resource": 3, "width": 10, "height": 10}]})", UI_ERR_RESOURCE_NOT_FOUND, ""},
      {"kind.uir", control(R"({"id": 2, "kind": "dial"})"), UI_ERR_BAD_FILE_FORMAT, ""},
      {"callback.uir", control(R"({"id": 2, "kind": "button", "callback": "Nobody"})"), UI_ERR_UNKNOWN_CALLBACK, "Nobody"},
      {"menu.uir", R"({"panels": [{"resource": 1, "width": 10, "height": 10, "menubar": [{"label": "M", "items": [{"id": 1, "label": "I", "callback": "Nobody"}]}]}]})", UI_ERR_UNKNOWN_CALLBACK, "Nobody"},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = dir_ / c.name;
    if (c.text == "dir") fs::create_directory(path);
    if (c.text != "dir") Write(c.name, c.text);
    const int before = ui::LivePanelCount();
    EXPECT_EQ(LoadPanel(0, path.c_str(), 1), c.expected);
    EXPECT_EQ(ui::LivePanelCount(), before) << "a failed load builds nothing";
    const std::string error = ui::LastLoadError();
    EXPECT_NE(error.find(path.string()), std::string::npos) << error;
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
  EXPECT_EQ(LoadPanel(12345, "test.uir", 1), UI_ERR_BAD_PANEL);
}

// Switches commit on `toggled`, so a change by assistive technology calls back too.
TEST_F(Ui, UserInputCommitsButProgramChangesDoNot) {
  const int p = Load(1);
  ASSERT_GT(p, 0);
  DisplayPanel(p);
  SetCtrlVal(p, 2, 7);
  SetCtrlVal(p, 6, 1);
  SetCtrlVal(p, 7, 1);
  SetCtrlVal(p, 4, "10.0.0.1");
  EXPECT_TRUE(g_events.empty()) << "programmatic changes never call back";

  QTest::mouseClick(Widget<QPushButton>(p, 9), Qt::LeftButton);  // dimmed: no click
  SetCtrlAttribute(p, 9, ATTR_DIMMED, 0);
  QTest::mouseClick(Widget<QPushButton>(p, 9), Qt::LeftButton);
  Widget<QCheckBox>(p, 7)->click();
  auto* ring = Widget<QComboBox>(p, 6);
  ring->setCurrentIndex(3);
  emit ring->activated(3);  // what a user pick of the entry emits
  EXPECT_EQ(g_events,
            (std::vector<Event>{{p, 9, EVENT_COMMIT}, {p, 7, EVENT_COMMIT}, {p, 6, EVENT_COMMIT}}));

  // The close box only asks the panel callback; the callback decides what a close does.
  g_events.clear();
  Window(p)->close();
  EXPECT_EQ(g_events, (std::vector<Event>{{p, 0, EVENT_CLOSE}}));
  EXPECT_TRUE(Window(p)->isVisible());
}

std::vector<qint64> g_ticks;  // ms since g_clock started
QElapsedTimer g_clock;

TEST_F(Ui, TimerTicksOnlyWhileEnabled) {
  const int p = Load(1);
  ASSERT_GT(p, 0);
  SetCtrlAttribute(p, 10, ATTR_CALLBACK, [](int, int, int event, void*, int, int) {
    if (event == EVENT_TIMER_TICK) g_ticks.push_back(g_clock.elapsed());
    return 0;
  });
  SetCtrlAttribute(p, 10, ATTR_INTERVAL, 0.1);
  QTest::qWait(400);
  EXPECT_TRUE(g_ticks.empty()) << "disabled in the file: no tick within four intervals";
  g_clock.start();
  SetCtrlAttribute(p, 10, ATTR_ENABLED, 1);
  ASSERT_TRUE(QTest::qWaitFor([] { return g_ticks.size() >= 3; }, 5000));
  EXPECT_GE(g_ticks[0], 80) << "the interval is in seconds";

  SetCtrlAttribute(p, 10, ATTR_ENABLED, 0);
}

TEST_F(Ui, PopupsBlockLoopsNestAndDiscardsTakeOwnedPanels) {
  std::vector<int> order;  // nested loops end innermost first
  QTimer::singleShot(10, [&] {
    QTimer::singleShot(10, [&] { QuitUserInterface(2); });
    order.push_back(RunUserInterface());
    QuitUserInterface(1);
  });
  order.push_back(RunUserInterface());
  EXPECT_EQ(order, (std::vector<int>{2, 1}));
  EXPECT_EQ(QuitUserInterface(0), UI_ERR_NOT_INITIALIZED) << "no loop is running";

  const int main = Load(1);
  const int child = Load(2, main);
  ASSERT_GT(child, 0);
  DisplayPanel(main);
  EXPECT_EQ(RemovePopup(0), UI_ERR_NO_POPUP);
  ASSERT_EQ(InstallPopup(child), 0);
  EXPECT_EQ(QApplication::activeModalWidget(), Window(child));
  ASSERT_EQ(RemovePopup(0), 0);
  EXPECT_FALSE(Window(child)->isVisible());

  // Discarding a panel discards the panels it owns; their handles die with it.
  const int before = ui::LivePanelCount();
  ASSERT_EQ(DiscardPanel(main), 0);
  EXPECT_EQ(ui::LivePanelCount(), before - 2);
  EXPECT_EQ(DisplayPanel(child), UI_ERR_BAD_PANEL);
  panels_.clear();
}

TEST(UiText, Cp1252AndProjectDir) {
  // Bytes 0x80..0x9F are where Windows-1252 and Latin-1 differ.
  for (const auto& [bytes, utf8] : std::vector<std::pair<std::string, const char*>>{
           {"\x80 10", "€ 10"}, {"\x93quoted\x94", "“quoted”"}, {"\xBFQu\xE9?", "¿Qué?"}})
    EXPECT_EQ(ui::ToCp1252(QString::fromUtf8(utf8).toStdU16String()), bytes);
  EXPECT_EQ(ui::ToCp1252(u"\u4E2D"), "?") << "characters outside the code page become '?'";

  char dir[4096], tiny[2];  // the executable's folder, without a final '/'; -1 when it does not fit
  ASSERT_EQ(GetProjectDir(dir, sizeof dir), 0);
  EXPECT_TRUE(fs::exists(fs::path(dir) / "test_ui"));
  EXPECT_NE(dir[std::strlen(dir) - 1], '/');
  EXPECT_EQ(GetProjectDir(tiny, sizeof tiny), -1);
}

}  // namespace
