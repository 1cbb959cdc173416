// Energy and tariff screen: twelve energy counters, polled with ten block reads.
#include <vector>

#include "link/engine.h"
#include "meter/meter.h"
#include "meter/recording.h"
#include "meter/screen.h"
#include "platform/ui.h"

int Panel_Energias = -1;

namespace {

constexpr double kFirstPollS = 1.0;     // from opening to the first poll
constexpr double kPollIntervalS = 2.0;  // from the end of a complete poll to the next

// The value controls, greyed while reading is stopped.
std::vector<int> ValueControls() {
  std::vector<int> controls;
  for (const meter::CounterRead& r : meter::kCounterReads)
    for (int c : r.controls)
      if (c != 0) controls.push_back(c);
  return controls;
}

// The recorded columns: every counter, in 0.01 kWh (kvarh), shown with two decimals.
std::vector<meter::Column> Columns() {
  std::vector<meter::Column> columns;
  for (int c : ValueControls()) columns.push_back({c, 2});
  return columns;
}

void StopAndClose(int panel) {
  meter::StopRecording(panel);
  SetCtrlAttribute(panel, kEnergiasTimer, ATTR_ENABLED, 0);
  meter::CloseScreen(panel);
  if (panel == Panel_Energias) Panel_Energias = -1;
}

}  // namespace

int Leer_Energias_Tarifas(int panel, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  Panel_Energias = meter::OpenScreen(panel, kResEnergias, Cerrar_Energias);
  if (Panel_Energias < 0) return 0;
  SetCtrlAttribute(Panel_Energias, kEnergiasTimer, ATTR_ENABLED, 1);
  SetCtrlAttribute(Panel_Energias, kEnergiasTimer, ATTR_INTERVAL, kFirstPollS);
  SetCtrlAttribute(Panel_Energias, kEnergiasExit, ATTR_CALLBACK, Salir_Energias);
  SetCtrlAttribute(Panel_Energias, kEnergiasTimer, ATTR_CALLBACK, Timer_Energia);
  SetCtrlAttribute(Panel_Energias, kEnergiasReadAgain, ATTR_CALLBACK, Releer_Energias);
  meter::LabelReadAgain(Panel_Energias, kEnergiasReadAgain);
  return 0;
}

int Timer_Energia(int panel, int, int event, void*, int, int) {
  if (event != EVENT_TIMER_TICK) return 0;
  // Off for the whole tick; a failed read leaves it off, the values greyed, until the
  // operator reads again.
  SetCtrlAttribute(panel, kEnergiasTimer, ATTR_ENABLED, 0);

  for (const meter::CounterRead& r : meter::kCounterReads) {
    const int rc = meter::ReadBlock(r.start, r.count);
    if (rc != kModbusOk) {
      meter::ShowStale(panel, ValueControls(), kEnergiasStatus, kEnergiasReadAgain, rc);
      return 0;
    }
    // Each read's counters are shown before the next read goes out.
    const auto data = meter::BlockData(r.count);
    for (std::size_t c = 0; c < r.controls.size() && c < static_cast<std::size_t>(r.count / 2); ++c)
      SetCtrlVal(panel, r.controls[c], meter::CounterValue(meter::Long(data, 2 * c)));
  }

  meter::RecordRow(panel);
  ResetTimer(panel, kEnergiasTimer);
  SetCtrlAttribute(panel, kEnergiasTimer, ATTR_ENABLED, 1);
  SetCtrlAttribute(panel, kEnergiasTimer, ATTR_INTERVAL, kPollIntervalS);
  return 0;
}

int Releer_Energias(int panel, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  meter::ShowFresh(panel, ValueControls(), kEnergiasStatus, kEnergiasReadAgain);
  return Timer_Energia(panel, kEnergiasTimer, EVENT_TIMER_TICK, nullptr, 0, 0);
}

int Grabar_Energias(int panel, int, int event, void*, int, int) {
  if (event == EVENT_COMMIT) meter::ToggleRecording(panel, kEnergiasRecord, Columns());
  return 0;
}

int Salir_Energias(int panel, int, int event, void*, int, int) {
  if (event == EVENT_COMMIT) StopAndClose(panel);
  return 0;
}

int Cerrar_Energias(int panel, int event, void*, int, int) {
  if (event == EVENT_CLOSE) StopAndClose(panel);
  return 0;
}
