#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if missing.
# clang and its runtime libraries (libFuzzer, the sanitizers) are for the
# fuzz targets; nothing else needs them.
set -euo pipefail

packages=(cmake ninja-build g++ make pkg-config python3
          libgtest-dev libgmock-dev libbenchmark-dev
          libssl-dev zlib1g-dev libpcap-dev libtomlplusplus-dev libcli11-dev libedit-dev
          g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686
          tshark clang libclang-rt-dev)

# One query for every package: with all of them present this is the whole run.
installed=$(dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>/dev/null |
            awk '$2 == "install" && $3 == "ok" && $4 == "installed" { print $1 }' || true)
missing=()
for p in "${packages[@]}"; do
    grep -qxF "$p" <<<"$installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

run=()
if [ "$(id -u)" -ne 0 ]; then
    run=(sudo)
fi
echo "Installing: ${missing[*]}"
"${run[@]}" apt-get update -qq
"${run[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
