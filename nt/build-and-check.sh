#!/bin/sh
# Builds the NT target and checks what it produced:
#   1. configure and build nt/ in build-nt (or $TAL_NT_BUILD_DIR);
#   2. build it a second time from a copy of the driver sources in another
#      folder and compare the outputs byte for byte (reproducibility);
#   3. nt/check-image.py on the driver archive and, once DriverEntry exists
#      and tal.sys links, on tal.sys.
# Exits non-zero with a message naming the failed step.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${TAL_NT_BUILD_DIR:-$root/build-nt}
allow=$here/imports.allow

fail() {
    echo "build-and-check: FAILED: $*" >&2
    exit 1
}

for tool in cmake ninja i686-w64-mingw32-g++ i686-w64-mingw32-objdump python3; do
    command -v "$tool" >/dev/null 2>&1 ||
        fail "$tool not found (apt-get install cmake ninja-build g++-mingw-w64-i686 mingw-w64-i686-dev python3)"
done
[ -f /usr/i686-w64-mingw32/include/ddk/ndis.h ] ||
    fail "/usr/i686-w64-mingw32/include/ddk/ndis.h not found (apt-get install mingw-w64-i686-dev)"

# build_tree SOURCE_ROOT BUILD_DIR: configure and build nt/ of SOURCE_ROOT.
build_tree() {
    cmake -S "$1/nt" -B "$2" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$1/nt/toolchain-i686-mingw.cmake" >"$2.configure.log" 2>&1 || {
        cat "$2.configure.log" >&2
        fail "configuring the NT target in $2"
    }
    cmake --build "$2" || fail "building the NT target in $2 (see the compiler output above)"
}

# stage_value BUILD_DIR KEY: what the build wrote into tal-nt-stage.txt.
stage_value() {
    sed -n "s/^$2=//p" "$1/tal-nt-stage.txt"
}

echo "== NT target: build in $build"
mkdir -p "$build"
build_tree "$root" "$build"
archive=$(stage_value "$build" archive)
image=$(stage_value "$build" image)

echo "== NT target: second build from a copy of the sources (reproducibility)"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tal-nt-repro.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/src"
for dir in driver mac mgmt datapath wep download nt; do
    cp -R "$root/$dir" "$scratch/src/$dir"
done
build_tree "$scratch/src" "$scratch/build"
archive2=$(stage_value "$scratch/build" archive)
image2=$(stage_value "$scratch/build" image)
cmp "$archive" "$archive2" ||
    fail "the driver archive differs between two builds of the same sources ($archive, $archive2)"
if [ -n "$image" ]; then
    [ -n "$image2" ] || fail "the second build did not link tal.sys"
    cmp "$image" "$image2" ||
        fail "tal.sys differs between two builds of the same sources ($image, $image2)"
fi
echo "identical: $(basename "$archive")${image:+ and $(basename "$image")}"

echo "== NT target: checking the driver objects against $(basename "$allow")"
python3 "$here/check-image.py" archive "$archive" "$allow" ||
    fail "the driver archive $archive (see the FAIL lines above)"
echo "ok: only allowed calls, no C++ runtime, no static constructors, no floating point"

if [ -n "$image" ]; then
    echo "== NT target: checking $image"
    python3 "$here/check-image.py" image "$image" "$allow" ||
        fail "the kernel image $image (see the FAIL lines above)"
    echo "ok: PE32 i386 native image, entry DriverEntry, relocations, checksum, allowed imports only"
else
    echo "== NT target: no DriverEntry yet: tal.sys is not linked, image checks skipped"
fi
echo "build-and-check: NT target OK"
