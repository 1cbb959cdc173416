#include "link/frames.h"

#include <cstring>

void Orba_Comando_Lectura(unsigned char slave, unsigned char function, int start, int count,
                          unsigned char* frame) {
  if (frame == nullptr) return;
  const auto reg = static_cast<unsigned>(start) & 0xFFFFu;
  frame[0] = slave;
  frame[1] = function;
  frame[2] = static_cast<unsigned char>(reg >> 8);
  frame[3] = static_cast<unsigned char>(reg & 0xFFu);
  frame[4] = 0;  // high byte of the count: one request reads at most 255 registers
  frame[5] = static_cast<unsigned char>(static_cast<unsigned>(count) & 0xFFu);
}

int Orba_Comando_16(unsigned char slave, int start, int count, const unsigned char* data,
                    unsigned char* frame, int* length) {
  if (frame == nullptr || length == nullptr) return -1;
  const int n = *length;
  // 2 x 127 = 254 is the largest byte count byte 6 can carry.
  if (count < 0 || count > 127 || n < 0 || n > 254 || (n > 0 && data == nullptr)) return -1;
  const auto reg = static_cast<unsigned>(start) & 0xFFFFu;
  frame[0] = slave;
  frame[1] = 16;
  frame[2] = static_cast<unsigned char>(reg >> 8);
  frame[3] = static_cast<unsigned char>(reg & 0xFFu);
  frame[4] = 0;
  frame[5] = static_cast<unsigned char>(count);
  frame[6] = static_cast<unsigned char>(2 * count);
  if (n > 0) std::memmove(frame + 7, data, static_cast<std::size_t>(n));
  *length = n + 7;
  return 0;
}

std::uint16_t Orba_CRC16(const unsigned char* frame, std::size_t length) {
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < length; ++i) {
    crc ^= frame[i];
    for (int bit = 0; bit < 8; ++bit) {
      const bool lsb = (crc & 1u) != 0;
      crc >>= 1;
      if (lsb) crc ^= 0xA001;
    }
  }
  return crc;
}

int Orba_CalculoCRC_2(unsigned char* frame, int length) {
  if (frame == nullptr || length < 0) return -1;
  const std::uint16_t crc = Orba_CRC16(frame, static_cast<std::size_t>(length));
  frame[length] = static_cast<unsigned char>(crc & 0xFFu);  // low byte first on the wire
  frame[length + 1] = static_cast<unsigned char>(crc >> 8);
  return 0;
}
