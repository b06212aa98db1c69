#!/usr/bin/env python3
"""The include rule among the driver folders.

usage: check_folders.py SOURCE_ROOT

Reads every #include of the driver folders' sources and headers and fails,
naming file and line, when one reaches outside what its folder may see:

  mac/       the adapter record (driver/taladapter.h, driver/talplat.h)
  wep/       mac/
  mgmt/      mac/, wep/, datapath/
  datapath/  mac/, wep/, mgmt/
  download/  mac/, mgmt/, datapath/
  driver/    every driver folder

Every folder may include its own headers and the adapter record; the
platform's declarations come only through driver/talplat.h; no driver file
includes a system header. mgmt/ and datapath/ see each other (the event
loop reads information frames; a card reset and the vendor request go
through the transmit path); the graph has no other cycle.
"""
import pathlib
import re
import sys

FOLDERS = ("driver", "mac", "mgmt", "datapath", "wep", "download")
SEES = {
    "mac": set(),
    "wep": {"mac"},
    "mgmt": {"mac", "wep", "datapath"},
    "datapath": {"mac", "wep", "mgmt"},
    "download": {"mac", "mgmt", "datapath"},
    "driver": set(FOLDERS),
}
RECORD = {"driver/taladapter.h", "driver/talplat.h"}
# The selector's two platforms: the host declarations and the NT wrapper.
PLATFORM = {"hostndis.h", "ntndis.h"}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def faults_of(root, path):
    folder = path.parent.name
    here = path.relative_to(root).as_posix()
    for number, line in enumerate(path.read_text().splitlines(), 1):
        m = INCLUDE.match(line)
        if not m:
            continue
        kind, name = m.groups()
        where = f"{here}:{number}: "
        if kind == "<":
            yield where + f"<{name}>: a driver file includes no system header"
            continue
        if "/" not in name:
            if (path.parent / name).exists():
                continue
            if here == "driver/talplat.h" and name in PLATFORM:
                continue
            yield where + f'"{name}" is neither in {folder}/ nor the platform selector\'s'
            continue
        target = name.split("/", 1)[0]
        if target not in FOLDERS:
            yield where + f'"{name}" is outside the driver folders'
        elif target != folder and name not in RECORD and target not in SEES[folder]:
            yield where + f'"{name}": {folder}/ does not see {target}/'


def main():
    root = pathlib.Path(sys.argv[1]).resolve()
    files = [p for d in FOLDERS for p in sorted((root / d).iterdir())
             if p.suffix in (".h", ".cpp")]
    faults = [f for p in files for f in faults_of(root, p)]
    for f in faults:
        print(f)
    print(f"{len(files)} driver files, {len(faults)} includes against the rule")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
