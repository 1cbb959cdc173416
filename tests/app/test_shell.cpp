// Start-up and languages on the real main panel (quit and About: e2e/drive_atspi.py).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QThread>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/app.h"
#include "lang/language.h"
#include "platform/registry.h"
#include "platform/testing/ui_testing.h"
#include "platform/ui.h"
#include "popup_catcher.h"

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
  fs::path tmp_;
};

// The real executable, copied beside all but its resource file.
TEST_F(Shell, MissingResourceFileEndsWithMinusOneAndNoWindow) {
  for (const char* f : {"veldixmid", "language.ini", "trffc_a.ico"})
    fs::copy_file(fs::path(VELDIX_BIN_DIR) / f, tmp_ / f);
  // A tool that showed a window instead of leaving is killed (status 124).
  const std::string run =
      "timeout -k 2 30 env QT_QPA_PLATFORM=offscreen '" + (tmp_ / "veldixmid").string() + "'";
  const int status = std::system(run.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 255);  // -1
}

// A language chosen from the menu relabels the open panels at once. The change is made once
// an event loop of the tool runs (start-up's paint pump delivers timers too, and a quit there
// would be lost).
TEST_F(Shell, ALanguageChangeRelabelsTheOpenPanelsAtOnce) {
  WT_RegWriteString(kRegLocalMachine, kLanguageKey, "Language", "2");
  ASSERT_EQ(InitUIRuntime(nullptr, nullptr, nullptr), 1);
  std::string shown;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (QThread::currentThread()->loopLevel() == 0) return;
    poll.stop();
    const int screen = LoadPanel(0, kUirFile, 5);
    vtest::PopupCatcher restartNotice;
    Cambia_Idioma_ESP(0, 10, nullptr, Panel_Principal);
    for (auto [p, c] : {std::pair{Panel_Principal, 2}, {screen, 114}})
      shown += static_cast<QWidget*>(ui::PanelWidget(p))->windowTitle().toStdString() + "|" +
               static_cast<QWidget*>(ui::CtrlWidget(p, c))->accessibleName().toStdString() + "|";
    DiscardPanel(screen);
    QuitUserInterface(0);
  });
  poll.start(20);
  char arg0[] = "veldixmid";
  char* argv[] = {arg0, nullptr};
  EXPECT_EQ(VeldixMain(1, argv), 0);
  EXPECT_EQ(shown, "VELDIX-MID v1.0|Medidas|Medidas instantáneas|Salir|");
}

}  // namespace
