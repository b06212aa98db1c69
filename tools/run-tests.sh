#!/usr/bin/env bash
# Every test from scratch: host build, sanitizer build, NT target and its
# image check.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh

jobs=$(nproc)

echo "== host build and tests"
bash tools/configure.sh default build
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs"

echo "== sanitizer build and tests"
bash tools/configure.sh asan build-asan
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"

if [ -x nt/build-and-check.sh ]; then
    echo "== NT target and image check"
    nt/build-and-check.sh
fi
