// Internals shared by the user-interface runtime's translation units.
#pragma once

#include <QJsonValue>
#include <QString>
#include <cstddef>
#include <utility>
#include <vector>

namespace ui::detail {

enum class Kind { Numeric, String, TextMsg, Ring, Switch, CheckBox, Button, Timer, List };

struct ControlSpec {
  int id = 0;
  Kind kind = Kind::Numeric;
  QString label;
  int top = 0, left = 0, width = 0, height = 0;  // 0: the kind's default size
  bool isDouble = false;                         // numeric: double or integer value
  QJsonValue value;                              // initial value, by kind
  double min = -2147483648.0, max = 2147483647.0;
  int precision = 0;                           // numeric: digits after the point
  QString unit;                                // numeric: suffix shown after the value
  int maxLength = 255;                         // string: longest accepted text
  std::vector<std::pair<QString, int>> items;  // ring and list entries
  std::vector<int> itemTexts;                  // text numbers of their labels, -1 none
  bool dimmed = false, readOnly = false, visible = true;
  bool multiSelect = false;  // list: several entries selectable, Ctrl+C copies their lines
  QString callback;          // name bound through the callback table
  double interval = 1.0;     // timer, seconds
  bool enabled = true;       // timer
  int text = -1;             // number of the text source's label (value of a text message), -1 none
};

struct MenuItemSpec {
  int id = 0;
  int text = -1;
  QString label;
  QString callback;
};

struct MenuSpec {
  QString label;
  int text = -1;
  std::vector<MenuItemSpec> items;
};

struct PanelSpec {
  int resource = 0;
  QString title;
  int width = 400, height = 300;
  QString callback;
  int titleText = -1;            // number of the text source's title
  int defaultCtrl = 0;           // pressed by Enter
  int cancelCtrl = 0;            // pressed by Esc; never one that writes to the meter
  bool escCloses = false;        // Esc asks to close the panel, as its close box does
  bool center = false;           // centred on the screen when first shown
  int indicator[3] = {0, 0, 0};  // top, left, size of the link indicator; size 0: the corner
  std::vector<MenuSpec> menus;
  std::vector<ControlSpec> controls;
};

// Parses the resource file text and extracts panel `resource`. 0, or a UI_ERR_* code with
// *error set to a message naming the place of the fault.
int ParsePanel(const QByteArray& fileText, int resource, PanelSpec* out, QString* error);

// Reads the resource file at path (a regular file, or a link to one, of at most
// kMaxResourceFileBytes; never blocks on a FIFO or a device) and parses panel `resource`
// from it. UI_ERR_FILE_NOT_FOUND when it cannot be read, with *error naming the path and
// what is wrong ("... is a directory").
inline constexpr std::size_t kMaxResourceFileBytes = 16u << 20;
int LoadPanelSpec(const QString& path, int resource, PanelSpec* out, QString* error);

// 8-bit Windows-1252 <-> Unicode, used for every text that crosses the runtime boundary.
QString FromCp1252(const char* text);
std::string ToCp1252(const QString& text);

// Paints every shown panel at once without dispatching input or callbacks; used before
// the caller blocks the thread.
void PaintNow();
// Shows `pixmap` in the corner indicator of every panel (null pixmap hides it); `state`
// is what screen readers say of it.
void SetPanelIndicator(const class QPixmap* pixmap, const QString& state = {});
// Text `n` of the text source (the catalogue), or `fallback` when it has none.
QString SourceText(int n, const QString& fallback);

}  // namespace ui::detail
