# Sourced by the interop scripts: arguments TALSIM EXAMPLES_DIR, a scratch
# folder removed at exit, tshark required, fail() to stop with a message.
set -euo pipefail
talsim=$1
examples=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if ! command -v tshark >/dev/null; then
    echo "tshark is missing: tools/install-deps.sh installs it" >&2
    exit 1
fi
fail() { echo "FAIL: $*" >&2; exit 1; }
