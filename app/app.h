// Application shell: the program entry, the main panel's quit paths and the About popup.
#pragma once

// Handle of the main panel (resource 6), set once at start-up; negative when the load failed.
extern int Panel_Principal;

// The whole program: start-up, event loop, shutdown. 0 after a normal end, -1 when the
// runtime cannot start, the resource file cannot be loaded or no catalogue can be built.
int VeldixMain(int argc, char* argv[]);

// Binds every callback name the resource file may use. Called by VeldixMain before the
// first LoadPanel; tests that load panels call it too.
void RegisterAllCallbacks();

// Main panel: close box (event 11) and quit control (commit) end the event loop with 0.
int panelCB(int panel, int event, void* callbackData, int eventData1, int eventData2);
int QuitCallback(int panel, int control, int event, void* callbackData, int eventData1,
                 int eventData2);
// Menu entry that quits, as the quit control does.
void Salir_Menu(int menuBar, int menuItem, void* callbackData, int panel);

// About popup (resource 4), opened modally over `panel` from the help menu entry.
void Pantalla_HELP(int menuBar, int menuItem, void* callbackData, int panel);
int Visualiza_Pantalla_AcercaDe(int menuBar, int parentPanel);
// The About panel's own callback: its close box removes and destroys it.
int Terminar_Help(int panel, int event, void* callbackData, int eventData1, int eventData2);

// Texts of the About panel.
inline constexpr const char* kAboutProduct = "VELDIXMID";
inline constexpr const char* kAboutCompany = "VELDIX-MID tool team";
inline constexpr const char* kAboutShortYear = "VELDIX-MID 2026";
inline constexpr const char* kAppTitle = "VELDIX-MID v1.0";
inline constexpr const char* kUirFile = "VELDIXMID.uir";
