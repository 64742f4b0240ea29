#!/usr/bin/env bash
# Runs the C++ tests under valgrind's memcheck: any memory error or definite
# leak fails the run. Uses the normal build (scripts/test.sh builds it).
# Not part of scripts/test.sh: under memcheck the suite takes a minute or two.
#
#   TORVI_BUILD_DIR   the build tree (default build)
# Further arguments go to the test program (e.g. --gtest_filter=...).
set -euo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
tests="$build/tests/cpp/torvi_tests"

command -v valgrind >/dev/null || { echo "valgrind is not installed (apt-get install valgrind)" >&2; exit 1; }
[ -x "$tests" ] || { echo "no $tests: build first (scripts/test.sh)" >&2; exit 1; }

log="$build/valgrind.log"
echo "== memcheck over the C++ tests (log: $log)"
set +e
valgrind --tool=memcheck --error-exitcode=99 \
    --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
    --suppressions="$root/scripts/valgrind.supp" \
    "$tests" "$@" >"$log" 2>&1
status=$?
set -e
grep -E "^\[  (PASSED|FAILED|SKIPPED) |ERROR SUMMARY|definitely lost|All heap blocks" "$log" || true
if [ "$status" -ne 0 ]; then
    echo "== memcheck: FAILED (exit $status); see $log"
    exit "$status"
fi
echo "== memcheck: no errors, no definite leaks"
