// User-interface runtime: panels, controls, callbacks, popups and the event loop, on Qt 6
// Widgets. Panels come from the resource file "VELDIXMID.uir" (format: docs/uir-format.md).
// Everything runs on the one thread that created the runtime; callbacks are dispatched by
// RunUserInterface (and by the nested loops of MessagePopup and of modal popups).
//
// Handles are positive integers; every operation returns a negative UI_ERR_* code on failure.
#pragma once

#include <cstddef>
#include <cstdio>  // __MINGW_PRINTF_FORMAT
#include <string>

// Lets the compiler check a printf-style format against its arguments. mingw-w64 names the
// C99 format its C++ runtime uses (%zu, %lld) __MINGW_PRINTF_FORMAT; compilers without the
// attribute just skip the check.
#if defined(__MINGW32__)
#define VELDIX_PRINTF_LIKE(fmt, first) __attribute__((format(__MINGW_PRINTF_FORMAT, fmt, first)))
#elif defined(__GNUC__)
#define VELDIX_PRINTF_LIKE(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#define VELDIX_PRINTF_LIKE(fmt, first)
#endif

// ---- event codes delivered to callbacks
enum {
  EVENT_COMMIT = 1,      // button pressed, value entered, switch/ring/check box changed by the user
  EVENT_GOT_FOCUS = 8,   // panel window activated
  EVENT_LOST_FOCUS = 9,  // panel window deactivated
  EVENT_CLOSE = 11,      // the panel's close box was used
  EVENT_TIMER_TICK = 15,  // a timer control's interval elapsed
};

// ---- attribute numbers
enum {
  ATTR_DIMMED = 500,          // int 0/1
  ATTR_CALLBACK = 513,        // CtrlCallbackPtr
  ATTR_WIDTH = 533,           // int, pixels
  ATTR_TITLE = 573,           // panel title text
  ATTR_PANEL_FLAG_599 = 599,  // panel flags the language panel switches off; panels
  ATTR_PANEL_FLAG_600 = 600,  //   here are fixed-size windows already, so all
  ATTR_PANEL_FLAG_601 = 601,  //   three are accepted and change nothing
  ATTR_VALUE = 630,           // control value: int, double or text by control kind
  ATTR_LABEL = 641,           // label text
  ATTR_LIST_FLAG_700 = 700,   // list box flag switched off there too; accepted
  ATTR_INTERVAL = 1270,       // timer interval, seconds (double)
  ATTR_ENABLED = 1271,        // timer enabled, int 0/1
  // Ours, for panels made in code (the resource file says "default" and "cancel"):
  ATTR_DEFAULT_CTRL = 20001,  // panel: control that Enter presses, 0 for none
  ATTR_CANCEL_CTRL = 20002,   // panel: control that Esc presses, 0 for none
};

// ---- control styles for NewCtrl
enum {
  CTRL_STYLE_BUTTON = 200,
  CTRL_STYLE_LIST = 301,
};

// ---- special values
enum {
  kCentreOnScreen = -2147483647 - 1,  // NewPanel top/left: centre on the screen
  kDefaultCursor = -1,                // SetMouseCursor argument: default cursor shape
};

// ---- error codes (negative)
enum {
  UI_ERR_NOT_INITIALIZED = -1,
  UI_ERR_FILE_NOT_FOUND = -2,      // resource file missing or unreadable
  UI_ERR_BAD_FILE_FORMAT = -3,     // resource file malformed
  UI_ERR_RESOURCE_NOT_FOUND = -4,  // no panel with that resource number in the file
  UI_ERR_UNKNOWN_CALLBACK = -5,    // the file names a callback that was never registered
  UI_ERR_BAD_PANEL = -6,           // no such panel handle
  UI_ERR_BAD_CONTROL = -7,         // no such control on the panel
  UI_ERR_BAD_ATTRIBUTE = -8,       // attribute not valid for this control or value type
  UI_ERR_BAD_VALUE = -9,           // value out of range / wrong type
  UI_ERR_NO_POPUP = -10,           // RemovePopup with no popup installed
  UI_ERR_BAD_INDEX = -11,          // list index out of range
};

using CtrlCallbackPtr = int (*)(int panel, int control, int event, void* callbackData,
                                int eventData1, int eventData2);
using PanelCallbackPtr = int (*)(int panel, int event, void* callbackData, int eventData1,
                                 int eventData2);
using MenuCallbackPtr = void (*)(int menuBar, int menuItem, void* callbackData, int panel);

// Creates the Qt application object if none exists yet. 1 on success, 0 on failure (no
// display could be opened). Every other operation needs it.
int InitUIRuntime(void* hInstance, char* argv[], void* reserved);
int InitUserInterface(int& argc, char* argv[]);
// Destroys every panel and the application object InitUIRuntime created.
void CloseUIRuntime(void);

// Callbacks named in the resource file are bound through this table. Registering a name
// again replaces the earlier entry. Returns 0.
int RegisterCtrlCallback(const char* name, CtrlCallbackPtr fn);
int RegisterPanelCallback(const char* name, PanelCallbackPtr fn);
int RegisterMenuCallback(const char* name, MenuCallbackPtr fn);

