// Start-up, quit paths and the About popup, on the real main panel from VELDIXMID.uir.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "app.h"
#include "catalogue.h"
#include "registry.h"
#include "ui.h"

namespace fs = std::filesystem;

namespace {

class Shell : public ::testing::Test {
 protected:
  void SetUp() override {
    tmp_ = fs::temp_directory_path() / ("veldix-shell-" + std::to_string(::getpid()));
    fs::create_directories(tmp_);
    ::setenv("VELDIXMID_REGISTRY", (tmp_ / "registry").c_str(), 1);
    // The language is already chosen, as on every start after the first.
    WT_RegWriteString(HKEY_LOCAL_MACHINE, "SOFTWARE\\VELDIX-MID v1.0\\Language", "Language", "1");
    ui::SetProjectDirOverride(VELDIX_BIN_DIR);
    ASSERT_EQ(InitUIRuntime(nullptr, nullptr, nullptr), 1);
  }
  void TearDown() override {
    ui::SetProjectDirOverride(nullptr);
    fs::remove_all(tmp_);
  }
  // Runs the whole program; `whileRunning` is called once its event loop is up.
  int RunTool(std::function<void()> whileRunning) {
    QObject context;  // cancels the call when the program ends before its loop ran
    QTimer::singleShot(50, &context, [whileRunning] { whileRunning(); });
    char arg0[] = "veldixmid";
    char* argv[] = {arg0, nullptr};
    return VeldixMain(1, argv);
  }
  static QWidget* MainWindow() { return static_cast<QWidget*>(ui::PanelWidget(Panel_Principal)); }
  fs::path tmp_;
};

TEST_F(Shell, CloseBoxAndQuitControlEndWithZero) {
  std::string title;
  EXPECT_EQ(RunTool([&] {
              title = MainWindow()->windowTitle().toStdString();
              MainWindow()->close();
            }),
            0);
  EXPECT_EQ(title, "VELDIX-MID v1.0");
  EXPECT_EQ(ui::LivePanelCount(), 0) << "the main panel is discarded at shutdown";

  ASSERT_EQ(InitUIRuntime(nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(RunTool([] {
              auto* quit = static_cast<QPushButton*>(static_cast<QWidget*>(ui::CtrlWidget(Panel_Principal, 13)));
              ASSERT_NE(quit, nullptr);
              QTest::mouseClick(quit, Qt::LeftButton);
            }),
            0);
}

TEST_F(Shell, MissingResourceFileEndsWithMinusOneAndNoWindow) {
  ui::SetProjectDirOverride(tmp_.c_str());  // no VELDIXMID.uir there
  bool loopRan = false;
  EXPECT_EQ(RunTool([&] { loopRan = true; }), -1);
  EXPECT_EQ(ui::LivePanelCount(), 0);
  for (QWidget* w : QApplication::topLevelWidgets()) EXPECT_FALSE(w->isVisible());
  EXPECT_FALSE(loopRan);
}

TEST_F(Shell, RealExecutableWithoutResourceFileExitsWithMinusOne) {
  // The executable beside everything but its resource file.
  for (const char* f : {"veldixmid", "language.ini", "trffc_a.ico"})
    fs::copy_file(fs::path(VELDIX_BIN_DIR) / f, tmp_ / f);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::execl((tmp_ / "veldixmid").c_str(), "veldixmid", nullptr);
    ::_exit(99);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 255);  // -1
}

TEST_F(Shell, AboutOpensModallyTwiceWithTheSameTextsAndCloses) {
  struct Seen {
    std::string product, company, year;
    bool modal = false;
  } seen[2];
  bool inputBack = false;
  int panelsBefore = 0, panelsAfter = 0;
  auto readAbout = [](Seen* s) {
    QWidget* modal = QApplication::activeModalWidget();
    ASSERT_NE(modal, nullptr);
    s->modal = modal != static_cast<QWidget*>(ui::PanelWidget(Panel_Principal));
    auto text = [modal](int id) {
      for (QWidget* w : modal->findChildren<QWidget*>())
        if (w->accessibleDescription() == QStringLiteral("4:%1").arg(id))
          return w->property("text").toString().toStdString();
      return std::string("<none>");
    };
    s->product = text(4);
    s->company = text(3);
    s->year = text(2);
    modal->close();  // the About panel's close box
  };
  EXPECT_EQ(RunTool([&] {
              panelsBefore = ui::LivePanelCount();
              for (Seen& s : seen) {
                Pantalla_HELP(Panel_Principal, 20, nullptr, Panel_Principal);
                readAbout(&s);
              }
              QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
              panelsAfter = ui::LivePanelCount();
              inputBack = QApplication::activeModalWidget() == nullptr;
              QuitUserInterface(0);
            }),
            0);
  for (const Seen& s : seen) {
    EXPECT_TRUE(s.modal);
    EXPECT_EQ(s.product, "VELDIXMID");
    EXPECT_EQ(s.company, kAboutCompany);
    EXPECT_EQ(s.year, kAboutShortYear);
  }
  EXPECT_EQ(panelsAfter, panelsBefore) << "each About panel is destroyed when closed";
  EXPECT_TRUE(inputBack);
}

}  // namespace

namespace {

TEST_F(Shell, FirstStartAsksForTheLanguageThenLabelsTheMainPanelInIt) {
  ::setenv("VELDIXMID_REGISTRY", (tmp_ / "fresh-registry").c_str(), 1);  // nothing stored yet
  std::string selectionTitle, portLabel, switchLabel;
  std::function<void()> checkMain = [&] {
    char label[100] = {};
    GetCtrlAttribute(Panel_Principal, 6, ATTR_LABEL, label, sizeof label);
    portLabel = label;
    GetCtrlAttribute(Panel_Principal, 12, ATTR_LABEL, label, sizeof label);
    switchLabel = label;
    QuitUserInterface(0);
  };
  EXPECT_EQ(RunTool([&] {
              // The selection panel runs its own loop before the main panel exists.
              QWidget* selection = QApplication::activeWindow();
              for (QWidget* w : QApplication::topLevelWidgets())
                if (w->isVisible() && w->windowTitle() == QStringLiteral("Idioma / Language")) selection = w;
              ASSERT_NE(selection, nullptr);
              selectionTitle = selection->windowTitle().toStdString();
              auto* list = selection->findChild<QListWidget*>();
              ASSERT_NE(list, nullptr);
              ASSERT_EQ(list->count(), 2);
              list->setCurrentRow(1);  // English
              QTimer::singleShot(50, QCoreApplication::instance(), checkMain);
              for (auto* b : selection->findChildren<QPushButton*>())
                if (b->text() == QStringLiteral("OK")) b->click();
            }),
            0);
  EXPECT_EQ(selectionTitle, "Idioma / Language");
  EXPECT_EQ(portLabel, "Serial port");
  EXPECT_EQ(switchLabel, "Connect");
  unsigned char stored[8] = {};
  unsigned size = 0;
  ASSERT_EQ(WT_RegReadString(HKEY_LOCAL_MACHINE, "SOFTWARE\\VELDIX-MID v1.0\\Language", "Language",
                             stored, sizeof stored, &size), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(stored), "2");
}

}  // namespace
