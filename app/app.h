// Application shell: the program entry, the main panel's quit paths and the About popup.
#pragma once

#include <string>

#include "panels/panels.h"  // Panel_Principal, kAppTitle, kUirFile

// The whole program: start-up, event loop, shutdown. 0 after a normal end, -1 when the
// runtime cannot start, the resource file cannot be loaded or no catalogue can be built.
int VeldixMain(int argc, char* argv[]);

// Binds every callback name the resource file may use. Called by VeldixMain before the
// first LoadPanel; tests that load panels call it too.
void RegisterAllCallbacks();

// The main panel's status line. A link as the status line shows it.
struct EnlaceVisto {
  int port, speed, mode, slave, tcpPort;
  char host[16];
};
// "Connected: Modbus TCP 127.0.0.1:502, slave 1. Last answer: 3 s" in the chosen language.
std::string Texto_Estado_Enlace(const EnlaceVisto& link, bool connected);
int Estado_Enlace(int panel, int control, int event, void* callbackData, int eventData1,
                  int eventData2);
void RegisterStatusCallbacks();
// The link settings of the last connection, from the registry store onto the main panel;
// values missing or out of range keep the panel's defaults.
void Recupera_Enlace(int panel);
// The serial ports present, in the main panel's port picker.
void Lista_Puertos(int panel);

// Main panel: close box (event 11) and quit control (commit) end the event loop with 0.
int panelCB(int panel, int event, void* callbackData, int eventData1, int eventData2);
int QuitCallback(int panel, int control, int event, void* callbackData, int eventData1,
                 int eventData2);
// Menu entry that quits, as the quit control does.
void Salir_Menu(int menuBar, int menuItem, void* callbackData, int panel);

// Traffic log window (resource 7), opened from the main panel's View menu; the log records
// while it is open. Binds its callbacks and puts the log's words in the chosen language.
void Abrir_Trafico(int menuBar, int menuItem, void* callbackData, int panel);
void RegisterTrafficCallbacks();

// Puts catalogue texts 1, 5, 6, 7, 8, 9, 10, 11 on the labels of main-panel controls 4, 6,
// 7, 8, 9, 10, 11, 12. Does nothing for any panel other than Panel_Principal.
void Etiquetas_Panel_Principal(int panel);

// About popup (resource 4), opened modally over `panel` from the help menu entry.
void Pantalla_HELP(int menuBar, int menuItem, void* callbackData, int panel);
int Visualiza_Pantalla_AcercaDe(int menuBar, int parentPanel);
// The About panel's own callback: its close box removes and destroys it.
int Terminar_Help(int panel, int event, void* callbackData, int eventData1, int eventData2);
int Cerrar_Acerca_De(int panel, int control, int event, void* callbackData, int eventData1,
                     int eventData2);

// Texts of the About panel.
inline constexpr const char* kAboutProduct = "VELDIXMID";
inline constexpr const char* kAboutCompany = "VELDIX-MID tool team";
inline constexpr const char* kAboutShortYear = "VELDIX-MID 2026";
inline constexpr const char* kAboutVersion = "v1.0";
