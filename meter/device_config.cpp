// Device configuration screen: the meter's clock and settings, read once at opening and
// written back with four write requests on the send button.
#include "engine.h"
#include "meter.h"
#include "screen.h"
#include "ui.h"

int Panel_Config_Equipo = -1;

namespace {

// Between two write requests: the meter stores each block before it takes the next.
constexpr double kWriteGapS = 0.2;

void Close(int panel) {
  meter::CloseScreen(panel);
  if (panel == Panel_Config_Equipo) Panel_Config_Equipo = -1;
}

int Value(int panel, int control) {
  int v = 0;
  GetCtrlVal(panel, control, &v);
  return v;
}

}  // namespace

int Config_Equipo(int panel, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  Panel_Config_Equipo = meter::OpenScreen(panel, kResConfigEquipo, Cerrar_Config_Equipo);
  if (Panel_Config_Equipo < 0) return 0;
  Leer_Config_Equipo(Panel_Config_Equipo);
  SetCtrlAttribute(Panel_Config_Equipo, kEquipoExit, ATTR_CALLBACK,
                   Salir_Config_Equipo);
  SetCtrlAttribute(Panel_Config_Equipo, kEquipoSend, ATTR_CALLBACK, Envio_Config);
  return 0;
}

void Leer_Config_Equipo(int panel) {
  // A failed read changes nothing, and the send button stays dimmed: what the panel holds
  // then was never read from this meter and must not be written to it.
  if (meter::ReadBlock(meter::kConfigStart, meter::kConfigCount) != kModbusOk) return;
  const meter::DeviceConfig c = meter::DecodeConfig(
      meter::BlockData(meter::kConfigCount).first<meter::kConfigDataBytes>());
  SetCtrlVal(panel, kEquipoAddress, c.address);
  SetCtrlVal(panel, kEquipoYear, c.clock.year);
  SetCtrlVal(panel, kEquipoMonth, c.clock.month);
  SetCtrlVal(panel, kEquipoDay, c.clock.day);
  SetCtrlVal(panel, kEquipoHour, c.clock.hour);
  SetCtrlVal(panel, kEquipoMinute, c.clock.minute);
  SetCtrlVal(panel, kEquipoSecond, c.clock.second);
  SetCtrlVal(panel, kEquipoBaud, c.baud);
  SetCtrlVal(panel, kEquipoDemand, c.demandPeriod);
  SetCtrlVal(panel, kEquipoFrame, c.frame);
  SetCtrlVal(panel, kEquipoTariff, c.tariffMode);
  SetCtrlVal(panel, kEquipoPassword, c.password);
  SetCtrlVal(panel, kEquipoCtSecondary, c.ctSecondary);
  SetCtrlVal(panel, kEquipoVtSecondary, c.vtSecondary);
  SetCtrlVal(panel, kEquipoCtPrimary, c.ctPrimary);
  SetCtrlVal(panel, kEquipoVtPrimary, c.vtPrimary);
  SetCtrlAttribute(panel, kEquipoSend, ATTR_DIMMED, 0);
}

int Envio_Config(int panel, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  meter::DeviceConfig c;
  c.address = Value(panel, kEquipoAddress);
  c.clock = {Value(panel, kEquipoYear),   Value(panel, kEquipoMonth),
             Value(panel, kEquipoDay),    Value(panel, kEquipoHour),
             Value(panel, kEquipoMinute), Value(panel, kEquipoSecond)};
  c.baud = Value(panel, kEquipoBaud);
  c.demandPeriod = Value(panel, kEquipoDemand);
  c.frame = Value(panel, kEquipoFrame);
  c.tariffMode = Value(panel, kEquipoTariff);
  c.password = Value(panel, kEquipoPassword);
  c.ctSecondary = Value(panel, kEquipoCtSecondary);
  c.vtSecondary = Value(panel, kEquipoVtSecondary);
  c.ctPrimary = Value(panel, kEquipoCtPrimary);
  c.vtPrimary = Value(panel, kEquipoVtPrimary);
  const auto block = meter::EncodeConfig(c);

  // Every write is attempted whatever became of the one before; the popup tells whether
  // the meter confirmed them all.
  bool allConfirmed = true;
  for (std::size_t i = 0; i < meter::kConfigWrites.size(); ++i) {
    const meter::WriteRequest& w = meter::kConfigWrites[i];
    const auto data = std::span<const unsigned char>(block).subspan(
        w.offset, static_cast<std::size_t>(2 * w.count));
    if (meter::WriteBlock(w.start, w.count, data) != kModbusOk) allConfirmed = false;
    if (i + 1 < meter::kConfigWrites.size()) Delay(kWriteGapS);
  }
  meter::ShowWriteOutcome(allConfirmed);
  return 0;
}

int Salir_Config_Equipo(int panel, int, int event, void*, int, int) {
  if (event == EVENT_COMMIT) Close(panel);
  return 0;
}

int Cerrar_Config_Equipo(int panel, int event, void*, int, int) {
  if (event == EVENT_CLOSE) Close(panel);
  return 0;
}
