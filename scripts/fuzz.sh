#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (installed from
# Debian's packages when missing) and runs each for a bounded time, starting
# from its committed corpus under tests/fuzz/corpus/<target>/. New inputs go
# to a scratch directory, so the repository is left as it is. A finding
# (crash, sanitizer report, failed check, hang) fails the script; its input
# is kept as $build/findings/<target>-crash-... for a regression test.
#
#   TORVI_FUZZ_SECONDS   run time per target (default 20)
#   TORVI_FUZZ_BUILD_DIR build tree (default build-fuzz)
set -euo pipefail

. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
build="${TORVI_FUZZ_BUILD_DIR:-$root/build-fuzz}"
seconds="${TORVI_FUZZ_SECONDS:-20}"
targets=(arm_replies handle_events handle_receive status_frame mesh)

# libFuzzer ships with clang's runtime libraries; check that a fuzzer links.
fuzzer_links() {
    local probe
    probe="$(mktemp -d)"
    printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
        'extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }' >"$probe/probe.cpp"
    clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" >/dev/null 2>&1
    local status=$?
    rm -rf "$probe"
    return $status
}

command -v clang++ >/dev/null || apt_install clang
if ! fuzzer_links; then
    major="$(clang++ -dumpversion | cut -d. -f1)"
    apt_install "libclang-rt-$major-dev"
    fuzzer_links || { echo "clang++ cannot link libFuzzer targets" >&2; exit 1; }
fi

echo "== building the fuzz targets in $build"
# tests/fuzz is a project of its own, built with clang, so the presets of
# the main project do not apply to it.
"$cmake" -S "$root/tests/fuzz" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
"$cmake" --build "$build"

mkdir -p "$build/findings" "$build/logs"
failed=()
for target in "${targets[@]}"; do
    scratch="$(mktemp -d)"
    log="$build/logs/$target.log"
    echo "== fuzzing $target for ${seconds}s"
    set +e
    # -timeout: no input may take seconds; the library's own time-outs are
    # 5 s, so an operation that waits for one is reported as a hang.
    "$build/fuzz_$target" -max_total_time="$seconds" -timeout=4 -max_len=2048 \
        -print_final_stats=1 -artifact_prefix="$build/findings/$target-" \
        "$scratch" "$root/tests/fuzz/corpus/$target" >"$log" 2>&1
    status=$?
    set -e
    rm -rf "$scratch"
    grep -E "^(stat::number_of_executed_units|stat::peak_rss_mb|Done)" "$log" | tr '\n' ' ' || true
    echo
    if [ "$status" -ne 0 ]; then
        echo "== $target: FINDING (exit $status); last lines of $log:"
        tail -n 30 "$log"
        failed+=("$target")
    fi
done

if [ "${#failed[@]}" -gt 0 ]; then
    echo "== fuzzing found faults in: ${failed[*]} (inputs under $build/findings)"
    exit 1
fi
echo "== fuzzing: no findings"
