#!/usr/bin/env bash
# The benchmark: builds the module, the virtual device and the two bench
# programs, prepares a bench virtual environment with pyserial, and runs
# bench/run.py, which prints the table and writes bench/results/*.json.
#
#   bash bench/run.sh [--repeats N] [--seconds S] [--quiet-wait S]
#   bash bench/run.sh --test     checks of the bench itself (pytest)
#
# TORVI_VENV (default .venv) is the project's environment, used to build;
# TORVI_BUILD_DIR (default build) the build directory. The bench environment
# lives in $TORVI_BUILD_DIR/bench-venv: it is made from the project
# environment's interpreter, so the module built for that interpreter loads
# in it, and pyserial is installed there only.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${TORVI_VENV:-$root/.venv}"
build="${TORVI_BUILD_DIR:-$root/build}"
python="$venv/bin/python"

[ -x "$python" ] || bash "$root/scripts/bootstrap.sh"

echo "== building the module and the virtual device" >&2
"$venv/bin/cmake" -S "$root" -B "$build" -G Ninja \
    -DPython_EXECUTABLE="$python" \
    -Dpybind11_DIR="$("$python" -m pybind11 --cmakedir)" >/dev/null
"$venv/bin/cmake" --build "$build" --target TorviHardwareAPI_python torvi-virtual-device >/dev/null

echo "== building the bench programs" >&2
tools="$build/bench"
mkdir -p "$tools"
cc_flags=(-O2 -Wall -Wextra)
"${CC:-cc}" "${cc_flags[@]}" -o "$tools/torvi-bench-client" "$root/bench/c_client.c" -lm
"${CXX:-c++}" "${cc_flags[@]}" -std=c++17 -I"$root/Library/include" \
    -o "$tools/torvi-bench-kinematics" "$root/bench/kinematics_cost.cpp" \
    "$build/Library/libTorviHardwareAPI.a" -lpthread

bench_venv="$build/bench-venv"
if [ ! -x "$bench_venv/bin/python" ]; then
    echo "== creating the bench environment $bench_venv" >&2
    "$python" -m venv "$bench_venv"
fi
install() {
    local requirements="$root/bench/$1" stamp="$bench_venv/.$1"
    if ! cmp -s "$requirements" "$stamp"; then
        echo "== installing bench/$1 into $bench_venv" >&2
        "$bench_venv/bin/python" -m pip install -q -r "$requirements"
        cp "$requirements" "$stamp"
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
echo "== running" >&2
exec "$bench_venv/bin/python" "$root/bench/run.py" \
    --tools "$tools" --virtual-device "$build/tools/torvi-virtual-device" "$@"
