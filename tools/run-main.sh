#!/usr/bin/env bash
# The main job: build talsim and run it on the example adapter.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
bash tools/configure.sh default build
cmake --build --preset default -j "$(nproc)" --target talsim
./build/tools/talsim config examples/adapter.reg
