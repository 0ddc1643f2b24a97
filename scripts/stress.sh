#!/usr/bin/env bash
# Runs one test over and over while other test programs run in loops beside it, to show whether it
# passes or fails by chance under load. Needs the trees that scripts/test.sh builds, and no other
# test run in them.
#   bash scripts/stress.sh [--runs N] [--loaders N] TEST PROGRAM...
# TEST is a test's full ctest name (x86_64.IPCAgent.ListensOnLoopbackOnly); every run uses the
# command and folder that ctest gives it. Each of the loaders runs the PROGRAMs (whole test programs
# of the tree, such as tavologger_test.exe) one after another in the tree's own prefix, over and
# over; loader k begins with the k-th program, so with two programs half of them begin with each.
# Prints every run's result and time, and the crash server's confirmation line where the test
# prints one; the output of a failed run is kept. Exits non-zero when a run failed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/wineservers.sh

runs=50
loaders=12
while [ $# -gt 0 ]; do
    case "$1" in
        --runs) runs="$2"; shift 2 ;;
        --loaders) loaders="$2"; shift 2 ;;
        *) break ;;
    esac
done
if [ $# -lt 2 ]; then
    sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
fi
name="$1"
shift
programs=("$@")
BUILD="${TAVO_BUILD_DIR:-build}"
case "$name" in
    x86_64.*) tree="$BUILD/x86_64" ;;
    i686.*) tree="$BUILD/i686-tests" ;;
    *) echo "stress: $name names no width" >&2; exit 2 ;;
esac
tree="$(cd "$tree" && pwd)"

# The test's command, one word a line, then its working folder.
mapfile -t spec < <(ctest --test-dir "$tree" --show-only=json-v1 | python3 -c '
import json, sys
name = sys.argv[1]
tests = [t for t in json.load(sys.stdin)["tests"] if t["name"] == name]
if not tests:
    sys.exit("stress: no test " + name)
folder = [p["value"] for p in tests[0].get("properties", []) if p["name"] == "WORKING_DIRECTORY"]
print("\n".join(tests[0]["command"] + (folder or ["."])))' "$name")
[ ${#spec[@]} -gt 1 ] || exit 2
folder="${spec[-1]}"
command=("${spec[@]:0:${#spec[@]}-1}")

logs="$tree/stress"
mkdir -p "$logs"
: >"$logs/loaded"
loader_pids=()
finish() {
    for pid in "${loader_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    tavo_stop_wineservers
}
trap finish EXIT
tavo_start_wineservers "$tree"

for ((k = 0; k < loaders; k++)); do
    (
        for ((i = k; ; i++)); do
            "$tree/wine-run" "$tree/bin/${programs[i % ${#programs[@]}]}" </dev/null >/dev/null 2>&1 || true
            echo >>"$logs/loaded"
        done
    ) &
    loader_pids+=($!)
done

seconds() {
    echo "$(($1 / 1000)).$(printf %03d $(($1 % 1000))) s"
}
failed=0
longest=0
confirmations=()
for ((run = 1; run <= runs; run++)); do
    log="$logs/run-$run.log"
    started=$(date +%s%N)
    if (cd "$folder" && timeout 60 "${command[@]}") </dev/null >"$log" 2>&1; then
        result=passed
    else
        result=FAILED
        failed=$((failed + 1))
    fi
    ms=$((($(date +%s%N) - started) / 1000000))
    ((ms > longest)) && longest=$ms
    confirmation="$(grep -o 'crash server: .*' "$log" || true)"
    confirmed_ms="$(grep -o 'confirmed [0-9]* ms' <<<"$confirmation" | tr -dc 0-9 || true)"
    [ -z "$confirmed_ms" ] || confirmations+=("$confirmed_ms")
    echo "run $run: $result in $(seconds $ms) $confirmation"
    [ "$result" = FAILED ] && echo "  output kept in $log" || rm -f "$log"
done
echo "stress: $name failed $failed of $runs runs; longest run $(seconds $longest)"
echo "stress: the $loaders loaders finished $(wc -l <"$logs/loaded") test programs meanwhile"
if [ ${#confirmations[@]} -gt 0 ]; then
    sorted=($(printf '%s\n' "${confirmations[@]}" | sort -n))
    echo "stress: dumps confirmed ${sorted[0]} to ${sorted[-1]} ms after the request (${#sorted[@]} runs)"
fi
[ "$failed" = 0 ]
