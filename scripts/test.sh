#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: the unit and integration
# tests, the tests on the real kernel MIDI stack in a virtual machine, and the
# concurrency tests again in a ThreadSanitizer build.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

zarvik_install_missing "${ZARVIK_RUN_PACKAGES[@]}" "${ZARVIK_TEST_PACKAGES[@]}"

# CTest shows a test whose virtual machine gave no result (it did not boot,
# or the command ran out of time) as skipped, not failed; the suite has
# not passed without it.
zarvik_require_vm_results() {
    local log="$1/Testing/Temporary/LastTest.log"
    if grep -q "^zarvik-vm: no result:" "$log"; then
        grep -E "^[0-9]+/[0-9]+ Test: |^zarvik-vm: no result:" "$log" | grep -B1 "^zarvik-vm: no result:" >&2
        echo "test.sh: the virtual machine gave no result for the tests above (their output is in $log)" >&2
        return 1
    fi
}

zarvik_build "$ZARVIK_BUILD"
(cd "$ZARVIK_BUILD" && zarvik_with_display ctest --output-on-failure -j "$(nproc)")
zarvik_require_vm_results "$ZARVIK_BUILD"

tsan_build="${ZARVIK_TSAN_BUILD:-$ZARVIK_ROOT/build-tsan}"
tsan_args=()
[ -f "$tsan_build/build.ninja" ] || tsan_args=(-DZARVIK_SANITIZER=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo)
zarvik_build "$tsan_build" "${tsan_args[@]}" -- zarvik_tests
(cd "$tsan_build" && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    zarvik_with_display ctest --output-on-failure -R Concurrency)
zarvik_require_vm_results "$tsan_build"

# The Windows build (scripts/build-windows.sh) and its tests under Wine (label
# windows): the test suite, the real window, the installer and, in the virtual
# machine, an update through Wine's MIDI. One Wine server, kept running, serves
# every test, so each pays only the start of its own process.
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
    echo "[time] Wine start: $SECONDS s"
    ctest --output-on-failure -j "$(nproc)" -L windows
    status=$?
    wineserver -k
    exit $status') || status=$?
echo "[time] Windows tests under Wine: $((SECONDS - step_started)) s"
exit "${status:-0}"
