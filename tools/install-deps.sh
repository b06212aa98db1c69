#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if missing.
set -euo pipefail

packages=(cmake ninja-build g++ make pkg-config python3
          libgtest-dev libgmock-dev libbenchmark-dev
          libssl-dev zlib1g-dev libpcap-dev libtomlplusplus-dev libcli11-dev libedit-dev
          g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686
          tshark)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
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
