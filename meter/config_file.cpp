// Configuration files: writing, parsing and refusing them field by field.
#include "meter/config_file.h"

#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "lang/catalogue.h"
#include "platform/safe_file.h"
#include "platform/ui.h"

namespace meter {

namespace {

constexpr const char* kFormatName = "VELDIXMID configuration";
// A configuration file is a few hundred bytes; anything far larger is not one.
constexpr std::size_t kMaxFileBytes = 64 * 1024;

// Catalogue texts of the reasons a file is refused.
enum {
  kTextUnreadable = 337,
  kTextEmpty = 338,
  kTextMalformed = 339,
  kTextNotOurs = 340,
  kTextNewer = 341,
  kTextMissing = 342,
  kTextNotNumber = 343,
  kTextOutOfRange = 344,
  kTextTwice = 345,
  kTextUnknown = 346,
  kTextIsFolder = 348,
};

struct Range {
  long long lo, hi;
};
constexpr Range k16{0, 65535};
constexpr Range k32{INT32_MIN, INT32_MAX};

// The device fields in file order, with their place in DeviceConfig and their range (the
// registers' own: 16-bit settings unsigned, the primaries signed 32-bit as the panel holds
// them, the frame format one of the four ring entries).
struct DeviceField {
  const char* key;
  int DeviceConfig::*member;
  Range range;
};
constexpr DeviceField kDeviceFields[] = {
    {"address", &DeviceConfig::address, k16},
    {"baud", &DeviceConfig::baud, k16},
    {"demand_period", &DeviceConfig::demandPeriod, k16},
    {"frame", &DeviceConfig::frame, {0, 3}},
    {"tariff_mode", &DeviceConfig::tariffMode, k16},
    {"password", &DeviceConfig::password, k16},
    {"ct_secondary", &DeviceConfig::ctSecondary, k16},
    {"vt_secondary", &DeviceConfig::vtSecondary, k16},
    {"ct_primary", &DeviceConfig::ctPrimary, k32},
    {"vt_primary", &DeviceConfig::vtPrimary, k32},
};
constexpr const char* kFileKeys[] = {"format", "version", "saved", "read", "slave", "serial"};
constexpr const char* kWordKeys[kMaskWords] = {"word0", "word1", "word2", "word3", "word4"};
// Word 4's bits 3 to 7 have no control: a file that sets them holds what no screen shows.
constexpr unsigned kWord4Unused = 0x00F8;

bool Known(const std::string& section, const std::string& key) {
  auto in = [&](auto& keys) {
    for (const auto& k : keys)
      if (key == k) return true;
    return false;
  };
  if (section == "file") return in(kFileKeys);
  if (section == "display") return in(kWordKeys);
  if (section != "device") return false;
  if (key == "clock") return true;
  for (const DeviceField& f : kDeviceFields)
    if (key == f.key) return true;
  return false;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

// A whole decimal number, or hexadecimal after 0x.
bool Number(std::string_view s, long long* v) {
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s.remove_prefix(2);
    base = 16;
  }
  if (s.empty() || s[0] == '+') return false;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *v, base);
  return ec == std::errc() && end == s.data() + s.size();
}

std::string RangeText(Range r) { return std::to_string(r.lo) + ".." + std::to_string(r.hi); }

struct Value {
  std::string text;
  int line;
};
using Fields = std::map<std::string, Value>;  // "section.key"

class Reader {
 public:
  Reader(const Fields& fields, FileError* error) : fields_(fields), error_(error) {}
  const Value* Find(const std::string& field) const {
    const auto it = fields_.find(field);
    return it == fields_.end() ? nullptr : &it->second;
  }
  bool Fail(FileFault fault, const std::string& field, const std::string& detail = "") {
    *error_ = {fault, field, 0, detail};
    return false;
  }
  bool Get(const std::string& field, Range range, long long* v) {
    const Value* value = Find(field);
    if (value == nullptr) return Fail(FileFault::kMissing, field);
    if (!Number(value->text, v)) return Fail(FileFault::kNotNumber, field);
    if (*v < range.lo || *v > range.hi)
      return Fail(FileFault::kOutOfRange, field, RangeText(range));
    return true;
  }

