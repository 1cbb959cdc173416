// Connection procedure of the main panel.
#include "app/connection.h"

#include <cstring>

#include "lang/catalogue.h"
#include "link/engine.h"
#include "link/frames.h"
#include "link/transport.h"
#include "meter/screen.h"
#include "platform/rs232.h"
#include "platform/ui.h"

namespace {

// Catalogue text of the popup after the link was lost.
constexpr int kTextLinkLost = 206;

// True from a connection that passed its test to the switch turned off or the link lost.
bool g_connected = false;

// The register every VELDIX-MID answers: its own Modbus address (0x1003).
constexpr int kTestRegister = 4099;

const int kSettings[] = {kCtrlFraming, kCtrlSpeed, kCtrlPort, kCtrlSlave, kCtrlHost, kCtrlTcpPort};
const int kScreenButtons[] = {3, 2, 5, 4};

// The runtime's error texts in the chosen language.
const char* RuntimeText(int id) { return CatalogueText(kTextRuntimeErrors + id); }

void Dim(int panel, const int* controls, int n, int dimmed) {
  for (int i = 0; i < n; ++i) SetCtrlAttribute(panel, controls[i], ATTR_DIMMED, dimmed);
}

// Serial framing of each choice of the framing control: data bits, parity, stop bits.
void ApplyFraming(int mode) {
  switch (mode) {
    case 0: Bits = 8, Paridad = 0, Stops = 1; break;  // 8N1
    case 1: Bits = 8, Paridad = 1, Stops = 1; break;  // 8O1
    case 2: Bits = 8, Paridad = 2, Stops = 1; break;  // 8E1
    case 3: Bits = 8, Paridad = 0, Stops = 2; break;  // 8N2
    default: break;                                   // anything else keeps the last framing
  }
}

void Disconnect(int panel) {
  g_connected = false;
  Dim(panel, kSettings, 6, 0);
  Orba_Cerrar_Puerto(Puerto);
  Dim(panel, kScreenButtons, 4, 1);
  SetCtrlVal(panel, kCtrlConnect, 0);
}

}  // namespace

void Conectar_Puerto(int panel) {
  GetCtrlVal(panel, kCtrlSlave, &Identidad);
  int on = 0;
  GetCtrlVal(panel, kCtrlConnect, &on);
  if (on != 1) {
    Disconnect(panel);
    return;
  }
  GetCtrlVal(panel, kCtrlPort, &Puerto);
  GetCtrlVal(panel, kCtrlSpeed, &Velocidad);
  GetCtrlVal(panel, kCtrlFraming, &Modo);
  GetCtrlVal(panel, kCtrlHost, IP, sizeof IP);
  GetCtrlVal(panel, kCtrlTcpPort, &TCP_Puerto);
  ApplyFraming(Modo);

  const int opened = Orba_Abrir_Puerto(Puerto, Velocidad, Bits, Paridad, Stops,
                                       static_cast<unsigned short>(TCP_Puerto & 0xFFFF), IP);
  if (opened < 0) {
    MessagePopup(CatalogueText(kTextLinkErrorTitle), GetRS232ErrorString(opened));
    SetCtrlVal(panel, kCtrlConnect, 0);
    // The test exchange still runs on the unopened link; it fails and says so in turn.
  }

  Orba_Comando_Lectura(static_cast<unsigned char>(Identidad & 0xFF), 3, kTestRegister, 1,
                       Trama_Peticion);
  const int result = Orba_Transmitir_Modbus(Puerto, Trama_Peticion, 6, Trama_Respuesta, 2, 0,
                                            Telefono, TCP_Puerto, IP, sizeof Trama_Respuesta);
  if (result != kModbusOk) {
    g_connected = false;
    SetCtrlVal(panel, kCtrlConnect, 0);
    Orba_Cerrar_Puerto(Puerto);
    MessagePopup(CatalogueText(kTextLinkErrorTitle), CatalogueText(kTextNoAnswer));
    return;
  }
  // Any valid answer proves the link. The register holds the meter's own address, but a
  // meter reached through a gateway may answer under another one, so it is not compared.
  Dim(panel, kSettings, 6, 1);
  Dim(panel, kScreenButtons, 4, 0);
  g_connected = true;
}

void Conexion_Perdida(void) {
  if (!g_connected) return;
  Disconnect(Panel_Puerto);
  MessagePopup(CatalogueText(kTextLinkErrorTitle), CatalogueText(kTextLinkLost));
}

int Seleccionar_Puerto(int panel, int, int event, void*, int, int) {
  if (event == EVENT_COMMIT) {
    Conectar_Puerto(panel);
    Panel_Puerto = panel;
  }
  return 0;
}

void RegisterLinkCallbacks() {
  SetRS232TextSource(RuntimeText);
  RegisterCtrlCallback("Seleccionar_Puerto", Seleccionar_Puerto);
  // The screens find a closed link; the main panel, which is ours, shows it.
  meter::SetLinkLostHandler(Conexion_Perdida);
}
