#!/usr/bin/python3
"""Drives the tool over AT-SPI: About from the menu with its texts, closed with its button (a
window's close request: tests/platform/test_ui.cpp), then quit. Exit 0 when all was seen."""
import sys
import time

import pyatspi


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
    wait_for("About's button 4:6", lambda: find(about, lambda n: n.description == "4:6")
             ).queryAction().doAction(0)
    wait_for("the About panel to go",
             lambda: find(app, lambda n: n.name == "Acerca de VELDIX-MID") is None)
    wait_for("the quit control 6:13", lambda: find(main_panel, lambda n: n.description == "6:13")
             ).queryAction().doAction(0)


if __name__ == "__main__":
    main()
