// Device configuration screen: the meter's clock and settings, read once at opening and
// written back with four write requests on the send button.
#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

#include "lang/catalogue.h"
#include "meter/config_file.h"

#include "link/engine.h"
#include "link/transport.h"
#include "meter/meter.h"
#include "meter/screen.h"
#include "platform/ui.h"

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

// The meter's clock keeps running while the screen is open: when the read succeeded, the
// clock as shown then and the moment of the read, so that a send whose clock fields still
// hold the read values writes the meter's own time at the moment of the write (read + time
// elapsed) instead of setting the meter back by however long the screen was open.
using SteadyTime = std::chrono::steady_clock::time_point;
std::optional<std::pair<meter::MeterClock, SteadyTime>> g_readAt;
// The clock fields as the clock-from-PC button last filled them: while they still hold
// these values, the send writes the PC's local time at the moment of the write.
std::optional<meter::MeterClock> g_pcClock;
// Local time of the last successful read, for the configuration file's record.
std::string g_readTime;
// The meter's serial number (4097-4098) as read, its identity in a configuration file.
long long g_serial = -1;

// The settings a configuration file carries, with their controls; the clock is not among
// them: loading a file must not set a meter's clock to the time of another meter's read.
struct Setting {
  int control;
  int meter::DeviceConfig::*member;
};
constexpr Setting kSettings[] = {
    {kEquipoAddress, &meter::DeviceConfig::address},
    {kEquipoBaud, &meter::DeviceConfig::baud},
    {kEquipoDemand, &meter::DeviceConfig::demandPeriod},
    {kEquipoFrame, &meter::DeviceConfig::frame},
    {kEquipoTariff, &meter::DeviceConfig::tariffMode},
    {kEquipoPassword, &meter::DeviceConfig::password},
    {kEquipoCtSecondary, &meter::DeviceConfig::ctSecondary},
    {kEquipoVtSecondary, &meter::DeviceConfig::vtSecondary},
    {kEquipoCtPrimary, &meter::DeviceConfig::ctPrimary},
    {kEquipoVtPrimary, &meter::DeviceConfig::vtPrimary},
};

// What the read-back after a send compares, setting by setting. The clock is left out: it
// has moved on by the time it is read back. Address and line settings take effect at the
// meter's next start, but read back at once.
struct Verified {
  int control;  // whose label names the setting
  int reg;
  enum Kind { kWord, kLong, kPair } kind;
  bool atRestart;
};
constexpr Verified kVerified[] = {
    {kEquipoAddress, 4099, Verified::kWord, true},
    {kEquipoBaud, 4107, Verified::kWord, true},
    {kEquipoDemand, 4108, Verified::kWord, false},
    {kEquipoFrame, 4109, Verified::kPair, true},
    {kEquipoTariff, 4112, Verified::kWord, false},
    {kEquipoPassword, 4113, Verified::kWord, false},
    {kEquipoCtSecondary, 4118, Verified::kWord, false},
    {kEquipoVtSecondary, 4119, Verified::kWord, false},
    {kEquipoCtPrimary, 4120, Verified::kLong, false},
    {kEquipoVtPrimary, 4122, Verified::kLong, false},
};

// Register `reg` as the send wrote it, from the 34-byte block.
std::uint16_t WrittenWord(std::span<const unsigned char> block, int reg) {
  for (const meter::WriteRequest& w : meter::kConfigWrites)
    if (reg >= w.start && reg < w.start + w.count)
      return meter::Word(block.subspan(w.offset), static_cast<std::size_t>(reg - w.start));
  return 0;
}

std::string Shown(const Verified& v, std::uint16_t hi, std::uint16_t lo) {
  char text[32];
  if (v.kind == Verified::kWord)
    Fmt(text, sizeof text, "%u", unsigned{hi});
  else if (v.kind == Verified::kPair)
    Fmt(text, sizeof text, "%u, %u", unsigned{hi}, unsigned{lo});
  else
    Fmt(text, sizeof text, "%d",
        static_cast<int>(static_cast<std::int32_t>(std::uint32_t{hi} << 16 | lo)));
  return text;
}

// Reads the block back after a send and tells, per setting, what was written, what the
// meter holds now, and whether they match.
void ShowReadBack(int panel, std::span<const unsigned char> block) {
  std::string text = CatalogueText(meter::kTextReadBack);
  const int rc = meter::ReadBlock(meter::kConfigStart, meter::kConfigCount);
  if (rc != kModbusOk) {
    text += " " + meter::FailureReason(rc);
  } else {
    const auto data = meter::BlockData(meter::kConfigCount);
    for (const Verified& v : kVerified) {
      const std::size_t k = static_cast<std::size_t>(v.reg - meter::kConfigStart);
      const bool two = v.kind != Verified::kWord;
      const std::uint16_t wHi = WrittenWord(block, v.reg),
                          wLo = two ? WrittenWord(block, v.reg + 1) : 0;
      const std::uint16_t rHi = meter::Word(data, k), rLo = two ? meter::Word(data, k + 1) : 0;
      char label[256] = "";
      GetCtrlAttribute(panel, v.control, ATTR_LABEL, label);
      text += std::string("\n") + label + ": " + CatalogueText(meter::kTextWritten) + " " +
              Shown(v, wHi, wLo) + ", " + CatalogueText(meter::kTextReadValue) + " " +
              Shown(v, rHi, rLo) + " - " +
              CatalogueText(wHi == rHi && wLo == rLo ? meter::kTextSame : meter::kTextDifferent);
      if (v.atRestart) text += std::string(" (") + CatalogueText(meter::kTextAtRestart) + ")";
    }
  }
  SetCtrlVal(panel, kEquipoReadBack, text.c_str());
}

