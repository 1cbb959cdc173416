// Text catalogue: built at start-up from one section of language.ini, replaced by a
// language change, read through CatalogueText.
#include "lang/catalogue.h"

#include <climits>
#include <cstdlib>

#include "lang/ini.h"
#include "lang/language.h"
#include "lang/testing/catalogue_testing.h"
#include "platform/registry.h"
#include "platform/ui.h"

char** Textos_Idioma = nullptr;

namespace {

// The table this module installed and its length. Textos_Idioma is public and carries no
// length, so CatalogueText trusts it only while it is the table installed here.
char** g_table = nullptr;
std::size_t g_count = 0;

lang::TableAllocator g_allocate = nullptr;

void* AllocateTable(std::size_t count) {
  // One slot more than the items: a section without items still gets a real (empty) table,
  // whatever calloc does with a size of zero.
  return g_allocate ? g_allocate(count + 1, sizeof(char*)) : std::calloc(count + 1, sizeof(char*));
}

void FreeTable(char** table, std::size_t count) {
  if (!table) return;
  for (std::size_t i = 0; i < count; ++i) std::free(table[i]);
  std::free(table);
}

void ErrorPopup(const char* message) {
  SetMouseCursor(kDefaultCursor);
  MessagePopup("Error", message);
}

// Decimal value of a stored text: leading white space skipped, digits up to the first
// other character, 0 without digits. Saturates instead of overflowing (any such number is
// out of range anyway).
int ParseLanguageNumber(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  long long n = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    n = n * 10 + (*p - '0');
    if (n > INT_MAX) return INT_MAX;
  }
  return static_cast<int>(n);
}

}  // namespace

namespace lang {
void SetTableAllocatorForTests(TableAllocator allocator) { g_allocate = allocator; }
}  // namespace lang

const char* CatalogueText(int n) {
  if (n < 0 || !Textos_Idioma || Textos_Idioma != g_table) return "";
  if (static_cast<std::size_t>(n) >= g_count) return "";
  const char* text = g_table[n];
  return text ? text : "";
}

int CatalogueSize() {
  return Textos_Idioma && Textos_Idioma == g_table ? static_cast<int>(g_count) : 0;
}

bool Restablecer_Fuentes(void) {
  unsigned char buffer[kRegTextSize] = {};
  unsigned int size = 0;
  if (WT_RegReadString(kRegLocalMachine, kFontKey, kFontProbeValue, buffer, sizeof buffer, &size) !=
      0)
    buffer[0] = '\0';
  if (buffer[0] == '\0') return true;
  bool failed = false;
  for (const char* value : kFontValues)
    failed |= WT_RegWriteString(kRegLocalMachine, kFontKey, value, "") < 0;
  if (failed) ReportRegistryWriteFailure();
  SetMouseCursor(kDefaultCursor);
  MessagePopup("Restart", "You must restart your software\nto apply language configuration");
  return false;
}

namespace {

// Builds the table from section `language` of the language file already read into `ini` and
// installs it: what Cargar_Textos_Idioma does after its read.
char** LoadTable(IniText ini, int language) {
  char* section = nullptr;
  if (!Ini_NthSectionName(ini, language, &section)) {
    char dir[1024];
    if (GetProjectDir(dir) != 0) dir[0] = '\0';
    char message[1200];
    Fmt(message, sizeof message, "Language section not found at : %s%c%s", dir, PathSeparator(),
        kLanguageFileName);
    ErrorPopup(message);
    return nullptr;
  }

  const int items = Ini_NumberOfItems(ini, section);
  const std::size_t count = items > 0 ? static_cast<std::size_t>(items) : 0;
  auto** table = static_cast<char**>(AllocateTable(count));
  if (!table) {
    ErrorPopup("Not enough memory");
    return nullptr;
  }

  // Entry i is item "%04d" of i; the fill ends at the first number the section lacks (or
  // whose copy cannot be made). Distinct names cannot outnumber the items, so i < count
  // holds already; it is checked all the same since the table has no other bound.
  for (std::size_t i = 0; i < count; ++i) {
    char name[16];
    Fmt(name, sizeof name, "%04d", static_cast<int>(i));
    char* copy = nullptr;
    if (Ini_GetStringCopy(ini, section, name, &copy) <= 0) break;
    table[i] = copy;
  }

  // Install, then release the replaced table: every reader goes through CatalogueText, so
  // nothing points into it any longer.
  char** old = g_table;
  const std::size_t oldCount = g_count;
  g_table = table;
  g_count = count;
  Textos_Idioma = table;
  FreeTable(old, oldCount);
  // Every open panel takes the new texts at once; panels loaded later take them on loading.
  SetTextSource(CatalogueText);
  RelabelPanels();
  return table;
}

}  // namespace

char** Cargar_Textos_Idioma(const char* path, int language) {
  IniText ini = Ini_New(0);
  Ini_ReadFromFile(ini, path);  // a file that cannot be read gives no sections
  char** table = LoadTable(ini, language);
  Ini_Dispose(ini);
  return table;
}

char** Orba_AsignarIdioma(void) {
  if (!Restablecer_Fuentes()) return nullptr;

  char path[1200];
  LanguageFilePath(path, sizeof path);
  if (!LanguageFileReadable(path)) return nullptr;

  // One read serves the count and the catalogue: the start-up reads the file once.
  IniText ini = Ini_New(0);
  Ini_ReadFromFile(ini, path);  // a file that cannot be read gives no sections
  const int languages = Ini_NumberOfSections(ini);

  char key[128];
  LanguageKey(key, sizeof key);
  unsigned char stored[kRegTextSize] = {};
  unsigned int size = 0;
  const int read =
      WT_RegReadString(kRegLocalMachine, key, kLanguageValue, stored, sizeof stored, &size);
  stored[sizeof stored - 1] = '\0';
  int language = read == 0 ? ParseLanguageNumber(reinterpret_cast<const char*>(stored)) : 0;

  if (read != 0 || language < 1 || language > languages) {
    if (Orba_SeleccionarIdioma(&language) == -1) {
      Ini_Dispose(ini);
      return nullptr;
    }
    StoreLanguage(language);
  }
  char** table = LoadTable(ini, language);
  Ini_Dispose(ini);
  return table;
}
