// Register maps of the four meter screens and the pure conversions between register words
// and the values their controls hold. No panel, no link: everything here works on byte
// arrays, so the decoding tables can be checked on their own.
//
// Register-word convention of the meter: every register travels high byte first; a 32-bit
// quantity is two consecutive registers, the lower-numbered one the high word. In a read
// answer the data of register k of the block sit at answer bytes 3 + 2k and 4 + 2k.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

// Packed BCD byte (tens in the high nibble) to its number. The nibbles are not tested:
// 0x9A gives 9 * 10 + 10 = 100. Only the low 8 bits of b are used.
int BCD_a_Binario(int b);
// Number 0..99 to a packed BCD byte. Anything outside 0..99 gives 0x00.
int Binario_a_BCD(int v);

namespace meter {

// ---------------------------------------------------------------- register words

// Register k of a block of register data (data bytes 2k, 2k + 1). 0 when k lies beyond data.
std::uint16_t Word(std::span<const unsigned char> data, std::size_t k);
// Registers k and k + 1 as one 32-bit quantity, high word first. 0 beyond data.
std::uint32_t Long(std::span<const unsigned char> data, std::size_t k);
// Writes v high byte first at out[0], out[1].
void PutWord(std::span<unsigned char, 2> out, std::uint16_t v);

// ---------------------------------------------------------------- measurements

struct Measure {
  int control;
  double divisor;
};

// Request A: 50 registers from 1024, 25 signed 32-bit values in register order.
// Voltages in mV, currents in mA (÷1000 to V and A); powers in W, VA, var (÷1).
inline constexpr int kMeasureAStart = 1024;
inline constexpr int kMeasureACount = 50;
inline constexpr std::array<Measure, 25> kMeasureA = {{
    {98, 1000}, {97, 1000}, {96, 1000},          // 1024-1029: voltage L1, L2, L3 to neutral
    {95, 1000}, {94, 1000}, {93, 1000},          // 1030-1035: current L1, L2, L3
    {57, 1000}, {56, 1000},                      // 1036-1039: average voltage, average current
    {80, 1000}, {79, 1000}, {78, 1000},          // 1040-1045: voltage L1-L2, L2-L3, L3-L1
    {77, 1000}, {55, 1000},                      // 1046-1049: average line voltage, neutral current
    {45, 1},    {32, 1},    {19, 1},    {6, 1},  // 1050-1057: active power L1, L2, L3, total
    {43, 1},    {30, 1},    {17, 1},    {4, 1},  // 1058-1065: apparent power L1, L2, L3, total
    {44, 1},    {31, 1},    {18, 1},    {5, 1},  // 1066-1073: reactive power L1, L2, L3, total
}};

// Request B: 8 registers from 1074, unsigned 16-bit values.
inline constexpr int kMeasureBStart = 1074;
inline constexpr int kMeasureBCount = 8;
inline constexpr std::array<Measure, 8> kMeasureB = {{
    {68, 10},
    {67, 10},
    {66, 10},  // 1074-1076: voltage THD L1, L2, L3, % x 10
    {92, 10},  // 1077: frequency, Hz x 10
    {42, 1000},
    {29, 1000},
    {16, 1000},
    {3, 1000},  // 1078-1081: power factor x 1000
}};

// Value i of request A: signed 32-bit, divided. Value j of request B: unsigned 16-bit,
// divided. Both in double precision; 0 beyond data.
double WideValue(std::span<const unsigned char> data, std::size_t i, double divisor);
double NarrowValue(std::span<const unsigned char> data, std::size_t j, double divisor);

// ---------------------------------------------------------------- energy counters

struct CounterRead {
  int start;
  int count;                    // registers: 2 per counter
  std::array<int, 2> controls;  // one control per counter; 0 when the read has one counter
};

// The ten reads of one energy poll, in the order they are sent. Counters in 0.01 kWh
// (kvarh for the reactive ones).
inline constexpr std::array<CounterRead, 10> kCounterReads = {{
    {270, 2, {32, 0}},    // active energy imported, total
    {280, 2, {31, 0}},    // active energy exported
    {300, 2, {10, 0}},    // reactive energy, inductive
    {310, 2, {9, 0}},     // reactive energy, capacitive
    {330, 2, {6, 0}},     // active energy imported, tariff 1
    {340, 2, {5, 0}},     // tariff 2
    {350, 2, {4, 0}},     // tariff 3
    {360, 2, {3, 0}},     // tariff 4
    {1582, 4, {30, 29}},  // partial: active imported, active exported
    {1606, 4, {8, 7}},    // partial: reactive inductive, reactive capacitive
}};

// A counter's shown value: the unsigned 32-bit count ÷ 100 in double precision, rounded
// to single precision (what the meter's own software shows), widened back to double.
double CounterValue(std::uint32_t count);

// ---------------------------------------------------------------- device configuration

inline constexpr int kConfigStart = 4096;  // the block read at opening: 4096-4125
inline constexpr int kConfigCount = 30;
inline constexpr std::size_t kConfigDataBytes = 2 * kConfigCount;

struct MeterClock {
  int year;  // full year: 2000 + the two BCD digits
  int month, day, hour, minute, second;
  bool operator==(const MeterClock&) const = default;
};

// Registers 4103-4106: year (low byte of 4103), month | day, hour (low byte of 4105; its
// high byte is the meter's weekday and is ignored), minute | second, all packed BCD.
MeterClock DecodeClock(std::uint16_t r4103, std::uint16_t r4104, std::uint16_t r4105,
                       std::uint16_t r4106);
// The 8 bytes written to 4103-4106: the high bytes of 4103 and 4105 are always 0x00.
std::array<unsigned char, 8> EncodeClock(const MeterClock& c);

// The six BCD bytes of a clock as read: year, month, day, hour, minute, second.
using ClockBytes = std::array<unsigned char, 6>;
// ...of the 60 data bytes of the configuration block read.
ClockBytes ReadClockBytes(std::span<const unsigned char> data);
// As EncodeClock, but a field whose value is still the one its read byte decodes to goes
// back as that very byte, so a clock sent unedited is written back exactly as read (BCD
// decoding is not one-to-one, and bytes beyond 99 have no encoding of their own).
std::array<unsigned char, 8> EncodeClock(const MeterClock& c, const ClockBytes* read);
// The clock `seconds` later by the calendar (leap years included); none when `c` is not a
// valid date and time of 2000-2099 or the result leaves those years: the meter keeps only
// two year digits, and a clock that was never set has no "later".
std::optional<MeterClock> AdvanceClock(const MeterClock& c, long long seconds);

// The serial frame format of the meter's own port is a pair of registers, 4109 (parity:
// 0 none, 1 odd, 2 even) and 4110 (stop bits), shown as one four-way choice.
inline constexpr int kRingUnknownPair = 2;
// Ring value of a pair; a pair that is none of the four shows value 2.
int RingFromPair(std::uint16_t r4109, std::uint16_t r4110);
// Register pair of a ring value; a value outside 0..3 is taken as value 2.
std::pair<std::uint16_t, std::uint16_t> PairFromRing(int ring);

// Everything the device-configuration panel shows, as its controls hold it.
struct DeviceConfig {
  int address = 0;  // 4099, the meter's Modbus address (16-bit)
  MeterClock clock{2000, 1, 1, 0, 0, 0};
  int baud = 0;                // 4107, speed of the meter's port / 100 (16-bit)
  int demandPeriod = 0;        // 4108, minutes (16-bit)
  int frame = 0;               // ring value of 4109, 4110
  int tariffMode = 0;          // 4112 (16-bit)
  int password = 0;            // 4113 (16-bit)
  int ctSecondary = 0;         // 4118, A (16-bit)
  int vtSecondary = 0;         // 4119, V (16-bit)
  std::int32_t ctPrimary = 0;  // 4120-4121, A (32-bit)
  std::int32_t vtPrimary = 0;  // 4122-4123, V (32-bit)
  bool operator==(const DeviceConfig&) const = default;
};

// Decodes the 60 data bytes of the block read (registers 4096-4125).
DeviceConfig DecodeConfig(std::span<const unsigned char, kConfigDataBytes> data);

// The four writes of a send, in order, and where each one's data sit in the 34-byte block.
struct WriteRequest {
  int start;
  int count;
  std::size_t offset;  // into the data block; count * 2 bytes from there
};
inline constexpr std::array<WriteRequest, 4> kConfigWrites = {{
    {4099, 1, 0},   // W1: address
    {4103, 8, 2},   // W2: clock, speed, demand period, frame format pair
    {4112, 2, 18},  // W3: tariff mode, password
    {4118, 6, 22},  // W4: transformer secondaries and primaries
}};
inline constexpr std::size_t kConfigBlockBytes = 34;
// 16-bit settings go out as the low 16 bits of their value; 32-bit ones unchanged. With
// `read`, the clock goes out as EncodeClock(c.clock, read) does.
std::array<unsigned char, kConfigBlockBytes> EncodeConfig(const DeviceConfig& c,
                                                          const ClockBytes* read = nullptr);

// ---------------------------------------------------------------- display mask

inline constexpr int kMaskStart = 4128;  // registers 4128-4132
inline constexpr int kMaskWords = 5;
inline constexpr int kMaskBitCount = 75;  // word 4 has no bits 3 to 7

// Control of each mask bit, [bit][word]; 0: the bit has no control.
inline constexpr int kMaskControl[16][kMaskWords] = {
    {43, 42, 41, 40, 39},  // bit 0
    {48, 47, 46, 45, 44},  // bit 1
    {53, 52, 51, 50, 49},  // bit 2
    {58, 57, 56, 55, 0},   // bit 3
    {63, 62, 61, 60, 0},   // bit 4
    {68, 67, 66, 65, 0},   // bit 5
    {73, 72, 71, 70, 0},   // bit 6
    {78, 77, 76, 75, 0},   // bit 7
    {8, 7, 6, 5, 4},       // bit 8
    {13, 12, 11, 10, 9},   // bit 9
    {18, 17, 16, 15, 14},  // bit 10
    {22, 21, 20, 19, 54},  // bit 11
    {26, 25, 24, 23, 59},  // bit 12
    {30, 29, 28, 27, 64},  // bit 13
    {34, 33, 32, 31, 69},  // bit 14
    {38, 37, 36, 35, 74},  // bit 15
};

struct MaskBit {
  int word;
  int bit;
  int control;
};
// The 75 bits that have a control, word by word and within a word from bit 0 up: the
// order in which the controls are set and read.
std::array<MaskBit, kMaskBitCount> MaskBits();

using Mask = std::array<std::uint16_t, kMaskWords>;
// The five mask words of a read answer's 10 data bytes.
Mask DecodeMask(std::span<const unsigned char, 2 * kMaskWords> data);
// The 75 control values (1 on, 0 off) of a mask, in MaskBits() order. Word 4's bits 3 to 7
// are not shown anywhere.
std::array<int, kMaskBitCount> BitsFromMask(const Mask& mask);
// The mask of 75 control values in MaskBits() order; any value but 0 sets its bit. Word 4's
// bits 3 to 7 are always 0.
Mask MaskFromBits(std::span<const int, kMaskBitCount> bits);
// The 10 data bytes of the mask write, two per word, high byte first.
std::array<unsigned char, 2 * kMaskWords> EncodeMask(const Mask& mask);

}  // namespace meter
