// Configuration files: the device settings and the display mask of a meter in a small,
// versioned text format (docs/config-file.md), so that one meter's configuration can be
// kept on record and loaded into the screens to be sent to another. Saving is atomic:
// the old file stays whole until the new one is complete.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "meter/codec.h"

namespace meter {

inline constexpr int kConfigFileVersion = 1;

struct ConfigFile {
  int version = kConfigFileVersion;
  std::string saved;                   // local time of saving, ISO 8601 ("2026-12-06T20:10:05")
  std::string read;                    // local time the values were read from the meter; "" unknown
  int slave = 0;                       // the Modbus address the meter answered on; 0 unknown
  long long serial = -1;               // the meter's serial number (4097-4098); -1 unknown
  std::optional<DeviceConfig> device;  // the clock is kept for the record only
  std::optional<Mask> display;
};

// Why a file was refused; `field` names the offending field ("device.baud"), or the line.
enum class FileFault {
  kUnreadable,  // detail: the system's reason
  kEmpty,
  kMalformed,  // line: the line that is neither a section, a field nor a comment
  kNotOurs,    // file.format is not this tool's
  kNewer,      // file.version above kConfigFileVersion
  kMissing,    // a field or section the screen needs is absent
  kNotNumber,
  kOutOfRange,  // detail: the range, "0..65535"
  kTwice,
  kUnknown,  // a field this version does not know
};
struct FileError {
  FileFault fault = FileFault::kMalformed;
  std::string field;
  int line = 0;
  std::string detail;
};

// The text of a file; the clock is written as read, as a comment-free field.
std::string ConfigFileText(const ConfigFile& f);
// Parses a file's text; on a fault, false with *error set and *out untouched.
bool ParseConfigFile(std::string_view text, ConfigFile* out, FileError* error);

// Writes the file atomically; false with the system's reason in *why.
bool SaveConfigFile(const std::string& path, const ConfigFile& f, std::string* why);
// Reads and parses; false with *error set.
bool LoadConfigFile(const std::string& path, ConfigFile* out, FileError* error);

// The fault in the catalogue's language, naming the field: "device.baud: out of range
// 0..65535".
std::string DescribeFileError(const FileError& e);

// Local time now, ISO 8601 without zone.
std::string LocalTimeIso();

}  // namespace meter
