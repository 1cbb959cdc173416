// Throughput of the RTU CRC and of the request builders, next to a table-driven CRC-16
// written here as the reference (libmodbus computes its CRC with two 256-byte tables but
// does not export the function).
//
// The CRC is taken over whole 8-byte and 256-byte frames, as the engine does when it checks
// a received frame (two spare bytes after the frame take the result). Each figure is the
// median of several timed rounds of a fixed number of calls. Prints one line. Usage:
//   crc_frames [--rounds R] [--round-ms MS]
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "link/frames.h"

namespace {

using Clock = std::chrono::steady_clock;

// Keeps a computed value alive without a memory barrier in the loop.
template <typename T>
inline void Keep(const T& v) {
  asm volatile("" : : "g"(v) : "memory");
}

// Reference: byte-at-a-time table CRC-16/MODBUS (initial 0xFFFF, reflected 0xA001).
const std::array<std::uint16_t, 256> kTable = [] {
  std::array<std::uint16_t, 256> t{};
  for (unsigned i = 0; i < 256; ++i) {
    std::uint16_t c = static_cast<std::uint16_t>(i);
    for (int k = 0; k < 8; ++k)
      c = (c & 1) ? static_cast<std::uint16_t>((c >> 1) ^ 0xA001)
                  : static_cast<std::uint16_t>(c >> 1);
    t[i] = c;
  }
  return t;
}();

// Same contract as Orba_CalculoCRC_2: CRC written low byte first after the frame.
__attribute__((noinline)) int TableCrc(unsigned char* frame, int length) {
  std::uint16_t crc = 0xFFFF;
  for (int i = 0; i < length; ++i)
    crc = static_cast<std::uint16_t>((crc >> 8) ^ kTable[(crc ^ frame[i]) & 0xFF]);
  frame[length] = static_cast<unsigned char>(crc & 0xFF);
  frame[length + 1] = static_cast<unsigned char>(crc >> 8);
  return 0;
}

struct Options {
  int rounds = 7;
  double roundMs = 150.0;
};

// Calls per second of `body(i)`: the call count of one round is calibrated to about
// roundMs, then `rounds` rounds are timed and the median rate is returned.
template <typename Body>
double CallsPerSecond(const Options& o, Body body) {
  long long calls = 1000;
  for (;;) {
    const auto t0 = Clock::now();
    for (long long i = 0; i < calls; ++i) body(i);
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    if (s * 1e3 >= o.roundMs / 4) {
      calls = std::max<long long>(1, static_cast<long long>(calls * (o.roundMs / 1e3) / s));
      break;
    }
    calls *= 4;
  }
  std::vector<double> rates;
  for (int r = 0; r < o.rounds; ++r) {
    const auto t0 = Clock::now();
    for (long long i = 0; i < calls; ++i) body(i);
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    rates.push_back(static_cast<double>(calls) / s);
  }
  std::sort(rates.begin(), rates.end());
  return rates[rates.size() / 2];
}

// A frame of `length` bytes with room for the two CRC bytes, deterministic content.
std::vector<unsigned char> Frame(int length) {
  std::vector<unsigned char> f(static_cast<std::size_t>(length) + 2);
  std::uint32_t x = 0x2545F491u;
  for (int i = 0; i < length; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    f[static_cast<std::size_t>(i)] = static_cast<unsigned char>(x);
  }
  return f;
}

// Both CRCs must agree before either is timed.
bool Agree(int length) {
  auto a = Frame(length);
  auto b = a;
  Orba_CalculoCRC_2(a.data(), length);
  TableCrc(b.data(), length);
  return a == b;
}

struct CrcFigures {
  double ours;   // frames per second
  double table;  // frames per second
};

CrcFigures TimeCrc(const Options& o, int length) {
  auto f = Frame(length);
  unsigned char* p = f.data();
  // The first byte changes every call so no result can be reused.
  const double ours = CallsPerSecond(o, [&](long long i) {
    p[0] = static_cast<unsigned char>(i);
    Keep(Orba_CalculoCRC_2(p, length));
  });
  const double table = CallsPerSecond(o, [&](long long i) {
    p[0] = static_cast<unsigned char>(i);
    Keep(TableCrc(p, length));
  });
  return {ours, table};
}

}  // namespace

int main(int argc, char* argv[]) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--rounds" && i + 1 < argc)
      o.rounds = std::max(1, std::atoi(argv[++i]));
    else if (a == "--round-ms" && i + 1 < argc)
      o.roundMs = std::max(1.0, std::atof(argv[++i]));
    else {
      std::fprintf(stderr, "usage: crc_frames [--rounds R] [--round-ms MS]\n");
      return 2;
    }
  }
  if (!Agree(8) || !Agree(256) || !Agree(1)) {
    std::fprintf(stderr, "Orba_CalculoCRC_2 and the table CRC disagree\n");
    return 1;
  }

  const CrcFigures small = TimeCrc(o, 8);
  const CrcFigures large = TimeCrc(o, 256);

  unsigned char frame[300];  // the size of the engine's request buffer
  const double reads = CallsPerSecond(o, [&](long long i) {
    Orba_Comando_Lectura(1, 3, static_cast<int>(i & 0xFFFF), 50, frame);
    Keep(frame[2]);
  });
  // The device screen's largest write: 8 registers (4103-4110), 16 data bytes.
  const auto data = Frame(16);
  const double writes = CallsPerSecond(o, [&](long long i) {
    int length = 16;
    Keep(Orba_Comando_16(1, 4103 + static_cast<int>(i & 1), 8, data.data(), frame, &length));
    Keep(length);
  });

  auto mbps = [](double fps, int bytes) { return fps * bytes / 1e6; };
  std::printf(
      "CRC and frame builders vs table-driven CRC-16: Orba_CalculoCRC_2 8-byte frames %.1f M/s "
      "(%.0f MB/s), 256-byte %.2f M/s (%.0f MB/s); table CRC 8-byte %.1f M/s (%.0f MB/s), "
      "256-byte %.2f M/s (%.0f MB/s); ours/table %.2f (8 B) %.2f (256 B); "
      "Orba_Comando_Lectura %.1f M/s, Orba_Comando_16 (8 registers) %.1f M/s\n",
      small.ours / 1e6, mbps(small.ours, 8), large.ours / 1e6, mbps(large.ours, 256),
      small.table / 1e6, mbps(small.table, 8), large.table / 1e6, mbps(large.table, 256),
      small.ours / small.table, large.ours / large.table, reads / 1e6, writes / 1e6);
  return 0;
}
