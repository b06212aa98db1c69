#!/usr/bin/env bash
# The main job: build talsim and run its demo: the driver, loaded through
# DriverEntry, brings the example adapter up in the default radio world.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
bash tools/configure.sh default build
cmake --build --preset default -j "$(nproc)" --target talsim
./build/tools/talsim demo
