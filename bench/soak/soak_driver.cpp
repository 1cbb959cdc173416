// Fault soak driver: runs many exchanges of the real transaction engine, on the real serial
// and TCP runtimes, against the simulated meter with faults switched on, and counts every
// result so that the errors can be matched with the faults the simulator says it injected.
//
// Soak-only timing: this program supplies its own Delay (the engine's pauses), which sleeps
// seconds x VELDIX_SOAK_DELAY_SCALE (default 1.0). With 0.05 the 0.15 s closing pause takes
// 7.5 ms and the TCP answer wait is 1000 polls of 0.5 ms (0.5 s). The engine's logic is the
// shipped one; only the length of its pauses changes. Serial read time-outs (SetComTime) are
// the runtime's and are not scaled.
//
// The link indicator is a counter here (no desktop in a soak): the driver checks that every
// exchange ends idle and shows the error image exactly when it fails.
//
//   veldix_soak --link tcp --tcp-port P [--host H] | --link serial --serial-port N
//               --count N [--fault-rate R --fault-register A] [--drop-after N] [--seed S]
//
// The request mix, per round of five: read 50 registers at 1024, read 8 at 1074, read 2 at
// 270, write the 5-word display mask at 4128, read it back (compared with what was written).
// With --fault-rate, that fraction of requests (drawn from --seed) is replaced by a read of
// --fault-register, which the simulator (--exception-at) answers with exception 4.
// With --drop-after N (the simulator's setting), a connection the meter closes gives -5 (or
// -1 when the write already fails) and the driver reconnects.
//
// Last line on standard output: "soak-result:" and key=value pairs for scripts/soak.sh.
#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "link/engine.h"
#include "link/frames.h"
#include "link/transport.h"
#include "platform/keep_alive.h"
#include "platform/rs232.h"
#include "platform/tray.h"
#include "platform/ui.h"

namespace {

using Clock = std::chrono::steady_clock;

double DelayScale() {
  static const double scale = [] {
    const char* s = std::getenv("VELDIX_SOAK_DELAY_SCALE");
    if (s == nullptr || *s == '\0') return 1.0;
    const double v = std::strtod(s, nullptr);
    return v >= 0.0 && v <= 1.0 ? v : 1.0;
  }();
  return scale;
}

// ---- indicator: images of the current exchange
std::string g_images;

struct Options {
  std::string link;
  std::string host = "127.0.0.1";
  int tcpPort = 0;
  int serialPort = 0;
  long count = 0;
  double faultRate = 0.0;
  int faultRegister = 4099;
  long dropAfter = 0;
  std::uint64_t seed = 1;
};

[[noreturn]] void Usage(const char* why) {
  std::fprintf(stderr, "veldix_soak: %s\n", why);
  std::exit(2);
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage(("missing value after " + a).c_str());
      return argv[++i];
    };
    if (a == "--link")
      o.link = value();
    else if (a == "--host")
      o.host = value();
    else if (a == "--tcp-port")
      o.tcpPort = std::stoi(value());
    else if (a == "--serial-port")
      o.serialPort = std::stoi(value());
    else if (a == "--count")
      o.count = std::stol(value());
    else if (a == "--fault-rate")
      o.faultRate = std::stod(value());
    else if (a == "--fault-register")
      o.faultRegister = std::stoi(value());
    else if (a == "--drop-after")
      o.dropAfter = std::stol(value());
    else if (a == "--seed")
      o.seed = std::stoull(value());
    else
      Usage(("unknown argument " + a).c_str());
  }
  if (o.link != "tcp" && o.link != "serial") Usage("--link tcp or --link serial");
  if (o.link == "tcp" && (o.tcpPort <= 0 || o.tcpPort > 65535)) Usage("--tcp-port 1..65535");
  if (o.link == "serial" && (o.serialPort < 1 || o.serialPort > 98)) Usage("--serial-port 1..98");
  if (o.count <= 0) Usage("--count N, N > 0");
  return o;
}

// Resident set and its peak, from /proc (kB).
struct Memory {
  long rssKb = 0;
  long hwmKb = 0;
};
Memory ReadMemory() {
  Memory m;
  std::ifstream in("/proc/self/status");
  std::string key;
  while (in >> key) {
    if (key == "VmRSS:")
      in >> m.rssKb;
    else if (key == "VmHWM:")
      in >> m.hwmKb;
    std::string rest;
    std::getline(in, rest);
  }
  return m;
}

enum class Kind { ReadMeasurements, ReadThd, ReadEnergy, WriteMask, ReadMask, Fault };

struct Counters {
  long exchanges = 0;
  long ok = 0;
  long faultRequests = 0;  // requests for the exception register
  long exceptions = 0;     // -3 on those
  long unexpectedExceptions = 0;
  long badAnswers = 0;  // -2
  long closed = 0;      // -5, or -1 on a connection the meter had closed
  long reconnects = 0;
  long noAnswer = 0;         // -1 otherwise
  long timeouts = 0;         // -4
  long other = 0;            // anything else
  long wrongData = 0;        // an answer that does not hold what it should
  long indicatorFaults = 0;  // indicator not idle at the end, or error image disagreeing
  long hangs = 0;            // exchanges beyond their bound
  long answersOnConnection = 0;
  double longest = 0.0;
  std::map<int, long> otherCodes;
};

}  // namespace

