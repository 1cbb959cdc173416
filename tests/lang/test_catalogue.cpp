// Text catalogue: numbering, stored language number, font values, a missing or unreadable file.

#include <map>

#include "lang_test_support.h"

namespace {

using namespace langtest;
using Catalogue = LangTest;

// The shipped file's full range is checked in test_ini.
TEST_F(Catalogue, NumberingRules) {
  struct Case {
    const char* fixture;
    int size;
    std::map<int, std::string> entries;
  } cases[] = {
      {"gap.ini", 3, {{0, "zero"}, {1, "one"}, {2, ""}, {3, ""}}},  // a gap stops the fill
      {"digits.ini", 14, {{11, "t11"}, {12, ""}, {13, ""}}},        // only four-digit names count
      // spaces, quotes, escapes, code page
      // clang-format off
      {"texts.ini", 6, {{0, "spaced name and value"}, {1, "  inner  spaces  "}, {2, "first line\nsecond line"},
                        {3, "Configuraci\xF3n"}, {4, ""}, {5, "last"}}},
      // clang-format on
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fixture);
    UseFixture(c.fixture);
    Driver driver;
    char** table = Cargar_Textos_Idioma(LangPath().c_str(), 1);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(Textos_Idioma, table);
    EXPECT_TRUE(driver.popups.empty());
    EXPECT_EQ(CatalogueSize(), c.size);
    for (const auto& [n, text] : c.entries) EXPECT_STREQ(CatalogueText(n), text.c_str()) << n;
    for (int n : {-1, c.size}) EXPECT_STREQ(CatalogueText(n), "");
  }
}

TEST_F(Catalogue, StoredLanguageDecidesWhetherThePanelOpens) {
  // When the panel opens the operator picks the third entry, which loads "tres" and stores "3".
  struct Case {
    const char* what;
    std::string stored;  // "": none
    const char* loaded;  // text 0 of the language loaded, nullptr: the panel opens
  } cases[] = {
      {"last", "3", "tres"},
      {"white space, then digits up to the first other character", " \t3x", "tres"},
      {"299 characters fit the buffer", "2" + std::string(298, ' '), "dos"},
      {"300 characters do not", "2" + std::string(299, ' '), nullptr},
      {"4 of 3", "4", nullptr},
      {"missing", "", nullptr},
  };
  UseFixture("three.ini");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(dir_ / "registry");
    if (!c.stored.empty()) Store(kLangKey, "Language", c.stored);
    Driver driver;
    driver.choices.push_back({2, true});
    ASSERT_NE(Orba_AsignarIdioma(), nullptr);
    EXPECT_STREQ(CatalogueText(0), c.loaded ? c.loaded : "tres");
    EXPECT_EQ(driver.panels.size(), c.loaded ? 0u : 1u);
    EXPECT_TRUE(driver.popups.empty());
    EXPECT_EQ(Stored(kLangKey), c.loaded ? c.stored : "3") << "a valid number is left as stored";
  }
}

TEST_F(Catalogue, FontValueRestartsOnceThenTheStartGoesOn) {
  UseFixture("two.ini");
  Store(kLangKey, "Language", "2");
  for (const char* v : kFontValues) Store(kFontKey, v, "Arial");
  Driver driver;
  EXPECT_EQ(Orba_AsignarIdioma(), nullptr);
  EXPECT_EQ(Textos_Idioma, nullptr);
  EXPECT_EQ(driver.popups, (std::vector<Popup>{{"Restart",
                                                "You must restart your software\nto apply language "
                                                "configuration"}}));
  for (const char* v : kFontValues) EXPECT_EQ(Stored(kFontKey, v), "") << v;
  EXPECT_EQ(Stored(kLangKey), "2");

  ASSERT_NE(Orba_AsignarIdioma(), nullptr) << "the next start goes on";
  EXPECT_STREQ(CatalogueText(0), "Measurements");
  EXPECT_EQ(driver.popups.size(), 1u);
  EXPECT_TRUE(driver.panels.empty());
}

TEST_F(Catalogue, MissingOrUnreadableFileIsReported) {
  const std::string where = dir_.string() + "/language.ini";
  Store(kLangKey, "Language", "1");
  for (const std::string& popup :
       {"File not found : " + where,
        "Cannot read the language file " + where + ": it is a directory"}) {
    if (popup.find("directory") != std::string::npos) fs::create_directory(where);
    Driver driver;
    EXPECT_EQ(Orba_AsignarIdioma(), nullptr);
    EXPECT_EQ(driver.popups, (std::vector<Popup>{{"Error", popup}}));
    EXPECT_EQ(Stored(kLangKey), "1");
    EXPECT_EQ(Textos_Idioma, nullptr);
  }
}

// A store that cannot be written: the choice is used for this run, and the reason is told
// once, not at every write.
TEST_F(Catalogue, StoreThatCannotBeWrittenIsReportedOnce) {
  UseFixture("one.ini");
  fs::create_directory(dir_ / "registry");
  Driver driver;
  driver.choices = {{0, true}};
  ASSERT_NE(Orba_AsignarIdioma(), nullptr);
  EXPECT_LT(StoreLanguage(1), 0);
  ASSERT_EQ(driver.popups.size(), 1u);
  EXPECT_NE(driver.popups[0].text.find("/registry is a directory"), std::string::npos)
      << driver.popups[0].text;
}

TEST_F(Catalogue, SectionWithoutItemsIsAValidEmptyCatalogue) {
  UseFixture("zero_items.ini");
  // Where an allocation of nothing yields null, an empty section must still load; a slot past
  // the last text (here the only one) is never read, whatever it holds.
  lang::SetTableAllocatorForTests([](std::size_t n, std::size_t size) -> void* {
    if (n == 0) return nullptr;
    auto** table = static_cast<const char**>(std::calloc(n, size));
    table[n - 1] = "past the end";
    return table;
  });
  Driver driver;
  ASSERT_NE(Cargar_Textos_Idioma(LangPath().c_str(), 1), nullptr);
  EXPECT_EQ(driver.popups, std::vector<Popup>{});
  EXPECT_EQ(CatalogueSize(), 0);
  EXPECT_STREQ(CatalogueText(0), "");
}

}  // namespace
