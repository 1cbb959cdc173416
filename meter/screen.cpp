// Opening and closing of the meter screens, block reads and writes, the popup after a write.
#include "meter/screen.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "lang/catalogue.h"
#include "link/engine.h"
#include "link/frames.h"
#include "link/transport.h"
#include "meter/config_file.h"
#include "meter/meter.h"
#include "platform/rs232.h"
#include "platform/ui.h"

namespace meter {

namespace {

constexpr unsigned char kReadHolding = 3;
constexpr unsigned char kWriteMultiple = 16;
constexpr int kWriteAnswerBytes = 8;  // slave, 16, start hi, lo, count hi, lo, CRC

unsigned char Slave() { return static_cast<unsigned char>(Identidad & 0xFF); }

// Catalogue texts of stale readings, the lost link and failed writes.
enum {
  kTextInvalidAnswer = 197,
  kTextReadingStopped = 201,
  kTextMeterSilent = 202,
  kTextException = 203,
  kTextLinkClosed = 204,
  kTextReadAgain = 205,
  kTextWritesFailed = 207,
  kTextWrite = 208,
  kTextRegisters = 209,
  kTextNothingSent = 210,
  kTextExceptionMeaning1 = 211,  // 211-214: exceptions 1 to 4
};

int g_lastException = 0;
void (*g_onLinkLost)(void) = nullptr;

// After every exchange: keeps an exception's code for the operator, and tells the main
// panel when the link turned out closed.
int Noted(int rc, const unsigned char* answer) {
  if (rc == kModbusException) g_lastException = answer[2];
  const bool closed = rc == kModbusTcpClosed || rc == kRtErrConnClosed || TCP_Link_Closed;
  if (closed && g_onLinkLost != nullptr) g_onLinkLost();
  return rc;
}

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
    const std::string message = std::string(CatalogueText(kTextScreenNotLoaded)) + " (" + kUirFile +
                                ", panel " + std::to_string(resource) + "):\n" +
                                ui::LastLoadError();
    ShowMainPanel(caller);
    MessagePopup(kAppTitle, message.c_str());
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
  const int rc =
      Orba_Transmitir_Modbus(Puerto, Trama_Peticion, 6, Trama_Respuesta, 2 * count, 0, Telefono,
                             TCP_Puerto, IP, static_cast<int>(sizeof Trama_Respuesta));
  if (rc != kModbusOk) return Noted(rc, Trama_Respuesta);
  // The engine checks the frame, not that it answers this request: an answer with fewer
  // registers would leave the previous answer's bytes to be shown as this one's.
  if (Trama_Respuesta[1] != kReadHolding || Trama_Respuesta[2] != 2 * count)
    return kModbusBadAnswer;
  return kModbusOk;
}

std::span<const unsigned char> BlockData(int count) {
  return std::span<const unsigned char>(Trama_Respuesta)
      .subspan(3, static_cast<std::size_t>(2 * count));
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
  if (rc != kModbusOk) return Noted(rc, answer);
  // A confirmation echoes function, start and count.
  const int echoedStart = answer[2] << 8 | answer[3];
  const int echoedCount = answer[4] << 8 | answer[5];
  if (answer[1] != kWriteMultiple || echoedStart != (start & 0xFFFF) || echoedCount != count)
    return kModbusBadAnswer;
  return kModbusOk;
}

int LastExceptionCode() { return g_lastException; }

void SetLinkLostHandler(void (*handler)(void)) { g_onLinkLost = handler; }

std::string FailureReason(int rc) {
  if (rc == kModbusTcpClosed || rc == kRtErrConnClosed) return CatalogueText(kTextLinkClosed);
  if (rc == kModbusBadAnswer) return CatalogueText(kTextInvalidAnswer);
  if (rc != kModbusException) return CatalogueText(kTextMeterSilent);
  const int code = g_lastException;
  char text[512];
  if (code >= 1 && code <= 4)
    Fmt(text, sizeof text, "%s %d (%s).", CatalogueText(kTextException), code,
        CatalogueText(kTextExceptionMeaning1 + code - 1));
  else
    Fmt(text, sizeof text, "%s %d.", CatalogueText(kTextException), code);
  return text;
}

bool Store(int panel, int control, int value) {
  int shown = 0;
  return SetCtrlVal(panel, control, value) >= 0 && GetCtrlVal(panel, control, &shown) >= 0 &&
         shown == value;
}

bool Store(int panel, int control, double value) {
  double shown = 0;
  return SetCtrlVal(panel, control, value) >= 0 && GetCtrlVal(panel, control, &shown) >= 0 &&
         shown == value;
}

void ShowWriteOutcome(std::span<const FailedWrite> failed) {
  if (failed.empty()) {
    MessagePopup(CatalogueText(kTextWriteDoneTitle), CatalogueText(kTextWriteDone));
    return;
  }
  std::string text = CatalogueText(kTextWritesFailed);
  for (const FailedWrite& f : failed) {
    char line[512];
    Fmt(line, sizeof line, "\n%s %d (%s %d-%d): %s", CatalogueText(kTextWrite), f.number,
        CatalogueText(kTextRegisters), f.start, f.start + f.count - 1, f.reason.c_str());
    text += line;
  }
  MessagePopup(CatalogueText(kTextLinkErrorTitle), text.c_str());
}

void ShowNothingSent() {
  MessagePopup(CatalogueText(kTextLinkErrorTitle), CatalogueText(kTextNothingSent));
}

namespace {
FilePicker g_picker = nullptr;
}  // namespace

void SetFilePicker(FilePicker picker) { g_picker = picker; }

std::string PickFile(bool save) {
  return PickFile(save, kTextConfigFile, "VELDIX-MID (*.vmcfg);;* (*)");
}

std::string PickFile(bool save, int titleText, const char* filterText) {
  if (g_picker != nullptr) return g_picker(save);
  return ui::AskFilePath(save, CatalogueText(titleText), filterText);
}

void ShowFileOutcome(int headline, const std::string& path, const std::string& detail) {
  // Catalogue texts are Latin-1; so is what the popup shows of the path.
  std::string text = std::string(CatalogueText(headline)) + "\n" + ui::PathToCp1252(path);
  if (!detail.empty()) text += "\n" + detail;
  MessagePopup(CatalogueText(kTextConfigFile), text.c_str());
}

void SaveConfigFileAs(const ConfigFile& f) {
  const std::string path = PickFile(true);
  if (path.empty()) return;
  std::string why;
  if (SaveConfigFile(path, f, &why))
    ShowFileOutcome(kTextFileSaved, path, "");
  else
    ShowFileOutcome(kTextNotSaved, path, why);
}

bool LoadConfigFileFrom(ConfigFile* f, const char* section) {
  const std::string path = PickFile(false);
  if (path.empty()) return false;
  FileError error;
  if (LoadConfigFile(path, f, &error)) {
    const bool present =
        std::strcmp(section, "[device]") == 0 ? f->device.has_value() : f->display.has_value();
    if (present) return true;
    error = {FileFault::kMissing, section, 0, ""};
  }
  ShowFileOutcome(kTextNotLoaded, path, DescribeFileError(error));
  return false;
}

void ShowStale(int panel, std::span<const int> values, int status, int readAgain, int rc) {
  for (int c : values) SetCtrlAttribute(panel, c, ATTR_DIMMED, 1);
  const std::string text =
      std::string(CatalogueText(kTextReadingStopped)) + "\n" + FailureReason(rc);
  SetCtrlVal(panel, status, text.c_str());
  SetCtrlAttribute(panel, readAgain, ATTR_DIMMED, 0);
}

void ShowFresh(int panel, std::span<const int> values, int status, int readAgain) {
  for (int c : values) SetCtrlAttribute(panel, c, ATTR_DIMMED, 0);
  SetCtrlVal(panel, status, "");
  SetCtrlAttribute(panel, readAgain, ATTR_DIMMED, 1);
}

void LabelReadAgain(int panel, int readAgain) {
  SetCtrlAttribute(panel, readAgain, ATTR_LABEL, CatalogueText(kTextReadAgain));
}

}  // namespace meter
