// Opening and closing of the meter screens, block reads and writes, the popup after a write.
#include "screen.h"

#include <cstdio>
#include <cstring>

#include "catalogue.h"
#include "engine.h"
#include "frames.h"
#include "meter.h"
#include "transport.h"
#include "ui.h"

namespace meter {

namespace {

constexpr unsigned char kReadHolding = 3;
constexpr unsigned char kWriteMultiple = 16;
constexpr int kWriteAnswerBytes = 8;  // slave, 16, start hi, lo, count hi, lo, CRC

unsigned char Slave() { return static_cast<unsigned char>(Identidad & 0xFF); }

bool Shown(int panel) { return panel > 0 && DisplayPanel(panel) >= 0; }

}  // namespace

void ShowMainPanel(int fallback) {
  if (Shown(Panel_Puerto) || Shown(Panel_Principal)) return;
  Shown(fallback);
}

int OpenScreen(int caller, int resource, PanelCallbackPtr onClose) {
  HidePanel(caller);
  const int panel = LoadPanel(0, kUirFile, resource);
  if (panel < 0) {
    // An installation fault (a resource file from another version): say so, and never
    // leave the operator without a window.
    char message[512];
    Fmt(message, sizeof message, "No se puede abrir la pantalla (panel %d de %s):\n%s", resource,
        kUirFile, ui::LastLoadError());
    ShowMainPanel(caller);
    MessagePopup(kAppTitle, message);
    return panel;
  }
  DisplayPanel(panel);
  SetPanelCallback(panel, onClose, nullptr);
  return panel;
}

void CloseScreen(int panel) {
  DiscardPanel(panel);
  ShowMainPanel(panel);
}

int ReadBlock(int start, int count) {
  Orba_Comando_Lectura(Slave(), kReadHolding, start, count, Trama_Peticion);
  const int rc = Orba_Transmitir_Modbus(Puerto, Trama_Peticion, 6, Trama_Respuesta, 2 * count, 0,
                                        Telefono, TCP_Puerto, IP,
                                        static_cast<int>(sizeof Trama_Respuesta));
  if (rc != kModbusOk) return rc;
  // The engine checks the frame, not that it answers this request: an answer with fewer
  // registers would leave the previous answer's bytes to be shown as this one's.
  if (Trama_Respuesta[1] != kReadHolding || Trama_Respuesta[2] != 2 * count)
    return kModbusBadAnswer;
  return kModbusOk;
}

std::span<const unsigned char> BlockData(int count) {
  return std::span<const unsigned char>(Trama_Respuesta).subspan(3, static_cast<std::size_t>(2 * count));
}

int WriteBlock(int start, int count, std::span<const unsigned char> data) {
  // Frame and answer of this request only. The engine appends the CRC after the frame
  // and may store an answer up to its full size, so both get the engine's answer room.
  unsigned char frame[kAnswerBufferSize] = {};
  unsigned char answer[kAnswerBufferSize] = {};
  int length = 2 * count;
  if (count < 1 || static_cast<std::size_t>(length) > data.size() ||
      Orba_Comando_16(Slave(), start, count, data.data(), frame, &length) != 0)
    return kModbusBadAnswer;
  const int rc = Orba_Transmitir_Modbus(Puerto, frame, length, answer, kWriteAnswerBytes, 0,
                                        Telefono, TCP_Puerto, IP, static_cast<int>(sizeof answer));
  if (rc != kModbusOk) return rc;
  // A confirmation echoes function, start and count.
  const int echoedStart = answer[2] << 8 | answer[3];
  const int echoedCount = answer[4] << 8 | answer[5];
  if (answer[1] != kWriteMultiple || echoedStart != (start & 0xFFFF) || echoedCount != count)
    return kModbusBadAnswer;
  return kModbusOk;
}

void ShowWriteOutcome(bool allConfirmed) {
  if (allConfirmed)
    MessagePopup(CatalogueText(kTextWriteDoneTitle), CatalogueText(kTextWriteDone));
  else
    MessagePopup(CatalogueText(kTextLinkErrorTitle), CatalogueText(kTextNoAnswer));
}

}  // namespace meter
