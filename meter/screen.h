// What the four meter screens share: opening and closing a screen panel, the block read
// into the shared answer buffer, one write request, and the popup after a write.
#pragma once

#include <cstddef>
#include <span>

namespace meter {

// Shows the main panel again: the panel of the last committed connection (Panel_Puerto),
// else the main panel (Panel_Principal), else `fallback`, whichever can be displayed first.
void ShowMainPanel(int fallback);

// Opens a screen from the main panel's button on `caller`: hides `caller`, loads panel
// `resource`, displays it and installs `onClose` for its close box. A new handle, or a
// negative code when the panel cannot be loaded: then the operator is told why and the
// main panel is shown again, so no window is ever left without a way back.
int OpenScreen(int caller, int resource, int (*onClose)(int, int, void*, int, int));

// Closes a screen: discards `panel` and shows the main panel again.
void CloseScreen(int panel);

// Reads `count` registers from `start` (function 3) into Trama_Respuesta. 1 when a valid
// answer of exactly that many registers arrived; the engine's negative code, or -2 for an
// answer of another function or byte count (it would leave stale bytes in the buffer).
int ReadBlock(int start, int count);
// Register data of the last successful ReadBlock of `count` registers.
std::span<const unsigned char> BlockData(int count);

// One write-multiple-registers request (function 16) of `count` registers from `start`,
// with the request frame and answer buffer of its own. 1 when the meter confirmed that
// start and count; the engine's negative code, or -2 for an answer that does not match.
int WriteBlock(int start, int count, std::span<const unsigned char> data);

// The popup after a configuration send or a display save: texts 199/200 when every write
// was confirmed, 195/198 when any failed.
void ShowWriteOutcome(bool allConfirmed);

}  // namespace meter
