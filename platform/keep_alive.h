// Keeps the tool's windows alive while the single user-interface thread blocks in a wait of
// the serial or TCP runtime or in Delay: windows repaint, follow moves and resizes, answer the
// window manager's ping and show a busy cursor. User input, control and panel callbacks and
// timer ticks are held back (queued, not dropped) until the blocking caller has returned to
// the event loop, so no callback ever runs inside another.
// A wait for the link pumps events between its slices, not before the first: an answer
// already on its way costs no pumping. Delay pumps at the start of each slice, inside the
// wait. Nothing is pumped past a deadline.
#pragma once

#include <chrono>

namespace ui {
// The longest a blocking wait may go without calling KeepAlive, in milliseconds.
constexpr int kKeepAliveSliceMs = 20;
// Does the above once; returns at once without a GUI application or off the GUI thread.
void KeepAlive();
// Sleeps until the absolute deadline, waking neither early nor late by more than the
// system's timer resolution, without spinning.
void SleepUntil(std::chrono::steady_clock::time_point deadline);
}  // namespace ui
