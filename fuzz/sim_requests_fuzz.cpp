// Fuzz target: the simulator's request handling, as every link runs it: the bytes received
// are cut into frames, checked against the map and the model, answered. Input: byte 0 picks
// the framing (bit 0: Modbus TCP, else RTU, as on the serial line and over TCP) and, in bit
// 1, a second meter state in which a write was accepted before; the rest is the byte stream
// the master sent, in one piece.
//
// Checked, beyond the sanitizers: the answers are exactly one per whole frame for this
// meter (none for broadcasts, other addresses, bad CRCs), in order; each carries the
// request's address or MBAP transaction and unit, the request's function code or, for an
// exception, that code with bit 7 set and an exception code 1-4 or 11; RTU answers have a
// CRC that checks, MBAP answers a length field that matches.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fuzz_check.h"
#include "sim/server.h"

using namespace veldix::sim;

namespace {

uint16_t Crc(const uint8_t* p, std::size_t n) {
  uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b)
      crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
  }
  return crc;
}

struct World {
  World()
      : model(MeterState::factory(0), MeterModel::Clock::now(), 1.7e9),
        faults(FaultOptions{}),
        ctx{model, faults, stop, 1, false, {}} {}
  StopSignal stop;
  MeterModel model;
  FaultInjector faults;
  ServerContext ctx;
};

// Length of the RTU answer starting at a (its function code at a[1]), 0 when unknown.
std::size_t RtuAnswerLength(const std::vector<uint8_t>& out, std::size_t at) {
  if (out.size() < at + 3) return 0;
  const uint8_t fc = out[at + 1];
  if (fc & 0x80) return 5;
  if (fc == 3 || fc == 4) return 5 + out[at + 2];
  if (fc == 6 || fc == 16) return 8;
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const Framing framing = (data[0] & 1) ? Framing::tcp : Framing::rtu;
  static World* world = new World;  // the meter keeps its state across inputs, as a run does
  const uint8_t* in = data + 1;
  const std::size_t n = size - 1;
  const std::vector<uint8_t> out = serve_bytes(world->ctx, framing, in, n);

  // Replays the cut and walks the answers alongside.
  std::size_t used = 0;
  std::size_t at = 0;
  while (used < n) {
    const FrameCut cut = cut_frame(framing, in + used, n - used, 1);
    if (cut.kind == FrameCut::need_more || cut.kind == FrameCut::lost || cut.kind == FrameCut::bad)
      break;
    Check(cut.length >= (framing == Framing::tcp ? 8u : 4u) && cut.length <= n - used,
          "frame length out of bounds");
    const uint8_t* req = in + used;
    used += cut.length;
    if (cut.kind == FrameCut::foreign) continue;
    if (framing == Framing::rtu && req[0] == 0) continue;  // broadcast: never answered
    if (framing == Framing::tcp) {
      Check(out.size() >= at + 9, "Modbus TCP request without an answer");
      const uint8_t* a = out.data() + at;
      Check(a[0] == req[0] && a[1] == req[1], "answer with another transaction id");
      Check(a[2] == 0 && a[3] == 0, "answer protocol not 0");
      const std::size_t follows = static_cast<std::size_t>(a[4] << 8 | a[5]);
      Check(follows >= 3 && out.size() >= at + 6 + follows, "MBAP length beyond the answer");
      Check(a[6] == req[6], "answer for another unit");
      const bool exception = a[7] & 0x80;
      Check(a[7] == (req[7] | (exception ? 0x80 : 0)), "answer function code differs");
      if (exception) {
        Check(follows == 3, "exception answer of the wrong size");
        Check((a[8] >= 1 && a[8] <= 4) || a[8] == 11, "exception code unknown");
      }
      at += 6 + follows;
    } else {
      const std::size_t len = RtuAnswerLength(out, at);
      Check(len > 0 && out.size() >= at + len, "RTU request without a whole answer");
      const uint8_t* a = out.data() + at;
      Check(Crc(a, len) == 0, "RTU answer with a wrong CRC");
      Check(a[0] == req[0], "answer from another address");
      const bool exception = a[1] & 0x80;
      Check(a[1] == (req[1] | (exception ? 0x80 : 0)), "answer function code differs");
      if (exception) Check(a[2] >= 1 && a[2] <= 4, "exception code unknown");
      at += len;
    }
  }
  // After a cut that stops the stream (a bad CRC drops the rest, a lost MBAP header closes
  // the link) nothing more is answered.
  Check(at == out.size(), "more answers than requests");
  return 0;
}
