// Fuzz target: the meter decoders of meter/codec.cpp. The input is register data as a read
// answer carries it (any length); the configuration block and the mask take its first 60
// and 10 bytes (zero-padded when shorter).
//
// Checked: Word and Long agree with each other and with the bytes, and give 0 past the data;
// the signed 32-bit values are the two's complement of Long; a decoded configuration
// encodes back to the very registers it came from wherever the encoding is defined (every
// BCD digit below 10, a known frame pair); a decoded mask survives the round trip through
// the 75 controls with only word 4's bits 3 to 7 cleared; the ring value is always 0..3.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "fuzz_check.h"
#include "meter/codec.h"

namespace {

bool BcdByte(unsigned b) { return (b >> 4) < 10 && (b & 0x0F) < 10; }

bool KnownPair(std::uint16_t r4109, std::uint16_t r4110) {
  for (int v = 0; v < 4; ++v)
    if (meter::PairFromRing(v) == std::pair<std::uint16_t, std::uint16_t>{r4109, r4110})
      return true;
  return false;
}

void Words(std::span<const unsigned char> data) {
  const std::size_t words = data.size() / 2;
  for (std::size_t k = 0; k <= words + 1; ++k) {
    const std::uint16_t w = meter::Word(data, k);
    if (k < words)
      Check(w == (data[2 * k] << 8 | data[2 * k + 1]), "Word differs from its bytes");
    else
      Check(w == 0, "Word past the data is not 0");
    const std::uint32_t l = meter::Long(data, k);
    if (k + 1 < words) {
      Check(l == (static_cast<std::uint32_t>(w) << 16 | meter::Word(data, k + 1)),
            "Long is not the high word then the low word");
      if (k % 2 == 0) {
        const double v = meter::WideValue(data, k / 2, 1.0);
        Check(v == static_cast<double>(static_cast<std::int32_t>(l)),
              "WideValue is not the signed 32-bit value");
      }
    } else {
      Check(l == 0, "Long past the data is not 0");
    }
  }
}

void Config(std::span<const unsigned char, meter::kConfigDataBytes> block) {
  const meter::DeviceConfig c = meter::DecodeConfig(block);
  Check(c.frame >= 0 && c.frame <= 3, "ring value outside 0..3");
  const auto out = meter::EncodeConfig(c);
  Check(meter::DecodeConfig(block) == c, "decoding is not repeatable");
  // Where each written register sits in the read block: register 4096 + k at 2k.
  auto regByte = [&](int reg, int i) {
    return block[2 * static_cast<std::size_t>(reg - 4096) + i];
  };
  for (const auto& w : meter::kConfigWrites) {
    for (int r = 0; r < w.count; ++r) {
      const int reg = w.start + r;
      for (int i = 0; i < 2; ++i) {
        const unsigned char sent = out[w.offset + 2 * static_cast<std::size_t>(r) + i];
        const unsigned char read = regByte(reg, i);
        if (reg >= 4103 && reg <= 4106) {
          // Clock: the high bytes of 4103 and 4105 always go out as 0 (year's century,
          // weekday); the others are BCD and round-trip when every digit is one.
          if ((reg == 4103 || reg == 4105) && i == 0) {
            Check(sent == 0, "clock high byte sent non-zero");
          } else if (BcdByte(read)) {
            Check(sent == read, "valid BCD clock byte changed on the way back");
          }
        } else if (reg == 4109 || reg == 4110) {
          // The pair goes out as the ring's pair: unchanged when it is one of the four.
          if (KnownPair(meter::Word(block, 4109 - 4096), meter::Word(block, 4110 - 4096)))
            Check(sent == read, "known frame pair changed on the way back");
        } else {
          Check(sent == read, "setting changed on the way back");
        }
      }
    }
  }
}

void Mask(std::span<const unsigned char, 2 * meter::kMaskWords> data) {
  const meter::Mask m = meter::DecodeMask(data);
  const auto bits = meter::BitsFromMask(m);
  for (int b : bits) Check(b == 0 || b == 1, "mask control value not 0 or 1");
  const meter::Mask back = meter::MaskFromBits(bits);
  for (std::size_t k = 0; k < m.size(); ++k) {
    const std::uint16_t expected = k == 4 ? static_cast<std::uint16_t>(m[k] & ~0x00F8u) : m[k];
    Check(back[k] == expected, "mask round trip lost or invented a bit");
  }
  const auto bytes = meter::EncodeMask(back);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const unsigned char expected = i == 9 ? static_cast<unsigned char>(data[i] & ~0xF8u) : data[i];
    Check(bytes[i] == expected, "mask bytes changed on the way back");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const unsigned char> all(data, size);
  Words(all);
  unsigned char block[meter::kConfigDataBytes] = {};
  std::memcpy(block, data, size < sizeof block ? size : sizeof block);
  Config(block);
  unsigned char mask[2 * meter::kMaskWords] = {};
  std::memcpy(mask, data, size < sizeof mask ? size : sizeof mask);
  Mask(mask);
  for (std::size_t i = 0; i < size && i < 16; ++i) {
    const int v = BCD_a_Binario(data[i]);
    Check(v >= 0 && v <= 165, "BCD value out of range");
    if (BcdByte(data[i])) Check(Binario_a_BCD(v) == data[i], "BCD round trip");
    Check(meter::CounterValue(meter::Long(all, i)) >= 0, "counter value negative");
  }
  return 0;
}
