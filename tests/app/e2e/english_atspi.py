#!/usr/bin/python3
"""english_atspi.py LANGUAGE_INI: every name the main panel, menus, About, a failed connection's
popups, the meter screens and the traffic window show is an English text of LANGUAGE_INI (or
wordless); port 1 ($VELDIXMID_COM1) is linked to the meter ($VELDIX_E2E_METER) on the way."""
import os
import re
import sys

import pyatspi
from gi.repository import Atspi, GLib

from drive_atspi import find, tool, wait_for


def english_texts(path):  # catalogue number -> English text, as the tool shows it
    section = open(path, "rb").read().decode("cp1252").split("[English]", 1)[1]
    return {int(m.group(1)): m.group(2).strip().replace("\\n", "\n")
            for m in re.finditer(r"(?m)^(\d{4}) = (.*?)\r?$", section)}


WORDLESS = re.compile(r"^([^a-z]*|VELDIX-MID v1\.0|v1\.0|VELDIXMID|VELDIX-MID tool team|VELDIX-MID 2026|"
                      r"Bit \d+|\d+: (/dev/|COM)\S*( - .*)?)$")  # a serial port: what the system says

# Each meter screen: its button on the main panel, the catalogue text of its title, its exit.
WINDOWS = ("frame", "window", "dialog")
SCREENS = [("6:2", 40, "5:114"), ("6:3", 80, "2:42"), ("6:4", 110, "3:32"), ("6:5", 140, "1:2")]


def names(node, out):
    try:
        if node.name and node.getRoleName() not in ("text", "spin button", "combo box"):
            out.append((node.getRoleName(), node.name))
        for child in node:
            if child is not None:
                names(child, out)
    except Exception:
        pass
    return out


def press(node, description, modal=False):  # a modal one answers only once its popup is gone
    control = wait_for(description, lambda: find(node, lambda n: n.description == description))
    if modal:
        Atspi.set_timeout(300, 15000)
    try:
        control.queryAction().doAction(0)
    except GLib.Error:
        if not modal:
            raise
    finally:
        Atspi.set_timeout(800, 15000)  # the library's defaults


def popup(app, title, seen):  # reads it, then presses its button
    def box():
        return find(app, lambda n: n.name == title and n.getRoleName() in ("alert", "dialog"))
    shown = names(wait_for(f"the popup '{title}'", box), [])
    seen += shown
    find(box(), lambda n: n.getRoleName() == "push button").queryAction().doAction(0)
    wait_for("the popup to go", lambda: box() is None or names(box(), []) != shown)


texts = english_texts(sys.argv[1])
# A text with %1, %2 ... (the runtime's errors) matches with anything in their place.
english = [re.compile("^" + re.sub(r"%\d", ".+", re.escape(t)) + "$",
                      re.S) for t in texts.values()]
app = wait_for("the tool on the accessibility bus", tool)
title = "VELDIX-MID v1.0"
main_panel = wait_for("the main panel", lambda: find(app, lambda n: n.name == title))
about_text = texts[18].replace("&", "")
about_item = wait_for("the English menu", lambda: find(
    main_panel, lambda n: n.getRoleName() == "menu item" and n.name.replace("&", "") == about_text))
seen = names(main_panel, [])
about_item.queryAction().doAction(0)
about = wait_for("About", lambda: find(app, lambda n: n.name == texts[216]))
seen += names(about, [])
press(about, "4:6")
wait_for("About to go", lambda: find(app, lambda n: n.name == texts[216]) is None)

# Port 1 leads nowhere yet: the reason, then "no answer"; then it leads to the meter.
press(main_panel, "6:12", modal=True)
popup(app, texts[195], seen)
popup(app, texts[195], seen)
os.symlink(os.environ["VELDIX_E2E_METER"], os.environ["VELDIXMID_COM1"])
press(main_panel, "6:12")
wait_for("the screens' buttons", lambda: find(main_panel, lambda n: n.description == "6:2"
                                              ).getState().contains(pyatspi.STATE_ENABLED))
for button, title_text, exit_button in SCREENS:
    def screen():
        return find(app, lambda n: n.name == texts[title_text] and n.getRoleName() in WINDOWS)
    press(main_panel, button)
    seen += names(wait_for(texts[title_text], screen), [])
    press(screen(), exit_button)
    wait_for(f"{texts[title_text]} to go", lambda: screen() is None)

# The link traffic window, from the View menu (its count reads "<n> frames").
def log():
    return find(app, lambda n: n.name == texts[357] and n.getRoleName() in WINDOWS)
wait_for("the View menu's entry", lambda: find(
    main_panel, lambda n: n.getRoleName() == "menu item" and n.name.replace("&", "") == texts[356])
).queryAction().doAction(0)
seen += [(role, re.sub(r"^\d+ ", "", name)) for role, name in names(wait_for(texts[357], log), [])]
press(log(), "7:7")
wait_for(f"{texts[357]} to go", lambda: log() is None)

foreign = [(role, name) for role, name in seen
           if not any(e.match(name.replace("&", "")) or e.match(name.replace("&", "").replace("\n", " "))
                      for e in english) and not WORDLESS.match(name)]
print(f"{len(seen)} names seen; not in the English catalogue: {foreign}")
press(main_panel, "6:13")
sys.exit(1 if foreign or len(seen) < 200 else 0)

