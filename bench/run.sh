#!/usr/bin/env bash
# The benchmark: builds the module, the virtual device and the two bench
# programs, prepares a bench virtual environment with pyserial, and runs
# bench/run.py, which prints the table and writes bench/results/*.json, then
# bench/chart.py, which draws bench/results/latest.png from latest.json, then
# bench/mesh.py, the cost of triangle meshes (bench/results/mesh-latest.*),
# then bench/guidance.py, the cost of guidance and gentle forces
# (bench/results/guidance-latest.*), then bench/passivity.py, the
# stable-stiffness map with passivity off and on (bench/results/passivity-latest.*),
# then bench/physics.py, what a physics scene costs the loop
# (bench/results/physics-latest.*).
# then bench/streams.py, the record's readers and the LSL streams
# (bench/results/streams-latest.*).
#
#   bash bench/run.sh [--repeats N] [--seconds S] [--quiet-wait S]
#   bash bench/run.sh --test     checks of the bench itself (pytest)
#   bash bench/run.sh --mesh     the mesh bench alone (bench/mesh.py)
#   bash bench/run.sh --guidance the guidance bench alone (bench/guidance.py)
#   bash bench/run.sh --passivity the stable-stiffness map alone (bench/passivity.py)
#   bash bench/run.sh --physics  the physics scenes alone (bench/physics.py)
#   bash bench/run.sh --view     what the live view costs the loop and what reaches
#                                a headless Chromium page (bench/view.py; not part of
#                                the full run: it needs the browser)
#   bash bench/run.sh --streams  the readers and the LSL streams alone (bench/streams.py)
#   bash bench/run.sh --alternate [--alternate-rounds N] [--alternate-seconds S]
#                                the C client against the native loop and the
#                                module in alternate rounds alone (bench/alternate.py)
#
# TORVI_VENV (default .venv) is the project's environment, used to build;
# TORVI_BUILD_DIR (default build) the build directory. The bench environment
# lives in $TORVI_BUILD_DIR/bench-venv: it is made from the project
# environment's interpreter, so the module built for that interpreter loads
# in it, and pyserial is installed there only.
set -euo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"

[ -x "$python" ] || bash "$root/scripts/bootstrap.sh"

echo "== building the module, the virtual device and the bench programs" >&2
configure default "$build"
"$cmake" --build "$build" --target TorviHardwareAPI_python torvi-virtual-device \
    torvi-bench-client torvi-bench-kinematics torvi-bench-mesh torvi-bench-guidance \
    torvi-bench-ring >/dev/null
tools="$build/bench"

bench_venv="$build/bench-venv"
make_venv "$bench_venv" "$python"
# install NAME: bench/NAME into the bench environment, once.
install() {
    if requirements_changed "$bench_venv" "$root/bench/$1"; then
        echo "== installing bench/$1 into $bench_venv" >&2
        install_requirements "$bench_venv" "$root/bench/$1"
    fi
}
install requirements.txt

export PYTHONPATH="$build/python:$root/src:$root/bench"
if [ "${1:-}" = "--test" ]; then
    install requirements-test.txt
    shift
    cd "$root"
    TORVI_BENCH_TOOLS="$tools" TORVI_VIRTUAL_DEVICE="$build/tools/torvi-virtual-device" \
        exec "$bench_venv/bin/python" -m pytest -p no:cacheprovider "$root/bench/test_bench.py" "$@"
fi
mesh() {
    echo "== the mesh bench" >&2
    "$bench_venv/bin/python" "$root/bench/mesh.py" --program "$tools/torvi-bench-mesh"
}
guidance() {
    echo "== the guidance bench" >&2
    "$bench_venv/bin/python" "$root/bench/guidance.py" --program "$tools/torvi-bench-guidance" \
        --virtual-device "$build/tools/torvi-virtual-device"
}
passivity() {
    echo "== the passivity bench" >&2
    "$bench_venv/bin/python" "$root/bench/passivity.py" \
        --virtual-device "$build/tools/torvi-virtual-device"
}
physics() {
    echo "== the physics bench" >&2
    "$bench_venv/bin/python" "$root/bench/physics.py" \
        --virtual-device "$build/tools/torvi-virtual-device"
}
if [ "${1:-}" = "--physics" ]; then
    physics
    exit
fi
if [ "${1:-}" = "--view" ]; then
    install requirements-view.txt
    echo "== the view bench" >&2
    exec "$bench_venv/bin/python" "$root/bench/view.py" \
        --virtual-device "$build/tools/torvi-virtual-device"
fi
streams() {
    echo "== the readers and streams bench" >&2
    "$bench_venv/bin/python" "$root/bench/streams.py" \
        --virtual-device "$build/tools/torvi-virtual-device" --ring-program "$tools/torvi-bench-ring"
}
if [ "${1:-}" = "--passivity" ]; then
    passivity
    exit
fi
if [ "${1:-}" = "--streams" ]; then
    streams
    exit
fi
if [ "${1:-}" = "--mesh" ]; then
    mesh
    exit
fi
if [ "${1:-}" = "--guidance" ]; then
    guidance
    exit
fi
if [ "${1:-}" = "--alternate" ]; then
    shift
    exec "$bench_venv/bin/python" "$root/bench/run.py" --alternate-only \
        --tools "$tools" --virtual-device "$build/tools/torvi-virtual-device" "$@"
fi
echo "== running" >&2
"$bench_venv/bin/python" "$root/bench/run.py" \
    --tools "$tools" --virtual-device "$build/tools/torvi-virtual-device" "$@"
# The chart of the run, beside latest.md.
"$bench_venv/bin/python" "$root/bench/chart.py" \
    "$root/bench/results/latest.json" "$root/bench/results/latest.png" >&2
mesh
guidance
passivity
physics
streams
