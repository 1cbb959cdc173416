// Language file location, the language number in the registry, and the selection panel the
// start-up builder opens when no valid choice is stored.
#include "lang/language.h"

#include <cstring>
#include <string>

#include "lang/ini.h"
#include "platform/registry.h"
#include "platform/safe_file.h"
#include "platform/ui.h"

int Lista_Idiomas = 0;

namespace {

// The selection panel while it is shown (0 otherwise).
int g_selectionPanel = 0;

// A fresh reader object holding language.ini (no sections when it is missing or unreadable).
IniText ReadLanguageFile() {
  char path[1200];
  LanguageFilePath(path, sizeof path);
  IniText ini = Ini_New(0);
  Ini_ReadFromFile(ini, path);
  return ini;
}

}  // namespace

void LanguageFilePath(char* buffer, std::size_t size) {
  if (!buffer || size == 0) return;
  char dir[1024];
  if (GetProjectDir(dir) != 0) dir[0] = '\0';
  Fmt(buffer, size, "%s%c%s", dir, PathSeparator(), kLanguageFileName);
}

void LanguageKey(char* buffer, std::size_t size) {
  if (!buffer || size == 0) return;
  Fmt(buffer, size, kLanguageKeyFormat, kAppTitle);
}

int StoreLanguage(int language) {
  char key[128];
  LanguageKey(key, sizeof key);
  char text[16];
  Fmt(text, sizeof text, "%d", language);
  const int rc = WT_RegWriteString(kRegLocalMachine, key, kLanguageValue, text);
  if (rc < 0) ReportRegistryWriteFailure();
  return rc;
}

bool LanguageFileReadable(const char* path) {
  std::string why;
  const safe_file::Status s = safe_file::Check(path ? path : "", &why);
  if (s == safe_file::Status::ok) return true;
  char message[1400];
  if (s == safe_file::Status::missing)
    Fmt(message, sizeof message, "File not found : %s", path);
  else
    Fmt(message, sizeof message, "Cannot read the language file %s: it %s", path, why.c_str());
  SetMouseCursor(kDefaultCursor);
  MessagePopup("Error", message);
  return false;
}

void ReportRegistryWriteFailure() {
  static bool reported = false;
  if (reported) return;
  reported = true;
  char message[1400];
  Fmt(message, sizeof message,
      "The language settings could not be saved:\n%s\nThey apply until the program is closed.",
      registry::LastWriteError());
  SetMouseCursor(kDefaultCursor);
  MessagePopup("Error", message);
}

int Orba_NumeroDeIdiomas(int* count) {
  IniText ini = ReadLanguageFile();
  const int n = Ini_NumberOfSections(ini);
  Ini_Dispose(ini);
  if (count) *count = n;
  return 0;
}

int Orba_ObtenerIdiomas(char names[kMaxLanguages][kLanguageNameSize]) {
  if (!names) return 0;
  IniText ini = ReadLanguageFile();
  const int sections = Ini_NumberOfSections(ini);
  // The table has kMaxLanguages rows of kLanguageNameSize bytes: later sections are not
  // offered and longer names are cut.
  for (int i = 0; i < sections && i < kMaxLanguages; ++i) {
    char* name = nullptr;
    if (!Ini_NthSectionName(ini, i + 1, &name) || !name) continue;
    std::strncpy(names[i], name, kLanguageNameSize - 1);
    names[i][kLanguageNameSize - 1] = '\0';
  }
  Ini_Dispose(ini);
  return 0;
}

int AceptarIdioma(int panel, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  // An empty list (a file without sections) has no value: that ends the selection as Quit
  // does rather than with whatever number happens to be around.
  int count = 0, language = -1;
  if (GetNumListItems(panel, Lista_Idiomas, &count) != 0 || count <= 0 ||
      GetCtrlVal(panel, Lista_Idiomas, &language) != 0 || language < 1)
    language = -1;
  DiscardPanel(panel);
  if (panel == g_selectionPanel) g_selectionPanel = 0;
  QuitUserInterface(language);
  return 0;
}

int Salir_de_Instalacion(int, int, int event, void*, int, int) {
  if (event == EVENT_COMMIT) QuitUserInterface(-1);
  return 0;
}

int Orba_SeleccionarIdioma(int* number) {
  char names[kMaxLanguages][kLanguageNameSize] = {};
  int count = 0;
  Orba_ObtenerIdiomas(names);
  Orba_NumeroDeIdiomas(&count);
  if (count > kMaxLanguages) count = kMaxLanguages;

  int result = -1;
  const int panel = NewPanel(0, "Idioma / Language", kCentreOnScreen, kCentreOnScreen, 120, 220);
  if (panel > 0) {
    g_selectionPanel = panel;
    Lista_Idiomas = NewCtrl(panel, CTRL_STYLE_LIST, "", 25, 35);
    const int ok = NewCtrl(panel, CTRL_STYLE_BUTTON, "OK", 80, 25);
    const int quit = NewCtrl(panel, CTRL_STYLE_BUTTON, "Quit", 80, 120);
    // Without both buttons nothing could end the loop: give up instead of hanging.
    if (Lista_Idiomas > 0 && ok > 0 && quit > 0) {
      SetCtrlAttribute(panel, Lista_Idiomas, ATTR_WIDTH, 150);
      SetCtrlAttribute(panel, ok, ATTR_WIDTH, 75);
      SetCtrlAttribute(panel, ok, ATTR_CALLBACK, AceptarIdioma);
      SetCtrlAttribute(panel, quit, ATTR_WIDTH, 75);
      SetCtrlAttribute(panel, quit, ATTR_CALLBACK, Salir_de_Instalacion);
      SetPanelAttribute(panel, ATTR_PANEL_FLAG_599, 0);
      SetPanelAttribute(panel, ATTR_PANEL_FLAG_600, 0);
      SetPanelAttribute(panel, ATTR_PANEL_FLAG_601, 0);
      SetCtrlAttribute(panel, Lista_Idiomas, ATTR_LIST_FLAG_700, 0);
      SetPanelAttribute(panel, ATTR_DEFAULT_CTRL, ok);  // Enter chooses the selected language
      SetPanelAttribute(panel, ATTR_CANCEL_CTRL, quit);

      DisplayPanel(panel);
      for (int i = 0; i < count; ++i) InsertListItem(panel, Lista_Idiomas, -1, names[i], i + 1);
      SetMouseCursor(kDefaultCursor);
      DisplayPanel(panel);  // again: brings it to the front
      result = RunUserInterface();
    }
    // OK discards the panel itself; Quit and the failure path leave it to be discarded here.
    if (g_selectionPanel != 0) DiscardPanel(g_selectionPanel);
    g_selectionPanel = 0;
  }
  if (result < 1) result = -1;
  if (number) *number = result;
  return result;
}
