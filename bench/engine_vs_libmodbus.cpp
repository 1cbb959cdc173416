// Engine exchange time per link kind against the simulated meter, next to the protocol's
// timing floor and to libmodbus's own round trip on the same simulator in the same run.
//
// One exchange of the engine is a read of 50 registers at 1024 (what the measurements
// screen asks every second). Its floor is what the engine waits on purpose: the 0.15 s
// closing pause; on Modbus TCP a further 0.15 s after the write (the answer is in by then
// and taken before the first poll's wait); on RTU over TCP the first 0.01 s poll, since the
// answer cannot be in at the very moment the request was written. "Above floor" is the engine's
// median minus that floor: our own cost plus the simulator's answer time. libmodbus reads the same
// 50 registers from the same simulator, so its median round trip is the answer time of the
// simulator plus the cost of a lean, well-known master: the fair yardstick for "above floor".
//
// libmodbus has no client for RTU frames over TCP. For that kind it is given its RTU
// context on a TCP socket we connect (modbus_set_socket: the RTU backend only reads and
// writes the descriptor), and its RTU round trip on the pty and its Modbus TCP round trip
// are printed beside it.
//
// Prints one line. Usage:
//   engine_vs_libmodbus [--exchanges N] [--libmodbus-reads M] [--sim PATH] [--verbose]
// N engine exchanges per link kind (default 30, each at least 0.15 s), M libmodbus reads per
// link (default 200). The simulator defaults to ../bin/veldixmid-sim beside this program.
#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "link/engine.h"
#include "link/frames.h"
#include "link/transport.h"
#include "platform/testing/ui_testing.h"
#include "platform/ui.h"
#include "sim_child.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSlave = 1;
constexpr int kStart = 1024;
constexpr int kCount = 50;
constexpr double kTargetAboveFloorMs = 0.3;

// Tool port numbers: 4 is a serial port (pointed at the pty through VELDIXMID_COM4), 100 is
// Modbus TCP whatever the TCP port, 101 is RTU over TCP on a TCP port other than 502.
constexpr int kSerialPort = 4;
constexpr int kModbusTcpPort = 100;
constexpr int kRtuOverTcpPort = 101;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
  if (v.empty()) return -1.0;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

// ---------------------------------------------------------------- the engine

// Milliseconds of each of n reads (after one warm-up read), or empty on a failure.
std::vector<double> EngineExchanges(int port, int tcpPort, int n) {
  std::vector<double> t;
  for (int i = -1; i < n; ++i) {
    Orba_Comando_Lectura(kSlave, 3, kStart, kCount, Trama_Peticion);
    const auto t0 = Clock::now();
    const int rc = Orba_Transmitir_Modbus(port, Trama_Peticion, 6, Trama_Respuesta, kCount * 2 + 5,
                                          0, Telefono, tcpPort, "127.0.0.1");
    const double ms = Ms(Clock::now() - t0);
    if (rc != kModbusOk) {
      std::fprintf(stderr, "engine: exchange %d on port %d failed: %d\n", i, port, rc);
      return {};
    }
    if (i >= 0) t.push_back(ms);
  }
  return t;
}

std::vector<double> EngineSerial(const std::string& pty, int n) {
  ::setenv(("VELDIXMID_COM" + std::to_string(kSerialPort)).c_str(), pty.c_str(), 1);
  std::vector<double> t;
  // The simulator's line settings by default: 9600 bit/s, 8N1 (a pty does not pace bytes).
  if (Orba_Abrir_Puerto(kSerialPort, 9600, 8, 0, 1, 0, "") == 0)
    t = EngineExchanges(kSerialPort, 0, n);
  else
    std::fprintf(stderr, "engine: cannot open %s\n", pty.c_str());
  Orba_Cerrar_Puerto(kSerialPort);
  return t;
}

