#!/usr/bin/env bash
# Sets the machine up when needed, builds vrn_tavo.exe for 32-bit Windows (the product, build/i686)
# and runs the demo: the agent obtains an identity from a local stand-in of the identity service and
# answers a local client. The demo runs the product itself under Wine's 32-bit loader where the
# machine can start 32-bit programs, and the 64-bit build of the same sources (build/x86_64)
# otherwise. Exits with the agent's exit code.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/widths.sh

TAVO_DEPS_PREFIX="$(bash scripts/setup.sh --print-prefix)"
export TAVO_DEPS_PREFIX

cmake --preset product >/dev/null
cmake --build --preset product
# The test CA helper and the WMI test provider come from a test build of the same width.
if tavo_can_start_32bit build; then
    cmake --preset tests-i686 >/dev/null
    cmake --build --preset tests-i686 --target trustca wmiprovider
    echo "Running the 32-bit product build/i686/bin/vrn_tavo.exe under Wine's 32-bit loader"
    exec python3 scripts/demo.py --build build/i686-tests --exe build/i686/bin/vrn_tavo.exe
fi
cmake --preset tests >/dev/null
cmake --build --preset tests --target vrn_tavo trustca wmiprovider
echo "Built the 32-bit product build/i686/bin/vrn_tavo.exe, but $TAVO_NO_32BIT;"
echo "running the 64-bit build of the same sources, build/x86_64/bin/vrn_tavo.exe, under wine64"
exec python3 scripts/demo.py --build build/x86_64 --exe build/x86_64/bin/vrn_tavo.exe
