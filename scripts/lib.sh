# What the scripts under scripts/ and bench/ share; sourced, never run:
#   . "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
#
# It sets
#   root    the repository
#   venv    the project's virtual environment: $TORVI_VENV, default .venv
#   python  its interpreter, which the module is built for
#   cmake   the cmake of that environment (requirements-dev.txt installs it)
#   build   the build tree of the default preset: $TORVI_BUILD_DIR, default build
#   check_tools  the environment of requirements-check.txt (sdist builder, stub
#           generator, mypy), kept in the build tree between runs

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${TORVI_VENV:-$root/.venv}"
python="$venv/bin/python"
cmake="$venv/bin/cmake"
build="${TORVI_BUILD_DIR:-$root/build}"
check_tools="$build/package-check-venv"

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

apt_install() {
    echo "== installing $* from Debian's packages"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

# make_venv DIR BASE_PYTHON: a virtual environment at DIR unless there is one.
# The folder holding DIR is locked meanwhile, so that two scripts started at
# once do not build the same environment over each other.
make_venv() {
    mkdir -p "$(dirname "$1")"
    flock "$(dirname "$1")" bash -c '
        if [ ! -x "$1/bin/python" ]; then
            echo "== creating the virtual environment $1" >&2
            "$2" -m venv "$1"
        fi' make_venv "$1" "$2"
}

# ensure_compiler_and_venv: what building the module with pip needs, and no
# more: g++ from Debian's packages where it is missing, and the project's
# virtual environment. pip fetches the build packages itself.
ensure_compiler_and_venv() {
    command -v g++ >/dev/null || apt_install g++
    make_venv "$venv" python3
}

# install_module: builds a wheel of the tree in a private temporary folder
# and installs it into the environment under a lock, so that two installs at
# once neither share a build folder nor replace the module under each
# other. The install itself (a second or so) ignores Ctrl-C: pip does not
# put back what it removed when interrupted, which would leave the module
# without torvi-virtual-device. The long wheel build may be interrupted.
install_module() {
    local scratch status=0
    scratch="$(mktemp -d "${TMPDIR:-/tmp}/torvi-wheel.XXXXXX")"
    # shellcheck disable=SC2064 # the folder is known now
    trap "rm -rf '$scratch'" EXIT
    "$python" -m pip wheel -q --no-deps "$root" -w "$scratch/dist" \
        --config-settings=build-dir="$scratch/build" &&
        (
            trap '' INT
            flock "$venv" \
                "$python" -m pip install -q --no-deps --force-reinstall "$scratch"/dist/*.whl
        ) ||
        status=$?
    rm -rf "$scratch"
    trap - EXIT
    return "$status"
}

# requirements_changed ENV FILE: whether FILE differs from the copy kept in
# ENV when it was last installed there.
requirements_changed() {
    ! cmp -s "$2" "$1/.$(basename "$2")"
}

# install_requirements ENV FILE: installs FILE into ENV and keeps the copy.
install_requirements() {
    "$1/bin/python" -m pip install -q -r "$2"
    cp "$2" "$1/.$(basename "$2")"
}

# prepare_check_tools: makes $check_tools, installing requirements-check.txt
# into it when that file changed since the last time.
prepare_check_tools() {
    make_venv "$check_tools" "$python"
    if requirements_changed "$check_tools" "$root/requirements-check.txt"; then
        echo "== installing requirements-check.txt into $check_tools" >&2
        install_requirements "$check_tools" "$root/requirements-check.txt"
    fi
}

# prepare_docs_tools: installs requirements-docs.txt into the project's
# environment when that file changed since the last time.
prepare_docs_tools() {
    if requirements_changed "$venv" "$root/requirements-docs.txt"; then
        echo "== installing requirements-docs.txt into $venv" >&2
        install_requirements "$venv" "$root/requirements-docs.txt"
    fi
}

# configure PRESET DIR [CMAKE ARGUMENTS...]: configures the build tree DIR from
# a preset of CMakePresets.json, for the project's interpreter (the preset
# finds pybind11 through it).
configure() {
    local preset="$1" dir="$2"
    shift 2
    # The environment's bin/ also holds the ninja the presets generate for.
    PATH="$venv/bin:$PATH" "$cmake" --preset "$preset" -S "$root" -B "$dir" \
        -DPython_EXECUTABLE="$python" "$@" >/dev/null
}

# run_pytest MARKS [PYTEST ARGUMENTS...]: the Python suite of the tests
# selected by the marker expression MARKS (empty: all; a `-m EXPR` among the
# arguments is joined to it), in two parts: first those that need no
# browser, on both cores, then those that drive the headless browser, one at
# a time. The browser draws in software and takes both cores while it runs,
# which would stretch the timing that the other tests bound. A part with no
# test selected counts as passed.
run_pytest() {
    local marks="${1:-}" status=0 part=0 arguments=()
    shift
    while [ "$#" -gt 0 ]; do
        if [ "$1" = -m ] && [ "$#" -ge 2 ]; then
            marks="${marks:+($marks) and }($2)"
            shift 2
        else
            arguments+=("$1")
            shift
        fi
    done
    for selection in "not browser" "browser"; do
        local workers=(-n 2)
        [ "$selection" = browser ] && workers=()
        part=0
        "$python" -m pytest "${workers[@]}" -p no:cacheprovider \
            -m "${marks:+($marks) and }$selection" "${arguments[@]}" || part=$?
        [ "$part" -eq 5 ] && part=0 # nothing selected
        [ "$part" -ne 0 ] && status=$part
    done
    return "$status"
}

# run_ctest PRESET DIR [CTEST ARGUMENTS...]: the C++ suite of DIR with the
# settings of a test preset (jobs, time-out, output on failure).
run_ctest() {
    local preset="$1" dir="$2"
    shift 2
    (cd "$root" && "$venv/bin/ctest" --preset "$preset" --test-dir "$dir" "$@")
}
