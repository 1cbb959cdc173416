#!/usr/bin/python3
"""ping_click.py WINDOW_ID X Y: plays the window manager, a _NET_WM_PING every 10 ms (answered
to the root window), and clicks with XTest at (X, Y) one second after printing "ready". Ends
when stdin closes (60 s at most) and prints "max_ms=<longest answer> pings=<answered>"."""
import select
import sys
import time

from Xlib import X, display, protocol
from Xlib.ext import xtest


wid, cx, cy = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
d = display.Display()
root = d.screen().root
root.change_attributes(event_mask=X.StructureNotifyMask | X.SubstructureNotifyMask)
win = d.create_resource_object("window", wid)
wm_protocols = d.intern_atom("WM_PROTOCOLS")
ping = d.intern_atom("_NET_WM_PING")
d.sync()
print("ready", flush=True)
start, clicked = time.monotonic(), False
longest, answered, stamp = 0.0, 0, 0
while time.monotonic() - start < 60:
    stamp += 1
    ev = protocol.event.ClientMessage(window=win, client_type=wm_protocols,
                                      data=(32, [ping, stamp, wid, 0, 0]))
    win.send_event(ev, event_mask=X.NoEventMask)
    d.flush()
    sent, got = time.monotonic(), False
    while not got:
        if not clicked and time.monotonic() - start >= 1.0:
            xtest.fake_input(d, X.MotionNotify, x=cx, y=cy)
            xtest.fake_input(d, X.ButtonPress, 1)
            xtest.fake_input(d, X.ButtonRelease, 1)
            d.flush()
            clicked = True
        if sys.stdin in select.select([d.fileno(), sys.stdin], [], [], 0.005)[0]:
            break  # stdin closed: stop
        while d.pending_events():
            e = d.next_event()
            if (e.type == X.ClientMessage and e.client_type == wm_protocols
                    and e.data[1][0] == ping and e.data[1][1] == stamp):
                got = True
    longest = max(longest, time.monotonic() - sent)
    if not got:
        break
    answered += 1
    time.sleep(0.01)
print(f"max_ms={longest * 1000:.1f} pings={answered}", flush=True)

