// INI reader: turns a text file of "[section]" headers and "name = value" items into an
// object that answers questions about sections by position and about values by name.
// Only reading is provided; the language file is the one user.
//
// File format, as read:
//   - 8-bit text taken byte for byte (no code-page conversion, no byte-order mark handling:
//     a UTF-8 mark in front of the first header spoils that header and its items are lost).
//   - Lines end at LF, CR or NUL. CRLF and LFCR count as one line end. A line keeps at most
//     255 bytes; the rest of it is dropped. Lines holding only white space are skipped. The
//     last line needs no line end.
//   - "[name]": a section header (name trimmed, non-empty, nothing but white space after the
//     last ']'). A header followed by a comment on the same line is not a header.
//   - ";" as the first non-blank character: a comment.
//   - "name = value": an item, split at the first '='. Name and value are trimmed and must
//     not be empty. A ';' in a value is part of it. A value of two or more characters that
//     begins and ends with '"' loses both quotes (so "" is the empty text). Items before the
//     first header of a file are ignored.
//   - Items named <base>Line1, <base>Line2, ... (the first "Line" in the name, then decimal
//     digits to the end of the name, case as written) are joined at the end of the read into
//     one item named <base>: a run starts at line number 1 and takes every directly following
//     item whose name is a line with a number other than 1. The number must fit a signed
//     32-bit integer (a Windows long, kept on every platform); "Line" followed by more digits
//     than that is an ordinary name.
//   - White space is space, TAB, LF, VT, FF and CR; bytes above 127 never are.
//
// Values taken from the object go through escape processing: \n, \r, \t give LF, CR, TAB;
// \xHH (two hexadecimal digits, either case) gives that byte; a backslash before any other
// character gives that character; a backslash at the very end is dropped.
// A \x that is not followed by two hexadecimal digits is an escaped 'x': it yields "x" and
// whatever follows is copied as ordinary text ("\x4" gives "x4", "\x" at the end gives "x",
// "\xZ1" gives "xZ1"). Nothing is ever read past the end of the value. \x00 yields a NUL byte,
// which ends the text as C strings see it.
//
// Names (sections and items) are compared without regard to case, folding the letters of
// ASCII and of Windows-1252 (the code page of the language file): "ESPAÑOL" matches
// "español". Several sections or items may share a name: all are kept in file order, and a
// lookup by name finds the first.
//
// An object belongs to one thread at a time. Every function accepts a null object (it then
// behaves as an object without sections) and null text arguments (0 results, nothing written).
#pragma once

// Result codes.
enum {
  INI_ERR_NO_MEMORY = -12,  // memory short (also: a null object handed to Ini_ReadFromFile)
  INI_ERR_OPEN = -5001,     // the file cannot be opened
  INI_ERR_READ = -5002,     // the file was opened but reading it failed
};

// Opaque handle of an INI object.
typedef struct IniTextRec* IniText;

// New empty object, or null when memory is short. Automatic sorting is accepted and ignored:
// sections and items always stay in file order.
IniText Ini_New(int automaticSorting);

// Frees the object and everything it holds (null allowed). Copies from Ini_GetStringCopy
// stay valid.
void Ini_Dispose(IniText ini);

// Reads the file at path (opened in binary mode) and appends its sections after those already
// held: 0 on success, INI_ERR_OPEN, INI_ERR_READ or INI_ERR_NO_MEMORY; on a failure what was
// read before it stays in the object.
int Ini_ReadFromFile(IniText ini, const char* path);

// Number of sections held.
int Ini_NumberOfSections(IniText ini);

// 1 and *name = the name of section n (1 = first, file order; owned by the object, valid until
// it is disposed), or 0 with *name untouched when there is none. Does not touch the cache of
// the last section found by name.
int Ini_NthSectionName(IniText ini, int n, char** name);

// Number of items of the first section called `section`, 0 when there is none.
int Ini_NumberOfItems(IniText ini, const char* section);

// 1 and *itemName = the name of item n (1 = first, file order) of the first section called
// `section` (owned by the object, valid until the next read or Ini_Dispose), or 0 with
// *itemName untouched when there is none.
int Ini_NthItemName(IniText ini, const char* section, int n, char** itemName);

// 1 and *text = the value of the first item `item` of the first section `section`, after
// escape processing, or 0 (*text = null) when either is missing, or INI_ERR_NO_MEMORY
// (*text = null). The text lives in the object's scratch buffer: it stays valid until the
// next Ini_GetPointerToString or Ini_GetStringCopy on this object, or Ini_Dispose.
int Ini_GetPointerToString(IniText ini, const char* section, const char* item, char** text);

// As Ini_GetPointerToString, but *copy is a new NUL-terminated string that the caller owns
// and releases with free(); *copy = null on any result other than 1. Overwrites the scratch
// buffer like Ini_GetPointerToString.
int Ini_GetStringCopy(IniText ini, const char* section, const char* item, char** copy);
