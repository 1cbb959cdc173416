// Processor time of the tool's code while the measurements screen polls the simulated meter
// over Modbus TCP: the shipped main panel and screen, the real runtime and engine, for a
// number of seconds, under whichever Qt platform the environment names (offscreen, or xcb
// under xvfb-run). The simulator's own time is not counted.
//
// Prints one line: processor time (user + system) as a share of one core, and the exchanges
// the simulator served meanwhile. Target: under 1 %.
//   poll_cpu [seconds, default 30] [--sim PATH]
#include <sys/resource.h>

#include <QAbstractButton>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "lang/catalogue.h"
#include "link/engine.h"
#include "link/transport.h"
#include "meter/meter.h"
#include "platform/testing/ui_testing.h"
#include "platform/ui.h"
#include "sim_child.h"

namespace {

double CpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  auto s = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return s(u.ru_utime) + s(u.ru_stime);
}

int Ignore(int, int, int, void*, int, int) { return 0; }
int IgnorePanel(int, int, void*, int, int) { return 0; }
void IgnoreMenu(int, int, void*, int) {}

}  // namespace

int main(int argc, char* argv[]) {
  double seconds = 30;
  std::string simPath = bench::DefaultSimPath();
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--sim" && i + 1 < argc)
      simPath = argv[++i];
    else if (std::atof(a.c_str()) > 0)
      seconds = std::atof(a.c_str());
    else {
      std::fprintf(stderr, "usage: poll_cpu [seconds] [--sim PATH]\n");
      return 2;
    }
  }
  bench::Simulator sim;
  if (!sim.Start(simPath, false)) {
    std::fprintf(stderr, "cannot start %s\n", simPath.c_str());
    return 1;
  }
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  if (InitUIRuntime(nullptr, argv, nullptr) != 1) return 1;
  const std::string bin = std::filesystem::path(simPath).parent_path().string();
  ui::SetProjectDirOverride(bin.c_str());
  RegisterMeterCallbacks();
  // The main panel's own callbacks belong to the shell, which is not linked here.
  for (const char* c : {"Seleccionar_Puerto", "QuitCallback", "Estado_Enlace", "Elige_Puerto"})
    RegisterCtrlCallback(c, Ignore);
  RegisterPanelCallback("panelCB", IgnorePanel);
  for (const char* m :
       {"Salir_Menu", "Cambia_Idioma_ESP", "Cambia_Idioma_ENG", "Pantalla_HELP", "Abrir_Trafico"})
    RegisterMenuCallback(m, IgnoreMenu);
  if (!Cargar_Textos_Idioma((bin + "/language.ini").c_str(), 1)) return 1;
  Orba_GEN_Presenta_iconos_comunicaciones_solo_semaforo();

  Puerto = 100;  // Modbus TCP
  Identidad = 1;
  TCP_Puerto = sim.endpoints().tcp;
  std::snprintf(IP, sizeof IP, "%s", "127.0.0.1");
  if (Orba_Abrir_Puerto(Puerto, 0, 8, 0, 1, static_cast<unsigned short>(TCP_Puerto), IP) != 0)
    return 1;
  Panel_Puerto = Panel_Principal = LoadPanel(0, "VELDIXMID.uir", 6);
  if (Panel_Principal < 0) return 1;
  for (int button = 2; button <= 5; ++button)  // as a committed connection leaves them
    SetCtrlAttribute(Panel_Principal, button, ATTR_DIMMED, 0);
  DisplayPanel(Panel_Principal);

  // Opened from the event loop, as the operator's click would.
  QTimer::singleShot(0, [] {
    if (auto* b = qobject_cast<QAbstractButton*>(
            static_cast<QObject*>(ui::CtrlWidget(Panel_Principal, 2))))
      b->click();
  });
  const double cpu0 = CpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  QTimer::singleShot(static_cast<int>(seconds * 1000), [] { QuitUserInterface(0); });
  RunUserInterface();
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double cpu = CpuSeconds() - cpu0;
  const bool polling = Panel_Medidas > 0;
  std::printf(
      "measurements screen polling veldixmid-sim (Modbus TCP, %s): processor %.3f s in "
      "%.1f s, %.2f %% of a core (target < 1 %%: %s)%s\n",
      qgetenv("QT_QPA_PLATFORM").constData(), cpu, wall, 100.0 * cpu / wall,
      100.0 * cpu / wall < 1.0 ? "met" : "NOT met", polling ? "" : "; the screen did not open");
  std::fflush(stdout);
  Orba_Cerrar_Puerto(Puerto);
  CloseUIRuntime();
  return polling ? 0 : 1;
}
