#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: the unit and integration
# tests, the tests on the real kernel MIDI stack in a virtual machine, the
# concurrency tests again in a ThreadSanitizer build, the host suite again
# under AddressSanitizer and UndefinedBehaviorSanitizer, and each fuzzer for
# a bounded time.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

zarvik_install_missing "${ZARVIK_RUN_PACKAGES[@]}" "${ZARVIK_TEST_PACKAGES[@]}"

# zarvik_fail_on_lines BUILD_DIR PATTERN WHY: fails when a line of the last
# CTest run's output matches, naming the tests that printed it.
zarvik_fail_on_lines() {
    local log="$1/Testing/Temporary/LastTest.log"
    if grep -Eq "$2" "$log"; then
        grep -E "^[0-9]+/[0-9]+ Test: |$2" "$log" | grep -E -B1 "$2" >&2
        echo "test.sh: $3 (the tests' output is in $log)" >&2
        return 1
    fi
}

# CTest shows a test whose virtual machine gave no result (it did not boot,
# or the command ran out of time) as skipped, not failed; the suite has
# not passed without it.
zarvik_require_vm_results() {
    zarvik_fail_on_lines "$1" "^zarvik-vm: no result:" "the virtual machine gave no result for the tests above"
}

zarvik_timed "build" zarvik_build "$ZARVIK_BUILD"
# The fault matrix takes 35 to 45 minutes; ZARVIK_FAULT_MATRIX=1 runs it too.
matrix_args=(-LE matrix)
[ "${ZARVIK_FAULT_MATRIX:-0}" = 1 ] && matrix_args=()
zarvik_timed "tests" zarvik_with_display ctest --test-dir "$ZARVIK_BUILD" --output-on-failure -j "$(nproc)" "${matrix_args[@]}"
zarvik_require_vm_results "$ZARVIK_BUILD"

tsan_build="${ZARVIK_TSAN_BUILD:-$ZARVIK_ROOT/build-tsan}"
tsan_args=()
[ -f "$tsan_build/build.ninja" ] || tsan_args=(-DZARVIK_SANITIZER=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo)
zarvik_timed "ThreadSanitizer build" zarvik_build "$tsan_build" "${tsan_args[@]}" -- zarvik_tests
zarvik_timed "ThreadSanitizer tests" zarvik_with_display env TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir "$tsan_build" --output-on-failure -R Concurrency
zarvik_require_vm_results "$tsan_build"

# A debug build at -O1, so that JUCE's assertions and leak detector are on
# too. The tests in the virtual machine (the kernel's and the package's) are
# left out: under its emulated processor this build would take them past
# their time limits.
asan_build="${ZARVIK_ASAN_BUILD:-$ZARVIK_ROOT/build-asan}"
asan_args=()
[ -f "$asan_build/build.ninja" ] || asan_args=(-DZARVIK_SANITIZER=address -DCMAKE_BUILD_TYPE=Debug
                                              "-DCMAKE_CXX_FLAGS_DEBUG=-g -O1" "-DCMAKE_C_FLAGS_DEBUG=-g -O1")
zarvik_timed "AddressSanitizer build" zarvik_build "$asan_build" "${asan_args[@]}"
zarvik_timed "AddressSanitizer tests" zarvik_with_display env \
    ASAN_OPTIONS="detect_leaks=1" \
    UBSAN_OPTIONS="print_stacktrace=1" \
    ctest --test-dir "$asan_build" --output-on-failure -j "$(nproc)" -LE "alsa|package"
# JUCE's assertions and leak detector only print; here they fail the run.
zarvik_fail_on_lines "$asan_build" "JUCE Assertion failure|Leaked objects detected" "JUCE reported the above in the AddressSanitizer build"

# Each fuzzer starts from its committed seeds and what earlier runs found, and
# stops after its time; a crash or leak fails the run and leaves the input
# that caused it in build-fuzz/crashes/.
fuzz_build="${ZARVIK_FUZZ_BUILD:-$ZARVIK_ROOT/build-fuzz}"
fuzz_args=()
[ -f "$fuzz_build/build.ninja" ] || fuzz_args=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
                                              -DZARVIK_SANITIZER=address -DZARVIK_FUZZING=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)
zarvik_timed "fuzzer build" zarvik_build "$fuzz_build" "${fuzz_args[@]}" -- zarvik-fuzzers

# The fuzzer's own lines go to a log beside its corpus; its summary is printed.
zarvik_fuzz() {
    local harness="$1"
    local log="$fuzz_build/fuzz-$harness.log"
    mkdir -p "$fuzz_build/corpus/$harness" "$fuzz_build/crashes"

    if ! "$fuzz_build/zarvik-fuzz-$harness" -max_total_time="${ZARVIK_FUZZ_SECONDS:-30}" -max_len=8192 -print_final_stats=1 \
        -artifact_prefix="$fuzz_build/crashes/$harness-" "$fuzz_build/corpus/$harness" "$ZARVIK_ROOT/fuzz/corpus/$harness" > "$log" 2>&1; then
        tail -n 80 "$log"
        echo "zarvik-fuzz-$harness failed; its input is in $fuzz_build/crashes/"
        return 1
    fi

    grep -E "INITED|DONE|^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)" "$log"
}

for harness in reply-path firmware-image simulator-stream; do
    zarvik_timed "fuzzing $harness" zarvik_fuzz "$harness"
done

# The Windows build (scripts/build-windows.sh) and its tests under Wine (label
# windows): the test suite, the real window and the installer. One Wine
# server, kept running, serves every test, so each pays only the start of its
# own process. ZARVIK_WINDOWS=0 leaves it out, for a quicker run on Linux.
[ "${ZARVIK_WINDOWS:-1}" = 0 ] && exit 0
step_started=$SECONDS
zarvik_install_missing "${ZARVIK_WINDOWS_PACKAGES[@]}"
windows_build="${ZARVIK_WINDOWS_BUILD:-$ZARVIK_ROOT/build-windows}"
"$ZARVIK_ROOT/scripts/build-windows.sh"
echo "[time] Windows build: $((SECONDS - step_started)) s"

step_started=$SECONDS
WINEPREFIX="$(grep -oP 'ZARVIK_WINE_PREFIX:PATH=\K.*' "$windows_build/CMakeCache.txt")"
export WINEPREFIX WINEDEBUG=-all
# Wine's helper processes, which stay with its server, are started first, on
# the tests' display and with no pipe of CTest's, which they would hold open.
(cd "$windows_build" && zarvik_with_display bash -c '
    wineserver -p
    wineboot --init >/dev/null 2>&1 </dev/null
    # The display has no window manager, and Wine waits 2 s for each managed
    # window it hides to be withdrawn by one: the windows of the test suite
    # stay unmanaged. Those of the updater stay managed, so that its window
    # has no frame drawn by Wine and keeps its own size on the display.
    wine reg add "HKCU\\Software\\Wine\\AppDefaults\\zarvik_tests.exe\\X11 Driver" /v Managed /d N /f >/dev/null 2>&1
    echo "[time] Wine start: $SECONDS s"
    ctest --output-on-failure -j "$(nproc)" -L windows
    status=$?
    wineserver -k
    exit $status') || status=$?
echo "[time] Windows tests under Wine: $((SECONDS - step_started)) s"
[ "${status:-0}" = 0 ] || exit "$status"
zarvik_require_vm_results "$windows_build"