 private:
  const Fields& fields_;
  FileError* error_;
};

std::string Pad(int v, int width) {
  char text[32];
  std::snprintf(text, sizeof text, "%0*d", width, v);
  return text;
}

}  // namespace

std::string LocalTimeIso() {
  const ui::LocalTime t = ui::LocalTimeNow();
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

std::string ConfigFileText(const ConfigFile& f) {
  std::string t = "; VELDIX-MID configuration file\n[file]\n";
  t += std::string("format = ") + kFormatName + "\n";
  t += "version = " + std::to_string(f.version) + "\n";
  t += "saved = " + f.saved + "\n";
  t += "read = " + f.read + "\n";
  t += "slave = " + std::to_string(f.slave) + "\n";
  if (f.serial >= 0) t += "serial = " + std::to_string(f.serial) + "\n";
  if (f.device) {
    const DeviceConfig& d = *f.device;
    t += "\n[device]\n";
    const MeterClock& c = d.clock;
    t += "clock = " + Pad(c.year, 4) + "-" + Pad(c.month, 2) + "-" + Pad(c.day, 2) + " " +
         Pad(c.hour, 2) + ":" + Pad(c.minute, 2) + ":" + Pad(c.second, 2) + "\n";
    for (const DeviceField& field : kDeviceFields)
      t += std::string(field.key) + " = " + std::to_string(d.*field.member) + "\n";
  }
  if (f.display) {
    t += "\n[display]\n";
    for (int k = 0; k < kMaskWords; ++k) {
      char word[16];
      std::snprintf(word, sizeof word, "0x%04X", (*f.display)[static_cast<std::size_t>(k)]);
      t += std::string(kWordKeys[k]) + " = " + word + "\n";
    }
  }
  return t;
}

bool ParseConfigFile(std::string_view text, ConfigFile* out, FileError* error) {
  if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) {
    *error = {FileFault::kEmpty, "", 0, ""};
    return false;
  }
  // Lines first; a malformed, repeated or unknown line is reported only once the format
  // and version are known to be ours, so a newer file says that it is newer.
  Fields fields;
  std::string section;
  int lineNo = 0, badLine = 0;
  std::string twice, unknown;
  for (std::size_t at = 0; at <= text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = Trim(text.substr(at, end - at));
    at = end + 1;
    ++lineNo;
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[') {
      if (line.back() != ']' || line.size() < 3) {
        if (badLine == 0) badLine = lineNo;
        continue;
      }
      section = std::string(Trim(line.substr(1, line.size() - 2)));
      continue;
    }
    const std::size_t eq = line.find('=');
    const std::string key(Trim(line.substr(0, eq == std::string_view::npos ? 0 : eq)));
    if (eq == std::string_view::npos || key.empty() || section.empty()) {
      if (badLine == 0) badLine = lineNo;
      continue;
    }
    const std::string name = section + "." + key;
    if (!Known(section, key) && unknown.empty()) unknown = name;
    if (!fields.emplace(name, Value{std::string(Trim(line.substr(eq + 1))), lineNo}).second &&
        twice.empty())
      twice = name;
  }

  Reader r(fields, error);
  const Value* format = r.Find("file.format");
  if (format == nullptr || format->text != kFormatName)
    return r.Fail(FileFault::kNotOurs, "file.format");
  long long version = 0;
  const Value* v = r.Find("file.version");
  if (v == nullptr) return r.Fail(FileFault::kMissing, "file.version");
  if (!Number(v->text, &version)) return r.Fail(FileFault::kNotNumber, "file.version");
  if (version > kConfigFileVersion) return r.Fail(FileFault::kNewer, "file.version");
  if (version < 1)
    return r.Fail(FileFault::kOutOfRange, "file.version", RangeText({1, kConfigFileVersion}));
  if (badLine != 0) {
    *error = {FileFault::kMalformed, "", badLine, ""};
    return false;
  }
  if (!twice.empty()) return r.Fail(FileFault::kTwice, twice);
  if (!unknown.empty()) return r.Fail(FileFault::kUnknown, unknown);

  ConfigFile f;
  f.version = static_cast<int>(version);
  if (const Value* s = r.Find("file.saved")) f.saved = s->text;
  if (const Value* s = r.Find("file.read")) f.read = s->text;
  long long n = 0;
  if (r.Find("file.slave") != nullptr) {
    if (!r.Get("file.slave", {0, 247}, &n)) return false;
    f.slave = static_cast<int>(n);
  }
  if (r.Find("file.serial") != nullptr) {
    if (!r.Get("file.serial", {0, UINT32_MAX}, &n)) return false;
    f.serial = n;
  }
  const auto inSection = [&](const char* s) {
    const std::string prefix = std::string(s) + ".";
    for (const auto& [name, value] : fields)
      if (name.rfind(prefix, 0) == 0) return true;
    return false;
  };
  if (inSection("device")) {
    DeviceConfig d;
    for (const DeviceField& field : kDeviceFields) {
      if (!r.Get(std::string("device.") + field.key, field.range, &n)) return false;
      d.*field.member = static_cast<int>(n);
    }
    if (const Value* c = r.Find("device.clock")) {
      // For the record only; what BCD bytes decode to (up to 165) is kept as it stands.
      MeterClock& k = d.clock;
      char tail = 0;
      if (std::sscanf(c->text.c_str(), "%d-%d-%d %d:%d:%d%c", &k.year, &k.month, &k.day, &k.hour,
                      &k.minute, &k.second, &tail) != 6)
        return r.Fail(FileFault::kNotNumber, "device.clock");
    }
    f.device = d;
  }
  if (inSection("display")) {
    Mask m{};
    for (int k = 0; k < kMaskWords; ++k) {
      const std::string name = std::string("display.") + kWordKeys[k];
      if (!r.Get(name, k16, &n)) return false;
      if (k == 4 && (n & kWord4Unused) != 0)
        return r.Fail(FileFault::kOutOfRange, name, "0..65535, bits 3-7 = 0");
      m[static_cast<std::size_t>(k)] = static_cast<std::uint16_t>(n);
    }
    f.display = m;
  }
  *out = f;
  return true;
}

