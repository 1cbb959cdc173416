#!/usr/bin/python3
"""With English chosen: every name the main panel, its menus and About show over AT-SPI is an
English text of language.ini (or has no words: numbers, units, product and version), then
quits with the quit button. Usage: english_atspi.py LANGUAGE_INI"""
import re
import sys

import pyatspi

from drive_atspi import find, tool, wait_for


def english_texts(path):
    text = open(path, "rb").read().decode("cp1252")
    section = text.split("[English]", 1)[1]
    return {m.group(1).strip().replace("\\n", "\n")
            for m in re.finditer(r"(?m)^\d{4} = (.*?)\r?$", section)}


WORDLESS = re.compile(r"^([^a-z]*|VELDIX-MID v1\.0|v1\.0|VELDIXMID|VELDIX-MID tool team|"
                      r"VELDIX-MID 2026|Bit \d+|"
                      r"\d+: (/dev/|COM)\S*( - .*)?)$")  # a serial port present: what the system says


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


def main():
    english = english_texts(sys.argv[1])
    app = wait_for("the tool on the accessibility bus", tool)
    main_panel = wait_for("the main panel", lambda: find(app, lambda n: n.name == "VELDIX-MID v1.0"))
    wait_for("the English menu", lambda: find(main_panel, lambda n: n.getRoleName() == "menu item"
                                              and n.name.replace("&", "") == "About VELDIX-MID..."))
    about_item = find(main_panel, lambda n: n.getRoleName() == "menu item"
                      and n.name.replace("&", "") == "About VELDIX-MID...")
    about_item.queryAction().doAction(0)
    about = wait_for("About", lambda: find(app, lambda n: n.name == "About VELDIX-MID"))
    seen = names(main_panel, []) + names(about, [])
    foreign = [(role, name) for role, name in seen
               if name.replace("&", "").replace("\n", " ") not in english
               and name.replace("&", "") not in english and not WORDLESS.match(name)]
    print(f"{len(seen)} names seen; not in the English catalogue: {foreign}")
    close = find(about, lambda n: n.description == "4:6")
    close.queryAction().doAction(0)
    wait_for("About to go", lambda: find(app, lambda n: n.name == "About VELDIX-MID") is None)
    find(main_panel, lambda n: n.description == "6:13").queryAction().doAction(0)
    sys.exit(1 if foreign or len(seen) < 20 else 0)


if __name__ == "__main__":
    main()
