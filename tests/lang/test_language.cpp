// Language-selection panel on real widgets, and the language change from the menu.
#include <QAction>
#include <QWidget>

#include "lang_test_support.h"

namespace {

using namespace langtest;
using Selection = LangTest;
using Change = LangTest;

TEST_F(Selection, PanelAnswersWithTheChosenNumber) {
  std::vector<std::string> many;
  for (int i = 1; i <= 20; ++i)
    many.push_back(i == 3 ? std::string(99, 'L') : QString::asprintf("Lang%02d", i).toStdString());
  struct Case {
    const char* what;
    const char* fixture;  // nullptr: no language file
    Choice choice;
    int result;
    std::vector<std::string> names;
  } cases[] = {
      {"second of three, OK", "three.ini", {1, true}, 2, {"Uno", "Dos", "Tres"}},
      {"OK untouched", "three.ini", {-1, true}, 1, {"Uno", "Dos", "Tres"}},
      {"Quit", "three.ini", {2, false}, -1, {"Uno", "Dos", "Tres"}},
      {"25 sections: the first 20, names cut at 99", "many.ini", {19, true}, 20, many},
      {"no file, OK", nullptr, {-1, true}, -1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(LangPath());
    if (c.fixture) UseFixture(c.fixture);
    const int panelsBefore = ui::LivePanelCount();
    Driver driver;
    driver.choices.push_back(c.choice);
    int number = 0;
    EXPECT_EQ(Orba_SeleccionarIdioma(&number), c.result);
    EXPECT_EQ(number, c.result);
    ASSERT_EQ(driver.panels.size(), 1u);
    EXPECT_EQ(driver.panels[0], c.names);
    EXPECT_EQ(ui::LivePanelCount(), panelsBefore) << "the panel is discarded";
  }
}

TEST_F(Selection, QuitEndsTheStartWithNothingStored) {
  UseFixture("three.ini");
  Driver driver;
  EXPECT_EQ(Orba_AsignarIdioma(), nullptr);
  EXPECT_EQ(driver.panels.size(), 1u);
  EXPECT_TRUE(driver.popups.empty());
  EXPECT_EQ(Stored(kLangKey), std::nullopt);
  EXPECT_EQ(Textos_Idioma, nullptr);
}

// Idioma menu entries, bound by name and picked on a real menu bar, each run on a catalogue of the
// file's first section loaded beforehand.
TEST_F(Change, MenuEntries) {
  std::ofstream(dir_ / "menu.uir") << R"({ "panels": [ { "resource": 6, "width": 200, "height": 100,
      "menubar": [ { "label": "Idioma", "items": [ { "id": 30, "label": "ESP", "callback": "Cambia_Idioma_ESP" },
                                                   { "id": 31, "label": "ENG", "callback": "Cambia_Idioma_ENG" } ] } ] } ] })";
  RegisterLangCallbacks();
  const int panel = LoadPanel(0, "menu.uir", 6);
  ASSERT_GT(panel, 0);
  auto pick = [panel](const std::string& entry) {
    for (QAction* a : static_cast<QWidget*>(ui::PanelWidget(panel))->findChildren<QAction*>())
      if (a->text().toStdString() == entry) a->trigger();
  };
  const Popup warnEsp{"Advertencia!!!", "Reiniciar el programa para aplicar los cambios"};
  const Popup warnEng{"Warning!!!", "Please, Restart the software to apply the changes"};
  const Popup restart{"Restart", "You must restart your software\nto apply language configuration"};
  const Popup noSection{"Error",
                        "Language section not found at : " + dir_.string() + "/language.ini"};
  const Popup noFile{"Error", "File not found : " + dir_.string() + "/language.ini"};
  enum Fault { None, Font, NoFile };
  struct Case {
    const char* what;
    const char* fixture;
    Fault fault;
    std::vector<std::string> entries;
    std::vector<Popup> popups;
    std::string stored;  // "Language" afterwards (was "9")
    const char* text0;   // catalogue text 0 afterwards
  } cases[] = {
      {"English", "two.ini", None, {"ENG"}, {warnEng}, "2", "Measurements"},
      {"Spanish twice", "two.ini", None, {"ESP", "ESP"}, {warnEsp, warnEsp}, "1", "Medidas"},
      {"English, one section", "one.ini", None, {"ENG"}, {noSection}, "2", "Medidas"},
      {"font values set", "two.ini", Font, {"ENG"}, {restart}, "9", "Medidas"},
      {"file gone", "two.ini", NoFile, {"ENG"}, {noFile}, "9", "Medidas"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UseFixture(c.fixture);
    ASSERT_NE(Cargar_Textos_Idioma(LangPath().c_str(), 1), nullptr);
    char** before = Textos_Idioma;
    Store(kLangKey, "Language", "9");
    if (c.fault == Font) Store(kFontKey, "DialogFontName", "Arial");
    if (c.fault == NoFile) fs::remove(LangPath());
    Driver driver;
    for (const std::string& e : c.entries) pick(e);
    EXPECT_EQ(driver.popups, c.popups);
    EXPECT_EQ(Stored(kLangKey), c.stored);
    EXPECT_STREQ(CatalogueText(0), c.text0);
    if (c.popups.back().title == "Error" || c.fault == Font) {
      EXPECT_EQ(Textos_Idioma, before) << "a failed change keeps the catalogue in force";
    }
    EXPECT_TRUE(driver.panels.empty());
  }
  DiscardPanel(panel);
}

}  // namespace