void Close(int panel) {
  meter::CloseScreen(panel);
  if (panel == Panel_Config_Equipo) Panel_Config_Equipo = -1;
  g_readClock.reset();
  g_readPair.reset();
  g_readAt.reset();
  g_pcClock.reset();
  g_readTime.clear();
}

meter::MeterClock PcClock() {
  const ui::LocalTime t = ui::LocalTimeNow();
  return {t.year, t.month, t.day, t.hour, t.minute, t.second};
}

// The 8 clock bytes of W2 (4103-4106) for the clock fields `shown`, taken at the moment of
// the write: the PC's time when the fields still hold what the PC button put there, the
// read clock advanced by the time elapsed since the read when they still hold the read
// values (a clock no valid date holds goes back unchanged), else the fields as edited.
std::array<unsigned char, 8> ClockToWrite(const meter::MeterClock& shown) {
  if (g_pcClock && shown == *g_pcClock) return meter::EncodeClock(PcClock());
  if (g_readAt && shown == g_readAt->first) {
    const auto elapsed = std::chrono::round<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                                  g_readAt->second);
    if (const auto now = meter::AdvanceClock(shown, elapsed.count()))
      return meter::EncodeClock(*now);
  }
  return meter::EncodeClock(shown, g_readClock ? &*g_readClock : nullptr);
}

// A control's value into *v; false when the control cannot give one.
bool Fetch(int panel, int control, int* v) { return GetCtrlVal(panel, control, v) >= 0; }

}  // namespace

int Config_Equipo(int panel, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  Panel_Config_Equipo = meter::OpenScreen(panel, kResConfigEquipo, Cerrar_Config_Equipo);
  if (Panel_Config_Equipo < 0) return 0;
  Leer_Config_Equipo(Panel_Config_Equipo);
  SetCtrlAttribute(Panel_Config_Equipo, kEquipoExit, ATTR_CALLBACK, Salir_Config_Equipo);
  SetCtrlAttribute(Panel_Config_Equipo, kEquipoSend, ATTR_CALLBACK, Envio_Config);
  SetCtrlAttribute(Panel_Config_Equipo, kEquipoPcClock, ATTR_CALLBACK, Hora_PC_Config);
  SetCtrlAttribute(Panel_Config_Equipo, kEquipoSaveFile, ATTR_CALLBACK, Guardar_Archivo_Config);
  SetCtrlAttribute(Panel_Config_Equipo, kEquipoLoadFile, ATTR_CALLBACK, Cargar_Archivo_Config);
  return 0;
}