// ------------------------------------------------------------------ platform pieces supplied here

void Delay(double seconds) {
  const double s = seconds * DelayScale();
  if (s > 0) std::this_thread::sleep_for(std::chrono::duration<double>(s));
}

int WT_InstallSysTrayIcon(const char* iconFile, const char*, TrayIconCallbackPtr, int* handle) {
  if (iconFile == nullptr || handle == nullptr) return -1;
  *handle = 1;
  return 0;
}
int WT_SetTrayIconAttr(int, int attribute, const char* value) {
  if (attribute != ATTR_TRAY_IMAGE_FILE || value == nullptr) return -1;
  const std::size_t n = std::strlen(value);
  g_images.push_back(n > 6 ? value[6] : '?');  // trffc_X.ico
  return 0;
}
int WT_RemoveSysTrayIcon(int) { return 0; }
// No windows to keep alive while the runtimes wait.
void ui::KeepAlive() {}

// ------------------------------------------------------------------ the soak

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);  // the serial runtime is Qt's
  const Options o = Parse(argc, argv);
  const bool tcp = o.link == "tcp";
  const int port = tcp ? 100 : o.serialPort;  // 100: Modbus TCP framing on any TCP port

  auto open = [&]() {
    return Orba_Abrir_Puerto(port, 115200, 8, 0, 1, static_cast<unsigned short>(o.tcpPort),
                             o.host.c_str());
  };
  if (const int rc = open(); rc != 0) {
    std::fprintf(stderr, "veldix_soak: open failed: %s\n", GetRS232ErrorString(rc));
    return 1;
  }
  Orba_GEN_Presenta_iconos_comunicaciones_solo_semaforo();
  std::snprintf(IP, sizeof IP, "%s", o.host.c_str());

  // Each exchange's worst case: TCP the pause after the write, 1000 polls and the closing
  // pause (all scaled) plus the runtime's calls; serial two 2 s reads and two closing pauses.
  // One second of slack on top for a loaded machine.
  const double bound =
      tcp ? (0.15 + 10.0 + 0.15) * DelayScale() + 1.0 : 2.0 + 2.0 + 0.3 * DelayScale() + 1.0;

  std::mt19937_64 rng(o.seed);
  std::uniform_real_distribution<double> draw(0.0, 1.0);
  Counters c;
  std::uint16_t maskSent[5] = {0x1DC7, 0x07C0, 0x03DE, 0x0070, 0x2905};
  bool maskKnown = false;
  Memory start;
  const long warmUp = std::max(1L, std::min(1000L, o.count / 100));
  const auto t0 = Clock::now();

  for (long i = 0; i < o.count; ++i) {
    Kind kind = static_cast<Kind>(i % 5);
    if (o.faultRate > 0 && draw(rng) < o.faultRate) kind = Kind::Fault;

    unsigned char request[kTramaSize] = {};
    int length = 6;
    int regs = 0;
    std::uint16_t maskNow[5] = {};
    switch (kind) {
      case Kind::ReadMeasurements:
        regs = 50;
        Orba_Comando_Lectura(1, 3, 1024, regs, request);
        break;
      case Kind::ReadThd:
        regs = 8;
        Orba_Comando_Lectura(1, 3, 1074, regs, request);
        break;
      case Kind::ReadEnergy:
        regs = 2;
        Orba_Comando_Lectura(1, 3, 270, regs, request);
        break;
      case Kind::ReadMask:
        regs = 5;
        Orba_Comando_Lectura(1, 3, 4128, regs, request);
        break;
      case Kind::Fault:
        regs = 1;
        Orba_Comando_Lectura(1, 3, o.faultRegister, regs, request);
        break;
      case Kind::WriteMask: {
        unsigned char data[10];
        for (int k = 0; k < 5; ++k) {
          maskNow[k] = static_cast<std::uint16_t>((i * 2654435761u >> (3 * k)) & 0xFFFF);
          if (k == 4) maskNow[k] &= 0xFF07;  // bits 3-7 of 4132 do not exist
          data[2 * k] = static_cast<unsigned char>(maskNow[k] >> 8);
          data[2 * k + 1] = static_cast<unsigned char>(maskNow[k] & 0xFF);
        }
        length = 10;
        Orba_Comando_16(1, 4128, 5, data, request, &length);
        break;
      }
    }

    unsigned char answer[kAnswerBufferSize + 16];
    std::memset(answer, 0xCC, sizeof answer);
    g_images.clear();
    const auto e0 = Clock::now();
    const int rc =
        Orba_Transmitir_Modbus(port, request, length, answer, 2 * regs, 0, Telefono, o.tcpPort, IP);
    const double took = std::chrono::duration<double>(Clock::now() - e0).count();
    ++c.exchanges;
    c.longest = std::max(c.longest, took);
    if (took > bound) ++c.hangs;
    for (std::size_t k = kAnswerBufferSize; k < sizeof answer; ++k)
      if (answer[k] != 0xCC) {
        ++c.wrongData;
        break;
      }
    const bool errorShown = g_images.find('d') != std::string::npos;
    if (g_images.empty() || g_images.back() != 'a' || errorShown != (rc != kModbusOk))
      ++c.indicatorFaults;

    if (kind == Kind::Fault) ++c.faultRequests;
    if (rc == kModbusOk || rc == kModbusException || rc == kModbusBadAnswer)
      ++c.answersOnConnection;
    switch (rc) {
      case kModbusOk:
        ++c.ok;
        if (kind == Kind::Fault || answer[0] != 1) {
          ++c.wrongData;
        } else if (kind == Kind::WriteMask) {
          if (answer[1] != 16 || answer[2] != 0x10 || answer[3] != 0x20 || answer[5] != 5)
            ++c.wrongData;
        } else if (answer[1] != 3 || answer[2] != 2 * regs) {
          ++c.wrongData;
        } else if (kind == Kind::ReadMask && maskKnown) {
          for (int k = 0; k < 5; ++k)
            if ((answer[3 + 2 * k] << 8 | answer[4 + 2 * k]) != maskSent[k]) ++c.wrongData;
        }
        break;
      case kModbusException:
        if (kind == Kind::Fault && answer[1] == 0x83 && answer[2] == 4)
          ++c.exceptions;
        else
          ++c.unexpectedExceptions;
        break;
      case kModbusBadAnswer: ++c.badAnswers; break;
      case kModbusTcpClosed: ++c.closed; break;
      case kModbusNoAnswer:
        // On TCP a write to a connection the meter closed may already fail.
        if (tcp && o.dropAfter > 0 && c.answersOnConnection >= o.dropAfter)
          ++c.closed;
        else
          ++c.noAnswer;
        break;
      case kModbusTcpTimeout: ++c.timeouts; break;
      default:
        ++c.other;
        ++c.otherCodes[rc];
        break;
    }
    // A write reaches the meter unless the connection was gone; a spoilt answer (-2) still
    // means it was carried out.
    if (kind == Kind::WriteMask && (rc == kModbusOk || rc == kModbusBadAnswer)) {
      std::memcpy(maskSent, maskNow, sizeof maskSent);
      maskKnown = true;
    }
    if (tcp && (rc == kModbusTcpClosed || rc == kModbusNoAnswer)) {
      c.answersOnConnection = 0;
      ++c.reconnects;
      if (open() != 0) {
        std::fprintf(stderr, "veldix_soak: reconnect failed after exchange %ld\n", i + 1);
        break;
      }
    }

    if (i + 1 == warmUp) start = ReadMemory();
    if ((i + 1) % std::max(1L, o.count / 10) == 0) {
      const Memory m = ReadMemory();
      std::printf(
          "soak-progress: exchanges=%ld ok=%ld exceptions=%ld bad=%ld closed=%ld "
          "other-errors=%ld rss-kb=%ld hwm-kb=%ld longest-s=%.3f elapsed-s=%.0f\n",
          c.exchanges, c.ok, c.exceptions, c.badAnswers, c.closed,
          c.noAnswer + c.timeouts + c.other + c.unexpectedExceptions, m.rssKb, m.hwmKb, c.longest,
          std::chrono::duration<double>(Clock::now() - t0).count());
      std::fflush(stdout);
    }
  }
  Orba_Cerrar_Puerto(port);
  const Memory end = ReadMemory();

  // The meter closes a connection after its N-th answer: the last one too, if it got them all.
  const long closedByMeter =
      c.closed + (tcp && o.dropAfter > 0 && c.answersOnConnection >= o.dropAfter ? 1 : 0);
  std::string others;
  for (const auto& [code, n] : c.otherCodes)
    others += std::to_string(code) + "x" + std::to_string(n) + ",";
  std::printf(
      "soak-result: link=%s exchanges=%ld ok=%ld fault-requests=%ld exceptions=%ld "
      "unexpected-exceptions=%ld bad=%ld closed=%ld closed-by-meter=%ld reconnects=%ld "
      "no-answer=%ld timeouts=%ld other=%ld other-codes=%s wrong-data=%ld "
      "indicator-faults=%ld hangs=%ld longest-s=%.4f bound-s=%.3f "
      "rss-start-kb=%ld hwm-start-kb=%ld rss-end-kb=%ld hwm-end-kb=%ld elapsed-s=%.1f "
      "delay-scale=%g\n",
      o.link.c_str(), c.exchanges, c.ok, c.faultRequests, c.exceptions, c.unexpectedExceptions,
      c.badAnswers, c.closed, closedByMeter, c.reconnects, c.noAnswer, c.timeouts, c.other,
      others.empty() ? "none" : others.c_str(), c.wrongData, c.indicatorFaults, c.hangs, c.longest,
      bound, start.rssKb, start.hwmKb, end.rssKb, end.hwmKb,
      std::chrono::duration<double>(Clock::now() - t0).count(), DelayScale());
  return 0;
}
