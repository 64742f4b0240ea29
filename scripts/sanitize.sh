#!/usr/bin/env bash
# Builds the library, the module, the tools and the C++ tests with
# AddressSanitizer and UndefinedBehaviorSanitizer (the "asan" preset) and
# runs both suites on that build. Any sanitizer report fails the run: the
# build stops at the first undefined behaviour, and ASan aborts the process.
#
# The C++ tests run with leak detection. The Python suite runs in an
# interpreter that is not instrumented: the ASan runtime is preloaded (with
# libstdc++, whose exception functions ASan intercepts), and leak detection is
# off, because the interpreter keeps memory to its exit by design.
#
#   TORVI_SANITIZE_BUILD_DIR  build tree (default build-asan)
#   TORVI_SANITIZE_SKIP_SLOW=1  leave out the Python tests marked slow (they
#                             wait out device time-outs; about 15 s here)
# Further arguments go to pytest.
set -euo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
build="${TORVI_SANITIZE_BUILD_DIR:-$root/build-asan}"

echo "== building with AddressSanitizer and UndefinedBehaviorSanitizer in $build"
configure asan "$build"
"$cmake" --build "$build"

ubsan_options="print_stacktrace=1:halt_on_error=1"
preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
for library in $preload; do
    [ -f "$library" ] || { echo "sanitizer runtime not found: $library" >&2; exit 1; }
done

# The browser's tests are left out: the browser and Playwright's driver would
# start with the sanitizer runtime preloaded, and the view they test is Python.
pytest_marks="not browser"
[ "${TORVI_SANITIZE_SKIP_SLOW:-0}" = 1 ] && pytest_marks="not browser and not slow"

echo "== running the C++ and Python suites under the sanitizers"
ctest_log="$build/ctest.log"
set +e
# One suite after the other, as in scripts/test.sh. The "asan" test preset
# sets the sanitizer options of the C++ suite.
run_ctest asan "$build" >"$ctest_log" 2>&1
ctest_status=$?
( cd "$root" && LD_PRELOAD="$preload" \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" UBSAN_OPTIONS="$ubsan_options" \
    PYTHONPATH="$build/python" PATH="$build/tools:$PATH" \
    run_pytest "$pytest_marks" -q "$@" )
pytest_status=$?
set -e

echo "== C++ suite under the sanitizers"
tail -n 3 "$ctest_log"
if [ "$ctest_status" -ne 0 ]; then
    grep -E "Failed|FAILED|\*\*\*|ERROR: AddressSanitizer|runtime error" "$ctest_log" | head -50 || true
fi
echo "== sanitizers: C++ suite exit $ctest_status, Python suite exit $pytest_status"
[ "$ctest_status" -eq 0 ] && [ "$pytest_status" -eq 0 ]
