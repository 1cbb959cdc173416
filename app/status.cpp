// Status line of the main panel: the link in use, its state and the age of the last valid
// answer, in the chosen language, refreshed every second by the panel's timer.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "app/app.h"
#include "lang/catalogue.h"
#include "link/engine.h"
#include "link/transport.h"
#include "platform/ports.h"
#include "platform/registry.h"
#include "platform/rs232.h"
#include "platform/ui.h"

namespace {

enum { kCtrlStatus = 15, kCtrlStatusTimer = 16 };
// Catalogue texts the line is made of: no format strings from the language file.
enum {
  kTextConnected = 20,
  kTextDisconnected = 21,
  kTextNoAnswerState = 25,
  kTextRtu = 26,
  kTextModbusTcp = 27,
  kTextRtuOverTcp = 28,
  kTextSlave = 328,
  kTextLastAnswer = 329,
};

const char* kFramings[] = {"8N1", "8O1", "8E1", "8N2"};

}  // namespace

std::string Texto_Estado_Enlace(const EnlaceVisto& l, bool connected) {
  std::string s = CatalogueText(connected ? kTextConnected : kTextDisconnected);
  s += ": ";
  char where[128];
  if (l.port < 99) {
    const char* framing = l.mode >= 0 && l.mode < 4 ? kFramings[l.mode] : "?";
    std::snprintf(where, sizeof where, " %s %d %s, ", ComDeviceName(l.port), l.speed, framing);
    s += CatalogueText(kTextRtu);
  } else {
    std::snprintf(where, sizeof where, " %s:%d, ", l.host, l.tcpPort & 0xFFFF);
    const bool mbap = l.port == 100 || (l.tcpPort & 0xFFFF) == 502;
    s += CatalogueText(mbap ? kTextModbusTcp : kTextRtuOverTcp);
  }
  s += where;
  s += CatalogueText(kTextSlave);
  s += " " + std::to_string(l.slave & 0xFF);
  if (!connected) return s;
  bool failed = false;
  const double age = SecondsSinceGoodAnswer(&failed);
  if (failed) s += std::string(". ") + CatalogueText(kTextNoAnswerState);
  if (age >= 0) {
    s += std::string(". ") + CatalogueText(kTextLastAnswer) + ": " +
         std::to_string(static_cast<long long>(age)) + " s";
  }
  return s;
}

void Guarda_Enlace(const EnlaceVisto& l);

// Timer tick of the main panel: the settings on the panel while disconnected, the link in
// force while connected.
int Estado_Enlace(int panel, int, int event, void*, int, int) {
  if (event != EVENT_TIMER_TICK) return 0;
  int on = 0;
  GetCtrlVal(panel, kCtrlConnect, &on);
  EnlaceVisto l{Puerto, Velocidad, Modo, Identidad, TCP_Puerto, {}};
  std::snprintf(l.host, sizeof l.host, "%s", IP);
  if (on != 1) {  // what the settings on the panel would connect to
    GetCtrlVal(panel, kCtrlPort, &l.port);
    GetCtrlVal(panel, kCtrlSpeed, &l.speed);
    GetCtrlVal(panel, kCtrlFraming, &l.mode);
    GetCtrlVal(panel, kCtrlSlave, &l.slave);
    GetCtrlVal(panel, kCtrlHost, l.host, sizeof l.host);
    GetCtrlVal(panel, kCtrlTcpPort, &l.tcpPort);
  }
  // A link that answered is remembered for the next start.
  if (on == 1) Guarda_Enlace(l);
  SetCtrlVal(panel, kCtrlStatus, Texto_Estado_Enlace(l, on == 1).c_str());
  return 0;
}

int Elige_Puerto(int panel, int control, int event, void* callbackData, int eventData1,
                 int eventData2);

void RegisterStatusCallbacks() {
  RegisterCtrlCallback("Estado_Enlace", Estado_Enlace);
  RegisterCtrlCallback("Elige_Puerto", Elige_Puerto);
}

// ---------------------------------------------------------------- remembered link

namespace {

constexpr const char* kLinkKey = "SOFTWARE\\VELDIX-MID v1.0\\Link";
std::string g_saved;  // the settings last written, so that each connection writes once

bool ReadNumber(const char* name, int lo, int hi, int* out) {
  unsigned char text[32] = {};
  unsigned size = 0;
  if (WT_RegReadString(kRegLocalMachine, kLinkKey, name, text, sizeof text, &size) != 0)
    return false;
  char* end = nullptr;
  const long v = std::strtol(reinterpret_cast<char*>(text), &end, 10);
  if (end == reinterpret_cast<char*>(text) || *end != '\0' || v < lo || v > hi) return false;
  *out = static_cast<int>(v);
  return true;
}

}  // namespace

void Recupera_Enlace(int panel) {
  // Each value is checked against what its control takes; a bad one keeps the default.
  struct {
    const char* name;
    int control, lo, hi;
  } const kNumbers[] = {{"Port", kCtrlPort, 1, 999},
                        {"Speed", kCtrlSpeed, 1200, 115200},
                        {"Framing", kCtrlFraming, 0, 3},
                        {"Slave", kCtrlSlave, 1, 247},
                        {"TcpPort", kCtrlTcpPort, 0, 65535}};
  for (const auto& n : kNumbers) {
    int v = 0;
    if (ReadNumber(n.name, n.lo, n.hi, &v)) SetCtrlVal(panel, n.control, v);
  }
  unsigned char host[16] = {};
  unsigned size = 0;
  if (WT_RegReadString(kRegLocalMachine, kLinkKey, "Host", host, sizeof host, &size) == 0)
    SetCtrlVal(panel, kCtrlHost, reinterpret_cast<char*>(host));
}

void Guarda_Enlace(const EnlaceVisto& l) {
  const std::string now = std::to_string(l.port) + "|" + std::to_string(l.speed) + "|" +
                          std::to_string(l.mode) + "|" + std::to_string(l.slave) + "|" +
                          std::to_string(l.tcpPort) + "|" + l.host;
  if (now == g_saved) return;
  g_saved = now;
  const std::pair<const char*, int> numbers[] = {{"Port", l.port},
                                                 {"Speed", l.speed},
                                                 {"Framing", l.mode},
                                                 {"Slave", l.slave},
                                                 {"TcpPort", l.tcpPort}};
  for (const auto& [name, v] : numbers)
    WT_RegWriteString(kRegLocalMachine, kLinkKey, name, std::to_string(v).c_str());
  WT_RegWriteString(kRegLocalMachine, kLinkKey, "Host", l.host);
}

// ---------------------------------------------------------------- port picker

namespace {
enum { kCtrlPortPicker = 17 };
}

void Lista_Puertos(int panel) {
  SerialPortPresent ports[98];
  const int n = ListComPorts(ports, 98);
  ClearListCtrl(panel, kCtrlPortPicker);
  for (int i = 0; i < n; ++i) {
    char label[220];
    std::snprintf(label, sizeof label, "%d: %s%s%s", ports[i].port, ports[i].device,
                  ports[i].description[0] ? " - " : "", ports[i].description);
    InsertListItem(panel, kCtrlPortPicker, -1, label, ports[i].port);
  }
}

// A port chosen from those present goes into the port number, while no link is open.
int Elige_Puerto(int panel, int, int event, void*, int, int) {
  if (event != EVENT_COMMIT) return 0;
  int on = 0, port = 0;
  GetCtrlVal(panel, kCtrlConnect, &on);
  if (on != 1 && GetCtrlVal(panel, kCtrlPortPicker, &port) == 0 && port > 0)
    SetCtrlVal(panel, kCtrlPort, port);
  return 0;
}
