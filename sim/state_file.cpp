#include "sim/state_file.h"

#include "platform/safe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <vector>

namespace veldix::sim {

namespace {

constexpr const char* kHeader = "veldixmid-sim-state 1";
// A state file is a few hundred bytes; anything much larger is not ours.
constexpr std::size_t kMaxFileSize = 64 * 1024;

struct SettingField {
  const char* key;
  uint32_t max;
  uint32_t Settings::*wide;
  uint16_t Settings::*narrow;
};

const std::vector<SettingField>& setting_fields() {
  static const std::vector<SettingField> fields = {
      {"slave-address", 0xFFFF, nullptr, &Settings::slave_address},
      {"baud-div100", 0xFFFF, nullptr, &Settings::baud_div100},
      {"demand-period", 0xFFFF, nullptr, &Settings::demand_period},
      {"parity", 0xFFFF, nullptr, &Settings::parity},
      {"stop-bits", 0xFFFF, nullptr, &Settings::stop_bits},
      {"tariff-mode", 0xFFFF, nullptr, &Settings::tariff_mode},
      {"password", 0xFFFF, nullptr, &Settings::password},
      {"ct-secondary", 0xFFFF, nullptr, &Settings::ct_secondary},
      {"vt-secondary", 0xFFFF, nullptr, &Settings::vt_secondary},
      {"ct-primary", 0xFFFFFFFF, &Settings::ct_primary, nullptr},
      {"vt-primary", 0xFFFFFFFF, &Settings::vt_primary, nullptr},
  };
  return fields;
}

std::vector<std::string> split_words(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  std::string w;
  while (in >> w) words.push_back(w);
  return words;
}

std::optional<uint64_t> parse_uint(const std::string& s) {
  uint64_t v = 0;
  const char* end = s.data() + s.size();
  auto [p, ec] = std::from_chars(s.data(), end, v, 10);
  if (ec != std::errc() || p != end) return std::nullopt;
  return v;
}

std::optional<double> parse_double(const std::string& s) {
  if (s.empty() || s.size() > 40) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(s.c_str(), &end);
  if (errno != 0 || end != s.c_str() + s.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

StateLoad corrupt(int line, const std::string& why) {
  StateLoad r;
  r.status = StateLoad::Status::corrupt;
  r.message = line > 0 ? "line " + std::to_string(line) + ": " + why : why;
  return r;
}

}  // namespace

std::string format_state(const MeterState& st) {
  std::string out;
  char buf[128];
  out += kHeader;
  out += "\n# Written by veldixmid-sim; edit only while the simulator is not running.\n";
  for (const SettingField& f : setting_fields()) {
    const uint32_t v = f.wide ? st.settings.*(f.wide) : st.settings.*(f.narrow);
    std::snprintf(buf, sizeof buf, "%s %u\n", f.key, v);
    out += buf;
  }
  out += "display-mask";
  for (uint16_t w : st.display_mask) {
    std::snprintf(buf, sizeof buf, " %u", w);
    out += buf;
  }
  out += "\n";
  std::snprintf(buf, sizeof buf, "clock-offset %.3f\n", st.clock_offset_s);
  out += buf;
  for (std::size_t c = 0; c < kCounterCount; ++c) {
    std::snprintf(buf, sizeof buf, "energy %s %.3f\n", counter_name(static_cast<Counter>(c)),
                  st.energy[c]);
    out += buf;
  }
  out += "end\n";
  return out;
}

StateLoad parse_state(const std::string& text) {
  if (text.size() > kMaxFileSize) return corrupt(0, "file too large");
  if (text.find('\0') != std::string::npos) return corrupt(0, "binary data");

  MeterState st;
  std::map<std::string, int> seen;  // key -> line
  bool header = false;
  bool ended = false;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (ended) {
      if (!split_words(line).empty()) return corrupt(number, "text after 'end'");
      continue;
    }
    if (!header) {
      if (line != kHeader) return corrupt(number, "not a veldixmid-sim state file");
      header = true;
      continue;
    }
    const std::vector<std::string> w = split_words(line);
    if (w.empty() || w[0][0] == '#') continue;
    std::string key = w[0];
    if (key == "energy" && w.size() >= 2) key += " " + w[1];
    if (seen.count(key)) return corrupt(number, "'" + key + "' given twice");
    seen[key] = number;

    if (key == "end") {
      if (w.size() != 1) return corrupt(number, "'end' takes nothing");
      ended = true;
      continue;
    }
    if (key == "display-mask") {
      if (w.size() != 1 + kMaskWords) return corrupt(number, "display-mask needs 5 words");
      for (std::size_t k = 0; k < kMaskWords; ++k) {
        const auto v = parse_uint(w[1 + k]);
        if (!v || *v > 0xFFFF) return corrupt(number, "display-mask word is not 0..65535");
        st.display_mask[k] = static_cast<uint16_t>(*v);
      }
      continue;
    }
    if (key == "clock-offset") {
      const auto v = w.size() == 2 ? parse_double(w[1]) : std::nullopt;
      // More than a century either way is no clock a meter could show.
      if (!v || std::fabs(*v) > 3.2e9) return corrupt(number, "clock-offset is not a number");
      st.clock_offset_s = *v;
      continue;
    }
    if (w[0] == "energy") {
      if (w.size() != 3) return corrupt(number, "energy needs a name and a value");
      std::size_t c = 0;
      while (c < kCounterCount && w[1] != counter_name(static_cast<Counter>(c))) ++c;
      if (c == kCounterCount) return corrupt(number, "unknown counter '" + w[1] + "'");
      const auto v = parse_double(w[2]);
      if (!v || *v < 0 || *v > 1e15) return corrupt(number, "energy value out of range");
      st.energy[c] = *v;
      continue;
    }
    bool known = false;
    for (const SettingField& f : setting_fields()) {
      if (key != f.key) continue;
      known = true;
      const auto v = w.size() == 2 ? parse_uint(w[1]) : std::nullopt;
      if (!v || *v > f.max) return corrupt(number, key + " is not a number in range");
      if (f.wide) {
        st.settings.*(f.wide) = static_cast<uint32_t>(*v);
      } else {
        st.settings.*(f.narrow) = static_cast<uint16_t>(*v);
      }
    }
    if (!known) return corrupt(number, "unknown key '" + w[0] + "'");
  }
  if (!header) return corrupt(0, "empty file");
  if (!ended) return corrupt(number, "cut short (no 'end' line)");
  std::vector<std::string> wanted = {"display-mask", "clock-offset"};
  for (const SettingField& f : setting_fields()) wanted.emplace_back(f.key);
  for (std::size_t c = 0; c < kCounterCount; ++c) {
    wanted.push_back(std::string("energy ") + counter_name(static_cast<Counter>(c)));
  }
  for (const std::string& k : wanted) {
    if (!seen.count(k)) return corrupt(0, "'" + k + "' missing");
  }
  // Settings the meter itself would refuse were not written by the simulator.
  if (!settings_valid(st.settings)) return corrupt(0, "a setting is outside the meter's range");
  st.display_mask[4] &= kMaskWord4Used;

  StateLoad r;
  r.status = StateLoad::Status::loaded;
  r.state = st;
  return r;
}

StateLoad load_state(const std::string& path) {
  const safe_file::Read file = safe_file::ReadFile(path, kMaxFileSize);
  StateLoad r;
  switch (file.status) {
    case safe_file::Status::ok: r = parse_state(file.data); break;
    case safe_file::Status::missing:
      r.status = StateLoad::Status::missing;
      r.message = "not found";
      return r;
    case safe_file::Status::not_regular:
    case safe_file::Status::unreadable:
      r.status = StateLoad::Status::refused;
      r.message = file.reason;
      return r;
    case safe_file::Status::too_large: r = corrupt(0, "file " + file.reason); break;
  }
  if (r.status == StateLoad::Status::corrupt) r.text = file.data;
  return r;
}

std::string save_state(const std::string& path, const MeterState& state) {
  return safe_file::WriteAtomically(path, format_state(state), 0644);
}

}  // namespace veldix::sim
