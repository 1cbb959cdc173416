#include "sim/meter_model.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace veldix::sim {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

// Identity registers, fixed for this meter.
constexpr uint16_t kFirmwareVersion = 0x0104;  // 4096: v1.04
constexpr uint32_t kSerialNumber = 24100017;   // 4097-4098

// Blocks of the map.
struct Block {
  uint16_t first;
  uint16_t last;
};
constexpr Block kBlocks[] = {
    {270, 361}, {1024, 1081}, {1582, 1609}, {4096, 4125}, {4128, 4132},
};

bool in_map(uint32_t a) {
  for (const Block& b : kBlocks) {
    if (a >= b.first && a <= b.last) return true;
  }
  return false;
}

// Partial counters that a write of zero resets; the reserved words between them are not.
bool is_partial_counter(uint32_t a) { return (a >= 1582 && a <= 1595) || (a >= 1606 && a <= 1609); }

bool is_writable(uint32_t a) {
  if (a == 4099) return true;
  if (a >= 4103 && a <= 4110) return true;  // clock and serial settings
  if (a == 4112 || a == 4113) return true;  // tariff mode, password
  if (a >= 4118 && a <= 4123) return true;  // transformer ratios
  if (a >= 4128 && a <= 4132) return true;  // display mask
  return is_partial_counter(a);
}

bool valid_baud_div100(uint16_t v) {
  constexpr uint16_t kCodes[] = {12, 24, 48, 96, 192, 384, 576, 1152};
  return std::find(std::begin(kCodes), std::end(kCodes), v) != std::end(kCodes);
}

}  // namespace

bool settings_valid(const Settings& s) {
  return s.slave_address >= 1 && s.slave_address <= 247 && valid_baud_div100(s.baud_div100) &&
         s.demand_period >= 1 && s.demand_period <= 60 && s.parity <= 2 &&
         (s.stop_bits == 1 || s.stop_bits == 2) && s.tariff_mode <= 4 && s.password <= 9999 &&
         (s.ct_secondary == 1 || s.ct_secondary == 5) && s.vt_secondary >= 50 &&
         s.vt_secondary <= 500 && s.ct_primary >= 1 && s.ct_primary <= 50000 &&
         s.vt_primary >= 50 && s.vt_primary <= 500000;
}

