// Connecting to the meter from the main panel: the link settings are read from the panel,
// the link is opened and proved by reading register 4099; on success the settings are
// locked and the meter-screen buttons unlocked.
#pragma once

#include "panels/panels.h"  // Panel_Puerto and the main panel's control numbers

// Commit callback of the connection switch: runs Conectar_Puerto(panel), then records the
// panel in Panel_Puerto. Other events are ignored. Returns 0.
int Seleccionar_Puerto(int panel, int control, int event, void* callbackData, int eventData1,
                       int eventData2);
// The connection (switch on) or disconnection (switch off) procedure on `panel`.
void Conectar_Puerto(int panel);

// The link of a committed connection turned out closed (the server or gateway dropped it):
// the main panel (Panel_Puerto) goes back to Disconnected as if the switch had been turned
// off, and one popup says so and how to reconnect. Nothing happens when no connection is
// up, so a screen that finds the link closed again and again tells the operator once.
void Conexion_Perdida(void);

// Binds the connection callback's name for the resource file.
void RegisterLinkCallbacks();
