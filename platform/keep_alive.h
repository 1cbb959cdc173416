// Keeps the tool's windows alive while the single user-interface thread blocks in a wait of
// the serial or TCP runtime or in Delay: windows repaint, follow moves and resizes, answer the
// window manager's ping and show a busy cursor. User input, control and panel callbacks and
// timer ticks are held back (queued, not dropped) until the blocking caller has returned to
// the event loop, so no callback ever runs inside another.
#pragma once

namespace ui {
// The longest a blocking wait may go without calling KeepAlive, in milliseconds.
constexpr int kKeepAliveSliceMs = 20;
// Does the above once; returns at once without a GUI application or off the GUI thread.
void KeepAlive();
}  // namespace ui
