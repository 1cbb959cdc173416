// Connecting to the meter from the main panel: the link settings are read from the panel,
// the link is opened and proved by reading register 4099; on success the settings are
// locked and the meter-screen buttons unlocked.
#pragma once

#include "panels.h"  // Panel_Puerto and the main panel's control numbers

// Commit callback of the connection switch: runs Conectar_Puerto(panel), then records the
// panel in Panel_Puerto. Other events are ignored. Returns 0.
int Seleccionar_Puerto(int panel, int control, int event, void* callbackData, int eventData1,
                       int eventData2);
// The connection (switch on) or disconnection (switch off) procedure on `panel`.
void Conectar_Puerto(int panel);

// Binds the connection callback's name for the resource file.
void RegisterLinkCallbacks();
