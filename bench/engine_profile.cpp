// Where one exchange of the engine spends its time, per link kind, against veldixmid-sim:
// the same read of 50 registers at 1024 as engine_vs_libmodbus.
//
// Every call the engine makes into the platform layer (image changes, serial flushes, writes
// and reads, TCP writes, TCP event delivery, Delay) is timed by a linker wrapper
// (-Wl,--wrap, see CMakeLists.txt): the engine and the runtimes run unchanged. The event
// pumping that keeps the windows alive (ui::KeepAlive) is timed inside those calls. A Delay
// is split into its nominal length (the floor) and what it took beyond it (overshoot);
// "engine" is what is left of the exchange outside every platform call.
//
// Prints one line per link kind: median milliseconds per exchange of each step.
//   engine_profile [--exchanges N] [--sim PATH]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

enum Step {
  kImage,
  kSerialSetup,
  kSerialWrite,
  kSerialHead,
  kSerialRest,
  kTcpWrite,
  kTcpEvents,
  kPauseFloor,
  kPauseOver,
  kKeepAlive,
  kSteps
};
constexpr const char* kStepNames[kSteps] = {"image changes",      "serial flush+time-out",
                                            "serial write",       "serial read head",
                                            "serial read rest",   "TCP write",
                                            "TCP event delivery", "pauses (floor)",
                                            "pause overshoot",    "of which event pumping"};

double g_ms[kSteps];
int g_depth = 0;        // nesting of timed platform calls
int g_serialReads = 0;  // reads of this exchange: the head first, then the rest
int g_polls = 0;        // 0.01 s poll waits of this exchange

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Times one platform call; only the outermost one counts towards the exchange's steps.
template <typename F>
auto Timed(Step step, F call) {
  const bool top = g_depth++ == 0;
  const auto t0 = Clock::now();
  auto r = call();
  if (top) g_ms[step] += Ms(Clock::now() - t0);
  --g_depth;
  return r;
}

}  // namespace

// ---------------------------------------------------------------- the wrappers
extern "C" {
void __real__Z5Delayd(double);
int __real__Z18WT_SetTrayIconAttriiPKc(int, int, const char*);
int __real__Z8FlushInQi(int);
int __real__Z9FlushOutQi(int);
int __real__Z10SetComTimeid(int, double);
int __real__Z6ComWrtiPKci(int, const char*, int);
int __real__Z5ComRdiPci(int, char*, int);
int __real__Z14ClientTCPWritejPKvmj(unsigned, const void*, unsigned long, unsigned);
int __real__Z16ProcessTCPEventsv();
void __real__ZN2ui9KeepAliveEv();

void __wrap__Z5Delayd(double s) {
  const auto t0 = Clock::now();
  ++g_depth;
  __real__Z5Delayd(s);
  --g_depth;
  const double ms = Ms(Clock::now() - t0);
  g_ms[kPauseFloor] += s * 1e3;
  g_ms[kPauseOver] += ms - s * 1e3;
  if (s < 0.05) ++g_polls;
}
int __wrap__Z18WT_SetTrayIconAttriiPKc(int h, int a, const char* v) {
  return Timed(kImage, [&] { return __real__Z18WT_SetTrayIconAttriiPKc(h, a, v); });
}
int __wrap__Z8FlushInQi(int p) {
  return Timed(kSerialSetup, [&] { return __real__Z8FlushInQi(p); });
}
int __wrap__Z9FlushOutQi(int p) {
  return Timed(kSerialSetup, [&] { return __real__Z9FlushOutQi(p); });
}
int __wrap__Z10SetComTimeid(int p, double s) {
  return Timed(kSerialSetup, [&] { return __real__Z10SetComTimeid(p, s); });
}
int __wrap__Z6ComWrtiPKci(int p, const char* b, int n) {
  return Timed(kSerialWrite, [&] { return __real__Z6ComWrtiPKci(p, b, n); });
}
int __wrap__Z5ComRdiPci(int p, char* b, int n) {
  const Step step = g_serialReads++ == 0 ? kSerialHead : kSerialRest;
  return Timed(step, [&] { return __real__Z5ComRdiPci(p, b, n); });
}
int __wrap__Z14ClientTCPWritejPKvmj(unsigned h, const void* d, unsigned long n, unsigned t) {
  return Timed(kTcpWrite, [&] { return __real__Z14ClientTCPWritejPKvmj(h, d, n, t); });
}
int __wrap__Z16ProcessTCPEventsv() {
  return Timed(kTcpEvents, [] { return __real__Z16ProcessTCPEventsv(); });
}
void __wrap__ZN2ui9KeepAliveEv() {
  const auto t0 = Clock::now();
  __real__ZN2ui9KeepAliveEv();
  g_ms[kKeepAlive] += Ms(Clock::now() - t0);
}
}

