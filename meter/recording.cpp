#include "recording.h"

#include <QDateTime>
#include <QFile>
#include <QString>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "catalogue.h"
#include "screen.h"
#include "ui.h"

namespace meter {

namespace {

struct Recorder {
  QFile file;
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

bool WriteLine(Recorder& r, const std::string& line) {
  const auto n = static_cast<qint64>(line.size());
  // Flushed per row: a crash loses at most the row being written.
  return r.file.write(line.data(), n) == n && r.file.flush();
}

// "2026-12-06T21:40:05.123+01:00": local time with its offset from UTC.
std::string IsoNow() {
  const QDateTime now = QDateTime::currentDateTime();
  const int offset = now.offsetFromUtc();
  const int minutes = (offset < 0 ? -offset : offset) / 60;
  char zone[16];
  std::snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+', minutes / 60,
                minutes % 60);
  return now.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")).toStdString() + zone;
}

}  // namespace

char DecimalMark() { return CatalogueText(kTextDecimalMark)[0] == ',' ? ',' : '.'; }
char FieldSeparator() { return DecimalMark() == ',' ? ';' : ','; }

bool StartRecording(int panel, const std::string& path, std::span<const Column> columns,
                    std::string* why) {
  auto r = std::make_unique<Recorder>();
  r->file.setFileName(QString::fromStdString(path));
  r->columns.assign(columns.begin(), columns.end());
  if (!r->file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    *why = r->file.errorString().toLatin1().toStdString();
    return false;
  }
  // Texts are in the language file's code page (Windows-1252), the one spreadsheets on
  // Windows assume for a CSV file without a byte-order mark.
  std::string header = Field(CatalogueText(kTextTimeColumn));
  for (const Column& c : columns) {
    char label[256] = "";
    GetCtrlAttribute(panel, c.control, ATTR_LABEL, label);
    header += FieldSeparator() + Field(label);
  }
  if (!WriteLine(*r, header + "\r\n")) {
    *why = r->file.errorString().toLatin1().toStdString();
    return false;
  }
  g_recorders[panel] = std::move(r);
  return true;
}

void RecordRow(int panel) {
  const auto it = g_recorders.find(panel);
  if (it == g_recorders.end()) return;
  std::string row = IsoNow();
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
  WriteLine(*it->second, row + "\r\n");
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
                               QString::fromStdString(path).toLatin1().toStdString() + "\n" + why;
      MessagePopup(CatalogueText(kTextRecording), text.c_str());
      return;
    }
  }
  SetCtrlAttribute(panel, button, ATTR_LABEL,
                   CatalogueText(IsRecording(panel) ? kTextStop : kTextRecord));
}

}  // namespace meter
