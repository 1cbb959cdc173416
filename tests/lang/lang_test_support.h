// Localisation tests: own project directory and registry per test; a driver answering popups and
// the selection panel.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "lang/catalogue.h"
#include "lang/language.h"
#include "lang/testing/catalogue_testing.h"
#include "platform/registry.h"
#include "platform/testing/ui_testing.h"
#include "platform/ui.h"

namespace langtest {

namespace fs = std::filesystem;

inline std::string Cp1252(const QString& s) { return ui::ToCp1252(s.toStdU16String()); }

struct Popup {
  std::string title, text;
  bool operator==(const Popup&) const = default;
  friend void PrintTo(const Popup& p, std::ostream* os) { *os << p.title << " | " << p.text; }
};

// The operator's answer to the selection panel: click a row (-1: none), then OK or Quit.
struct Choice {
  int row = -1;
  bool ok = true;
};

// Polls every 10 ms from inside the code's nested loops: records and dismisses message boxes,
// records selection panels and answers each with the next queued choice (Quit when none).
class Driver {
 public:
  Driver() {
    clock_.start();
    QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
    timer_.start(10);
  }
  std::vector<Popup> popups;
  std::vector<std::vector<std::string>> panels;  // the names each selection panel listed
  std::deque<Choice> choices;

 private:
  void Tick() {
    if (clock_.elapsed() > 10000) return Fail("nothing to answer for 10 s");
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      popups.push_back({Cp1252(box->windowTitle()), Cp1252(box->text())});
      box->button(QMessageBox::Ok)->click();
      return;
    }
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->isVisible() && w->windowTitle() == QStringLiteral("Idioma / Language"))
        return Answer(w);
  }
  // The runtime drops input while it paints a panel it has just shown: answer on every tick.
  void Answer(QWidget* panel) {
    auto* list = panel->findChild<QListWidget*>();
    QPushButton *ok = nullptr, *quit = nullptr;
    for (auto* b : panel->findChildren<QPushButton*>())
      (b->text() == QStringLiteral("OK") ? ok : quit) = b;
    if (!list || !ok || !quit || quit->text() != QStringLiteral("Quit"))
      return Fail("selection panel without its list or buttons");
    if (panel != answered_) {
      answered_ = panel;
      panels.emplace_back();
      choice_ = choices.empty() ? Choice{-1, false} : choices.front();
      if (!choices.empty()) choices.pop_front();
    }
    panels.back().clear();
    for (int i = 0; i < list->count(); ++i) panels.back().push_back(Cp1252(list->item(i)->text()));
    if (choice_.row >= 0 && choice_.row < list->count()) {
      list->scrollToItem(list->item(choice_.row));
      QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                        list->visualItemRect(list->item(choice_.row)).center());
    }
    QTest::mouseClick(choice_.ok ? ok : quit, Qt::LeftButton);
  }
  void Fail(const char* why) {  // ends the innermost loop: the test fails instead of hanging
    ADD_FAILURE() << why;
    timer_.stop();
    QuitUserInterface(-99);
  }
  QTimer timer_;
  QElapsedTimer clock_;
  QPointer<QWidget> answered_;
  Choice choice_;
};

// Each test starts without a catalogue, in its own project directory and registry store.
class LangTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(InitUIRuntime(nullptr, nullptr, nullptr), 1); }
  void SetUp() override {
    ASSERT_TRUE(tmp_.isValid());
    ::setenv("VELDIXMID_REGISTRY", (dir_ / "registry").c_str(), 1);
    ui::SetProjectDirOverride(dir_.c_str());
    Textos_Idioma = nullptr;
  }
  void TearDown() override {
    lang::SetTableAllocatorForTests(nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ui::SetProjectDirOverride(nullptr);
  }

  std::string LangPath() const { return (dir_ / "language.ini").string(); }
  void UseFixture(const std::string& name) {
    fs::copy_file(fs::path(VELDIX_TEST_DATA) / "fixtures/lang" / name, LangPath(),
                  fs::copy_options::overwrite_existing);
  }

  static constexpr const char* kLangKey = "SOFTWARE\\VELDIX-MID v1.0\\Language";
  static void Store(const char* key, const char* value, const std::string& text) {
    ASSERT_EQ(WT_RegWriteString(kRegLocalMachine, key, value, text.c_str()), 0);
  }
  // The stored text, or nothing when the value cannot be read as a string.
  static std::optional<std::string> Stored(const char* key, const char* value = "Language") {
    unsigned char buf[1024] = {};
    unsigned size = 0;
    if (WT_RegReadString(kRegLocalMachine, key, value, buf, sizeof buf, &size) != 0)
      return std::nullopt;
    return std::string(reinterpret_cast<char*>(buf));
  }

  QTemporaryDir tmp_;
  const fs::path dir_{tmp_.path().toStdString()};
};

}  // namespace langtest
