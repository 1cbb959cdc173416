// The simulated meter: its register map, its synthetic three-phase load, its energy
// counters and its real-time clock. Transport-free: the servers hand it register
// addresses and words, it answers with words or a Modbus exception code.
//
// Register map (holding registers, PDU addresses; docs/register-map.md is the reference):
//   270-361    energy totals, a 32-bit counter every 10 registers (0.01 kWh, kvarh, kVAh)
//   1024-1073  measurements, 25 signed 32-bit values (mV, mA, W, var, VA)
//   1074-1081  measurements, 8 unsigned 16-bit values (THD %/10, Hz/10, PF/1000)
//   1582-1609  partial energy counters, 32-bit (0.01 kWh ...), reset by writing zero
//   4096-4125  configuration: identity, BCD clock, link settings, tariff, transformer ratios
//   4128-4132  display mask, 75 used bits
// Every 32-bit quantity is two registers, high word first.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <span>

#include "sim/civil_time.h"

namespace veldix::sim {

// Exception codes of a Modbus answer (0 = no exception).
enum class ModbusException : uint8_t {
  none = 0,
  illegal_function = 1,
  illegal_data_address = 2,
  illegal_data_value = 3,
  device_failure = 4,
  gateway_target_failed = 11,
};

// Settings of the configuration block that a write may change.
struct Settings {
  uint16_t slave_address = 1;   // 4099, 1..247
  uint16_t baud_div100 = 96;    // 4107, serial speed / 100: 12 24 48 96 192 384 576 1152
  uint16_t demand_period = 15;  // 4108, demand integration period, minutes 1..60
  uint16_t parity = 0;          // 4109, 0 none, 1 odd, 2 even
  uint16_t stop_bits = 1;       // 4110, 1 or 2
  uint16_t tariff_mode = 0;     // 4112, 0 by the clock's timetable, 1..4 fixed tariff
  uint16_t password = 0;        // 4113, keypad password 0..9999, 0 = none
  uint16_t ct_secondary = 5;    // 4118, current transformer secondary, A: 1 or 5
  uint16_t vt_secondary = 230;  // 4119, voltage transformer secondary, V: 50..500
  uint32_t ct_primary = 50;     // 4120-4121, current transformer primary, A: 1..50000
  uint32_t vt_primary = 230;    // 4122-4123, voltage transformer primary, V: 50..500000
  bool operator==(const Settings&) const = default;
};

// True when the meter accepts every setting (the ranges noted above).
bool settings_valid(const Settings& s);

// Energy accumulators, in Wh, varh or VAh. The total registers are sums of these.
enum Counter : std::size_t {
  kImportT1,
  kImportT2,
  kImportT3,
  kImportT4,  // active energy imported, by tariff
  kExport,    // active energy exported
  kInductive,
  kCapacitive,  // reactive energy, registered phase by phase
  kApparent,    // apparent energy
  kPartImportT1,
  kPartImportT2,
  kPartImportT3,
  kPartImportT4,
  kPartExport,
  kPartInductive,
  kPartCapacitive,
  kPartApparent,
  kCounterCount
};

// Name of a counter in the state file.
const char* counter_name(Counter c);

inline constexpr std::size_t kMaskWords = 5;
// Word 4 of the display mask has no bits 3 to 7: the meter keeps them at 0.
inline constexpr uint16_t kMaskWord4Used = 0xFF07;

// Everything the meter keeps across a power cycle.
struct MeterState {
  Settings settings;
  std::array<uint16_t, kMaskWords> display_mask{};
  double clock_offset_s = 0;  // meter clock minus UTC, seconds
  std::array<double, kCounterCount> energy{};
  bool operator==(const MeterState&) const = default;

  // A meter fresh from the factory whose clock shows the given local-time offset from UTC.
  static MeterState factory(double utc_offset_s);
};

// One reading of every measurement, already scaled to register units.
struct Measurements {
  // Signed 32-bit values of 1024..1073, in register order:
  //  0-2 V L1..L3 (mV)   3-5 I L1..L3 (mA)    6 V average (mV)   7 I average (mA)
  //  8-10 V L1-L2, L2-L3, L3-L1 (mV)          11 V line-to-line average (mV)
  //  12 I neutral (mA)   13-16 P L1..L3, total (W)   17-20 S L1..L3, total (VA)
  //  21-24 Q L1..L3, total (var, + inductive, - capacitive)
  std::array<int32_t, 25> wide{};
  // Unsigned 16-bit values of 1074..1081:
  //  0-2 voltage THD L1..L3 (% x10)   3 frequency (Hz x10)   4-7 PF L1..L3, total (x1000)
  std::array<uint16_t, 8> narrow{};
};

class MeterModel {
 public:
  using Clock = std::chrono::steady_clock;

  // state: what the meter starts from; start: the instant its clock and load start;
  // utc_at_start: the UTC time of that instant, seconds since 1970.
  MeterModel(const MeterState& state, Clock::time_point start, double utc_at_start);

  // Map checks, by the rules of a real meter: every register of the range must exist
  // (else exception 2); a write must touch only writable registers (else exception 2).
  static ModbusException check_read(uint16_t address, uint16_t count);
  static ModbusException check_write(uint16_t address, uint16_t count);

  // Reads count registers into out (count words). Checks the map first.
  ModbusException read(uint16_t address, uint16_t count, uint16_t* out, Clock::time_point now);

  // Writes the values from address on: all or nothing. Exception 2 for registers that are
  // not writable, 3 for values the meter refuses (then nothing is changed).
  ModbusException write(uint16_t address, std::span<const uint16_t> values, Clock::time_point now);

  // What would be saved now (energy brought up to date).
  MeterState state(Clock::time_point now);

  Measurements measure(Clock::time_point now) const;
  CivilTime clock(Clock::time_point now) const;
  int active_tariff(Clock::time_point now) const;  // 1..4

 private:
  int64_t meter_seconds_locked(Clock::time_point now) const;
  int tariff_at_locked(int64_t meter_seconds) const;
  void integrate_locked(Clock::time_point now);
  uint16_t word_locked(uint16_t address, const Measurements& m, Clock::time_point now) const;
  uint32_t counter_units_locked(Counter c) const;
  Measurements measure_locked(Clock::time_point now) const;

  mutable std::mutex mutex_;
  MeterState state_;
  Clock::time_point start_;
  double utc_at_start_;
  Clock::time_point integrated_until_;
};

// The register value of an energy accumulator: 0.01 kWh (10 Wh) units, wrapping at 2^32
// like the meter's own 32-bit counter.
uint32_t energy_units(double wh);

}  // namespace veldix::sim
