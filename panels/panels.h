// The resource file as the code sees it: its name, the tool's title, the handles of the main
// panel, and the numbers of panels, controls and catalogue texts used by more than one unit.
#pragma once

#include "panels/title.h"  // kAppTitle, generated from the project's version

inline constexpr const char* kUirFile = "VELDIXMID.uir";

// Handle of the main panel (resource 6), set once at start-up; negative when the load failed.
extern int Panel_Principal;

// Panel on which the connection control was last committed (the main panel); the meter
// screens show it again when they close. -1 until the first commit.
extern int Panel_Puerto;

// Panel resource numbers of VELDIXMID.uir.
enum {
  kResConfigDisplay = 1,
  kResEnergias = 2,
  kResConfigEquipo = 3,
  kResAcercaDe = 4,
  kResMedidas = 5,
  kResPrincipal = 6,
};

// Main panel controls the connection reads and writes.
enum {
  kCtrlPort = 6,     // port number: 1..98 serial, 99 and above TCP
  kCtrlSpeed = 7,    // bit/s
  kCtrlFraming = 8,  // 0 8N1, 1 8O1, 2 8E1, 3 8N2
  kCtrlSlave = 9,    // slave address
  kCtrlHost = 10,    // IP address, at most 15 characters
  kCtrlTcpPort = 11,
  kCtrlConnect = 12,  // switch: 1 connect, 0 disconnect
};

// Catalogue texts of the popups after a failed connection, a failed or a confirmed write.
enum {
  kTextLinkErrorTitle = 195,  // "Communication error"
  kTextNoAnswer = 198,        // the meter does not answer
  kTextWriteDoneTitle = 199,  // "Configuration sent"
  kTextWriteDone = 200,       // the meter has confirmed the configuration
};

// The serial and TCP runtime's error texts: kRtTextCount (62) texts from here on, in the
// order the runtime numbers them (rs232.h); then the texts after them.
inline constexpr int kTextRuntimeErrors = 403;
inline constexpr int kTextScreenNotLoaded = 465;  // a screen's panel is missing or spoilt
