#!/usr/bin/env bash
# Sets the machine up when needed and builds vrn_tavo.exe for 32-bit Windows.
set -euo pipefail
cd "$(dirname "$0")/.."

TAVO_DEPS_PREFIX="$(bash scripts/setup.sh --print-prefix)"
export TAVO_DEPS_PREFIX

cmake --preset product >/dev/null
cmake --build --preset product
