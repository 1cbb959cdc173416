// The four meter screens: measurements (polled every second), energy counters (every two
// seconds), device configuration (read, edit, send) and display configuration (read, edit,
// save). Each screen is a panel of VELDIXMID.uir, opened from a button of the main panel,
// which it hides while it is open and shows again (Panel_Puerto) when it closes.
//
// Every control callback has the runtime's signature and returns 0; it acts on the commit
// event (1), the timers on the tick event (15), the panel callbacks on the close box (11).
#pragma once

#include "meter/codec.h"    // BCD_a_Binario, Binario_a_BCD and the register maps
#include "panels/panels.h"  // resource numbers, catalogue texts of the popups, Panel_Puerto

// Panel handles of the open screens; -1 while a screen is closed.
extern int Panel_Medidas;         // resource 5
extern int Panel_Energias;        // resource 2
extern int Panel_Config_Equipo;   // resource 3
extern int Panel_Config_Display;  // resource 1

// Control numbers the code uses (the panels' resource numbers are in panels.h).
enum {
  kMedidasExit = 114,
  kMedidasTimer = 115,
  kMedidasStatus = 116,     // why reading stopped; empty while the values are current
  kMedidasReadAgain = 117,  // offered once reading has stopped
  kMedidasRecord = 118,     // Record/Stop: one CSV row per successful poll

  kEnergiasExit = 42,
  kEnergiasTimer = 43,
  kEnergiasStatus = 44,
  kEnergiasReadAgain = 45,
  kEnergiasRecord = 46,

  kEquipoExit = 32,
  kEquipoSend = 33,
  kEquipoAddress = 2,
  kEquipoYear = 22,
  kEquipoMonth = 23,
  kEquipoDay = 27,
  kEquipoHour = 26,
  kEquipoMinute = 25,
  kEquipoSecond = 24,
  kEquipoBaud = 21,
  kEquipoDemand = 11,
  kEquipoFrame = 9,
  kEquipoTariff = 15,
  kEquipoPassword = 20,
  kEquipoCtSecondary = 19,
  kEquipoVtSecondary = 17,
  kEquipoCtPrimary = 18,
  kEquipoVtPrimary = 16,
  kEquipoPcClock = 34,   // fills the clock fields from the PC; the send takes the PC's time
  kEquipoSaveFile = 35,  // the panel's settings to a configuration file
  kEquipoLoadFile = 36,  // a configuration file's settings into the panel (nothing is sent)
  kEquipoReadBack = 37,  // after a send: each setting written, read back, and whether they match

  kDisplayExit = 2,
  kDisplaySave = 3,
  kDisplaySaveFile = 80,  // the mask to a configuration file
  kDisplayLoadFile = 81,  // a configuration file's mask into the check boxes
  kDisplayReadBack = 82,  // after a save: whether the mask read back is the one written
};

// ---- measurements
// Main panel button: hides the main panel, opens the screen and starts the 1 s timer.
int Toma_Datos(int panel, int control, int event, void* callbackData, int eventData1,
               int eventData2);
// Timer tick: reads 1024-1073 and 1074-1081; the first failed read stops polling, greys the
// values and says why.
int Timer_Medidas(int panel, int control, int event, void* callbackData, int eventData1,
                  int eventData2);
// Read-again button: the values are current again once a tick reads them; polling resumes.
int Releer_Medidas(int panel, int control, int event, void* callbackData, int eventData1,
                   int eventData2);
// Record/Stop button: records each successful poll to a CSV file the operator picks.
int Grabar_Medidas(int panel, int control, int event, void* callbackData, int eventData1,
                   int eventData2);
int Salir_Medidas(int panel, int control, int event, void* callbackData, int eventData1,
                  int eventData2);
// Close box of the screen: as the exit button.
int Cerrar_Medidas(int panel, int event, void* callbackData, int eventData1, int eventData2);

// ---- energy and tariffs
int Leer_Energias_Tarifas(int panel, int control, int event, void* callbackData, int eventData1,
                          int eventData2);
// Timer tick: ten counter reads; 1 s to the first poll, 2 s after each complete one.
int Timer_Energia(int panel, int control, int event, void* callbackData, int eventData1,
                  int eventData2);
int Releer_Energias(int panel, int control, int event, void* callbackData, int eventData1,
                    int eventData2);
int Grabar_Energias(int panel, int control, int event, void* callbackData, int eventData1,
                    int eventData2);
int Salir_Energias(int panel, int control, int event, void* callbackData, int eventData1,
                   int eventData2);
int Cerrar_Energias(int panel, int event, void* callbackData, int eventData1, int eventData2);

// ---- device configuration
int Config_Equipo(int panel, int control, int event, void* callbackData, int eventData1,
                  int eventData2);
// Reads 4096-4125 into the controls of `panel`; on success the send button is undimmed.
void Leer_Config_Equipo(int panel);
// Send button: four write requests 0.2 s apart, then one popup that tells how they went.
int Envio_Config(int panel, int control, int event, void* callbackData, int eventData1,
                 int eventData2);
// Clock-from-PC button: fills the clock fields with the PC's local time; while they hold
// it, a send writes the PC's local time at the moment of the clock write.
int Hora_PC_Config(int panel, int control, int event, void* callbackData, int eventData1,
                   int eventData2);
// Configuration files: save the panel's settings (and the clock as shown, for the record),
// or load a file's settings into the panel; loading never writes to the meter.
int Guardar_Archivo_Config(int panel, int control, int event, void* callbackData, int eventData1,
                           int eventData2);
int Cargar_Archivo_Config(int panel, int control, int event, void* callbackData, int eventData1,
                          int eventData2);
int Salir_Config_Equipo(int panel, int control, int event, void* callbackData, int eventData1,
                        int eventData2);
int Cerrar_Config_Equipo(int panel, int event, void* callbackData, int eventData1, int eventData2);

// ---- display configuration
int Config_Display(int panel, int control, int event, void* callbackData, int eventData1,
                   int eventData2);
// Reads the mask 4128-4132 into the 75 controls of `panel`; on success the save button is
// undimmed.
void Leer_Config_Display(int panel);
// Save button: one write of the whole mask, then one popup that tells how it went.
int Guardar_Display(int panel, int control, int event, void* callbackData, int eventData1,
                    int eventData2);
// Configuration files: the mask to a file, or a file's mask into the check boxes.
int Guardar_Archivo_Display(int panel, int control, int event, void* callbackData, int eventData1,
                            int eventData2);
int Cargar_Archivo_Display(int panel, int control, int event, void* callbackData, int eventData1,
                           int eventData2);
int Salir_Config_Display(int panel, int control, int event, void* callbackData, int eventData1,
                         int eventData2);
int Cerrar_Config_Display(int panel, int event, void* callbackData, int eventData1, int eventData2);

// Binds every callback name of the four screens for the resource file.
void RegisterMeterCallbacks();