std::vector<double> EngineTcp(int port, int tcpPort, int n) {
  std::vector<double> t;
  if (Orba_Abrir_Puerto(port, 0, 8, 0, 1, static_cast<unsigned short>(tcpPort), "127.0.0.1") == 0)
    t = EngineExchanges(port, tcpPort, n);
  else
    std::fprintf(stderr, "engine: cannot connect to 127.0.0.1:%d\n", tcpPort);
  Orba_Cerrar_Puerto(port);
  return t;
}

// ---------------------------------------------------------------- libmodbus

// Milliseconds of each of n reads on a connected context (after one warm-up read).
std::vector<double> LibmodbusReads(modbus_t* ctx, const char* what, int n) {
  std::vector<double> t;
  uint16_t regs[kCount];
  modbus_set_slave(ctx, kSlave);
  modbus_set_response_timeout(ctx, 1, 0);
  for (int i = -1; i < n; ++i) {
    const auto t0 = Clock::now();
    const int rc = modbus_read_registers(ctx, kStart, kCount, regs);
    const double ms = Ms(Clock::now() - t0);
    if (rc != kCount) {
      std::fprintf(stderr, "libmodbus %s: read %d failed: %s\n", what, i, modbus_strerror(errno));
      return {};
    }
    if (i >= 0) t.push_back(ms);
  }
  return t;
}

std::vector<double> LibmodbusRtu(const std::string& pty, int n) {
  std::vector<double> t;
  modbus_t* ctx = modbus_new_rtu(pty.c_str(), 9600, 'N', 8, 1);
  if (ctx && modbus_connect(ctx) == 0) {
    t = LibmodbusReads(ctx, "RTU", n);
    modbus_close(ctx);
  } else {
    std::fprintf(stderr, "libmodbus RTU: cannot open %s\n", pty.c_str());
  }
  if (ctx) modbus_free(ctx);
  return t;
}

std::vector<double> LibmodbusTcp(int tcpPort, int n) {
  std::vector<double> t;
  modbus_t* ctx = modbus_new_tcp("127.0.0.1", tcpPort);
  if (ctx && modbus_connect(ctx) == 0) {
    t = LibmodbusReads(ctx, "TCP", n);
    modbus_close(ctx);
  } else {
    std::fprintf(stderr, "libmodbus TCP: cannot connect to 127.0.0.1:%d\n", tcpPort);
  }
  if (ctx) modbus_free(ctx);
  return t;
}

// RTU framing on a TCP socket: libmodbus's RTU backend given a connected descriptor.
std::vector<double> LibmodbusRtuOnSocket(int tcpPort, int n) {
  std::vector<double> t;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(tcpPort));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // as libmodbus's own TCP
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    std::fprintf(stderr, "libmodbus RTU over TCP: cannot connect to 127.0.0.1:%d\n", tcpPort);
    if (fd >= 0) ::close(fd);
    return t;
  }
  modbus_t* ctx = modbus_new_rtu("rtu-over-tcp", 9600, 'N', 8, 1);
  if (ctx) {
    modbus_set_socket(ctx, fd);
    t = LibmodbusReads(ctx, "RTU over TCP", n);
    modbus_free(ctx);  // not modbus_close: the descriptor is a socket, not a tty
  }
  ::close(fd);
  return t;
}

// ---------------------------------------------------------------- report

struct Row {
  const char* name;
  double floorMs;
  std::vector<double> engine;
  std::vector<double> lib;
};

}  // namespace

