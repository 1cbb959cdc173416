// Program entry, main panel and shutdown.
#include <cstdio>

#include "app/app.h"
#include "app/connection.h"
#include "lang/catalogue.h"
#include "lang/language.h"
#include "link/engine.h"
#include "link/transport.h"
#include "meter/meter.h"
#include "platform/tray.h"
#include "platform/ui.h"

int panelCB(int, int event, void*, int, int) {
  if (event == EVENT_CLOSE) QuitUserInterface(0);
  return 0;
}

int QuitCallback(int, int, int event, void*, int, int) {
  if (event == EVENT_COMMIT) QuitUserInterface(0);
  return 0;
}

void Salir_Menu(int, int, void*, int) { QuitUserInterface(0); }

void RegisterAllCallbacks() {
  RegisterPanelCallback("panelCB", panelCB);
  RegisterCtrlCallback("QuitCallback", QuitCallback);
  RegisterMenuCallback("Salir_Menu", Salir_Menu);
  RegisterMenuCallback("Pantalla_HELP", Pantalla_HELP);
  RegisterPanelCallback("Terminar_Help", Terminar_Help);
  RegisterCtrlCallback("Cerrar_Acerca_De", Cerrar_Acerca_De);
  RegisterLinkCallbacks();
  RegisterStatusCallbacks();
  RegisterLangCallbacks();
  RegisterMeterCallbacks();
  RegisterTrafficCallbacks();
}

int VeldixMain(int argc, char* argv[]) {
  (void)argc;
  // 1. The runtime.
  if (InitUIRuntime(nullptr, argv, nullptr) == 0) {
    std::fprintf(stderr, "veldixmid: cannot start the user interface (no display?)\n");
    return -1;
  }
  RegisterAllCallbacks();
  // 2. The main panel.
  Panel_Principal = LoadPanel(0, kUirFile, kResPrincipal);
  if (Panel_Principal < 0) {
    std::fprintf(stderr, "veldixmid: %s\n", ui::LastLoadError());
    return -1;
  }
  // 3. The catalogue (may first ask for the language); its failures have been reported.
  Textos_Idioma = Orba_AsignarIdioma();
  if (!Textos_Idioma) return -1;
  // 4. The link indicator; the tool runs on without it.
  Orba_GEN_Presenta_iconos_comunicaciones_solo_semaforo();
  // 5, 6. Title and display.
  SetPanelAttribute(Panel_Principal, ATTR_TITLE, kAppTitle);
  DisplayPanel(Panel_Principal);
  // 7. The catalogue's texts on the main panel's labels.
  Etiquetas_Panel_Principal(Panel_Principal);
  Recupera_Enlace(Panel_Principal);
  Lista_Puertos(Panel_Principal);
  // 8. Everything else happens in callbacks until a quit is requested.
  RunUserInterface();

  // Shutdown: the link on whatever port the settings hold now (a port that was never
  // opened is no error), the main panel, the indicator.
  Orba_Cerrar_Puerto(Puerto);
  DiscardPanel(Panel_Principal);
  WT_RemoveSysTrayIcon(icono_comunicaciones_barra_tareas);
  CloseUIRuntime();
  return 0;
}
