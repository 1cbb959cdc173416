#!/usr/bin/python3
"""Plays the window manager against one X window: sends _NET_WM_PING every 10 ms and times
each answer (the reply comes back to the root window), and one second after it is ready
clicks with XTest at (X, Y). Runs until STOPFILE exists (60 s at most), then prints
"max_ms=<longest wait for an answer> pings=<answered pings>".
Usage: ping_click.py WINDOW_ID X Y READYFILE STOPFILE"""
import os
import select
import sys
import time

from Xlib import X, display, protocol
from Xlib.ext import xtest


def main():
    wid, cx, cy = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
    ready_file, stop_file = sys.argv[4], sys.argv[5]
    d = display.Display()
    root = d.screen().root
    # Qt sends the answer to the root window for StructureNotify or SubstructureRedirect.
    root.change_attributes(event_mask=X.StructureNotifyMask | X.SubstructureNotifyMask)
    win = d.create_resource_object("window", wid)
    wm_protocols = d.intern_atom("WM_PROTOCOLS")
    ping = d.intern_atom("_NET_WM_PING")
    d.sync()
    open(ready_file, "w").close()
    start = time.monotonic()
    clicked = False
    longest, answered, stamp = 0.0, 0, 0
    while time.monotonic() - start < 60:
        stamp += 1
        ev = protocol.event.ClientMessage(window=win, client_type=wm_protocols,
                                          data=(32, [ping, stamp, wid, 0, 0]))
        win.send_event(ev, event_mask=X.NoEventMask)
        d.flush()
        sent = time.monotonic()
        got = False
        while not got:
            if not clicked and time.monotonic() - start >= 1.0:
                xtest.fake_input(d, X.MotionNotify, x=cx, y=cy)
                xtest.fake_input(d, X.ButtonPress, 1)
                xtest.fake_input(d, X.ButtonRelease, 1)
                d.flush()
                clicked = True
            if os.path.exists(stop_file):
                break
            select.select([d.fileno()], [], [], 0.005)
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


if __name__ == "__main__":
    main()
