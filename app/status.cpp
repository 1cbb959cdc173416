// Status line of the main panel: the link in use, its state and the age of the last valid
// answer, in the chosen language, refreshed every second by the panel's timer.
#include <cstdio>
#include <string>

#include "app.h"
#include "catalogue.h"
#include "engine.h"
#include "rs232.h"
#include "transport.h"
#include "ui.h"

namespace {

enum { kCtrlStatus = 15, kCtrlStatusTimer = 16 };
// Catalogue texts the line is made of: no format strings from the language file.
enum {
  kTextConnected = 20, kTextDisconnected = 21, kTextNoAnswerState = 25, kTextRtu = 26,
  kTextModbusTcp = 27, kTextRtuOverTcp = 28, kTextSlave = 314, kTextLastAnswer = 315,
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
  SetCtrlVal(panel, kCtrlStatus, Texto_Estado_Enlace(l, on == 1).c_str());
  return 0;
}

void RegisterStatusCallbacks() { RegisterCtrlCallback("Estado_Enlace", Estado_Enlace); }
