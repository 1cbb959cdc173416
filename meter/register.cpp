// Callback names of the meter screens, for the resource file.
#include "meter/meter.h"
#include "platform/ui.h"

void RegisterMeterCallbacks() {
  // Buttons of the main panel.
  RegisterCtrlCallback("Toma_Datos", Toma_Datos);
  RegisterCtrlCallback("Grabar_Medidas", Grabar_Medidas);
  RegisterCtrlCallback("Grabar_Energias", Grabar_Energias);
  RegisterCtrlCallback("Leer_Energias_Tarifas", Leer_Energias_Tarifas);
  RegisterCtrlCallback("Config_Equipo", Config_Equipo);
  RegisterCtrlCallback("Config_Display", Config_Display);
  // The screens install these themselves when they open; bound by name as well so that a
  // resource file may name them.
  RegisterCtrlCallback("Timer_Medidas", Timer_Medidas);
  RegisterCtrlCallback("Salir_Medidas", Salir_Medidas);
  RegisterCtrlCallback("Timer_Energia", Timer_Energia);
  RegisterCtrlCallback("Salir_Energias", Salir_Energias);
  RegisterCtrlCallback("Releer_Medidas", Releer_Medidas);
  RegisterCtrlCallback("Releer_Energias", Releer_Energias);
  RegisterCtrlCallback("Envio_Config", Envio_Config);
  RegisterCtrlCallback("Salir_Config_Equipo", Salir_Config_Equipo);
  RegisterCtrlCallback("Hora_PC_Config", Hora_PC_Config);
  RegisterCtrlCallback("Guardar_Archivo_Config", Guardar_Archivo_Config);
  RegisterCtrlCallback("Cargar_Archivo_Config", Cargar_Archivo_Config);
  RegisterCtrlCallback("Guardar_Archivo_Display", Guardar_Archivo_Display);
  RegisterCtrlCallback("Cargar_Archivo_Display", Cargar_Archivo_Display);
  RegisterCtrlCallback("Guardar_Display", Guardar_Display);
  RegisterCtrlCallback("Salir_Config_Display", Salir_Config_Display);
  RegisterPanelCallback("Cerrar_Medidas", Cerrar_Medidas);
  RegisterPanelCallback("Cerrar_Energias", Cerrar_Energias);
  RegisterPanelCallback("Cerrar_Config_Equipo", Cerrar_Config_Equipo);
  RegisterPanelCallback("Cerrar_Config_Display", Cerrar_Config_Display);
}
