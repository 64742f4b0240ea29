#!/usr/bin/env bash
# Looks for tests that fail by chance: runs the C++ suite (ctest) and the
# Python suite (pytest) N times (default 10), every second run beside a CPU
# load on both cores, and prints per test how often it failed. Needs a build
# made by scripts/test.sh. Results stay in a directory that it names.
#
#   bash scripts/flake_hunt.sh [N]
#
# TORVI_HUNT_SUITES    "cpp python" (default), or one of the two
# TORVI_HUNT_CTEST     extra ctest arguments, e.g. "-R Fault"
# TORVI_HUNT_PYTEST    extra pytest arguments, e.g. "tests/python/test_faults.py"
set -euo pipefail

runs="${1:-10}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${TORVI_VENV:-$root/.venv}"
build="${TORVI_BUILD_DIR:-$root/build}"
suites="${TORVI_HUNT_SUITES:-cpp python}"
results="$(mktemp -d "${TMPDIR:-/tmp}/flake_hunt.XXXXXX")"

"$venv/bin/cmake" --build "$build" >/dev/null

load_pids=()
start_load() {
    # One busy loop per core: the suites then compete for the CPU as they
    # do on a loaded CI machine.
    for _ in 1 2; do
        (while :; do :; done) &
        load_pids+=("$!")
    done
}
stop_load() {
    for pid in "${load_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${load_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    load_pids=()
}
trap stop_load EXIT

for run in $(seq 1 "$runs"); do
    label=quiet
    if [ $((run % 2)) -eq 0 ]; then
        label=loaded
        start_load
    fi
    echo "== run $run of $runs ($label)"
    if [[ " $suites " == *" cpp "* ]]; then
        # shellcheck disable=SC2086 # the extra arguments are words
        (cd "$build" && "$venv/bin/ctest" -j 2 --timeout 120 ${TORVI_HUNT_CTEST:-} \
            --output-junit "$results/$label-$run-cpp.xml" >"$results/$label-$run-cpp.log" 2>&1) ||
            true
        tail -n 1 "$results/$label-$run-cpp.log"
    fi
    if [[ " $suites " == *" python "* ]]; then
        # shellcheck disable=SC2086
        (cd "$root" && PYTHONPATH="$build/python" PATH="$build/tools:$PATH" \
            "$venv/bin/python" -m pytest -n 2 -p no:cacheprovider -q ${TORVI_HUNT_PYTEST:-} \
            --junitxml "$results/$label-$run-python.xml" >"$results/$label-$run-python.log" 2>&1) ||
            true
        tail -n 1 "$results/$label-$run-python.log"
    fi
    stop_load
done

echo "== failures per test over $runs runs (results in $results)"
"$venv/bin/python" - "$results" <<'EOF'
import collections
import pathlib
import sys
import xml.etree.ElementTree as ET

runs = collections.Counter()     # (suite, load) -> runs seen
failed = collections.Counter()   # (suite, test, load) -> failures
for report in sorted(pathlib.Path(sys.argv[1]).glob("*.xml")):
    load, _, suite = report.stem.split("-")
    runs[suite, load] += 1
    for case in ET.parse(report).iter("testcase"):
        if case.find("failure") is None and case.find("error") is None:
            continue
        name = case.get("name")
        if suite == "python":
            name = f"{case.get('classname')}::{name}"
        failed[suite, name, load] += 1

tests = sorted({(suite, name) for suite, name, _ in failed})
for suite in ("cpp", "python"):
    seen = runs[suite, "quiet"] + runs[suite, "loaded"]
    if seen:
        print(f"{suite}: {seen} runs ({runs[suite, 'quiet']} quiet, {runs[suite, 'loaded']} loaded)")
if not tests:
    print("no test failed")
for suite, name in tests:
    quiet, loaded = failed[suite, name, "quiet"], failed[suite, name, "loaded"]
    print(f"{quiet + loaded:3d} failed ({quiet} quiet, {loaded} loaded)  {suite}  {name}")
EOF
