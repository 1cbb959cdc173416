#include "meter/recording.h"

#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "lang/catalogue.h"
#include "meter/screen.h"
#include "platform/line_file.h"
#include "platform/ui.h"

namespace meter {

namespace {

struct Recorder {
  ui::LineFile file;
  std::vector<Column> columns;
};
std::map<int, std::unique_ptr<Recorder>> g_recorders;  // by panel handle

// A field as a spreadsheet reads it: quoted when it holds the separator or a quote.
std::string Field(const std::string& s) {
  const char sep = FieldSeparator();
  if (s.find(sep) == std::string::npos && s.find('"') == std::string::npos) return s;
  std::string q = "\"";
  for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
  return q + "\"";
}

// Flushed per row: a crash loses at most the row being written.
bool WriteLine(Recorder& r, const std::string& line, std::string* why) {
  return r.file.Write(line, why);
}

}  // namespace

char DecimalMark() { return CatalogueText(kTextDecimalMark)[0] == ',' ? ',' : '.'; }
char FieldSeparator() { return DecimalMark() == ',' ? ';' : ','; }

bool StartRecording(int panel, const std::string& path, std::span<const Column> columns,
                    std::string* why) {
  auto r = std::make_unique<Recorder>();
  r->columns.assign(columns.begin(), columns.end());
  if (!r->file.Create(path, why)) return false;
  // Texts are in the language file's code page (Windows-1252), the one spreadsheets on
  // Windows assume for a CSV file without a byte-order mark.
  std::string header = Field(CatalogueText(kTextTimeColumn));
  for (const Column& c : columns) {
    char label[256] = "";
    GetCtrlAttribute(panel, c.control, ATTR_LABEL, label);
    header += FieldSeparator() + Field(label);
  }
  if (!WriteLine(*r, header + "\r\n", why)) return false;
  g_recorders[panel] = std::move(r);
  return true;
}

void RecordRow(int panel) {
  const auto it = g_recorders.find(panel);
  if (it == g_recorders.end()) return;
  std::string row = ui::LocalTimeIso8601();
  for (const Column& c : it->second->columns) {
    double value = 0;
    GetCtrlVal(panel, c.control, &value);
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", c.decimals, value);
    for (char* p = text; *p != '\0'; ++p)
      if (*p == '.') *p = DecimalMark();
    row += FieldSeparator();
    row += text;
  }
  std::string why;
  WriteLine(*it->second, row + "\r\n", &why);
}

void StopRecording(int panel) { g_recorders.erase(panel); }

bool IsRecording(int panel) { return g_recorders.count(panel) != 0; }

void ToggleRecording(int panel, int button, std::span<const Column> columns) {
  if (IsRecording(panel)) {
    StopRecording(panel);
  } else {
    const std::string path = PickFile(true, kTextRecording, "CSV (*.csv);;* (*)");
    if (path.empty()) return;
    std::string why;
    if (!StartRecording(panel, path, columns, &why)) {
      const std::string text = std::string(CatalogueText(kTextCannotCreate)) + "\n" +
                               ui::PathToCp1252(path) + "\n" + why;
      MessagePopup(CatalogueText(kTextRecording), text.c_str());
      return;
    }
  }
  SetCtrlAttribute(panel, button, ATTR_LABEL,
                   CatalogueText(IsRecording(panel) ? kTextStop : kTextRecord));
}

}  // namespace meter