void Leer_Config_Equipo(int panel) {
  // A failed read leaves the send button dimmed: what the panel holds then was never read
  // from this meter and must not be written to it.
  g_readClock.reset();
  g_readPair.reset();
  g_readAt.reset();
  g_pcClock.reset();
  g_readTime.clear();
  g_serial = -1;
  const SteadyTime asked = std::chrono::steady_clock::now();
  if (meter::ReadBlock(meter::kConfigStart, meter::kConfigCount) != kModbusOk) return;
  const auto data = meter::BlockData(meter::kConfigCount).first<meter::kConfigDataBytes>();
  const meter::DeviceConfig c = meter::DecodeConfig(data);
  const std::pair<int, int> values[] = {
      {kEquipoAddress, c.address},         {kEquipoYear, c.clock.year},
      {kEquipoMonth, c.clock.month},       {kEquipoDay, c.clock.day},
      {kEquipoHour, c.clock.hour},         {kEquipoMinute, c.clock.minute},
      {kEquipoSecond, c.clock.second},     {kEquipoBaud, c.baud},
      {kEquipoDemand, c.demandPeriod},     {kEquipoFrame, c.frame},
      {kEquipoTariff, c.tariffMode},       {kEquipoPassword, c.password},
      {kEquipoCtSecondary, c.ctSecondary}, {kEquipoVtSecondary, c.vtSecondary},
      {kEquipoCtPrimary, c.ctPrimary},     {kEquipoVtPrimary, c.vtPrimary},
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
  g_readAt = {c.clock, asked};
  g_readTime = meter::LocalTimeIso();
  g_serial = meter::Long(data, 4097 - meter::kConfigStart);
  SetCtrlAttribute(panel, kEquipoSend, ATTR_DIMMED, 0);
  SetCtrlAttribute(panel, kEquipoSaveFile, ATTR_DIMMED, 0);
}

int Envio_Config(int panel, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  meter::DeviceConfig c;
  int* const fields[] = {&c.address,      &c.clock.year,   &c.clock.month,  &c.clock.day,
                         &c.clock.hour,   &c.clock.minute, &c.clock.second, &c.baud,
                         &c.demandPeriod, &c.frame,        &c.tariffMode,   &c.password,
                         &c.ctSecondary,  &c.vtSecondary,  &c.ctPrimary,    &c.vtPrimary};
  const int controls[] = {
      kEquipoAddress,     kEquipoYear,        kEquipoMonth,     kEquipoDay,
      kEquipoHour,        kEquipoMinute,      kEquipoSecond,    kEquipoBaud,
      kEquipoDemand,      kEquipoFrame,       kEquipoTariff,    kEquipoPassword,
      kEquipoCtSecondary, kEquipoVtSecondary, kEquipoCtPrimary, kEquipoVtPrimary};
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
    meter::PutWord(out.subspan<14, 2>(), g_readPair->first);   // 4109
    meter::PutWord(out.subspan<16, 2>(), g_readPair->second);  // 4110
  }

  // Every write is attempted whatever became of the one before; the popup names those the
  // meter did not confirm, and why.
  SetCtrlVal(panel, kEquipoReadBack, "");
  std::vector<meter::FailedWrite> failed;
  for (std::size_t i = 0; i < meter::kConfigWrites.size(); ++i) {
    const meter::WriteRequest& w = meter::kConfigWrites[i];
    if (w.start == 4103) {  // W2 starts with the clock: its time is the time of this write
      const auto clock = ClockToWrite(c.clock);
      std::copy(clock.begin(), clock.end(), block.begin() + static_cast<std::ptrdiff_t>(w.offset));
    }
    const auto data = std::span<const unsigned char>(block).subspan(
        w.offset, static_cast<std::size_t>(2 * w.count));
    const int rc = meter::WriteBlock(w.start, w.count, data);
    if (rc != kModbusOk)
      failed.push_back({static_cast<int>(i) + 1, w.start, w.count, rc, meter::FailureReason(rc)});
    if (i + 1 < meter::kConfigWrites.size()) Delay(kWriteGapS);
  }
  meter::ShowWriteOutcome(failed);
  // A confirmed send is read back (a meter may confirm a value and keep another); after a
  // failed one the popup has already said what did not take.
  if (failed.empty()) ShowReadBack(panel, block);
  return 0;
}

int Hora_PC_Config(int panel, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  const meter::MeterClock now = PcClock();
  const std::pair<int, int> fields[] = {{kEquipoYear, now.year},     {kEquipoMonth, now.month},
                                        {kEquipoDay, now.day},       {kEquipoHour, now.hour},
                                        {kEquipoMinute, now.minute}, {kEquipoSecond, now.second}};
  bool allShown = true;
  for (auto [control, value] : fields) allShown = meter::Store(panel, control, value) && allShown;
  // Fields that could not take the time would send something else: then they count as edited.
  if (allShown)
    g_pcClock = now;
  else
    g_pcClock.reset();
  return 0;
}

int Guardar_Archivo_Config(int panel, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  meter::ConfigFile f;
  f.saved = meter::LocalTimeIso();
  f.read = g_readTime;
  f.slave = Identidad & 0xFF;
  f.serial = g_serial;
  meter::DeviceConfig d;
  int* const clock[] = {&d.clock.year, &d.clock.month,  &d.clock.day,
                        &d.clock.hour, &d.clock.minute, &d.clock.second};
  const int clockControls[] = {kEquipoYear, kEquipoMonth,  kEquipoDay,
                               kEquipoHour, kEquipoMinute, kEquipoSecond};
  bool fetched = true;
  for (std::size_t i = 0; i < std::size(clock); ++i)
    fetched = Fetch(panel, clockControls[i], clock[i]) && fetched;
  for (const Setting& s : kSettings) fetched = Fetch(panel, s.control, &(d.*s.member)) && fetched;
  if (!fetched) {
    meter::ShowNothingSent();
    return 0;
  }
  f.device = d;
  meter::SaveConfigFileAs(f);
  return 0;
}

int Cargar_Archivo_Config(int panel, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  meter::ConfigFile f;
  if (!meter::LoadConfigFileFrom(&f, "[device]")) return 0;
  // Fills the panel only; the operator sends. Should a control refuse its value, the ones
  // already set go back, so the panel is either the file's or as it was.
  int before[std::size(kSettings)] = {};
  for (std::size_t i = 0; i < std::size(kSettings); ++i)
    Fetch(panel, kSettings[i].control, &before[i]);
  for (std::size_t i = 0; i < std::size(kSettings); ++i) {
    if (!meter::Store(panel, kSettings[i].control, (*f.device).*kSettings[i].member)) {
      for (std::size_t j = 0; j <= i; ++j) SetCtrlVal(panel, kSettings[j].control, before[j]);
      meter::ShowNothingSent();
      return 0;
    }
  }
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
