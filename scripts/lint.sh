#!/usr/bin/env bash
# Runs every formatter check and linter the way CI does, and fails on any
# finding or any file a formatter would change:
#   clang-format  --dry-run -Werror over the tracked C and C++ files
#   ruff format   --check over the Python files
#   ruff check    the rules chosen in pyproject.toml
#   mypy          --strict over the typed Python (examples, the torvi package,
#                 the stub generator), against the stub in stubs/
#   clang-tidy    .clang-tidy over Library/, bindings/ and tools/, through the
#                 compile database of the build tree (configured if missing)
# and that the pre-commit hooks pin the formatters requirements-dev.txt pins.
# All of them run even when one fails, so one run shows every finding.
# TORVI_LINT_JOBS sets how many clang-tidy processes run at once (default:
# the number of cores).
set -euo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$root"

for tool in clang-format clang-tidy ruff; do
    if [ ! -x "$venv/bin/$tool" ]; then
        echo "lint: $venv/bin/$tool is missing; scripts/bootstrap.sh installs it" >&2
        exit 2
    fi
done

failed=()
# check NAME COMMAND...: runs one check and notes it when it fails.
check() {
    local name="$1"
    shift
    echo "== lint: $name"
    if ! "$@"; then
        failed+=("$name")
    fi
}

# The pre-commit hooks install their own ruff and clang-format; they must be
# requirements-dev.txt's versions, or a commit and CI would format apart.
hook_pins_agree() {
    local tool pin in_hooks status=0
    for tool in ruff clang-format; do
        pin="$(grep -E "^$tool==" requirements-dev.txt)"
        in_hooks="$(grep -oE "(^|[^a-z-])$tool==[^],[:space:]]+" .pre-commit-config.yaml |
            sed -E 's/^[^a-z]//' | sort -u)"
        if [ "$in_hooks" != "$pin" ]; then
            echo "lint: .pre-commit-config.yaml installs '${in_hooks//$'\n'/ }', requirements-dev.txt $pin"
            status=1
        fi
    done
    return "$status"
}
check "pre-commit versions" hook_pins_agree

mapfile -t cxx_files < <(git ls-files '*.c' '*.h' '*.cpp' '*.hpp')
check "clang-format" "$venv/bin/clang-format" --dry-run -Werror "${cxx_files[@]}"

check "ruff format" "$venv/bin/ruff" format --check --quiet .
check "ruff check" "$venv/bin/ruff" check --quiet .

prepare_check_tools
# The stub as the package that the wheel installs (with its haptics
# submodule), under the module's own name, where MYPYPATH can find it.
lint_stubs="$build/lint-stubs"
mkdir -p "$lint_stubs"
ln -sfn "$root/stubs/TorviHardwareAPI-stubs" "$lint_stubs/TorviHardwareAPI"
check "mypy" env -u PYTHONPATH MYPYPATH="$lint_stubs:$root/src" "$check_tools/bin/python" -m mypy \
    --strict --cache-dir "$build/lint-mypy-cache" examples/ src/torvi scripts/generate_stubs.py

# clang-tidy reads the flags of each file from the compile database, which
# configuring writes; nothing has to be built.
if [ ! -f "$build/compile_commands.json" ]; then
    echo "== lint: configuring $build for its compile database"
    configure default "$build"
fi
mapfile -t tidy_files < <("$python" - "$build/compile_commands.json" "$root" <<'EOF'
import json, sys
database, root = sys.argv[1], sys.argv[2]
folders = tuple(f"{root}/{folder}/" for folder in ("Library", "bindings", "tools"))
print("\n".join(sorted({entry["file"] for entry in json.load(open(database))
                        if entry["file"].startswith(folders)})))
EOF
)
if [ "${#tidy_files[@]}" -eq 0 ]; then
    echo "lint: no Library/, bindings/ or tools/ file in $build/compile_commands.json" >&2
    failed+=("clang-tidy")
else
    jobs="${TORVI_LINT_JOBS:-$(nproc)}"
    echo "== lint: clang-tidy over ${#tidy_files[@]} files, $jobs at a time"
    # xargs exits non-zero when any one run fails; each run prints its own
    # findings. clang's count of the warnings it hid in other headers is noise.
    run_clang_tidy() {
        printf '%s\n' "${tidy_files[@]}" |
            xargs -d '\n' -P "$jobs" -n 1 "$venv/bin/clang-tidy" --quiet -p "$build" \
                2> >(grep -vE '^[0-9]+ warnings? generated\.$' >&2)
    }
    check "clang-tidy" run_clang_tidy
fi

if [ "${#failed[@]}" -gt 0 ]; then
    echo "== lint failed: ${failed[*]}"
    exit 1
fi
echo "== lint passed"
