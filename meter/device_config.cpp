// Device configuration screen: the meter's clock and settings, read once at opening and
// written back with four write requests on the send button.
#include <optional>
#include <vector>

#include "engine.h"
#include "meter.h"
#include "screen.h"
#include "ui.h"

int Panel_Config_Equipo = -1;

namespace {

// Between two write requests: the meter stores each block before it takes the next.
constexpr double kWriteGapS = 0.2;

// The clock bytes of the last successful read of this screen. A clock field the operator
// left as read goes back as the byte it came from: BCD decoding is not one-to-one (0x9A and
// 0xA0 both show 100), and an unset clock reads 00/00, which no valid date holds.
std::optional<meter::ClockBytes> g_readClock;
// Likewise the frame-format pair (4109, 4110) as read: a pair that is none of the four ring
// entries shows as entry 2, and must not go back as entry 2's pair unless the operator
// picked it.
std::optional<std::pair<std::uint16_t, std::uint16_t>> g_readPair;

void Close(int panel) {
  meter::CloseScreen(panel);
  if (panel == Panel_Config_Equipo) Panel_Config_Equipo = -1;
  g_readClock.reset();
  g_readPair.reset();
}

// A control's value into *v; false when the control cannot give one.
bool Fetch(int panel, int control, int* v) { return GetCtrlVal(panel, control, v) >= 0; }

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
  // A failed read leaves the send button dimmed: what the panel holds then was never read
  // from this meter and must not be written to it.
  g_readClock.reset();
  g_readPair.reset();
  if (meter::ReadBlock(meter::kConfigStart, meter::kConfigCount) != kModbusOk) return;
  const auto data = meter::BlockData(meter::kConfigCount).first<meter::kConfigDataBytes>();
  const meter::DeviceConfig c = meter::DecodeConfig(data);
  const std::pair<int, int> values[] = {
      {kEquipoAddress, c.address},      {kEquipoYear, c.clock.year},
      {kEquipoMonth, c.clock.month},    {kEquipoDay, c.clock.day},
      {kEquipoHour, c.clock.hour},      {kEquipoMinute, c.clock.minute},
      {kEquipoSecond, c.clock.second},  {kEquipoBaud, c.baud},
      {kEquipoDemand, c.demandPeriod},  {kEquipoFrame, c.frame},
      {kEquipoTariff, c.tariffMode},    {kEquipoPassword, c.password},
      {kEquipoCtSecondary, c.ctSecondary}, {kEquipoVtSecondary, c.vtSecondary},
      {kEquipoCtPrimary, c.ctPrimary},  {kEquipoVtPrimary, c.vtPrimary},
  };
  // Every value must stand in its control as read (a control missing from the resource
  // file, of another kind, or too narrow for the value would otherwise send something else
  // later); one that does not makes the read a failed one.
  bool allShown = true;
  for (auto [control, value] : values) allShown = meter::Store(panel, control, value) && allShown;
  if (!allShown) return;
  g_readClock = meter::ReadClockBytes(data);
  g_readPair = {meter::Word(data, 4109 - meter::kConfigStart),
                meter::Word(data, 4110 - meter::kConfigStart)};
  SetCtrlAttribute(panel, kEquipoSend, ATTR_DIMMED, 0);
}

int Envio_Config(int panel, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  meter::DeviceConfig c;
  int* const fields[] = {&c.address,      &c.clock.year,   &c.clock.month, &c.clock.day,
                         &c.clock.hour,   &c.clock.minute, &c.clock.second, &c.baud,
                         &c.demandPeriod, &c.frame,        &c.tariffMode,  &c.password,
                         &c.ctSecondary,  &c.vtSecondary,  &c.ctPrimary,   &c.vtPrimary};
  const int controls[] = {kEquipoAddress,     kEquipoYear,        kEquipoMonth,
                          kEquipoDay,         kEquipoHour,        kEquipoMinute,
                          kEquipoSecond,      kEquipoBaud,        kEquipoDemand,
                          kEquipoFrame,       kEquipoTariff,      kEquipoPassword,
                          kEquipoCtSecondary, kEquipoVtSecondary, kEquipoCtPrimary,
                          kEquipoVtPrimary};
  // A value that cannot be fetched would go out as whatever the variable held: nothing is
  // written unless every one is at hand.
  for (std::size_t i = 0; i < std::size(controls); ++i) {
    if (!Fetch(panel, controls[i], fields[i])) {
      meter::ShowNothingSent();
      return 0;
    }
  }
  auto block = meter::EncodeConfig(c, g_readClock ? &*g_readClock : nullptr);
  if (g_readPair && c.frame == meter::RingFromPair(g_readPair->first, g_readPair->second)) {
    const std::span<unsigned char, meter::kConfigBlockBytes> out(block);
    meter::PutWord(out.subspan<14, 2>(), g_readPair->first);  // 4109
    meter::PutWord(out.subspan<16, 2>(), g_readPair->second);  // 4110
  }

  // Every write is attempted whatever became of the one before; the popup names those the
  // meter did not confirm, and why.
  std::vector<meter::FailedWrite> failed;
  for (std::size_t i = 0; i < meter::kConfigWrites.size(); ++i) {
    const meter::WriteRequest& w = meter::kConfigWrites[i];
    const auto data = std::span<const unsigned char>(block).subspan(
        w.offset, static_cast<std::size_t>(2 * w.count));
    const int rc = meter::WriteBlock(w.start, w.count, data);
    if (rc != kModbusOk)
      failed.push_back({static_cast<int>(i) + 1, w.start, w.count, rc, meter::FailureReason(rc)});
    if (i + 1 < meter::kConfigWrites.size()) Delay(kWriteGapS);
  }
  meter::ShowWriteOutcome(failed);
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
