// About popup: product and maker, modal over the main panel.
#include "app/app.h"
#include "platform/ui.h"

namespace {
enum { kCtrlShortYear = 2, kCtrlCompany = 3, kCtrlProduct = 4, kCtrlVersion = 5 };
}

void Pantalla_HELP(int menuBar, int, void*, int panel) {
  Visualiza_Pantalla_AcercaDe(menuBar, panel);
}

int Visualiza_Pantalla_AcercaDe(int, int parentPanel) {
  const int about = LoadPanel(parentPanel, kUirFile, kResAcercaDe);
  if (about < 0) return about;
  SetCtrlAttribute(about, kCtrlProduct, ATTR_VALUE, kAboutProduct);
  SetCtrlAttribute(about, kCtrlCompany, ATTR_VALUE, kAboutCompany);
  SetCtrlAttribute(about, kCtrlShortYear, ATTR_VALUE, kAboutShortYear);
  SetCtrlAttribute(about, kCtrlVersion, ATTR_VALUE, kAboutVersion);
  return InstallPopup(about);
}

int Terminar_Help(int panel, int event, void*, int, int) {
  if (event == EVENT_CLOSE) {
    RemovePopup(0);
    // Nothing keeps a handle to the About panel: destroy it so repeated openings leak nothing.
    DiscardPanel(panel);
  }
  return 0;
}

// The About panel's close button: the same as its close box.
int Cerrar_Acerca_De(int panel, int, int event, void*, int, int) {
  if (event == EVENT_COMMIT) Terminar_Help(panel, EVENT_CLOSE, nullptr, 0, 0);
  return 0;
}
