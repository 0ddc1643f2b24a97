#!/usr/bin/env bash
# Sets the machine up when needed, builds vrn_tavo.exe for 32-bit Windows (the product, build/i686)
# and the 64-bit build that runs under Wine (build/x86_64), then runs the demo: the 64-bit agent
# obtains an identity from a local stand-in of the identity service and answers a local client.
# Exits with the agent's exit code.
set -euo pipefail
cd "$(dirname "$0")/.."

TAVO_DEPS_PREFIX="$(bash scripts/setup.sh --print-prefix)"
export TAVO_DEPS_PREFIX

cmake --preset product >/dev/null
cmake --build --preset product
cmake --preset tests >/dev/null
cmake --build --preset tests
echo "Built the 32-bit product: build/i686/bin/vrn_tavo.exe (not run: this machine cannot start 32-bit processes)"

exec python3 scripts/demo.py --build build/x86_64
