// Language file "language.ini", the registry values of the language choice and of the
// runtime's fonts, the language-selection panel, and the language change from the menu.
//
// A language is one section of language.ini, known everywhere by its position in the file
// counted from 1. Section 1 is Spanish, section 2 English.
#pragma once

#include <cstddef>

#include "panels/panels.h"  // kAppTitle, the title the language key is named after

// ---- registry values (HKEY_LOCAL_MACHINE, strings)

// The language key, named after the tool's title: "SOFTWARE\<title>\Language".
inline constexpr const char* kLanguageKeyFormat = "SOFTWARE\\%s\\Language";
// Value holding the language number in decimal, without padding (1 = first section).
inline constexpr const char* kLanguageValue = "Language";
// The runtime's font settings; they must be empty for the language file's code page to show.
inline constexpr const char* kFontKey =
    "SOFTWARE\\National Instruments\\CVI Run-Time Engine\\cvirte";
inline constexpr const char* kFontProbeValue = "DialogFontName";
// Emptied in this order when the probe value is not empty.
inline constexpr const char* kFontValues[] = {"MessageBoxFontName", "AppFontName", "DialogFontName",
                                              "MenuFontName", "EditorFontName"};
// Registry reads go into buffers of this size (NUL included): a longer value counts as missing.
inline constexpr unsigned kRegTextSize = 300;

// ---- the language file

inline constexpr const char* kLanguageFileName = "language.ini";
// Selection panel capacity: at most this many languages are offered, names cut to
// kLanguageNameSize - 1 characters.
inline constexpr int kMaxLanguages = 20;
inline constexpr int kLanguageNameSize = 100;

// Path of language.ini in the executable's directory, joined with the native separator.
// Always terminated; a path that does not fit is cut (and then names no file).
void LanguageFilePath(char* buffer, std::size_t size);

// True when path is a language file that can be read: a regular file, or a link to one.
// Otherwise shows the fixed English "Error" popup, "File not found : <path>" when nothing is
// there, else naming the path and what sits there, and returns false.
bool LanguageFileReadable(const char* path);

// A registry write failed: the first time in the run, an "Error" popup naming the store and
// the reason; the choice still applies until the tool is closed. Later failures stay quiet.
void ReportRegistryWriteFailure();

// Registry key of the language value ("SOFTWARE\VELDIX-MID v1.0\Language").
void LanguageKey(char* buffer, std::size_t size);

// Writes `language` to the registry value "Language" as decimal text. The result is the
// registry write's (0 or negative); a failure is reported once per run
// (ReportRegistryWriteFailure), and callers go on.
int StoreLanguage(int language);

// ---- counting and listing the languages

// *count = number of sections of language.ini (0 when the file is missing or unreadable).
// Returns 0.
int Orba_NumeroDeIdiomas(int* count);

// Copies the names of the first kMaxLanguages sections into rows 0.. of `names`, each cut
// to kLanguageNameSize - 1 characters and terminated. Rows without a section are left as
// they were. Returns 0.
int Orba_ObtenerIdiomas(char names[kMaxLanguages][kLanguageNameSize]);

// ---- selection panel

// Shows the panel "Idioma / Language" with one list entry per language (at most
// kMaxLanguages) and runs a nested event loop until OK or Quit. Returns the chosen language
// number (>= 1), or -1 when the operator quit, pressed OK on an empty list, or the panel
// could not be built; the same value goes to *number when it is given.
int Orba_SeleccionarIdioma(int* number);

// OK: ends the selection with the selected entry's number (-1 when the list is empty).
int AceptarIdioma(int panel, int control, int event, void* callbackData, int eventData1,
                  int eventData2);
// Quit: ends the selection with -1.
int Salir_de_Instalacion(int panel, int control, int event, void* callbackData, int eventData1,
                         int eventData2);

// Control number of the selection panel's list, for the OK callback.
extern int Lista_Idiomas;

// ---- language change from the main panel's menu

// Menu entries: switch to section 1 (Spanish) and section 2 (English).
void Cambia_Idioma_ESP(int menuBar, int menuItem, void* callbackData, int panel);
void Cambia_Idioma_ENG(int menuBar, int menuItem, void* callbackData, int panel);

// Reloads the catalogue from section `language`, stores the number in the registry (before
// the section is checked), and on success shows the popup (title, message) asking for a
// restart: the main panel's labels keep their start-up texts until then.
void Cambiar_Idioma(int language, const char* title, const char* message);

// Binds "Cambia_Idioma_ESP" and "Cambia_Idioma_ENG" for the resource file's menu.
void RegisterLangCallbacks();
