#!/usr/bin/env bash
# The main job: build talsim and run it on the example adapter.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target talsim
./build/tools/talsim config examples/adapter.reg
