"""Prints what a screen reader sees of one application as JSON: every accessible object
of its windows with name, role, description and states, and for tables their row count
and column headers. Run as the desktop's user on its session bus (the accessibility bus
is found through it) by a Python that has pyatspi:

    atspi_dump.py APP_NAME

Exits 2 when the application is not on the accessibility bus.
"""
import json
import sys

import pyatspi


def node(acc, depth=0):
    states = acc.getState()
    out = {
        "name": acc.name,
        "role": acc.getRoleName(),
        "description": acc.description,
        "focused": states.contains(pyatspi.STATE_FOCUSED),
        "focusable": states.contains(pyatspi.STATE_FOCUSABLE),
        "showing": states.contains(pyatspi.STATE_SHOWING),
        "children": [],
    }
    try:
        table = acc.queryTable()
        out["rows"] = table.nRows
        out["headers"] = [table.getColumnDescription(c) for c in range(table.nColumns)]
    except NotImplementedError:
        pass
    # A table's cells are many and say nothing the headers do not.
    if depth < 25 and "rows" not in out:
        for i in range(acc.childCount):
            child = acc.getChildAtIndex(i)
            if child is not None:
                out["children"].append(node(child, depth + 1))
    return out


def main(name):
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is not None and app.name == name:
            print(json.dumps(node(app)))
            return 0
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
