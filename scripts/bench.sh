#!/usr/bin/env bash
# Benchmark of vrn_tavo.exe under Wine against the identity-service stand-in: the 32-bit product
# under Wine's 32-bit loader (where the machine can start 32-bit programs) and the 64-bit build under
# wine64, each beside a bare echo program of its own width; prints one table, a column per build
# (about 70 seconds per build). Not part of the test run. It binds port 60110 like the tests: where
# other runs may use the port, start it under flock /tmp/tavo-port-60110.lock.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/widths.sh

TAVO_DEPS_PREFIX="$(bash scripts/setup.sh --print-prefix)"
export TAVO_DEPS_PREFIX
runs=()
if tavo_can_start_32bit build; then
    cmake --preset product >/dev/null
    cmake --build --preset product >/dev/null
    cmake --preset tests-i686 >/dev/null
    cmake --build --preset tests-i686 --target trustca wmiprovider udpbench >/dev/null
    runs+=(--run "32-bit product (i686)" build/i686-tests build/i686/bin/vrn_tavo.exe)
else
    echo "bench: $TAVO_NO_32BIT; measuring the 64-bit build alone" >&2
fi
cmake --preset tests >/dev/null
cmake --build --preset tests --target vrn_tavo trustca wmiprovider udpbench >/dev/null
runs+=(--run "64-bit build (x86_64)" build/x86_64 build/x86_64/bin/vrn_tavo.exe)

exec python3 scripts/bench.py "${runs[@]}"
