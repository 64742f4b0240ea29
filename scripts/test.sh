#!/usr/bin/env bash
# Builds the library, the module, the tools and the C++ tests, then runs the
# C++ suite (ctest) and the Python suite (pytest), then builds the
# documentation site with warnings as errors (scripts/docs.sh --build), then
# runs the formatter checks and linters (scripts/lint.sh). After them it runs
# both suites again on a build with AddressSanitizer and
# UndefinedBehaviorSanitizer (scripts/sanitize.sh) and runs each fuzz target
# for a bounded time (scripts/fuzz.sh). TORVI_HARDENING=0 leaves those two out.
# Arguments go to pytest.
set -euo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bash "$root/scripts/bootstrap.sh"

configure default "$build"
"$cmake" --build "$build"

# One suite after the other, each on both cores: the waits busy-poll, and
# more pollers than cores stretch the timing that the tests bound.
echo "== running the C++ suite, then the Python suite"
ctest_log="$build/ctest.log"
set +e
run_ctest default "$build" >"$ctest_log" 2>&1
ctest_status=$?
( cd "$root" && PYTHONPATH="$build/python" PATH="$build/tools:$PATH" \
    run_pytest "" "$@" )
pytest_status=$?
set -e

echo "== C++ suite"
tail -n 25 "$ctest_log"
if [ "$ctest_status" -ne 0 ]; then
    echo "== C++ failures"
    grep -E "Failed|FAILED|\*\*\*" "$ctest_log" | head -50 || true
fi
echo "== C++ suite exit $ctest_status, Python suite exit $pytest_status"

# A broken reference, a missing page or a dead link fails the run.
set +e
bash "$root/scripts/docs.sh" --build
docs_status=$?
set -e
echo "== documentation exit $docs_status"

# After the suites, not beside them: clang-tidy takes both cores.
set +e
bash "$root/scripts/lint.sh"
lint_status=$?
set -e

sanitize_status=0
fuzz_status=0
if [ "${TORVI_HARDENING:-1}" != 0 ]; then
    export TORVI_VENV="$venv"
    export TORVI_SANITIZE_BUILD_DIR="${TORVI_SANITIZE_BUILD_DIR:-$build-asan}"
    export TORVI_FUZZ_BUILD_DIR="${TORVI_FUZZ_BUILD_DIR:-$build-fuzz}"
    set +e
    bash "$root/scripts/sanitize.sh" "$@"
    sanitize_status=$?
    bash "$root/scripts/fuzz.sh"
    fuzz_status=$?
    set -e
    echo "== sanitizers exit $sanitize_status, fuzzing exit $fuzz_status"
fi
[ "$ctest_status" -eq 0 ] && [ "$pytest_status" -eq 0 ] && [ "$docs_status" -eq 0 ] &&
    [ "$lint_status" -eq 0 ] &&
    [ "$sanitize_status" -eq 0 ] && [ "$fuzz_status" -eq 0 ]
