// Language change from the main panel's menu: reload the catalogue from a fixed section,
// store the choice, ask for a restart. Loading the catalogue relabels the open panels at once.
#include "lang/catalogue.h"
#include "lang/language.h"
#include "platform/ui.h"

void Cambiar_Idioma(int language, const char* title, const char* message) {
  if (!Restablecer_Fuentes()) return;

  char path[1200];
  LanguageFilePath(path, sizeof path);
  if (!LanguageFileReadable(path)) return;

  // Stored before the section is checked: a number without a section makes the next start
  // open the selection panel.
  StoreLanguage(language);
  if (!Cargar_Textos_Idioma(path, language)) return;
  MessagePopup(title, message);
}

void Cambia_Idioma_ESP(int, int, void*, int) {
  Cambiar_Idioma(1, "Advertencia!!!", "Reiniciar el programa para aplicar los cambios");
}

void Cambia_Idioma_ENG(int, int, void*, int) {
  Cambiar_Idioma(2, "Warning!!!", "Please, Restart the software to apply the changes");
}

void RegisterLangCallbacks() {
  RegisterMenuCallback("Cambia_Idioma_ESP", Cambia_Idioma_ESP);
  RegisterMenuCallback("Cambia_Idioma_ENG", Cambia_Idioma_ENG);
}
