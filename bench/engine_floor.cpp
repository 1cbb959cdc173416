// Time of one exchange per link kind against a fast local meter, next to the floor the
// protocol timing imposes: the 0.15 s closing pause; on Modbus TCP a further 0.15 s after
// the write (the answer is taken before the first poll's wait); on RTU over TCP the first
// 0.01 s poll. Prints one line per link kind with
// the median and the overhead above the floor.
//
//   engine_floor [exchanges per kind, default 30]
#include <QImage>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "link/engine.h"
#include "link/frames.h"
#include "link/transport.h"
#include "platform/testing/ui_testing.h"
#include "platform/ui.h"
#include "scripted_meter.h"

using namespace vtest;

namespace {

void WriteIcons(const QString& dir) {
  const char* names[] = {kIconIdle, kIconReceiving, kIconSending, kIconError};
  const Qt::GlobalColor colours[] = {Qt::gray, Qt::yellow, Qt::green, Qt::red};
  for (int i = 0; i < 4; ++i) {
    QImage img(16, 16, QImage::Format_ARGB32);
    img.fill(colours[i]);
    img.save(dir + QLatin1Char('/') + QLatin1String(names[i]), "ICO");
  }
}

struct Kind {
  const char* name;
  int port;
  Framing framing;
  double floor;  // seconds
};

// Median seconds of `n` reads of 50 registers at 1024, or a negative value on failure.
double MedianExchange(int port, int tcpPort, int n) {
  std::vector<double> t;
  for (int i = 0; i < n; ++i) {
    Orba_Comando_Lectura(1, 3, 1024, 50, Trama_Peticion);
    const auto t0 = Clock::now();
    const int rc = Orba_Transmitir_Modbus(port, Trama_Peticion, 6, Trama_Respuesta, 100, 0,
                                          Telefono, tcpPort, "127.0.0.1");
    t.push_back(SecondsSince(t0));
    if (rc != 1) {
      std::fprintf(stderr, "exchange %d on port %d failed: %d\n", i, port, rc);
      return -1.0;
    }
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

void Report(const Kind& k, double median, int n) {
  if (median < 0) {
    std::printf("%-13s failed\n", k.name);
    return;
  }
  std::printf("%-13s median %.4f s  floor %.4f s  overhead %6.2f ms  (%d exchanges)\n", k.name,
              median, k.floor, (median - k.floor) * 1e3, n);
}

}  // namespace

int main(int argc, char* argv[]) {
  const int n = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  if (InitUIRuntime(nullptr, argv, nullptr) != 1) {
    std::fprintf(stderr, "no Qt application\n");
    return 1;
  }
  // The indicator is installed as at start-up, so every image change costs what it costs.
  QTemporaryDir icons;
  WriteIcons(icons.path());
  const std::string dir = icons.path().toStdString();
  ui::SetProjectDirOverride(dir.c_str());
  if (Orba_GEN_Presenta_iconos_comunicaciones_solo_semaforo() != 0)
    std::fprintf(stderr, "indicator not installed: image changes are not timed\n");

  const Kind kinds[] = {
      {"serial RTU", 4, Framing::Rtu, 0.15},
      {"Modbus TCP", 100, Framing::Mbap, 0.15 + 0.15},
      {"RTU over TCP", 101, Framing::Rtu, 0.15 + 0.01},
  };
  int failures = 0;
  for (const Kind& k : kinds) {
    double median = -1.0;
    if (k.port < 99) {
      Pty pty;
      ComEnv env(k.port, pty.path());
      ScriptedMeter meter(pty);
      if (Orba_Abrir_Puerto(k.port, 115200, 8, 0, 1, 0, "") == 0)
        median = MedianExchange(k.port, 0, n);
      Orba_Cerrar_Puerto(k.port);
    } else {
      ScriptedMeter meter(k.framing);
      if (Orba_Abrir_Puerto(k.port, 0, 8, 0, 1, meter.port(), "127.0.0.1") == 0)
        median = MedianExchange(k.port, meter.port(), n);
      Orba_Cerrar_Puerto(k.port);
    }
    Report(k, median, n);
    failures += median < 0;
  }
  return failures == 0 ? 0 : 1;
}
