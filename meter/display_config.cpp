// Display configuration screen: the 75 on/off settings of the meter's own display, kept by
// the meter as bits of five holding registers (4128-4132). Read once at opening, written
// back whole with one write request on the save button.
#include <vector>

#include "engine.h"
#include "meter.h"
#include "screen.h"
#include "ui.h"

int Panel_Config_Display = -1;

namespace {

void Close(int panel) {
  meter::CloseScreen(panel);
  if (panel == Panel_Config_Display) Panel_Config_Display = -1;
}

}  // namespace

int Config_Display(int panel, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  Panel_Config_Display = meter::OpenScreen(panel, kResConfigDisplay, Cerrar_Config_Display);
  if (Panel_Config_Display < 0) return 0;
  Leer_Config_Display(Panel_Config_Display);
  SetCtrlAttribute(Panel_Config_Display, kDisplayExit, ATTR_CALLBACK,
                   Salir_Config_Display);
  SetCtrlAttribute(Panel_Config_Display, kDisplaySave, ATTR_CALLBACK,
                   Guardar_Display);
  return 0;
}

void Leer_Config_Display(int panel) {
  // A failed read leaves the save button dimmed: the check boxes then hold no mask of this
  // meter, and saving them would overwrite its display settings.
  if (meter::ReadBlock(meter::kMaskStart, meter::kMaskWords) != kModbusOk) return;
  const meter::Mask mask =
      meter::DecodeMask(meter::BlockData(meter::kMaskWords).first<2 * meter::kMaskWords>());
  const auto values = meter::BitsFromMask(mask);
  const auto bits = meter::MaskBits();
  // A bit whose box is missing or cannot hold it would be saved as something never read.
  bool allShown = true;
  for (std::size_t i = 0; i < bits.size(); ++i)
    allShown = meter::Store(panel, bits[i].control, values[i]) && allShown;
  if (allShown) SetCtrlAttribute(panel, kDisplaySave, ATTR_DIMMED, 0);
}

int Guardar_Display(int panel, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  std::array<int, meter::kMaskBitCount> values{};
  const auto bits = meter::MaskBits();
  for (std::size_t i = 0; i < bits.size(); ++i) {
    if (GetCtrlVal(panel, bits[i].control, &values[i]) < 0) {
      meter::ShowNothingSent();
      return 0;
    }
  }
  // The whole mask goes out in one request, untouched words too; word 4's bits 3 to 7,
  // which no control shows, are written as 0.
  const auto data = meter::EncodeMask(meter::MaskFromBits(values));
  const int rc = meter::WriteBlock(meter::kMaskStart, meter::kMaskWords, data);
  std::vector<meter::FailedWrite> failed;
  if (rc != kModbusOk)
    failed.push_back({1, meter::kMaskStart, meter::kMaskWords, rc, meter::FailureReason(rc)});
  meter::ShowWriteOutcome(failed);
  return 0;
}

int Salir_Config_Display(int panel, int, int event, void*, int, int) {
  if (event == EVENT_COMMIT) Close(panel);
  return 0;
}

int Cerrar_Config_Display(int panel, int event, void*, int, int) {
  if (event == EVENT_CLOSE) Close(panel);
  return 0;
}
