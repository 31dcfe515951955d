#!/usr/bin/env python3
"""Checks that no source folder includes a header of a folder above it.

The folders stand in layers, lowest first; a folder may include its own headers and those
of lower layers, never those of a higher layer or of another folder on its own layer:

    platform  <  link, gps  <  dataport  <  receiver  <  receive  <  engine  <  app

engine/ (the panel without its window) owns the subsystems below it and knows nothing of
the window. gps/ (the NMEA receiver state) knows nothing of the command queue: the receiver's commands
that frame blocks live in receiver/, which may use both.

tools/ (the module emulator) may use the protocol framing of receiver/ and below, never the
panel's window or receive cycle. Tests, benchmarks and fuzz targets may include anything.

Usage: check_layers.py [ROOT]   (exit 1 and one line per include that breaks the order)
"""
import pathlib
import re
import sys

LAYERS = {"platform": 0, "link": 1, "gps": 1, "dataport": 2, "receiver": 3, "receive": 4,
          "engine": 5, "app": 6, "tools": 3.5}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([A-Za-z_]+)/')


def violations(root: pathlib.Path):
    for folder, level in LAYERS.items():
        for path in sorted((root / folder).rglob("*")):
            if path.suffix not in (".h", ".cpp"):
                continue
            for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
                match = INCLUDE.match(line)
                if not match or match.group(1) == folder or match.group(1) not in LAYERS:
                    continue
                target = match.group(1)
                if LAYERS[target] >= level:
                    yield f"{path.relative_to(root)}:{number}: {folder} must not include {target}/"


def main() -> int:
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    found = list(violations(root))
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
