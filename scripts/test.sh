#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: the unit and integration
# tests, the tests on the real kernel MIDI stack in a virtual machine, and the
# concurrency tests again in a ThreadSanitizer build.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

zarvik_install_missing "${ZARVIK_RUN_PACKAGES[@]}" "${ZARVIK_TEST_PACKAGES[@]}"

zarvik_build "$ZARVIK_BUILD"
(cd "$ZARVIK_BUILD" && zarvik_with_display ctest --output-on-failure -j "$(nproc)")

tsan_build="${ZARVIK_TSAN_BUILD:-$ZARVIK_ROOT/build-tsan}"
tsan_args=()
[ -f "$tsan_build/build.ninja" ] || tsan_args=(-DZARVIK_SANITIZER=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo)
zarvik_build "$tsan_build" "${tsan_args[@]}" -- zarvik_tests
(cd "$tsan_build" && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    zarvik_with_display ctest --output-on-failure -R Concurrency)
