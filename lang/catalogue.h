// Text catalogue of the running language, and the language file, registry values and
// selection panel beneath it.
#pragma once

// The catalogue: entry N is catalogue text N of the chosen language (8-bit, in the
// language file's code page), null before one is loaded.
extern char** Textos_Idioma;

// Catalogue text n for display: never null. A number beyond the table or an entry the
// language file left empty reads as the empty text.
const char* CatalogueText(int n);
