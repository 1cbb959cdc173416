// Start-up and languages on the real main panel from VELDIXMID.uir (quit paths and About are
// driven through AT-SPI by e2e/drive_atspi.py).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "app/app.h"
#include "lang/catalogue.h"
#include "lang/language.h"
#include "platform/registry.h"
#include "platform/testing/ui_testing.h"
#include "platform/ui.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kLanguageKey = "SOFTWARE\\VELDIX-MID v1.0\\Language";

class Shell : public ::testing::Test {
 protected:
  void SetUp() override {
    tmp_ = fs::temp_directory_path() / ("veldix-shell-" + std::to_string(::getpid()));
    fs::create_directories(tmp_);
    ::setenv("VELDIXMID_REGISTRY", (tmp_ / "registry").c_str(), 1);
    // The language is already chosen, as on every start after the first.
    WT_RegWriteString(kRegLocalMachine, kLanguageKey, "Language", "1");
    ui::SetProjectDirOverride(VELDIX_BIN_DIR);
  }
  void TearDown() override {
    ui::SetProjectDirOverride(nullptr);
    fs::remove_all(tmp_);
  }
  // Runs the whole program; `whileRunning` is called once one of its event loops runs (not
  // earlier: start-up's paint pump delivers timers too, and a quit there would be lost).
  int RunTool(const std::function<void()>& whileRunning) {
    EXPECT_EQ(InitUIRuntime(nullptr, nullptr, nullptr), 1);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (QThread::currentThread()->loopLevel() == 0) return;
      poll.stop();
      whileRunning();
    });
    poll.start(20);
    char arg0[] = "veldixmid";
    char* argv[] = {arg0, nullptr};
    return VeldixMain(1, argv);
  }
  fs::path tmp_;
};

// In-process and as the real executable (which copies beside it all but its resource file).
TEST_F(Shell, MissingResourceFileEndsWithMinusOneAndNoWindow) {
  ui::SetProjectDirOverride(tmp_.c_str());
  bool loopRan = false;
  EXPECT_EQ(RunTool([&] { loopRan = true; }), -1);
  EXPECT_FALSE(loopRan);
  EXPECT_EQ(ui::LivePanelCount(), 0);
  for (QWidget* w : QApplication::topLevelWidgets()) EXPECT_FALSE(w->isVisible());

  for (const char* f : {"veldixmid", "language.ini", "trffc_a.ico"})
    fs::copy_file(fs::path(VELDIX_BIN_DIR) / f, tmp_ / f);
  // Bounded: a tool that showed a window instead of leaving would be killed (status 124).
  const std::string run =
      "timeout -k 2 30 env QT_QPA_PLATFORM=offscreen '" + (tmp_ / "veldixmid").string() + "'";
  const int status = std::system(run.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 255);  // -1
}

// With English chosen, every title, menu entry, label, button and message of the main panel,
// About and the four screens is an English catalogue text (or has no words: numbers, units,
// "Bit 3"); choosing Spanish from the menu relabels the open panels at once.
TEST_F(Shell, EnglishEverywhereAndALanguageChangeRelabelsAtOnce) {
  WT_RegWriteString(kRegLocalMachine, kLanguageKey, "Language", "2");
  std::vector<std::string> foreign;
  std::string afterChange;
  const QRegularExpression wordless(
      QStringLiteral("^(Bit \\d+|[^a-z]*|VELDIX-MID v1.0|v1.0|VELDIXMID|"
                     "VELDIX-MID tool team|VELDIX-MID 2026)$"));
  auto texts = [](QWidget* window) {
    std::vector<QString> all{window->windowTitle()};
    for (auto* bar : window->findChildren<QMenuBar*>())
      for (QAction* menu : bar->actions()) {
        all.push_back(menu->text().remove(QLatin1Char('&')));  // the mnemonic's mark
        for (QAction* item : menu->menu()->actions())
          all.push_back(item->text().remove(QLatin1Char('&')));
      }
    for (auto* w : window->findChildren<QWidget*>()) {
      if (!w->accessibleDescription().contains(QLatin1Char(':'))) continue;
      all.push_back(w->accessibleName());
      if (auto* l = qobject_cast<QLabel*>(w)) all.push_back(l->text());
      // Long button texts are broken onto two lines to fit.
      if (auto* b = qobject_cast<QAbstractButton*>(w))
        all.push_back(b->text().replace(QLatin1Char('\n'), QLatin1Char(' ')));
    }
    return all;
  };
  EXPECT_EQ(RunTool([&] {
              std::set<QString> english;
              for (int i = 0; i < 1000; ++i) english.insert(QString::fromLatin1(CatalogueText(i)));
              std::vector<int> panels{Panel_Principal};
              for (int res : {4, 5, 2, 3, 1, 7}) panels.push_back(LoadPanel(0, kUirFile, res));
              for (int p : panels)
                for (const QString& t : texts(static_cast<QWidget*>(ui::PanelWidget(p))))
                  if (!english.count(t) && !wordless.match(t).hasMatch())
                    foreign.push_back(t.toStdString());
              QTimer::singleShot(50, [] {
                if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                  box->button(QMessageBox::Ok)->click();
              });
              Cambia_Idioma_ESP(0, 10, nullptr, Panel_Principal);
              for (int p : {Panel_Principal, panels[2]}) {
                auto* w = static_cast<QWidget*>(ui::PanelWidget(p));
                afterChange +=
                    w->windowTitle().toStdString() + "|" +
                    static_cast<QAbstractButton*>(ui::CtrlWidget(p, p == Panel_Principal ? 2 : 114))
                        ->accessibleName()
                        .toStdString() +
                    "|";
              }
              for (std::size_t i = 1; i < panels.size(); ++i) DiscardPanel(panels[i]);
              QuitUserInterface(0);
            }),
            0);
  EXPECT_EQ(foreign, std::vector<std::string>{});
  EXPECT_EQ(afterChange, "VELDIX-MID v1.0|Medidas|Medidas instantáneas|Salir|");
}

}  // namespace
