#!/usr/bin/env bash
# Benchmark of the 64-bit vrn_tavo.exe under Wine against the identity-service stand-in; prints one
# line per figure (about 70 seconds). Not part of the test run. It binds port 60110 like the tests:
# where other runs may use the port, start it under flock /tmp/tavo-port-60110.lock.
set -euo pipefail
cd "$(dirname "$0")/.."

TAVO_DEPS_PREFIX="$(bash scripts/setup.sh --print-prefix)"
export TAVO_DEPS_PREFIX
cmake --preset tests >/dev/null
cmake --build --preset tests >/dev/null

exec python3 scripts/bench.py --build build/x86_64