namespace {

int32_t clamp_i32(double v) {
  if (!(v == v)) return 0;  // NaN never happens with sane inputs; keep the register sane
  v = std::round(v);
  if (v > 2147483647.0) return INT32_MAX;
  if (v < -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(v);
}

uint16_t clamp_u16(double v) {
  v = std::round(v);
  if (!(v >= 0)) return 0;
  if (v > 65535.0) return 65535;
  return static_cast<uint16_t>(v);
}

// The synthetic load, on the transformers' secondary side, as a smooth function of time:
// each quantity is a mean plus a few slow sine waves of unrelated periods, so the values
// drift like a real installation and never repeat within a test run.
struct Waveform {
  double v[3];       // phase-to-neutral voltage, V
  double i[3];       // phase current, A
  double phi[3];     // angle by which the current lags the voltage, rad (< 0: leads)
  double frequency;  // Hz
  double thd[3];     // voltage THD, %
};

double wave(double t, double period, double phase) { return std::sin(kTwoPi * t / period + phase); }

Waveform waveform(double t) {
  static constexpr double kCurrentMean[3] = {3.10, 2.45, 1.80};
  static constexpr double kCurrentSwing[3] = {0.90, 0.70, 0.60};
  static constexpr double kDeg = std::numbers::pi / 180.0;
  Waveform w{};
  for (int k = 0; k < 3; ++k) {
    w.v[k] = 230.0 + 2.6 * wave(t, 97.0, 2.1 * k) + 0.9 * wave(t, 13.7, 1.3 * k);
    w.i[k] = kCurrentMean[k] + kCurrentSwing[k] * wave(t, 211.0, 0.7 * k) +
             0.35 * wave(t, 29.3, 2.4 * k) + 0.15 * wave(t, 5.9, 1.0 * k);
    w.thd[k] = 2.1 + 0.5 * wave(t, 89.0, 1.0 * k) + 0.2 * wave(t, 11.0, 2.0 * k);
  }
  // L1 and L2 feed motors (inductive); L3 swings between slightly capacitive and
  // inductive, as with power-factor correction switching in and out.
  w.phi[0] = (22.0 + 6.0 * wave(t, 173.0, 0.0)) * kDeg;
  w.phi[1] = (30.0 + 5.0 * wave(t, 131.0, 1.0)) * kDeg;
  w.phi[2] = (5.0 + 12.0 * wave(t, 157.0, 2.0)) * kDeg;
  w.frequency = 50.0 + 0.035 * wave(t, 53.0, 0.0) + 0.012 * wave(t, 7.3, 0.5);
  return w;
}

struct Ratios {
  double voltage;
  double current;
};

Ratios ratios(const Settings& s) {
  return {static_cast<double>(s.vt_primary) / s.vt_secondary,
          static_cast<double>(s.ct_primary) / s.ct_secondary};
}

// Writable words as one image, so a write can be overlaid and checked as a whole.
constexpr uint16_t kImageFirst = 4099;
constexpr uint16_t kImageLast = 4132;
using ConfigImage = std::array<uint16_t, kImageLast - kImageFirst + 1>;

}  // namespace

const char* counter_name(Counter c) {
  static constexpr const char* kNames[kCounterCount] = {
      "import-t1",
      "import-t2",
      "import-t3",
      "import-t4",
      "export",
      "inductive",
      "capacitive",
      "apparent",
      "partial-import-t1",
      "partial-import-t2",
      "partial-import-t3",
      "partial-import-t4",
      "partial-export",
      "partial-inductive",
      "partial-capacitive",
      "partial-apparent",
  };
  return c < kCounterCount ? kNames[c] : "?";
}

uint32_t energy_units(double wh) {
  if (!(wh > 0)) return 0;
  const double units = std::floor(wh / 10.0);
  return static_cast<uint32_t>(std::fmod(units, 4294967296.0));
}

MeterState MeterState::factory(double utc_offset_s) {
  MeterState s;
  s.display_mask = {0x1DC7, 0x07C0, 0x03DE, 0x0070, 0x2905};
  s.clock_offset_s = utc_offset_s;
  // A meter with a few years of history behind it (Wh, varh, VAh).
  s.energy[kImportT1] = 8421530;
  s.energy[kImportT2] = 3112870;
  s.energy[kImportT3] = 1204410;
  s.energy[kImportT4] = 986250;
  s.energy[kExport] = 152340;
  s.energy[kInductive] = 4310220;
  s.energy[kCapacitive] = 612480;
  s.energy[kApparent] = 15020310;
  s.energy[kPartImportT1] = 702150;
  s.energy[kPartImportT2] = 281060;
  s.energy[kPartImportT3] = 135420;
  s.energy[kPartImportT4] = 98770;
  s.energy[kPartExport] = 0;
  s.energy[kPartInductive] = 402110;
  s.energy[kPartCapacitive] = 58200;
  s.energy[kPartApparent] = 1372040;
  return s;
}

MeterModel::MeterModel(const MeterState& state, Clock::time_point start, double utc_at_start)
    : state_(state), start_(start), utc_at_start_(utc_at_start), integrated_until_(start) {
  state_.display_mask[4] &= kMaskWord4Used;
}

ModbusException MeterModel::check_read(uint16_t address, uint16_t count) {
  if (count == 0) return ModbusException::illegal_data_value;
  for (uint32_t a = address; a < static_cast<uint32_t>(address) + count; ++a) {
    if (!in_map(a)) return ModbusException::illegal_data_address;
  }
  return ModbusException::none;
}

ModbusException MeterModel::check_write(uint16_t address, uint16_t count) {
  if (count == 0) return ModbusException::illegal_data_value;
  for (uint32_t a = address; a < static_cast<uint32_t>(address) + count; ++a) {
    if (!in_map(a) || !is_writable(a)) return ModbusException::illegal_data_address;
  }
  return ModbusException::none;
}

int64_t MeterModel::meter_seconds_locked(Clock::time_point now) const {
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  return static_cast<int64_t>(std::floor(utc_at_start_ + state_.clock_offset_s + elapsed));
}

// Timetable of tariff mode 0, by the meter's clock: Monday to Friday 07:00-23:00 T1
// (day), 23:00-07:00 T2 (night); Saturday T3; Sunday T4.
int MeterModel::tariff_at_locked(int64_t meter_seconds) const {
  if (state_.settings.tariff_mode >= 1 && state_.settings.tariff_mode <= 4) {
    return state_.settings.tariff_mode;
  }
  const int weekday = iso_weekday(meter_seconds);
  if (weekday == 6) return 3;
  if (weekday == 7) return 4;
  const int hour = civil_from_seconds(meter_seconds).hour;
  return (hour >= 7 && hour < 23) ? 1 : 2;
}

// Brings the energy accumulators up to now: midpoint rule on steps of at most 1 s, which
// the load's slowest-changing terms (periods of 5.9 s and up) make accurate to well below
// the 10 Wh register step. A long idle stretch takes larger steps so the cost stays bounded.
void MeterModel::integrate_locked(Clock::time_point now) {
  if (now <= integrated_until_) return;
  double t = std::chrono::duration<double>(integrated_until_ - start_).count();
  const double end = std::chrono::duration<double>(now - start_).count();
  const double step = std::max(1.0, (end - t) / 200000.0);
  const Ratios r = ratios(state_.settings);
  while (t < end) {
    const double dt = std::min(step, end - t);
    const double mid = t + dt / 2.0;
    const Waveform w = waveform(mid);
    double p_total = 0;
    double s_total = 0;
    for (int k = 0; k < 3; ++k) {
      const double s = w.v[k] * r.voltage * w.i[k] * r.current;
      const double p = s * std::cos(w.phi[k]);
      const double q = s * std::sin(w.phi[k]);
      p_total += p;
      s_total += s;
      const double varh = std::fabs(q) * dt / 3600.0;
      if (q >= 0) {
        state_.energy[kInductive] += varh;
        state_.energy[kPartInductive] += varh;
      } else {
        state_.energy[kCapacitive] += varh;
        state_.energy[kPartCapacitive] += varh;
      }
    }
    const double wh = std::fabs(p_total) * dt / 3600.0;
    if (p_total >= 0) {
      const double meter_s =
          utc_at_start_ + state_.clock_offset_s + mid;  // tariff by the meter's own clock
      // Tariffs 1..4 select the first to fourth counter of each group.
      const auto tariff =
          static_cast<std::size_t>(tariff_at_locked(static_cast<int64_t>(std::floor(meter_s))));
      state_.energy[kImportT1 + tariff - 1] += wh;
      state_.energy[kPartImportT1 + tariff - 1] += wh;
    } else {
      state_.energy[kExport] += wh;
      state_.energy[kPartExport] += wh;
    }
    state_.energy[kApparent] += s_total * dt / 3600.0;
    state_.energy[kPartApparent] += s_total * dt / 3600.0;
    t += dt;
  }
  integrated_until_ = now;
}

Measurements MeterModel::measure_locked(Clock::time_point now) const {
  const double t = std::chrono::duration<double>(now - start_).count();
  const Waveform w = waveform(t);
  const Ratios r = ratios(state_.settings);
  Measurements m;
  auto& x = m.wide;
  double v[3];
  double i[3];
  for (std::size_t k = 0; k < 3; ++k) {
    v[k] = w.v[k] * r.voltage;
    i[k] = w.i[k] * r.current;
    x[k] = clamp_i32(v[k] * 1000.0);
    x[3 + k] = clamp_i32(i[k] * 1000.0);
  }
  x[6] = clamp_i32((v[0] + v[1] + v[2]) / 3.0 * 1000.0);
  x[7] = clamp_i32((i[0] + i[1] + i[2]) / 3.0 * 1000.0);
  // Phases 120 degrees apart: |Va - Vb| = sqrt(Va^2 + Vb^2 + Va*Vb).
  double vll_sum = 0;
  for (std::size_t k = 0; k < 3; ++k) {
    const double a = v[k];
    const double b = v[(k + 1) % 3];
    const double vll = std::sqrt(a * a + b * b + a * b);
    vll_sum += vll;
    x[8 + k] = clamp_i32(vll * 1000.0);
  }
  x[11] = clamp_i32(vll_sum / 3.0 * 1000.0);
  // Neutral current: phasor sum of the three currents, each lagging its voltage by phi.
  double re = 0;
  double im = 0;
  for (std::size_t k = 0; k < 3; ++k) {
    const double angle = -kTwoPi * static_cast<double>(k) / 3.0 - w.phi[k];
    re += i[k] * std::cos(angle);
    im += i[k] * std::sin(angle);
  }
  x[12] = clamp_i32(std::hypot(re, im) * 1000.0);

  // Powers from the rounded apparent power so that P^2 + Q^2 = S^2 holds on the register
  // values to within rounding, and totals are exact sums of the phase registers.
  int64_t p_sum = 0;
  int64_t s_sum = 0;
  int64_t q_sum = 0;
  for (std::size_t k = 0; k < 3; ++k) {
    const double s = std::round(v[k] * i[k]);
    const double p = std::round(s * std::cos(w.phi[k]));
    const double q_mag = std::sqrt(std::max(0.0, s * s - p * p));
    const double q = std::round(w.phi[k] >= 0 ? q_mag : -q_mag);
    x[13 + k] = clamp_i32(p);
    x[17 + k] = clamp_i32(s);
    x[21 + k] = clamp_i32(q);
    p_sum += x[13 + k];
    s_sum += x[17 + k];
    q_sum += x[21 + k];
    m.narrow[4 + k] =
        x[17 + k] > 0 ? clamp_u16(std::fabs(double(x[13 + k])) / x[17 + k] * 1000.0) : 1000;
  }
  x[16] = clamp_i32(static_cast<double>(p_sum));
  x[20] = clamp_i32(static_cast<double>(s_sum));
  x[24] = clamp_i32(static_cast<double>(q_sum));
  m.narrow[7] = s_sum > 0 ? clamp_u16(std::fabs(double(p_sum)) / double(s_sum) * 1000.0) : 1000;
  for (std::size_t k = 0; k < 3; ++k) m.narrow[k] = clamp_u16(w.thd[k] * 10.0);
  m.narrow[3] = clamp_u16(w.frequency * 10.0);
  return m;
}

uint32_t MeterModel::counter_units_locked(Counter c) const {
  return energy_units(state_.energy[c]);
}

uint16_t MeterModel::word_locked(uint16_t a, const Measurements& m, Clock::time_point now) const {
  auto hi = [](uint32_t v) { return static_cast<uint16_t>(v >> 16); };
  auto lo = [](uint32_t v) { return static_cast<uint16_t>(v & 0xFFFF); };
  auto units = [this](Counter c) { return counter_units_locked(c); };

  if (a >= 1024 && a <= 1073) {
    const uint32_t v = static_cast<uint32_t>(m.wide[static_cast<std::size_t>(a - 1024) / 2]);
    return (a - 1024) % 2 == 0 ? hi(v) : lo(v);
  }
  if (a >= 1074 && a <= 1081) return m.narrow[static_cast<std::size_t>(a - 1074)];

  if (a >= 270 && a <= 361) {
    const int slot = (a - 270) / 10;
    const int word = (a - 270) % 10;
    if (word > 1) return 0;  // reserved
    uint32_t v = 0;
    switch (slot) {
      case 0: v = units(kImportT1) + units(kImportT2) + units(kImportT3) + units(kImportT4); break;
      case 1: v = units(kExport); break;
      case 2: v = units(kApparent); break;
      case 3: v = units(kInductive); break;
      case 4: v = units(kCapacitive); break;
      case 5: v = units(kInductive) + units(kCapacitive); break;
      default:
        v = units(static_cast<Counter>(kImportT1 + static_cast<std::size_t>(slot - 6)));
        break;
    }
    return word == 0 ? hi(v) : lo(v);
  }

  if (a >= 1582 && a <= 1609) {
    const int slot = (a - 1582) / 2;
    const bool high = (a - 1582) % 2 == 0;
    uint32_t v = 0;
    switch (slot) {
      case 0:
        v = units(kPartImportT1) + units(kPartImportT2) + units(kPartImportT3) +
            units(kPartImportT4);
        break;
      case 1: v = units(kPartExport); break;
      case 2: v = units(kPartApparent); break;
      case 3:
      case 4:
      case 5:
      case 6:
        v = units(static_cast<Counter>(kPartImportT1 + static_cast<std::size_t>(slot - 3)));
        break;
      case 12: v = units(kPartInductive); break;
      case 13: v = units(kPartCapacitive); break;
      default: v = 0; break;  // 1596-1605 reserved
    }
    return high ? hi(v) : lo(v);
  }

  const Settings& s = state_.settings;
  const int64_t secs = meter_seconds_locked(now);
  const CivilTime c = civil_from_seconds(secs);
  switch (a) {
    case 4096: return kFirmwareVersion;
    case 4097: return hi(kSerialNumber);
    case 4098: return lo(kSerialNumber);
    case 4099: return s.slave_address;
    case 4100: return static_cast<uint16_t>(tariff_at_locked(secs));
    case 4103: return to_bcd(c.year % 100);
    case 4104: return static_cast<uint16_t>(to_bcd(c.month) << 8 | to_bcd(c.day));
    case 4105: return static_cast<uint16_t>(to_bcd(iso_weekday(secs)) << 8 | to_bcd(c.hour));
    case 4106: return static_cast<uint16_t>(to_bcd(c.minute) << 8 | to_bcd(c.second));
    case 4107: return s.baud_div100;
    case 4108: return s.demand_period;
    case 4109: return s.parity;
    case 4110: return s.stop_bits;
    case 4111: return 8;  // data bits, fixed
    case 4112: return s.tariff_mode;
    case 4113: return s.password;
    case 4118: return s.ct_secondary;
    case 4119: return s.vt_secondary;
    case 4120: return hi(s.ct_primary);
    case 4121: return lo(s.ct_primary);
    case 4122: return hi(s.vt_primary);
    case 4123: return lo(s.vt_primary);
    default: break;
  }
  if (a >= 4128 && a <= 4132) return state_.display_mask[a - 4128];
  return 0;  // reserved words of the configuration block
}

ModbusException MeterModel::read(uint16_t address, uint16_t count, uint16_t* out,
                                 Clock::time_point now) {
  const ModbusException e = check_read(address, count);
  if (e != ModbusException::none) return e;
  std::lock_guard lock(mutex_);
  integrate_locked(now);
  const Measurements m = measure_locked(now);
  for (uint16_t k = 0; k < count; ++k) out[k] = word_locked(address + k, m, now);
  return ModbusException::none;
}

ModbusException MeterModel::write(uint16_t address, std::span<const uint16_t> values,
                                  Clock::time_point now) {
  if (values.empty() || values.size() > 0xFFFF) return ModbusException::illegal_data_value;
  const ModbusException e = check_write(address, static_cast<uint16_t>(values.size()));
  if (e != ModbusException::none) return e;

  std::lock_guard lock(mutex_);
  // Counters and the clock move on under the old settings up to this instant.
  integrate_locked(now);

  const uint32_t end = address + static_cast<uint32_t>(values.size());
  auto touches = [&](uint32_t first, uint32_t last) { return address <= last && end > first; };

  // Partial counters: only zero may be written; every counter touched is reset.
  if (touches(1582, 1609)) {
    for (std::size_t k = 0; k < values.size(); ++k) {
      const uint32_t a = address + static_cast<uint32_t>(k);
      if (is_partial_counter(a) && values[k] != 0) return ModbusException::illegal_data_value;
    }
  }

  ConfigImage image{};
  bool touches_config = touches(kImageFirst, kImageLast);
  if (touches_config) {
    const Measurements none{};
    for (uint16_t a = kImageFirst; a <= kImageLast; ++a) {
      image[a - kImageFirst] = word_locked(a, none, now);
    }
    for (std::size_t k = 0; k < values.size(); ++k) {
      const uint32_t a = address + static_cast<uint32_t>(k);
      if (a >= kImageFirst && a <= kImageLast) image[a - kImageFirst] = values[k];
    }
  }
  auto img = [&](uint16_t a) { return image[a - kImageFirst]; };

  Settings s = state_.settings;
  std::array<uint16_t, kMaskWords> mask = state_.display_mask;
  double offset = state_.clock_offset_s;
  if (touches_config) {
    s.slave_address = img(4099);
    s.baud_div100 = img(4107);
    s.demand_period = img(4108);
    s.parity = img(4109);
    s.stop_bits = img(4110);
    s.tariff_mode = img(4112);
    s.password = img(4113);
    s.ct_secondary = img(4118);
    s.vt_secondary = img(4119);
    s.ct_primary = static_cast<uint32_t>(img(4120)) << 16 | img(4121);
    s.vt_primary = static_cast<uint32_t>(img(4122)) << 16 | img(4123);
    if (!settings_valid(s)) return ModbusException::illegal_data_value;

    if (touches(4103, 4106)) {
      // High bytes of 4103 (always 0) and 4105 (weekday, derived from the date) are ignored.
      auto high = [&](uint16_t a) { return from_bcd(static_cast<uint8_t>(img(a) >> 8)); };
      auto low = [&](uint16_t a) { return from_bcd(static_cast<uint8_t>(img(a) & 0xFF)); };
      const auto year = low(4103);
      const auto month = high(4104);
      const auto day = low(4104);
      const auto hour = low(4105);
      const auto minute = high(4106);
      const auto second = low(4106);
      if (!year || !month || !day || !hour || !minute || !second) {
        return ModbusException::illegal_data_value;
      }
      const CivilTime t{2000 + *year, *month, *day, *hour, *minute, *second};
      if (!is_valid(t)) return ModbusException::illegal_data_value;
      const double elapsed = std::chrono::duration<double>(now - start_).count();
      offset = static_cast<double>(seconds_from_civil(t)) - (utc_at_start_ + elapsed);
    }
    for (std::size_t k = 0; k < kMaskWords; ++k) mask[k] = img(static_cast<uint16_t>(4128 + k));
    mask[4] &= kMaskWord4Used;
  }

  // Everything checked: commit.
  if (touches(1582, 1583)) {
    for (Counter c : {kPartImportT1, kPartImportT2, kPartImportT3, kPartImportT4}) {
      state_.energy[c] = 0;
    }
  }
  static constexpr std::pair<uint16_t, Counter> kPartial[] = {
      {1584, kPartExport},   {1586, kPartApparent}, {1588, kPartImportT1},  {1590, kPartImportT2},
      {1592, kPartImportT3}, {1594, kPartImportT4}, {1606, kPartInductive}, {1608, kPartCapacitive},
  };
  for (const auto& [reg, counter] : kPartial) {
    if (touches(reg, reg + 1)) state_.energy[counter] = 0;
  }
  state_.settings = s;
  state_.display_mask = mask;
  state_.clock_offset_s = offset;
  return ModbusException::none;
}

MeterState MeterModel::state(Clock::time_point now) {
  std::lock_guard lock(mutex_);
  integrate_locked(now);
  return state_;
}

Measurements MeterModel::measure(Clock::time_point now) const {
  std::lock_guard lock(mutex_);
  return measure_locked(now);
}

CivilTime MeterModel::clock(Clock::time_point now) const {
  std::lock_guard lock(mutex_);
  return civil_from_seconds(meter_seconds_locked(now));
}

int MeterModel::active_tariff(Clock::time_point now) const {
  std::lock_guard lock(mutex_);
  return tariff_at_locked(meter_seconds_locked(now));
}

}  // namespace veldix::sim