int main(int argc, char* argv[]) {
  int n = 30;
  int m = 200;
  bool verbose = false;
  std::string simPath = bench::DefaultSimPath();
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--exchanges" && i + 1 < argc)
      n = std::max(1, std::atoi(argv[++i]));
    else if (a == "--libmodbus-reads" && i + 1 < argc)
      m = std::max(1, std::atoi(argv[++i]));
    else if (a == "--sim" && i + 1 < argc)
      simPath = argv[++i];
    else if (a == "--verbose")
      verbose = true;
    else {
      std::fprintf(stderr,
                   "usage: engine_vs_libmodbus [--exchanges N] [--libmodbus-reads M] "
                   "[--sim PATH] [--verbose]\n");
      return 2;
    }
  }

  // Started before Qt exists, so the child is forked from a plain process.
  bench::Simulator sim;
  if (!sim.Start(simPath, verbose)) {
    std::fprintf(stderr, "cannot start %s or read its endpoints\n", simPath.c_str());
    return 1;
  }
  const bench::Endpoints& ep = sim.endpoints();

  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  if (InitUIRuntime(nullptr, argv, nullptr) != 1) {
    std::fprintf(stderr, "no Qt application\n");
    return 1;
  }
  // The indicator is installed from the tool's own images, as at start-up, so every image
  // change of an exchange costs what it costs in the tool.
  const std::string binDir = std::filesystem::path(simPath).parent_path().string();
  ui::SetProjectDirOverride(binDir.c_str());
  if (Orba_GEN_Presenta_iconos_comunicaciones_solo_semaforo() != 0)
    std::fprintf(stderr, "indicator not installed: image changes are not timed\n");

  Row rows[] = {
      {"serial RTU (pty)", 150.0, {}, {}},
      {"Modbus TCP", 150.0 + 150.0, {}, {}},
      {"RTU over TCP", 150.0 + 10.0, {}, {}},
  };
  rows[0].engine = EngineSerial(ep.serial, n);
  rows[0].lib = LibmodbusRtu(ep.serial, m);
  rows[1].engine = EngineTcp(kModbusTcpPort, ep.tcp, n);
  rows[1].lib = LibmodbusTcp(ep.tcp, m);
  rows[2].engine = EngineTcp(kRtuOverTcpPort, ep.rtuOverTcp, n);
  rows[2].lib = LibmodbusRtuOnSocket(ep.rtuOverTcp, m);

  bool failed = false;
  std::string line = "engine vs libmodbus, read of " + std::to_string(kCount) + " registers at " +
                     std::to_string(kStart) + " from veldixmid-sim, medians of " +
                     std::to_string(n) + " engine exchanges and " + std::to_string(m) +
                     " libmodbus reads:";
  char buf[512];
  for (const Row& r : rows) {
    if (r.engine.empty() || r.lib.empty()) {
      std::snprintf(buf, sizeof buf, " %s failed;", r.name);
      line += buf;
      failed = true;
      continue;
    }
    const double med = Median(r.engine);
    const double above = med - r.floorMs;
    std::snprintf(buf, sizeof buf,
                  " %s engine %.2f ms, floor %.0f ms, above floor %.3f ms (target < %.1f ms: %s),"
                  " libmodbus %.3f ms%s;",
                  r.name, med, r.floorMs, above, kTargetAboveFloorMs,
                  above < kTargetAboveFloorMs ? "met" : "NOT met", Median(r.lib),
                  &r == &rows[2] ? " (its RTU context on a TCP socket: it has no RTU-over-TCP"
                                   " client)"
                                 : "");
    line += buf;
    if (verbose) {
      std::vector<double> e = r.engine;
      std::sort(e.begin(), e.end());
      std::fprintf(stderr, "%s: engine min %.2f max %.2f ms; libmodbus min %.3f max %.3f ms\n",
                   r.name, e.front(), e.back(), *std::min_element(r.lib.begin(), r.lib.end()),
                   *std::max_element(r.lib.begin(), r.lib.end()));
    }
  }
  if (!rows[0].lib.empty() && !rows[1].lib.empty()) {
    std::snprintf(buf, sizeof buf,
                  " for RTU over TCP compare also libmodbus's RTU on the pty %.3f ms and its"
                  " Modbus TCP %.3f ms",
                  Median(rows[0].lib), Median(rows[1].lib));
    line += buf;
  } else if (!line.empty() && line.back() == ';') {
    line.pop_back();
  }
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  CloseUIRuntime();
  return failed ? 1 : 0;
}
