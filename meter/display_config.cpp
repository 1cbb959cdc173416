// Display configuration screen: the 75 on/off settings of the meter's own display, kept by
// the meter as bits of five holding registers (4128-4132). Read once at opening, written
// back whole with one write request on the save button.
#include <string>
#include <vector>

#include "lang/catalogue.h"
#include "link/engine.h"
#include "link/transport.h"
#include "meter/config_file.h"
#include "meter/meter.h"
#include "meter/screen.h"
#include "platform/ui.h"

int Panel_Config_Display = -1;

namespace {

// Local time of the last successful read, for the configuration file's record.
std::string g_readTime;

void Close(int panel) {
  meter::CloseScreen(panel);
  if (panel == Panel_Config_Display) Panel_Config_Display = -1;
  g_readTime.clear();
}

// The 75 check boxes as a mask; false when one cannot give its value.
bool FetchMask(int panel, meter::Mask* mask) {
  std::array<int, meter::kMaskBitCount> values{};
  const auto bits = meter::MaskBits();
  for (std::size_t i = 0; i < bits.size(); ++i)
    if (GetCtrlVal(panel, bits[i].control, &values[i]) < 0) return false;
  *mask = meter::MaskFromBits(values);
  return true;
}

// Reads the mask back after a confirmed save: "same", or each register that differs with
// what was written and what the meter holds.
void ShowReadBack(int panel, const meter::Mask& written) {
  std::string text = CatalogueText(meter::kTextReadBack);
  const int rc = meter::ReadBlock(meter::kMaskStart, meter::kMaskWords);
  if (rc != kModbusOk) {
    text += " " + meter::FailureReason(rc);
  } else {
    const meter::Mask read =
        meter::DecodeMask(meter::BlockData(meter::kMaskWords).first<2 * meter::kMaskWords>());
    if (read == written) text += std::string(" ") + CatalogueText(meter::kTextSame);
    for (int k = 0; k < meter::kMaskWords; ++k) {
      const std::size_t i = static_cast<std::size_t>(k);
      if (read[i] == written[i]) continue;
      char line[256];
      Fmt(line, sizeof line, " %d: %s 0x%04X, %s 0x%04X - %s.", meter::kMaskStart + k,
          CatalogueText(meter::kTextWritten), unsigned{written[i]},
          CatalogueText(meter::kTextReadValue), unsigned{read[i]},
          CatalogueText(meter::kTextDifferent));
      text += line;
    }
  }
  SetCtrlVal(panel, kDisplayReadBack, text.c_str());
}

}  // namespace

int Config_Display(int panel, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  Panel_Config_Display = meter::OpenScreen(panel, kResConfigDisplay, Cerrar_Config_Display);
  if (Panel_Config_Display < 0) return 0;
  Leer_Config_Display(Panel_Config_Display);
  SetCtrlAttribute(Panel_Config_Display, kDisplayExit, ATTR_CALLBACK, Salir_Config_Display);
  SetCtrlAttribute(Panel_Config_Display, kDisplaySave, ATTR_CALLBACK, Guardar_Display);
  SetCtrlAttribute(Panel_Config_Display, kDisplaySaveFile, ATTR_CALLBACK, Guardar_Archivo_Display);
  SetCtrlAttribute(Panel_Config_Display, kDisplayLoadFile, ATTR_CALLBACK, Cargar_Archivo_Display);
  return 0;
}

void Leer_Config_Display(int panel) {
  // A failed read leaves the save button dimmed: the check boxes then hold no mask of this
  // meter, and saving them would overwrite its display settings.
  g_readTime.clear();
  if (meter::ReadBlock(meter::kMaskStart, meter::kMaskWords) != kModbusOk) return;
  const meter::Mask mask =
      meter::DecodeMask(meter::BlockData(meter::kMaskWords).first<2 * meter::kMaskWords>());
  const auto values = meter::BitsFromMask(mask);
  const auto bits = meter::MaskBits();
  // A bit whose box is missing or cannot hold it would be saved as something never read.
  bool allShown = true;
  for (std::size_t i = 0; i < bits.size(); ++i)
    allShown = meter::Store(panel, bits[i].control, values[i]) && allShown;
  if (!allShown) return;
  g_readTime = meter::LocalTimeIso();
  SetCtrlAttribute(panel, kDisplaySave, ATTR_DIMMED, 0);
  SetCtrlAttribute(panel, kDisplaySaveFile, ATTR_DIMMED, 0);
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
  SetCtrlVal(panel, kDisplayReadBack, "");
  if (rc != kModbusOk)
    failed.push_back({1, meter::kMaskStart, meter::kMaskWords, rc, meter::FailureReason(rc)});
  meter::ShowWriteOutcome(failed);
  if (failed.empty()) ShowReadBack(panel, meter::MaskFromBits(values));
  return 0;
}

int Guardar_Archivo_Display(int panel, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  meter::ConfigFile f;
  f.saved = meter::LocalTimeIso();
  f.read = g_readTime;
  f.slave = Identidad & 0xFF;
  meter::Mask mask{};
  if (!FetchMask(panel, &mask)) {
    meter::ShowNothingSent();
    return 0;
  }
  f.display = mask;
  meter::SaveConfigFileAs(f);
  return 0;
}

int Cargar_Archivo_Display(int panel, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  meter::ConfigFile f;
  if (!meter::LoadConfigFileFrom(&f, "[display]")) return 0;
  // Fills the check boxes only; the operator saves to the meter. Should a box refuse its
  // value, all go back as they were.
  meter::Mask before{};
  const bool haveBefore = FetchMask(panel, &before);
  const auto bits = meter::MaskBits();
  const auto values = meter::BitsFromMask(*f.display);
  for (std::size_t i = 0; i < bits.size(); ++i) {
    if (!meter::Store(panel, bits[i].control, values[i])) {
      if (haveBefore) {
        const auto old = meter::BitsFromMask(before);
        for (std::size_t j = 0; j <= i; ++j) SetCtrlVal(panel, bits[j].control, old[j]);
      }
      meter::ShowNothingSent();
      return 0;
    }
  }
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
