// Measurements screen: instantaneous values, polled once a second with two block reads.
#include <vector>

#include "link/engine.h"
#include "meter/meter.h"
#include "meter/recording.h"
#include "meter/screen.h"
#include "platform/ui.h"

int Panel_Medidas = -1;

namespace {

constexpr double kPollIntervalS = 1.0;

// The value controls, greyed while reading is stopped.
std::vector<int> ValueControls() {
  std::vector<int> controls;
  for (const meter::Measure& m : meter::kMeasureA) controls.push_back(m.control);
  for (const meter::Measure& m : meter::kMeasureB) controls.push_back(m.control);
  return controls;
}

// A failed read stops polling: the timer stays off, and the screen says so and why.
int Stop(int panel, int rc) {
  meter::ShowStale(panel, ValueControls(), kMedidasStatus, kMedidasReadAgain, rc);
  return 0;
}

// The recorded columns, in screen order: digits shown follow from the scale (÷1000: 3).
std::vector<meter::Column> Columns() {
  std::vector<meter::Column> columns;
  const auto digits = [](double divisor) {
    return divisor >= 1000 ? 3 : divisor >= 100 ? 2 : divisor >= 10 ? 1 : 0;
  };
  for (const meter::Measure& m : meter::kMeasureA)
    columns.push_back({m.control, digits(m.divisor)});
  for (const meter::Measure& m : meter::kMeasureB)
    columns.push_back({m.control, digits(m.divisor)});
  return columns;
}

void StopAndClose(int panel) {
  meter::StopRecording(panel);
  SetCtrlAttribute(panel, kMedidasTimer, ATTR_ENABLED, 0);
  meter::CloseScreen(panel);
  if (panel == Panel_Medidas) Panel_Medidas = -1;
}

}  // namespace

int Toma_Datos(int panel, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  Panel_Medidas = meter::OpenScreen(panel, kResMedidas, Cerrar_Medidas);
  if (Panel_Medidas < 0) return 0;
  SetCtrlAttribute(Panel_Medidas, kMedidasTimer, ATTR_ENABLED, 1);
  SetCtrlAttribute(Panel_Medidas, kMedidasTimer, ATTR_INTERVAL, kPollIntervalS);
  SetCtrlAttribute(Panel_Medidas, kMedidasExit, ATTR_CALLBACK, Salir_Medidas);
  SetCtrlAttribute(Panel_Medidas, kMedidasTimer, ATTR_CALLBACK, Timer_Medidas);
  SetCtrlAttribute(Panel_Medidas, kMedidasReadAgain, ATTR_CALLBACK, Releer_Medidas);
  meter::LabelReadAgain(Panel_Medidas, kMedidasReadAgain);
  return 0;
}

int Timer_Medidas(int panel, int, int event, void*, int, int) {
  if (event != EVENT_TIMER_TICK) return 0;
  // Off for the whole tick, so ticks never overlap or queue behind a slow meter. A failed
  // read leaves it off: the last values stay, greyed, until the operator reads again.
  SetCtrlAttribute(panel, kMedidasTimer, ATTR_ENABLED, 0);

  int rc = meter::ReadBlock(meter::kMeasureAStart, meter::kMeasureACount);
  if (rc != kModbusOk) return Stop(panel, rc);
  const auto a = meter::BlockData(meter::kMeasureACount);
  for (std::size_t i = 0; i < meter::kMeasureA.size(); ++i)
    SetCtrlVal(panel, meter::kMeasureA[i].control,
               meter::WideValue(a, i, meter::kMeasureA[i].divisor));

  rc = meter::ReadBlock(meter::kMeasureBStart, meter::kMeasureBCount);
  if (rc != kModbusOk) return Stop(panel, rc);
  const auto b = meter::BlockData(meter::kMeasureBCount);
  for (std::size_t j = 0; j < meter::kMeasureB.size(); ++j)
    SetCtrlVal(panel, meter::kMeasureB[j].control,
               meter::NarrowValue(b, j, meter::kMeasureB[j].divisor));

  meter::RecordRow(panel);
  // The next tick comes one full interval after this poll ended.
  ResetTimer(panel, kMedidasTimer);
  SetCtrlAttribute(panel, kMedidasTimer, ATTR_ENABLED, 1);
  return 0;
}

int Releer_Medidas(int panel, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  meter::ShowFresh(panel, ValueControls(), kMedidasStatus, kMedidasReadAgain);
  return Timer_Medidas(panel, kMedidasTimer, EVENT_TIMER_TICK, nullptr, 0, 0);
}

int Grabar_Medidas(int panel, int, int event, void*, int, int) {
  if (event == EVENT_COMMIT) meter::ToggleRecording(panel, kMedidasRecord, Columns());
  return 0;
}

int Salir_Medidas(int panel, int, int event, void*, int, int) {
  if (event == EVENT_COMMIT) StopAndClose(panel);
  return 0;
}

int Cerrar_Medidas(int panel, int event, void*, int, int) {
  if (event == EVENT_CLOSE) StopAndClose(panel);
  return 0;
}
