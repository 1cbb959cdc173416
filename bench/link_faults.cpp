// The device link against misbehaving peers, with figures rather than verdicts:
//
//   link_faults closed [runs, default 20]
//     The server closes the connection while the engine waits; the time the next exchange
//     takes to fail (median, min, max). Nothing can answer on a closed link, so it should
//     fail at once instead of waiting out the 1000 polls (about 10 s).
//   link_faults gateway rtu|mbap [exchanges, default 1000]
//     Reads of 50 registers at 1024 through a gateway that splits every answer: RTU over TCP
//     in 16-byte segments 17 ms apart, or Modbus TCP with header and body 250 ms apart (the
//     header is taken by the first poll, the body by a later one). Counts the exchanges that
//     return 1 with the meter's registers byte for byte.
//
// Peers are the scripted meter of the tests (tests/support), on 127.0.0.1.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "link/engine.h"
#include "link/frames.h"
#include "link/transport.h"
#include "platform/ui.h"
#include "scripted_meter.h"

using namespace vtest;

namespace {

constexpr const char* kHost = "127.0.0.1";

Bytes GoodRead50() {
  Bytes a{1, 3, 100};
  for (int r = 1024; r < 1074; ++r)
    a.insert(a.end(), {std::uint8_t(InitialRegister(r) >> 8), std::uint8_t(InitialRegister(r))});
  return a;
}

int Read50(int port, int tcpPort) {
  Orba_Comando_Lectura(1, 3, 1024, 50, Trama_Peticion);
  return Orba_Transmitir_Modbus(port, Trama_Peticion, 6, Trama_Respuesta, 100, 0, Telefono, tcpPort,
                                kHost);
}

int Closed(int runs) {
  std::vector<double> t;
  int closedCodes = 0;  // next exchanges that gave -5
  for (int i = 0; i < runs; ++i) {
    ScriptedMeter meter(Framing::Mbap);
    meter.Next([](const Bytes&, const Bytes&) { return Reply{{}, Ms(0), true}; });
    if (Orba_Abrir_Puerto(100, 0, 8, 0, 1, meter.port(), kHost) != 0) return 1;
    Read50(100, meter.port());
    const auto t0 = Clock::now();
    closedCodes += Read50(100, meter.port()) == kModbusTcpClosed;
    t.push_back(SecondsSince(t0));
    Orba_Cerrar_Puerto(100);
  }
  std::sort(t.begin(), t.end());
  std::printf(
      "closed link: next exchange fails in median %.3f s (min %.3f, max %.3f, %d runs, "
      "%d with -5)\n",
      t[t.size() / 2], t.front(), t.back(), runs, closedCodes);
  return closedCodes == runs ? 0 : 1;
}

int Gateway(bool rtu, int exchanges) {
  ScriptedMeter meter(rtu ? Framing::Rtu : Framing::Mbap);
  const int port = rtu ? 101 : 100;
  if (Orba_Abrir_Puerto(port, 0, 8, 0, 1, meter.port(), kHost) != 0) return 1;
  const Bytes want = rtu ? WithCrc(GoodRead50()) : GoodRead50();
  int good = 0;
  const auto t0 = Clock::now();
  for (int i = 0; i < exchanges; ++i) {
    meter.Next([rtu](const Bytes&, const Bytes& answer) {
      const std::size_t size = rtu ? 16 : 6;  // RTU: every 16 bytes; Modbus TCP: the header
      Reply r{{}, Ms(rtu ? 17 : 250)};
      for (std::size_t at = 0; at < answer.size();) {
        const std::size_t end = rtu || at == 0 ? std::min(at + size, answer.size()) : answer.size();
        r.chunks.emplace_back(answer.begin() + std::ptrdiff_t(at),
                              answer.begin() + std::ptrdiff_t(end));
        at = end;
      }
      return r;
    });
    std::memset(Trama_Respuesta, 0, sizeof Trama_Respuesta);
    const int rc = Read50(port, meter.port());
    if (rc == 1 && std::equal(want.begin(), want.end(), Trama_Respuesta)) ++good;
  }
  Orba_Cerrar_Puerto(port);
  std::printf(
      "%s gateway (%s): %d of %d reads of 50 registers succeeded byte for byte "
      "(%.1f %%), %.1f s\n",
      rtu ? "RTU over TCP" : "Modbus TCP",
      rtu ? "16-byte segments 17 ms apart" : "header and body 250 ms apart", good, exchanges,
      100.0 * good / exchanges, SecondsSince(t0));
  return good == exchanges ? 0 : 1;
}

}  // namespace

int main(int argc, char* argv[]) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  if (InitUIRuntime(nullptr, argv, nullptr) != 1) {
    std::fprintf(stderr, "no Qt application\n");
    return 1;
  }
  const std::string what = argc > 1 ? argv[1] : "";
  if (what == "closed") return Closed(argc > 2 ? std::max(1, std::atoi(argv[2])) : 20);
  if (what == "gateway" && argc > 2) {
    const std::string kind = argv[2];
    const int n = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1000;
    if (kind == "rtu" || kind == "mbap") return Gateway(kind == "rtu", n);
  }
  std::fprintf(stderr, "usage: link_faults closed [runs] | gateway rtu|mbap [exchanges]\n");
  return 2;
}
