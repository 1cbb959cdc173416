// Conversions between the meter's register words and the values of the screens' controls.
#include "meter/codec.h"

#include <chrono>

int BCD_a_Binario(int b) {
  const int byte = b & 0xFF;
  return (byte >> 4) * 10 + (byte & 0x0F);
}

int Binario_a_BCD(int v) {
  // The meter keeps two digits; anything else would need a third nibble.
  if (v < 0 || v >= 100) return 0x00;
  return ((v / 10) << 4) | (v % 10);
}

namespace meter {

std::uint16_t Word(std::span<const unsigned char> data, std::size_t k) {
  if (k >= data.size() / 2) return 0;
  return static_cast<std::uint16_t>(data[2 * k] << 8 | data[2 * k + 1]);
}

std::uint32_t Long(std::span<const unsigned char> data, std::size_t k) {
  const std::size_t words = data.size() / 2;
  if (words < 2 || k > words - 2) return 0;
  return static_cast<std::uint32_t>(Word(data, k)) << 16 | Word(data, k + 1);
}

void PutWord(std::span<unsigned char, 2> out, std::uint16_t v) {
  out[0] = static_cast<unsigned char>(v >> 8);
  out[1] = static_cast<unsigned char>(v & 0xFF);
}

double WideValue(std::span<const unsigned char> data, std::size_t i, double divisor) {
  // Two's complement: the four bytes as received, most significant first.
  const auto raw = static_cast<std::int32_t>(Long(data, 2 * i));
  return static_cast<double>(raw) / divisor;
}

double NarrowValue(std::span<const unsigned char> data, std::size_t j, double divisor) {
  return static_cast<double>(Word(data, j)) / divisor;
}

double CounterValue(std::uint32_t count) {
  return static_cast<double>(static_cast<float>(static_cast<double>(count) / 100.0));
}

// ---------------------------------------------------------------- device configuration

MeterClock DecodeClock(std::uint16_t r4103, std::uint16_t r4104, std::uint16_t r4105,
                       std::uint16_t r4106) {
  return MeterClock{
      2000 + BCD_a_Binario(r4103 & 0xFF), BCD_a_Binario(r4104 >> 8), BCD_a_Binario(r4104 & 0xFF),
      BCD_a_Binario(r4105 & 0xFF),        BCD_a_Binario(r4106 >> 8), BCD_a_Binario(r4106 & 0xFF),
  };
}

std::array<unsigned char, 8> EncodeClock(const MeterClock& c) {
  auto bcd = [](int v) { return static_cast<unsigned char>(Binario_a_BCD(v)); };
  return {0x00, bcd(c.year - 2000), bcd(c.month),  bcd(c.day),
          0x00, bcd(c.hour),        bcd(c.minute), bcd(c.second)};
}

ClockBytes ReadClockBytes(std::span<const unsigned char> data) {
  auto reg = [&](int n) { return Word(data, static_cast<std::size_t>(n - kConfigStart)); };
  const std::uint16_t r4103 = reg(4103), r4104 = reg(4104), r4105 = reg(4105), r4106 = reg(4106);
  auto lo = [](std::uint16_t r) { return static_cast<unsigned char>(r & 0xFF); };
  auto hi = [](std::uint16_t r) { return static_cast<unsigned char>(r >> 8); };
  return {lo(r4103), hi(r4104), lo(r4104), lo(r4105), hi(r4106), lo(r4106)};
}

std::array<unsigned char, 8> EncodeClock(const MeterClock& c, const ClockBytes* read) {
  auto out = EncodeClock(c);
  if (read == nullptr) return out;
  const int values[6] = {c.year - 2000, c.month, c.day, c.hour, c.minute, c.second};
  const std::size_t at[6] = {1, 2, 3, 5, 6, 7};  // where each field sits in the 8 bytes
  for (std::size_t i = 0; i < 6; ++i)
    if (BCD_a_Binario((*read)[i]) == values[i]) out[at[i]] = (*read)[i];
  return out;
}

std::optional<MeterClock> AdvanceClock(const MeterClock& c, long long seconds) {
  using namespace std::chrono;
  const year_month_day date{year{c.year}, month{static_cast<unsigned>(c.month)},
                            day{static_cast<unsigned>(c.day)}};
  if (c.year < 2000 || c.year > 2099 || c.month < 1 || c.day < 1 || !date.ok() || c.hour < 0 ||
      c.hour > 23 || c.minute < 0 || c.minute > 59 || c.second < 0 || c.second > 59)
    return std::nullopt;
  const sys_seconds then = sys_days{date} + hours{c.hour} + minutes{c.minute} +
                           std::chrono::seconds{c.second} + std::chrono::seconds{seconds};
  const sys_days d = floor<days>(then);
  const year_month_day later{d};
  const hh_mm_ss<std::chrono::seconds> t{then - d};
  const int y = static_cast<int>(later.year());
  if (y < 2000 || y > 2099) return std::nullopt;
  return MeterClock{y,
                    static_cast<int>(static_cast<unsigned>(later.month())),
                    static_cast<int>(static_cast<unsigned>(later.day())),
                    static_cast<int>(t.hours().count()),
                    static_cast<int>(t.minutes().count()),
                    static_cast<int>(t.seconds().count())};
}

namespace {
// Ring value -> (4109, 4110): 8N1, 8E1, 8O1, 8N2.
constexpr std::pair<std::uint16_t, std::uint16_t> kRingPairs[4] = {{0, 1}, {2, 1}, {1, 1}, {0, 2}};
}  // namespace

int RingFromPair(std::uint16_t r4109, std::uint16_t r4110) {
  for (int v = 0; v < 4; ++v)
    if (kRingPairs[v].first == r4109 && kRingPairs[v].second == r4110) return v;
  return kRingUnknownPair;
}

std::pair<std::uint16_t, std::uint16_t> PairFromRing(int ring) {
  if (ring < 0 || ring > 3) ring = kRingUnknownPair;
  return kRingPairs[ring];
}

DeviceConfig DecodeConfig(std::span<const unsigned char, kConfigDataBytes> data) {
  auto reg = [&](int n) { return Word(data, static_cast<std::size_t>(n - kConfigStart)); };
  auto reg32 = [&](int n) {
    return static_cast<std::int32_t>(Long(data, static_cast<std::size_t>(n - kConfigStart)));
  };
  DeviceConfig c;
  c.address = reg(4099);
  c.clock = DecodeClock(reg(4103), reg(4104), reg(4105), reg(4106));
  c.baud = reg(4107);
  c.demandPeriod = reg(4108);
  c.frame = RingFromPair(reg(4109), reg(4110));
  c.tariffMode = reg(4112);
  c.password = reg(4113);
  c.ctSecondary = reg(4118);
  c.vtSecondary = reg(4119);
  c.ctPrimary = reg32(4120);
  c.vtPrimary = reg32(4122);
  return c;
}

std::array<unsigned char, kConfigBlockBytes> EncodeConfig(const DeviceConfig& c,
                                                          const ClockBytes* read) {
  std::array<unsigned char, kConfigBlockBytes> b{};
  const std::span<unsigned char, kConfigBlockBytes> out(b);
  auto put16 = [&](std::size_t at, int v) {
    PutWord(out.subspan(at).first<2>(), static_cast<std::uint16_t>(v & 0xFFFF));
  };
  auto put32 = [&](std::size_t at, std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    put16(at, static_cast<int>(u >> 16));
    put16(at + 2, static_cast<int>(u & 0xFFFF));
  };
  put16(0, c.address);                            // W1: 4099
  const auto clock = EncodeClock(c.clock, read);  // W2: 4103-4106
  for (std::size_t i = 0; i < clock.size(); ++i) b[2 + i] = clock[i];
  put16(10, c.baud);          //     4107
  put16(12, c.demandPeriod);  //     4108
  const auto [r4109, r4110] = PairFromRing(c.frame);
  put16(14, r4109);          //     4109
  put16(16, r4110);          //     4110
  put16(18, c.tariffMode);   // W3: 4112
  put16(20, c.password);     //     4113
  put16(22, c.ctSecondary);  // W4: 4118
  put16(24, c.vtSecondary);  //     4119
  put32(26, c.ctPrimary);    //     4120-4121
  put32(30, c.vtPrimary);    //     4122-4123
  return b;
}

// ---------------------------------------------------------------- display mask

std::array<MaskBit, kMaskBitCount> MaskBits() {
  std::array<MaskBit, kMaskBitCount> bits{};
  std::size_t n = 0;
  for (int w = 0; w < kMaskWords; ++w)
    for (int b = 0; b < 16; ++b)
      if (kMaskControl[b][w] != 0 && n < bits.size()) bits[n++] = {w, b, kMaskControl[b][w]};
  return bits;
}

Mask DecodeMask(std::span<const unsigned char, 2 * kMaskWords> data) {
  Mask m{};
  for (std::size_t k = 0; k < m.size(); ++k) m[k] = Word(data, k);
  return m;
}

std::array<int, kMaskBitCount> BitsFromMask(const Mask& mask) {
  std::array<int, kMaskBitCount> values{};
  const auto bits = MaskBits();
  for (std::size_t i = 0; i < bits.size(); ++i)
    values[i] = (mask[static_cast<std::size_t>(bits[i].word)] >> bits[i].bit) & 1;
  return values;
}

Mask MaskFromBits(std::span<const int, kMaskBitCount> values) {
  Mask m{};  // bits without a control (word 4, bits 3 to 7) stay 0
  const auto bits = MaskBits();
  for (std::size_t i = 0; i < bits.size(); ++i)
    if (values[i] != 0)
      m[static_cast<std::size_t>(bits[i].word)] |= static_cast<std::uint16_t>(1u << bits[i].bit);
  return m;
}

std::array<unsigned char, 2 * kMaskWords> EncodeMask(const Mask& mask) {
  std::array<unsigned char, 2 * kMaskWords> b{};
  const std::span<unsigned char, 2 * kMaskWords> out(b);
  for (std::size_t k = 0; k < mask.size(); ++k) PutWord(out.subspan(2 * k).first<2>(), mask[k]);
  return b;
}

}  // namespace meter