bool SaveConfigFile(const std::string& path, const ConfigFile& f, std::string* why) {
  // Atomic: a crash or a full disk leaves the old file or the new one, never half of it.
  *why = safe_file::WriteAtomically(path, ConfigFileText(f), 0644);
  return why->empty();
}

bool LoadConfigFile(const std::string& path, ConfigFile* out, FileError* error) {
  const safe_file::Read r = safe_file::ReadFile(path, kMaxFileBytes);
  switch (r.status) {
    case safe_file::Status::ok: break;
    case safe_file::Status::too_large:
      *error = {FileFault::kNotOurs, "file.format", 0, ""};
      return false;
    default: {
      // A folder picked by mistake is named in the chosen language; other reasons are the
      // system's.
      const bool folder =
          r.status == safe_file::Status::not_regular && r.reason == "is a directory";
      *error = {FileFault::kUnreadable, "", 0,
                folder ? std::string(CatalogueText(kTextIsFolder)) : r.reason};
      return false;
    }
  }
  return ParseConfigFile(std::string_view(r.data), out, error);
}

std::string DescribeFileError(const FileError& e) {
  switch (e.fault) {
    case FileFault::kUnreadable:
      return std::string(CatalogueText(kTextUnreadable)) + ": " + e.detail;
    case FileFault::kEmpty: return CatalogueText(kTextEmpty);
    case FileFault::kMalformed:
      return std::string(CatalogueText(kTextMalformed)) + " " + std::to_string(e.line);
    default: break;
  }
  int text = kTextUnknown;
  switch (e.fault) {
    case FileFault::kNotOurs: text = kTextNotOurs; break;
    case FileFault::kNewer: text = kTextNewer; break;
    case FileFault::kMissing: text = kTextMissing; break;
    case FileFault::kNotNumber: text = kTextNotNumber; break;
    case FileFault::kOutOfRange: text = kTextOutOfRange; break;
    case FileFault::kTwice: text = kTextTwice; break;
    default: break;
  }
  std::string s = e.field + ": " + CatalogueText(text);
  if (!e.detail.empty()) s += " " + e.detail;
  return s;
}

}  // namespace meter