namespace {

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

// Runs n exchanges (after one warm-up) and prints the median of every step.
bool Profile(const char* name, int port, int tcpPort, int n) {
  std::vector<double> steps[kSteps], total, own, polls;
  for (int i = -1; i < n; ++i) {
    std::fill(std::begin(g_ms), std::end(g_ms), 0.0);
    g_serialReads = 0;
    g_polls = 0;
    Orba_Comando_Lectura(1, 3, 1024, 50, Trama_Peticion);
    const auto t0 = Clock::now();
    const int rc = Orba_Transmitir_Modbus(port, Trama_Peticion, 6, Trama_Respuesta, 105, 0,
                                          Telefono, tcpPort, "127.0.0.1");
    const double all = Ms(Clock::now() - t0);
    if (rc != kModbusOk) {
      std::printf("%s: exchange failed: %d\n", name, rc);
      return false;
    }
    if (i < 0) continue;
    double platform = 0.0;
    for (int s = 0; s < kSteps; ++s) {
      steps[s].push_back(g_ms[s]);
      if (s != kKeepAlive) platform += g_ms[s];
    }
    total.push_back(all);
    own.push_back(all - platform);
    polls.push_back(g_polls);
  }
  std::string line = std::string("profile ") + name + " (median ms per exchange):";
  char buf[96];
  std::snprintf(buf, sizeof buf, " total %.3f, above floor %.3f;", Median(total),
                Median(total) - Median(steps[kPauseFloor]));
  line += buf;
  for (int s = 0; s < kSteps; ++s) {
    if (Median(steps[s]) == 0.0 && s != kPauseOver) continue;
    std::snprintf(buf, sizeof buf, " %s %.3f;", kStepNames[s], Median(steps[s]));
    line += buf;
  }
  std::snprintf(buf, sizeof buf, " engine %.3f; polls %.0f", Median(own), Median(polls));
  line += buf;
  std::printf("%s\n", line.c_str());
  return true;
}

}  // namespace

int main(int argc, char* argv[]) {
  int n = 30;
  std::string simPath = bench::DefaultSimPath();
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--exchanges" && i + 1 < argc)
      n = std::max(1, std::atoi(argv[++i]));
    else if (a == "--sim" && i + 1 < argc)
      simPath = argv[++i];
    else {
      std::fprintf(stderr, "usage: engine_profile [--exchanges N] [--sim PATH]\n");
      return 2;
    }
  }
  bench::Simulator sim;
  if (!sim.Start(simPath, false)) {
    std::fprintf(stderr, "cannot start %s or read its endpoints\n", simPath.c_str());
    return 1;
  }
  const bench::Endpoints& ep = sim.endpoints();
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  if (InitUIRuntime(nullptr, argv, nullptr) != 1) return 1;
  const std::string binDir = std::filesystem::path(simPath).parent_path().string();
  ui::SetProjectDirOverride(binDir.c_str());
  Orba_GEN_Presenta_iconos_comunicaciones_solo_semaforo();

  bool ok = true;
  ::setenv("VELDIXMID_COM4", ep.serial.c_str(), 1);
  if (Orba_Abrir_Puerto(4, 9600, 8, 0, 1, 0, "") == 0) ok &= Profile("serial RTU (pty)", 4, 0, n);
  Orba_Cerrar_Puerto(4);
  if (Orba_Abrir_Puerto(100, 0, 8, 0, 1, static_cast<unsigned short>(ep.tcp), "127.0.0.1") == 0)
    ok &= Profile("Modbus TCP", 100, ep.tcp, n);
  Orba_Cerrar_Puerto(100);
  if (Orba_Abrir_Puerto(101, 0, 8, 0, 1, static_cast<unsigned short>(ep.rtuOverTcp), "127.0.0.1") ==
      0)
    ok &= Profile("RTU over TCP", 101, ep.rtuOverTcp, n);
  Orba_Cerrar_Puerto(101);
  CloseUIRuntime();
  return ok ? 0 : 1;
}
