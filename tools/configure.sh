#!/usr/bin/env bash
# Configures the host build of a preset: tools/configure.sh PRESET BUILD_DIR.
# A build folder another generator made (before the presets named Ninja) is
# configured afresh rather than refused.
set -euo pipefail
cd "$(dirname "$0")/.."
fresh=()
cache=$2/CMakeCache.txt
if [ -f "$cache" ] && ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$cache"; then
    fresh=(--fresh)
fi
cmake --preset "$1" "${fresh[@]}" >/dev/null
