// Keeps the tool's windows alive while the single user-interface thread blocks in a wait of
// the serial or TCP runtime or in Delay: windows repaint, follow moves and resizes, answer the
// window manager's ping and show a busy cursor. User input, control and panel callbacks and
// timer ticks are held back (queued, not dropped) until the blocking caller has returned to
// the event loop, so no callback ever runs inside another.
// Waits pump events between their slices, never before the first nor after the last: a
// wait whose answer is already on its way costs no event pumping, and nothing is pumped past
// its deadline.
#pragma once

#include <chrono>

namespace ui {
// The longest a blocking wait may go without calling KeepAlive, in milliseconds.
constexpr int kKeepAliveSliceMs = 20;
// Does the above once; returns at once without a GUI application or off the GUI thread.
void KeepAlive();
// When the calling thread should next call KeepAlive: its last call plus one slice. Lets
// short waits in a row (the TCP answer polls) share the slices.
std::chrono::steady_clock::time_point KeepAliveDue();
// Sleeps until the absolute deadline, waking neither early nor late by more than the
// system's timer resolution, without spinning.
void SleepUntil(std::chrono::steady_clock::time_point deadline);
}  // namespace ui
