// Portable helpers (the tests run under Wine include them too): bounded waits, hex, RTU CRC.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace vtest {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;
using Bytes = std::vector<std::uint8_t>;

inline double SecondsSince(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}
inline int MsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Polls `done` until it holds or `limit` passes; the final verdict of `done`.
template <class Pred>
bool WaitUntil(Pred done, Ms limit = Ms(5000)) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= deadline) return done();
    std::this_thread::sleep_for(Ms(1));
  }
  return true;
}

inline Bytes Hex(const std::string& hex) {
  Bytes out;
  std::string d = hex;
  std::erase(d, ' ');
  for (std::size_t i = 0; i + 1 < d.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoi(d.substr(i, 2), nullptr, 16)));
  return out;
}
inline std::string ToHex(const Bytes& b) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (auto x : b) s += {digits[x >> 4], digits[x & 15]};
  return s;
}

// Modbus RTU CRC-16 (0xA001 reflected, initial 0xFFFF); the tool's own is checked against
// pymodbus in tests/link/test_frames.cpp.
inline std::uint16_t Crc16(const std::uint8_t* data, std::size_t len) {
  unsigned crc = 0xFFFF;
  for (std::size_t i = 0; i < len; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return static_cast<std::uint16_t>(crc);
}
// The frame followed by its CRC, low byte first.
inline Bytes WithCrc(Bytes frame) {
  const std::uint16_t crc = Crc16(frame.data(), frame.size());
  frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<std::uint8_t>(crc >> 8));
  return frame;
}
// True when the last two bytes are the right CRC of the others.
inline bool CrcOk(const Bytes& f) {
  if (f.size() < 3) return false;
  const std::uint16_t crc = Crc16(f.data(), f.size() - 2);
  return f[f.size() - 2] == (crc & 0xFF) && f[f.size() - 1] == (crc >> 8);
}

}  // namespace vtest
