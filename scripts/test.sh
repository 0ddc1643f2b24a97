#!/usr/bin/env bash
# Sets the machine up when needed, builds the product and the test builds, and runs the whole suite
# under Wine: the 64-bit build under wine64 and, where the machine can start 32-bit programs, the
# 32-bit build under Wine's 32-bit loader, each in prefixes of its own, in one ctest run. Arguments go
# to ctest (for example -R Logger). TAVO_BUILD_DIR moves the build trees (default: build). Exits
# non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/widths.sh
source scripts/wineservers.sh

TAVO_DEPS_PREFIX="$(bash scripts/setup.sh --print-prefix)"
export TAVO_DEPS_PREFIX
BUILD="${TAVO_BUILD_DIR:-build}"

cmake --preset product -B "$BUILD/i686" >/dev/null
cmake --build "$BUILD/i686"
trees=(x86_64)
cmake --preset tests -B "$BUILD/x86_64" >/dev/null
cmake --build "$BUILD/x86_64"
if tavo_can_start_32bit "$BUILD"; then
    # The whole-program tests of the 32-bit run start the product itself.
    cmake --preset tests-i686 -B "$BUILD/i686-tests" -DTAVO_AGENT_EXE="$PWD/$BUILD/i686/bin/vrn_tavo.exe" >/dev/null
    cmake --build "$BUILD/i686-tests"
    trees+=(i686-tests)
else
    echo "test: $TAVO_NO_32BIT; the 32-bit run of the suite is left out" >&2
fi

trap tavo_stop_wineservers EXIT
for tree in "${trees[@]}"; do
    tavo_start_wineservers "$BUILD/$tree"

    # The WMI stand-in serves CLSID_WbemLocator in the test prefix, in the registry view of the
    # tree's width. A test process that names no fixture gets Wine's own WMI through it
    # (tests/support/wmiprovider/README.md).
    view=/reg:64
    [ "$tree" = x86_64 ] || view=/reg:32
    provider="Z:$(realpath "$BUILD/$tree/bin/wmiprovider.dll" | tr / '\\')"
    "$BUILD/$tree/wine-run" reg add 'HKLM\Software\Classes\CLSID\{4590F811-1D3A-11D0-891F-00AA004B2E24}\InprocServer32' \
        /ve /d "$provider" /f "$view" </dev/null >/dev/null
done

# Both trees in one ctest run, so that the tests that share the fixed port, "DataDir" or the sibling
# products' values never overlap, whichever width they belong to. Test names and
# labels begin with the tree's width.
{
    echo "# Written by scripts/test.sh: the test trees of this run."
    for tree in "${trees[@]}"; do
        echo "subdirs(\"$tree\")"
    done
} >"$BUILD/CTestTestfile.cmake"

# A Wine process now and then stays alive after its test has passed and printed its result; a test
# that times out is run once more (a failure is never repeated).
ctest --test-dir "$BUILD" -j8 --output-on-failure --timeout 60 --repeat after-timeout:2 "$@"
