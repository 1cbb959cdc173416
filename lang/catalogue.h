// Text catalogue of the running language, and the language file, registry values and
// selection panel beneath it.
//
// The catalogue is built once at start-up from one section of "language.ini" (the section
// whose number the registry value "Language" holds, or the one the operator picks in the
// selection panel) and replaced by a language change from the menu. Texts are 8-bit, in the
// language file's code page (Windows-1252), and go to the user-interface runtime unchanged.
#pragma once

#include <cstddef>

// The catalogue: entry N is catalogue text N of the chosen language, null before one is
// loaded. Read it only through CatalogueText: the table carries no length and may hold
// null entries (the fill stops at the first number the section lacks).
extern char** Textos_Idioma;

// Catalogue text n for display: never null. A number beyond the table, an entry the language
// file left empty, or no catalogue at all reads as the empty text. The pointer stays valid
// until the next language change; copy the text if it must live longer.
const char* CatalogueText(int n);

// Number of entries of the catalogue in force (0 when none is loaded; also 0 for a language
// section without items, which is a valid, empty catalogue).
int CatalogueSize();

// Start-up builder: makes sure the runtime's font values are empty, finds language.ini beside
// the executable, takes the stored language number or lets the operator choose one (and
// stores the choice), and loads that section. Returns the new table, also stored in
// Textos_Idioma, or null once every failure has been reported to the operator (or the
// operator quit the selection panel).
char** Orba_AsignarIdioma(void);

// True when the registry value "DialogFontName" of the runtime's font settings is empty (or
// unreadable): loading may go on. Otherwise empties the five font values, shows the
// "Restart" popup and returns false.
bool Restablecer_Fuentes(void);

// Loads section `language` (1 = first section, file order) of the language file at `path`
// and installs it as the catalogue: entry N is the text of item N written with four digits
// ("0000", "0001", ...), filled from 0 up to the first number the section lacks. The new
// table is built completely before it replaces the old one, so any failure (section missing,
// memory short) leaves the catalogue in force untouched; the replaced table is released.
// Returns the new table, or null after an "Error" popup.
char** Cargar_Textos_Idioma(const char* path, int language);
