// Internals shared by the user-interface runtime's translation units.
#pragma once

#include <QJsonValue>
#include <cstddef>
#include <QString>
#include <utility>
#include <vector>

namespace ui::detail {

enum class Kind { Numeric, String, TextMsg, Ring, Switch, CheckBox, Button, Timer, List };

struct ControlSpec {
  int id = 0;
  Kind kind = Kind::Numeric;
  QString label;
  int top = 0, left = 0, width = 0, height = 0;  // 0: the kind's default size
  bool isDouble = false;                          // numeric: double or integer value
  QJsonValue value;                               // initial value, by kind
  double min = -2147483648.0, max = 2147483647.0;
  int precision = 0;                              // numeric: digits after the point
  QString unit;                                   // numeric: suffix shown after the value
  int maxLength = 255;                            // string: longest accepted text
  std::vector<std::pair<QString, int>> items;     // ring and list entries
  bool dimmed = false, readOnly = false, visible = true;
  QString callback;                               // name bound through the callback table
  double interval = 1.0;                          // timer, seconds
  bool enabled = true;                            // timer
};

struct MenuItemSpec {
  int id = 0;
  QString label;
  QString callback;
};

struct MenuSpec {
  QString label;
  std::vector<MenuItemSpec> items;
};

struct PanelSpec {
  int resource = 0;
  QString title;
  int width = 400, height = 300;
  QString callback;
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
// Shows `pixmap` in the corner indicator of every panel (null pixmap hides it).
void SetPanelIndicator(const class QPixmap* pixmap);

}  // namespace ui::detail