// Loads panel `resource` from `file` (a bare name is looked up in GetProjectDir), hidden,
// as a top-level window (parent 0) or as a window owned by `parent`.
// A new handle, or UI_ERR_* < 0.
int LoadPanel(int parent, const char* file, int resource);
// Creates an empty panel in code; sizes in pixels, top/left may be kCentreOnScreen.
int NewPanel(int parent, const char* title, int top, int left, int height, int width);
// Creates a control in code on `panel` (style CTRL_*); returns its control number.
int NewCtrl(int panel, int style, const char* label, int top, int left);
int DisplayPanel(int panel);
int HidePanel(int panel);
int DiscardPanel(int panel);

int SetPanelAttribute(int panel, int attribute, int value);
int SetPanelAttribute(int panel, int attribute, const char* value);
int GetPanelAttribute(int panel, int attribute, char* buffer, std::size_t size);
int SetPanelCallback(int panel, PanelCallbackPtr fn, void* callbackData);

int SetCtrlAttribute(int panel, int control, int attribute, int value);
int SetCtrlAttribute(int panel, int control, int attribute, double value);
int SetCtrlAttribute(int panel, int control, int attribute, const char* value);
int SetCtrlAttribute(int panel, int control, int attribute, CtrlCallbackPtr value);
int GetCtrlAttribute(int panel, int control, int attribute, int* value);
int GetCtrlAttribute(int panel, int control, int attribute, double* value);
// Text attributes: copies at most size - 1 bytes and always terminates the buffer.
int GetCtrlAttribute(int panel, int control, int attribute, char* buffer, std::size_t size);
template <std::size_t N>
int GetCtrlAttribute(int panel, int control, int attribute, char (&buffer)[N]) {
  return GetCtrlAttribute(panel, control, attribute, buffer, N);
}
int SetCtrlCallbackData(int panel, int control, void* callbackData);

// Control value (ATTR_VALUE) shorthands.
int SetCtrlVal(int panel, int control, int value);
int SetCtrlVal(int panel, int control, double value);
int SetCtrlVal(int panel, int control, const char* value);
int GetCtrlVal(int panel, int control, int* value);
int GetCtrlVal(int panel, int control, double* value);
int GetCtrlVal(int panel, int control, char* buffer, std::size_t size);

// List boxes and rings: items carry a label and an integer value; the control's value is the
// value of the selected item. index -1 appends.
int InsertListItem(int panel, int control, int index, const char* label, int value);
int GetNumListItems(int panel, int control, int* count);
// Removes `count` items from `index` on (-1 or fewer left: to the end).
int DeleteListItem(int panel, int control, int index, int count);
int ClearListCtrl(int panel, int control);

// Shows `panel` modally; input to other panels is blocked until it is removed. 0 or < 0.
int InstallPopup(int panel);
// Removes the topmost popup (argument 0) or the given one; the panel is hidden, not destroyed.
int RemovePopup(int panel);
// Modal message box with one OK button; returns 1 when dismissed.
int MessagePopup(const char* title, const char* message);

// Dispatches events until QuitUserInterface; nests. Returns the value given to the quit.
int RunUserInterface(void);
// Ends the innermost running RunUserInterface with `value`.
int QuitUserInterface(int value);

int ResetTimer(int panel, int control);
int SetMouseCursor(int cursor);
// Executable's directory without a trailing separator. 0, or -1 when it does not fit.
int GetProjectDir(char* buffer, std::size_t size = 260);
template <std::size_t N>
int GetProjectDir(char (&buffer)[N]) {
  return GetProjectDir(buffer, N);
}
// 1 when a file exists at `path`, 0 otherwise; *size gets its size when given.
int FileExists(const char* path, long* size);
// Blocks the calling thread's callbacks for `seconds`; only the windows are kept alive
// meanwhile (keep_alive.h).
void Delay(double seconds);
// printf-style formatting into a bounded buffer (always terminated); returns the length
// the full text would have.
int Fmt(char* target, std::size_t size, const char* format, ...) VELDIX_PRINTF_LIKE(3, 4);
// Native directory separator: '/' here, '\\' on Windows.
char PathSeparator(void);

// Texts by number (the catalogue) for the "text" members of the resource file: titles,
// menus, labels and messages. A null or empty text keeps the resource file's own.
using TextSourcePtr = const char* (*)(int number);
int SetTextSource(TextSourcePtr source);
// Puts the source's texts on every live panel at once (after a change of language). 0.
int RelabelPanels(void);

namespace ui {
// Why the last LoadPanel failed (file, panel, control and reason), for the operator.
const char* LastLoadError();
// Code-page conversion at the runtime boundary: texts handed to the runtime are 8-bit
// Windows-1252 (the language file's code page); Qt works in Unicode.
std::string ToCp1252(const std::u16string& text);
// A file path (UTF-8, as the file dialogs give it) in the runtime's code page, for a popup.
std::string PathToCp1252(const std::string& path);
// Asks the operator for a file in a modal dialog over the active window: an open dialog, or a
// save dialog that confirms replacing a file. The title is in the runtime's code page; the
// filter is "Name (*.ext);;* (*)". The path chosen (UTF-8), or empty when cancelled.
std::string AskFilePath(bool save, const char* title, const char* filter);
// The PC's local time now, as a calendar reads it (second 0-59, month and day from 1).
struct LocalTime {
  int year, month, day, hour, minute, second, millisecond;
  int utcOffsetSeconds;
};
LocalTime LocalTimeNow();
// The local time now in ISO 8601 with milliseconds and the offset from UTC,
// "2026-12-06T21:40:05.123+01:00".
std::string LocalTimeIso8601();
}  // namespace ui
