# Sourced by the commands that run tests. One persistent wineserver for each prefix of a test tree
# (its own, and the one for the tests whose crash server dumps another process; see
# tests/CMakeLists.txt), warmed once with nothing attached to the caller's pipes: every test
# process then starts warm, and no Wine helper keeps a caller waiting on an inherited pipe.

TAVO_WINESERVER=/usr/lib/wine/wineserver64
export WINEDEBUG=-all
tavo_started_prefixes=()

# Starts the wineservers of build tree $1, one for the prefix of each of its wrappers (wine-run*);
# fails when one already serves a prefix of it.
tavo_start_wineservers() {
    local runner prefix
    for runner in "$1"/wine-run*; do
        prefix="$(sed -n 's/^export WINEPREFIX="\(.*\)"$/\1/p' "$runner")"
        mkdir -p "$prefix"
        if ! WINEPREFIX="$prefix" "$TAVO_WINESERVER" -p </dev/null >/dev/null 2>&1; then
            echo "a wineserver already serves $prefix (another test run in this tree?)" >&2
            return 1
        fi
        tavo_started_prefixes+=("$prefix")
        "$runner" cmd /c exit </dev/null >/dev/null 2>&1
    done
}

# Stops every wineserver started above, and with it every Wine process of its prefix.
tavo_stop_wineservers() {
    local prefix
    for prefix in "${tavo_started_prefixes[@]}"; do
        WINEPREFIX="$prefix" "$TAVO_WINESERVER" -k >/dev/null 2>&1 || true
    done
}
