#!/usr/bin/env python3
# Splits a callgrind profile's instructions (self cost per function) into
# the driver's own (functions in its folders), the card model and radio
# world (sim/), the wrapper stand-in (platform/), and the rest (C library,
# C++ runtime, the benchmark).
#   driver_share.py callgrind.out [FRAMES]
import re
import subprocess
import sys

GROUPS = [
    ("driver", ("driver/", "mac/", "mgmt/", "datapath/", "wep/", "download/")),
    ("card model and world", ("sim/",)),
    ("wrapper stand-in", ("platform/",)),
]

out = subprocess.run(["callgrind_annotate", "--inclusive=no", "--auto=no", "--threshold=100", sys.argv[1]],
                     capture_output=True, text=True, check=True).stdout
frames = int(sys.argv[2]) if len(sys.argv) > 2 else 1
totals = {name: 0 for name, _ in GROUPS}
totals["other"] = 0
row = re.compile(r"^\s*([\d,]+)\s+\([^)]*\)\s+([^:]+):")
for line in out.splitlines():
    m = row.match(line)
    if not m or "PROGRAM TOTALS" in line:
        continue
    ir = int(m.group(1).replace(",", ""))
    where = m.group(2)
    for name, prefixes in GROUPS:
        if any(where.startswith(p) or ("/" + p) in where for p in prefixes):
            totals[name] += ir
            break
    else:
        totals["other"] += ir
for name, ir in totals.items():
    print(f"{name:22s} {ir:14,d}  {ir / frames:12,.0f} per frame")
