// Pieces shared by the two engine targets: reading the fuzz input's header, building the
// request the screens would send, and buffers fenced by canary bytes.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fake_platform.h"
#include "link/engine.h"
#include "link/frames.h"

namespace fuzzing {

// Hands out the input's bytes in order; past the end it gives zeros.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  const std::uint8_t* Rest() const { return data_ + pos_; }
  std::size_t RestSize() const { return size_ - pos_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// A buffer of `size` usable bytes on the heap with canary bytes behind it: the canaries
// catch a store a few bytes too far, AddressSanitizer one that goes further.
class Fenced {
 public:
  static constexpr std::size_t kCanary = 32;
  static constexpr std::uint8_t kPattern = 0xCC;

  explicit Fenced(std::size_t size, std::uint8_t fill = 0xA5)
      : size_(size), mem_(new std::uint8_t[size + kCanary]) {
    std::memset(mem_.get(), fill, size);
    std::memset(mem_.get() + size, kPattern, kCanary);
  }
  std::uint8_t* data() { return mem_.get(); }
  std::size_t size() const { return size_; }
  bool Intact() const {
    for (std::size_t i = 0; i < kCanary; ++i)
      if (mem_[size_ + i] != kPattern) return false;
    return true;
  }

 private:
  std::size_t size_;
  std::unique_ptr<std::uint8_t[]> mem_;
};

// The answer buffer size: the screens' kAnswerBufferSize most of the time, otherwise a
// smaller one (a caller's own buffer), never below the engine's minimum of 5.
inline int AnswerSize(std::uint8_t selector) {
  if (selector < 0xC0) return kAnswerBufferSize;
  return 5 + (selector - 0xC0) * 4;  // 5 .. 257
}

// The expected-length argument: the screens' small hints, or an extreme value.
inline int ExpectedLength(bool extreme, std::uint8_t pick, int small) {
  if (!extreme) return small;
  constexpr int kExtremes[] = {INT_MIN, INT_MAX, INT_MAX - 3, -5, 0, 3, 260, 255 - 4};
  return kExtremes[pick & 7];
}

// Result of the write as the runtime reports it: everything, a short count or an error.
inline int WritePlan(std::uint8_t b, int frameLength) {
  if (b < 0xF0) return -1;
  if (b < 0xF8) {
    const int shortBy = 1 + (b & 7);
    return frameLength > shortBy ? frameLength - shortBy : 0;
  }
  constexpr int kErrors[] = {-8, -15, -17, -3, -10, -18, -1, -9};
  return kErrors[b & 7];
}

// The request of one exchange: `length` bytes in a heap buffer of exactly length + 2 (the
// engine appends the CRC), canaries behind.
struct Request {
  std::unique_ptr<Fenced> buf;
  int length = 0;
  std::uint8_t original[300] = {};  // the request as built, to compare with the wire
};

// kind 0: read of `param` registers (function 3, or 4 with bit 2 of kind); 1: write of
// param & 127 registers (function 16); 2: function 1 read; 3: `param` raw bytes taken from
// the input (lengths outside 2..253 included, which the engine must refuse unwritten).
inline Request BuildRequest(std::uint8_t kind, std::uint8_t param, Reader& in) {
  Request r;
  std::uint8_t frame[300] = {};
  switch (kind & 3) {
    case 0:
      Orba_Comando_Lectura(1, (kind & 4) ? 4 : 3, 1024, param, frame);
      r.length = 6;
      break;
    case 1: {
      const int count = param & 0x7F;
      std::uint8_t data[256];
      for (int i = 0; i < 2 * count; ++i) data[i] = static_cast<std::uint8_t>(i * 37 + param);
      int length = 2 * count;
      fake::Check(Orba_Comando_16(1, 4096, count, data, frame, &length) == 0,
                  "write builder refused a count the screens could pass");
      r.length = length;
      break;
    }
    case 2:
      Orba_Comando_Lectura(1, 1, 0, param, frame);
      r.length = 6;
      break;
    default:
      r.length = param;
      for (int i = 0; i < param; ++i) frame[i] = in.Byte();
      break;
  }
  std::memcpy(r.original, frame, sizeof frame);
  r.buf = std::make_unique<Fenced>(static_cast<std::size_t>(r.length) + 2);
  std::memcpy(r.buf->data(), frame, static_cast<std::size_t>(r.length));
  return r;
}

inline bool ValidLength(int length) { return length >= 2 && length <= 253; }

// The indicator around any exchange: starts and ends idle; the error image shows exactly
// when the exchange failed.
inline void CheckIndicator(int result) {
  const std::string& seq = fake::Images();
  fake::Check(!seq.empty() && seq.front() == 'a', "indicator: exchange did not start idle");
  fake::Check(seq.back() == 'a', "indicator: exchange did not end idle");
  const bool error = seq.find('d') != std::string::npos;
  fake::Check(error == (result != kModbusOk), "indicator: error image and result disagree");
}

}  // namespace fuzzing
