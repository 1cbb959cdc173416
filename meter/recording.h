// CSV recording of the polling screens: one row per successful poll, with the values as the
// screen shows them, to a file the technician picks. Format: docs/csv-recording.md.
#pragma once

#include <span>
#include <string>

namespace meter {

// Catalogue texts of the recording and of the traffic log.
enum {
  kTextFirstTrafficWord = 362,  // 362-396: the traffic log's words, in traffic::Word order
  kTextRecord = 397,
  kTextStop = 398,
  kTextRecording = 399,  // title of the file dialog and of its popup
  kTextCannotCreate = 400,
  kTextTimeColumn = 401,
  kTextDecimalMark = 402,  // "," or "."; with a decimal comma fields are split by ';'
};

// One value column: the control shown and the digits it shows after the decimal mark.
struct Column {
  int control;
  int decimals;
};

// The CSV convention of the chosen language: the decimal mark, and the field separator that
// goes with it (';' with a decimal comma, ',' otherwise), as spreadsheets of that language
// read them.
char DecimalMark();
char FieldSeparator();

// Starts recording `panel` to `path`: writes the header (the time, then each column's label
// as the panel shows it). False, with the reason, when the file cannot be created.
bool StartRecording(int panel, const std::string& path, std::span<const Column> columns,
                    std::string* why);
// Appends one row (the local time now, ISO 8601 with its offset, then each column's value)
// and flushes it to the file. Nothing when `panel` is not recording.
void RecordRow(int panel);
void StopRecording(int panel);
bool IsRecording(int panel);

// The Record/Stop button of a polling screen: starts (asking for the file; a file that
// cannot be created is told in a popup naming it and why) or stops, and labels the button.
void ToggleRecording(int panel, int button, std::span<const Column> columns);

}  // namespace meter
