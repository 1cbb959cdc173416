#!/usr/bin/python3
"""Drives the tool over AT-SPI: About from the menu, closed by the window's close request, then
quit with the quit button. Exit status 0 when every step was seen."""
import sys
import time

import pyatspi
from Xlib import X, display, protocol


def wait_for(what, fn, timeout=15.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            found = fn()
        except Exception:  # the tree changes under us while windows come and go
            found = None
        if found:
            return found
        time.sleep(0.1)
    sys.exit(f"timed out waiting for {what}")


def find(node, pred):
    if pred(node):
        return node
    return next((hit for child in node if child is not None for hit in [find(child, pred)] if hit),
                None)


def tool():
    return next((a for a in pyatspi.Registry.getDesktop(0) if a is not None and a.name == "veldixmid"),
                None)


def close_window(title):  # WM_DELETE_WINDOW, as the close box sends
    d = display.Display()
    wm_protocols = d.intern_atom("WM_PROTOCOLS")
    wm_delete = d.intern_atom("WM_DELETE_WINDOW")

    def search(w):
        if w.get_wm_name() == title:
            return w
        return next((hit for c in w.query_tree().children for hit in [search(c)] if hit), None)

    win = wait_for(f"X window '{title}'", lambda: search(d.screen().root))
    ev = protocol.event.ClientMessage(window=win, client_type=wm_protocols,
                                      data=(32, [wm_delete, X.CurrentTime, 0, 0, 0]))
    win.send_event(ev, event_mask=X.NoEventMask)
    d.flush()


def main():
    app = wait_for("the tool on the accessibility bus", tool)
    main_panel = wait_for("the main panel", lambda: find(app, lambda n: n.name == "VELDIX-MID v1.0"))
    about_item = wait_for("the About menu item",
                          lambda: find(main_panel, lambda n: n.getRoleName() == "menu item"
                                       and n.name.startswith("Acerca de")))
    about_item.queryAction().doAction(0)
    about = wait_for("the About panel", lambda: find(app, lambda n: n.name == "Acerca de VELDIX-MID"))
    for desc, want in (("4:4", "VELDIXMID"), ("4:3", "VELDIX-MID tool team"), ("4:2", "VELDIX-MID 2026")):
        shown = wait_for(f"About's {desc}", lambda: find(about, lambda n: n.description == desc))
        if shown.name != want:
            sys.exit(f"About shows '{shown.name}' as {desc} instead of '{want}'")
    close_window("Acerca de VELDIX-MID")
    wait_for("the About panel to go",
             lambda: find(app, lambda n: n.name == "Acerca de VELDIX-MID") is None)
    wait_for("the quit control 6:13", lambda: find(main_panel, lambda n: n.description == "6:13")
             ).queryAction().doAction(0)


if __name__ == "__main__":
    main()
