#!/usr/bin/env bash
# Sets the machine up when needed, builds the product and the test build, and runs the whole suite
# under Wine. Arguments go to ctest (for example -R Logger). TAVO_BUILD_DIR moves the build trees
# (default: build). Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

TAVO_DEPS_PREFIX="$(bash scripts/setup.sh --print-prefix)"
export TAVO_DEPS_PREFIX
BUILD="${TAVO_BUILD_DIR:-build}"

cmake --preset product -B "$BUILD/i686" >/dev/null
cmake --build "$BUILD/i686"
cmake --preset tests -B "$BUILD/x86_64" >/dev/null
cmake --build "$BUILD/x86_64"

# One persistent wineserver for the run, warmed once with nothing attached to ctest's pipes: every
# test process then starts warm, and no Wine helper keeps ctest waiting on an inherited pipe.
export WINEPREFIX="$PWD/$BUILD/x86_64/wineprefix" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
WINESERVER=/usr/lib/wine/wineserver64
[ -x "$WINESERVER" ] || WINESERVER=wineserver
mkdir -p "$WINEPREFIX"
if ! "$WINESERVER" -p </dev/null >/dev/null 2>&1; then
    echo "test: a wineserver already serves $WINEPREFIX (another test run in this tree?)" >&2
    exit 1
fi
trap '"$WINESERVER" -k >/dev/null 2>&1 || true' EXIT
"$BUILD/x86_64/wine-run" cmd /c exit </dev/null >/dev/null 2>&1

# The WMI stand-in serves CLSID_WbemLocator in the test prefix. A test process that names no
# fixture gets Wine's own WMI through it (tests/support/wmiprovider/README.md).
PROVIDER="Z:$(realpath "$BUILD/x86_64/bin/wmiprovider.dll" | tr / '\\')"
"$BUILD/x86_64/wine-run" reg add 'HKLM\Software\Classes\CLSID\{4590F811-1D3A-11D0-891F-00AA004B2E24}\InprocServer32' \
    /ve /d "$PROVIDER" /f /reg:64 </dev/null >/dev/null

# A Wine process now and then stays alive after its test has passed and printed its result; a test
# that times out is run once more (a failure is never repeated).
ctest --test-dir "$BUILD/x86_64" -j8 --output-on-failure --timeout 60 --repeat after-timeout:2 "$@"
